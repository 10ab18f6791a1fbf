// The decrypt-paste command: verify the manifest against the pin, read the
// epoch key and the paste (whose signature is checked while reading), open
// the paste, publish the plaintext owner-only. Prints nothing. Nothing is
// written unless the paste opened.
#include "cli/commands/commands.h"
#include "timelock/base/publish.h"
#include "timelock/base/secret.h"
#include "timelock/formats/input_files.h"
#include "timelock/formats/manifest.h"
#include "timelock/formats/manifest_signing.h"
#include "timelock/formats/paste.h"

namespace zt::cli {

zt::Result<void> run_decrypt_paste(const DecryptPasteArgs& args) {
    // 1. The signed manifest.
    ZT_TRY_ASSIGN(const SignedManifest manifest, read_manifest_file(args.manifest));

    // 2. The pin.
    ZT_TRY_ASSIGN(const Bytes32 pin, parse_pin(args.service_public_key));

    // 3. Only a manifest signed by the pinned service is used.
    ZT_TRY(verify_manifest(manifest, pin));

    // 4. The epoch key (the reader wipes the file's buffer; Key32 wipes itself).
    ZT_TRY_ASSIGN(const Key32 epoch_key, read_key_file(args.epoch_key));

    // 5. The paste; reading also verifies its service signature.
    ZT_TRY_ASSIGN(const Bytes document, read_limited(args.paste, input_limit::kPaste));
    ZT_TRY_ASSIGN(const Paste paste, read_paste(as_text(document)));

    // 6. Open it (the manifest is verified once more there).
    ZT_TRY_ASSIGN(const SecureBytes plaintext, open_paste(manifest, pin, paste, epoch_key));

    // 7. Publish the plaintext as raw bytes, owner-only, never overwriting.
    ZT_TRY(publish_staged(args.plaintext_out, plaintext, /*owner_only=*/true, OnFailure::remove_staged));

    // 8. The plaintext (whole capacity) and the epoch key wipe themselves.
    return zt::success();
}

}  // namespace zt::cli
