// The keygen command: draw a fresh Ed25519 seed for a service, publish it
// owner-only (64 lowercase hex digits, no line terminator, never replacing a
// file) and print its public key, the pin that solvers give as
// --service-public-key. Nothing is printed unless the seed was published.
#include <string>
#include <string_view>

#include "cli/commands/commands.h"
#include "cli/console.h"
#include "cli/reporting.h"
#include "timelock/base/crypto.h"
#include "timelock/base/publish.h"
#include "timelock/base/secret.h"
#include "timelock/ed25519/ed25519.h"
#include "timelock/formats/input_files.h"

namespace zt::cli {

zt::Result<void> run_keygen(const KeygenArgs& args) {
    // 1. The output may not exist yet (checked again, atomically, when
    // publishing), and its path must be one that can be published.
    ZT_TRY_ASSIGN(const OutputTarget key_out, OutputTarget::open("--signing-key-out", args.signing_key_out));
    ZT_TRY(check_free(key_out));

    // 2. 32 bytes from the operating system; a failing random source is a fault.
    Key32 seed;
    if (!random_bytes(seed.span())) throw InternalFault("OS randomness failed while drawing the signing key");

    // 3. The key pair, for the pin.
    const Ed25519KeyPair keys = ed25519_from_seed(seed);

    // 4. Publish the seed owner-only, never overwriting. A seed that was not
    // published is known to nobody, so no staged copy of it stays behind.
    ZT_TRY(publish_key_file(key_out, seed, OnFailure::remove_staged));

    // 5. The pin.
    write_stdout(encode_hex(keys.public_key) + "\n");

    // 6. The seed and the key pair wipe themselves.
    return zt::success();
}

}  // namespace zt::cli
