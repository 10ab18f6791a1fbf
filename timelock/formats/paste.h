// Pastes: archived content that the service sealed under a puzzle's epoch
// key and signed with its Ed25519 service key.
//
// A paste is a JSON document of thirteen members (object, or positional
// array in the declared order below). Unlike an encrypted record it is
// signed, its ciphertext must be lowercase hex, and its descriptive fields
// are bound into both the content key and the associated data through the
// paste context (313 bytes, integers big-endian, ids and keys raw):
//    32  "attested-zanth-paste-context-v1" and a zero byte    4  version 1
//     8  epoch     32  puzzle_id     76  puzzle_artifact text     81  evidence_artifact text
//    32  tag_id     8  sequence       8  created_at_ms           32  service_public_key
// The artefact names carry no length prefix; any other length than 76 and 81
// is refused before the context is built. The signature covers
//   context, nonce (24), ciphertext length L (4), ciphertext (L), wrapped_key (60).
// Content key: HKDF-SHA256 with salt "attested-zanth-paste-content-key-v1",
// the epoch key and the context. wrapped_key is signed but not otherwise used.
//
// A paste that cannot be verified on its own (form and signature) is refused
// while it is read, before any puzzle is considered.
//
// Thread safety: plain values and pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "timelock/base/bytes.h"
#include "timelock/base/error.h"
#include "timelock/base/secret.h"
#include "timelock/formats/manifest.h"
#include "timelock/json/reader.h"

namespace zt {

struct Paste {
    std::uint32_t version = 0;
    std::uint64_t epoch = 0;
    std::string puzzle_id;          // manifest id, 64 lowercase hex digits
    std::string puzzle_artifact;    // 64 lowercase hex digits + ".puzzle.json"
    std::string evidence_artifact;  // 64 lowercase hex digits + ".attestation.json"
    std::string tag_id;             // 64 lowercase hex digits
    std::uint64_t sequence = 0;
    std::uint64_t created_at_ms = 0;
    std::string service_public_key;  // 64 lowercase hex digits
    std::string nonce;               // 48 lowercase hex digits
    std::string ciphertext;          // 32 to 204,832 lowercase hex digits, tag included
    std::string wrapped_key;         // 120 lowercase hex digits
    std::string service_signature;   // 128 lowercase hex digits
};

namespace paste {
inline constexpr std::uint32_t kVersion = 1;
inline constexpr std::size_t kDocumentLimit = 212'992;      // 208 KiB
inline constexpr std::size_t kMinCiphertextHex = 32;        // the tag alone
inline constexpr std::size_t kMaxCiphertextHex = 204'832;   // 100 KiB of plaintext + tag
inline constexpr std::size_t kContextSize = 313;
inline constexpr std::string_view kPuzzleArtifactSuffix = ".puzzle.json";
inline constexpr std::string_view kEvidenceArtifactSuffix = ".attestation.json";

inline constexpr std::string_view kTooLarge = "paste artifact too large";
inline constexpr std::string_view kInvalidSize = "invalid paste size";
inline constexpr std::string_view kInvalidEncoding = "invalid paste encoding";
inline constexpr std::string_view kUnsupportedVersion = "unsupported paste version";
inline constexpr std::string_view kInvalidArtifact = "invalid paste artifact reference";
inline constexpr std::string_view kForeign = "paste belongs to another puzzle";
inline constexpr std::string_view kAuthenticationFailed = "paste authentication failed";
}  // namespace paste

// An artefact name: 64 lowercase hex digits, then `suffix` (which may be
// empty); "invalid paste artifact reference" otherwise. Only its form is
// checked: the name enters the context as text.
Result<void> check_artifact(std::string_view name, std::string_view suffix);

// "paste artifact too large" above the document limit (before parsing), the
// strict JSON rules ("struct Paste", "struct Paste with 13 elements"), then
// verify_paste.
Result<Paste> read_paste(std::string_view document);

// What can be checked without a manifest, in this order: the public key
// decodes and decompresses ("signature error: Cannot decompress Edwards
// point"); ciphertext length ("invalid paste size") and lowercase digits
// only ("invalid paste encoding"); the context; the nonce, ciphertext,
// wrapped key and signature decode; strict Ed25519 over the signed message.
Result<void> verify_paste(const Paste& paste);

// The 313-byte context: "unsupported paste version", "invalid paste artifact
// reference" (too short or wrong suffix), or "noncanonical hex or wrong
// length" for an artefact prefix, puzzle_id, tag_id or service_public_key.
Result<Bytes> build_paste_context(const Paste& paste);

// The bytes service_signature covers: the context, the nonce, the
// ciphertext's length (32-bit) and bytes, the wrapped key. Fails as the
// context does, or with the decoders' errors.
Result<Bytes> paste_signed_message(const Paste& paste);

// Verifies `manifest` against `pin`, then the paste on its own; then that it
// belongs to the manifest's epoch and id and was signed by the manifest's
// service key ("paste belongs to another puzzle"); the key commitment
// ("epoch key commitment mismatch"); finally decrypts ("paste authentication
// failed"). The content key is wiped on every path; the plaintext wipes itself.
Result<SecureBytes> open_paste(const SignedManifest& manifest, const Bytes32& pin, const Paste& paste,
                               const Key32& epoch_key);

}  // namespace zt

namespace zt::json {
template <>
struct Schema<Paste> {
    static constexpr std::string_view name = "Paste";
    static constexpr std::array fields{
        field<&Paste::version>("version"),
        field<&Paste::epoch>("epoch"),
        field<&Paste::puzzle_id>("puzzle_id"),
        field<&Paste::puzzle_artifact>("puzzle_artifact"),
        field<&Paste::evidence_artifact>("evidence_artifact"),
        field<&Paste::tag_id>("tag_id"),
        field<&Paste::sequence>("sequence"),
        field<&Paste::created_at_ms>("created_at_ms"),
        field<&Paste::service_public_key>("service_public_key"),
        field<&Paste::nonce>("nonce"),
        field<&Paste::ciphertext>("ciphertext"),
        field<&Paste::wrapped_key>("wrapped_key"),
        field<&Paste::service_signature>("service_signature"),
    };
};
}  // namespace zt::json
