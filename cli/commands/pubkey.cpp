// The pubkey command: read a signing key file (an Ed25519 seed, as generate
// reads it) and print its public key, the pin, as 64 lowercase hex digits.
// Reads only; "-" reads the key from standard input.
#include <string>

#include "cli/commands/commands.h"
#include "cli/console.h"
#include "cli/reporting.h"
#include "timelock/base/crypto.h"
#include "timelock/base/secret.h"
#include "timelock/ed25519/ed25519.h"

namespace zt::cli {

zt::Result<void> run_pubkey(const PubkeyArgs& args) {
    // 1. The seed (the reader wipes the file's buffer).
    ZT_TRY_ASSIGN(const Key32 seed,
                  read_key_input("--signing-key", args.signing_key, expected::signing_key, Stream::allowed));

    // 2. The key pair.
    const Ed25519KeyPair keys = ed25519_from_seed(seed);

    // 3. The pin.
    write_stdout(encode_hex(keys.public_key) + "\n");

    // 4. The seed and the key pair wipe themselves.
    return zt::success();
}

}  // namespace zt::cli
