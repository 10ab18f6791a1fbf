// The seal-paste command, the service's side of decrypt-paste: seal a
// plaintext file into a paste of one puzzle and sign it with the service's
// signing key.
//
// The manifest must verify against the signing key's own public key (only
// the service that signed the puzzle signs its pastes), the descriptive
// fields must have their form, the plaintext must fit a paste (100 KiB) and
// the epoch key must match the manifest's commitment, all before anything is
// sealed. The paste is published readable by all (0644) and never replaces
// a file. Prints nothing, unless the paste goes to standard output
// (--paste-out -); the plaintext may come from standard input
// (--plaintext -).
#include <chrono>
#include <string>

#include "cli/commands/commands.h"
#include "cli/reporting.h"
#include "timelock/base/crypto.h"
#include "timelock/base/publish.h"
#include "timelock/base/utf8.h"
#include "timelock/formats/manifest_signing.h"
#include "timelock/formats/paste.h"
#include "timelock/formats/sealing.h"

namespace zt::cli {
namespace {

std::uint64_t now_ms() {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count());
}

// 64 lowercase hex digits followed by `suffix`, or an error naming `option`.
Result<void> check_field(std::string_view option, const std::string& value, std::string_view suffix) {
    if (check_artifact(value, suffix)) return success();
    return Error(std::string(option) + " " + utf8_lossy(value) + ": give 64 lowercase hex digits" +
                 (suffix.empty() ? std::string() : " followed by " + std::string(suffix)));
}

}  // namespace

zt::Result<void> run_seal_paste(const SealPasteArgs& args) {
    // 1. The output may not exist yet (checked again, atomically, when
    // publishing), and its path must be one that can be published.
    ZT_TRY_ASSIGN(const TextOutput paste_out, TextOutput::open("--paste-out", args.paste_out, Stream::allowed));

    // 2. The signing key, and the manifest verified against its public key.
    ZT_TRY_ASSIGN(const Key32 seed,
                  read_key_input("--signing-key", args.signing_key, expected::signing_key, Stream::no));
    const Ed25519KeyPair signer = ed25519_from_seed(seed);
    ZT_TRY_ASSIGN(const SignedManifest manifest, read_manifest_input(args.manifest, Stream::no));
    if (auto verified = verify_manifest(manifest, signer.public_key); !verified) {
        return std::move(verified).error().context(
            "--manifest was not signed by --signing-key; seal with the key that generated the puzzle");
    }

    // 3. The descriptive fields; the puzzle artefact defaults to the manifest's id.
    PasteDescription description;
    description.tag_id = args.tag_id;
    description.evidence_artifact = args.evidence_artifact;
    description.sequence = args.sequence;
    description.created_at_ms = args.created_at_ms.value_or(now_ms());
    if (args.puzzle_artifact) {
        description.puzzle_artifact = *args.puzzle_artifact;
    } else {
        ZT_TRY_ASSIGN(const std::string id, manifest_id(manifest));
        description.puzzle_artifact = id + std::string(paste::kPuzzleArtifactSuffix);
    }
    ZT_TRY(check_field("--tag-id", description.tag_id, ""));
    ZT_TRY(check_field("--puzzle-artifact", description.puzzle_artifact, paste::kPuzzleArtifactSuffix));
    ZT_TRY(check_field("--evidence-artifact", description.evidence_artifact, paste::kEvidenceArtifactSuffix));

    // 4. The epoch key and the plaintext (both wipe themselves).
    ZT_TRY_ASSIGN(const Key32 epoch_key,
                  read_key_input("--epoch-key", args.epoch_key, expected::epoch_key, Stream::no));
    ZT_TRY_ASSIGN(const SecureBytes plaintext, read_plaintext_input(args.plaintext, kPastePlaintextLimit, "a paste"));

    // 5. Seal and sign.
    ZT_TRY_ASSIGN(const Paste sealed, with_key_named(args.epoch_key,
                                                     seal_paste(manifest, epoch_key, description, plaintext, signer)));

    // 6. Publish (a failed publication leaves no staged copy: it can be made
    // again), or write it to standard output.
    return paste_out.publish(write_paste(sealed));
}

}  // namespace zt::cli
