// Encrypted records: data sealed, outside this program, under a key derived
// from one puzzle's epoch key, and opened here once that key is known.
//
// A record is a JSON document of six members (object, or positional array in
// the declared order below). Reading checks only its syntax; open_record then
// checks, in a fixed order, that the record belongs to the verified puzzle,
// that its ciphertext has a possible length and that the epoch key is the
// puzzle's, and only then derives the record key and decrypts. So a wrong
// epoch key is always "epoch key commitment mismatch", never an
// authentication failure.
//
// Record key: HKDF-SHA256 with salt "zanth-record-key-v1", the epoch key and
// the 32 raw bytes of the manifest id. Associated data, 78 bytes:
//   26  "zanth-encrypted-record-v1" and a zero byte     4  version 1
//    8  the manifest's epoch      8  the record's sequence     32  manifest id
// so a record moved to another puzzle, epoch or sequence number cannot open.
//
// Size: a document of up to 33,556,480 bytes carries a ciphertext of up to
// 33,554,464 hex digits (a plaintext of up to 16 MiB). The ciphertext text is
// not copied out of the document (see EncryptedRecord::ciphertext), and the
// plaintext is decrypted in place in the buffer the hex is decoded into.
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

struct EncryptedRecord {
    std::uint32_t version = 0;
    std::uint64_t epoch = 0;
    std::uint64_t sequence = 0;
    std::string puzzle_id;  // the manifest id of the puzzle, 64 lowercase hex digits
    std::string nonce;      // 48 lowercase hex digits
    // Hex of ciphertext and tag, either case. Borrowed from the document it
    // was read from: a record must not outlive that document's bytes.
    json::BorrowedString ciphertext;
};

namespace record {
inline constexpr std::uint32_t kVersion = 1;
inline constexpr std::size_t kDocumentLimit = 33'556'480;    // 32 MiB + 2 KiB
inline constexpr std::size_t kMinCiphertextHex = 32;         // the tag alone
inline constexpr std::size_t kMaxCiphertextHex = 33'554'464;  // 16 MiB of plaintext + tag
inline constexpr std::size_t kAssociatedDataSize = 78;

inline constexpr std::string_view kTooLarge = "encrypted record too large";
inline constexpr std::string_view kForeign = "record belongs to another puzzle or protocol";
inline constexpr std::string_view kInvalidLength = "invalid ciphertext length";
inline constexpr std::string_view kAuthenticationFailed = "record authentication failed";
}  // namespace record

// "encrypted record too large" above the document limit (before any
// parsing), then the strict JSON rules with the expectation texts
// "struct EncryptedRecord" and "struct EncryptedRecord with 6 elements".
// The record borrows its ciphertext from `document`.
Result<EncryptedRecord> read_encrypted_record(std::string_view document);

// The 78-byte associated data a record is sealed with.
Bytes record_associated_data(std::uint64_t manifest_epoch, std::uint64_t sequence, const Bytes32& manifest_id);

// Opens `record` with `epoch_key`. `manifest` must already have been
// verified against the pinned service key; it is not verified here. Checks
// in this order, the first failure deciding the error: version 1 and the
// manifest's epoch, then the manifest id ("record belongs to another puzzle
// or protocol"); ciphertext text length ("invalid ciphertext length"); the
// key commitment ("epoch key commitment mismatch"); the nonce ("noncanonical
// hex or wrong length"); the ciphertext hex ("Odd number of digits",
// "Invalid character ..."); authentication ("record authentication failed").
// The record key is wiped on every path; the plaintext wipes itself.
Result<SecureBytes> open_record(const SignedManifest& manifest, const Key32& epoch_key, const EncryptedRecord& record);

}  // namespace zt

namespace zt::json {
template <>
struct Schema<EncryptedRecord> {
    static constexpr std::string_view name = "EncryptedRecord";
    static constexpr std::array fields{
        field<&EncryptedRecord::version>("version"),     field<&EncryptedRecord::epoch>("epoch"),
        field<&EncryptedRecord::sequence>("sequence"),   field<&EncryptedRecord::puzzle_id>("puzzle_id"),
        field<&EncryptedRecord::nonce>("nonce"),         field<&EncryptedRecord::ciphertext>("ciphertext"),
    };
};
}  // namespace zt::json
