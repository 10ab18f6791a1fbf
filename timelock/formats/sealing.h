// The service's side of the two artefacts: sealing a plaintext into an
// encrypted record or a signed paste for one puzzle, so that decrypt-record
// and decrypt-paste (record.h, paste.h) open it byte for byte.
//
// Both check, before anything is derived or sealed, that the plaintext fits
// the format and that the epoch key is the puzzle's (its commitment is the
// manifest's): a key that did not match would seal something nobody can
// open. The manifest must already have been verified against the service's
// public key; it is not verified here. Nonces are drawn fresh from the
// operating system for every sealing. Derived keys wipe themselves; the
// plaintext stays the caller's.
//
// Thread safety: pure functions apart from the OS random source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "timelock/base/error.h"
#include "timelock/base/secret.h"
#include "timelock/ed25519/ed25519.h"
#include "timelock/formats/manifest.h"
#include "timelock/formats/paste.h"

namespace zt {

// The largest plaintexts the formats carry (their ciphertext limits less the tag).
inline constexpr std::size_t kRecordPlaintextLimit = 16'777'216;  // 16 MiB
inline constexpr std::size_t kPastePlaintextLimit = 102'400;      // 100 KiB

inline constexpr std::string_view kRecordPlaintextTooLarge = "plaintext is larger than a record holds (16777216 bytes)";
inline constexpr std::string_view kPastePlaintextTooLarge = "plaintext is larger than a paste holds (102400 bytes)";

// `plaintext` sealed for `manifest` under `epoch_key` as record `sequence`:
// the record's JSON document (one line, members in declared order, ending
// with a line end). Errors: kRecordPlaintextTooLarge, "epoch key commitment
// mismatch", "OS randomness failed".
Result<std::string> seal_record(const SignedManifest& manifest, const Key32& epoch_key, std::uint64_t sequence,
                                std::span<const std::uint8_t> plaintext);

// What the service says about a paste; the rest comes from the manifest.
struct PasteDescription {
    std::string tag_id;             // 64 lowercase hex digits
    std::string puzzle_artifact;    // 64 lowercase hex digits + ".puzzle.json"
    std::string evidence_artifact;  // 64 lowercase hex digits + ".attestation.json"
    std::uint64_t sequence = 0;
    std::uint64_t created_at_ms = 0;
};

// `plaintext` sealed for `manifest` under `epoch_key` and signed by `signer`,
// whose public key must be the manifest's signer (else "paste belongs to
// another puzzle"). wrapped_key is the manifest's last wrapped key (the wrap
// of the epoch key itself), which ties the paste to this puzzle's chain.
// Errors, before anything is sealed: the description's form (the paste
// reader's messages: "invalid paste artifact reference", "noncanonical hex
// or wrong length"), kPastePlaintextTooLarge, "epoch key commitment
// mismatch"; then "OS randomness failed". The result passes verify_paste.
Result<Paste> seal_paste(const SignedManifest& manifest, const Key32& epoch_key, const PasteDescription& description,
                         std::span<const std::uint8_t> plaintext, const Ed25519KeyPair& signer);

// The paste's JSON document: one member per line, in declared order, ending
// with a line end.
std::string write_paste(const Paste& paste);

}  // namespace zt
