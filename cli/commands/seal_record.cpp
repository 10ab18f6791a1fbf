// The seal-record command, the service's side of decrypt-record: seal a
// plaintext file into an encrypted record of one puzzle.
//
// The manifest must verify against the pinned service key and the epoch key
// must match its commitment before anything is sealed; the plaintext must fit
// a record (16 MiB). The record is published readable by all (0644: it is
// ciphertext) and never replaces a file. Prints nothing, unless the record
// goes to standard output (--record-out -); the plaintext may come from
// standard input (--plaintext -).
#include <string>

#include "cli/commands/commands.h"
#include "cli/reporting.h"
#include "timelock/base/publish.h"
#include "timelock/formats/manifest_signing.h"
#include "timelock/formats/sealing.h"

namespace zt::cli {

zt::Result<void> run_seal_record(const SealRecordArgs& args) {
    // 1. The output may not exist yet (checked again, atomically, when
    // publishing), and its path must be one that can be published.
    ZT_TRY_ASSIGN(const TextOutput record_out, TextOutput::open("--record-out", args.record_out, Stream::allowed));

    // 2. The manifest, verified against the pin.
    ZT_TRY_ASSIGN(const SignedManifest manifest, read_manifest_input(args.manifest, Stream::no));
    ZT_TRY_ASSIGN(const Bytes32 pin, parse_named_pin(args.service_public_key));
    if (auto verified = verify_manifest(manifest, pin); !verified) {
        return std::move(verified).error().context("--manifest does not verify against --service-public-key; "
                                                   "seal only for a manifest the service signed");
    }

    // 3. The epoch key and the plaintext (both wipe themselves).
    ZT_TRY_ASSIGN(const Key32 epoch_key,
                  read_key_input("--epoch-key", args.epoch_key, expected::epoch_key, Stream::no));
    ZT_TRY_ASSIGN(const SecureBytes plaintext, read_plaintext_input(args.plaintext, kRecordPlaintextLimit, "a record"));

    // 4. Seal: the commitment is checked before anything is derived.
    ZT_TRY_ASSIGN(const std::string record,
                  with_key_named(args.epoch_key, seal_record(manifest, epoch_key, args.sequence, plaintext)));

    // 5. Publish (a failed publication leaves no staged copy: it can be made
    // again), or write it to standard output.
    return record_out.publish(record);
}

}  // namespace zt::cli
