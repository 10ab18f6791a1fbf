#include "timelock/formats/record.h"

#include "timelock/base/bytes.h"
#include "timelock/base/crypto.h"
#include "timelock/formats/manifest_signing.h"

namespace zt {

namespace {

constexpr std::size_t kTagBytes = 16;

Error foreign() { return Error(std::string(record::kForeign)); }

}  // namespace

Result<EncryptedRecord> read_encrypted_record(std::string_view document) {
    if (document.size() > record::kDocumentLimit) return Error(std::string(record::kTooLarge));
    return json::parse<EncryptedRecord>(document);
}

Bytes record_associated_data(std::uint64_t manifest_epoch, std::uint64_t sequence, const Bytes32& manifest_id) {
    Bytes aad;
    aad.reserve(record::kAssociatedDataSize);
    append_text(aad, labels::record_aad);
    append_be32(aad, record::kVersion);
    append_be64(aad, manifest_epoch);
    append_be64(aad, sequence);
    append_bytes(aad, manifest_id);
    return aad;
}

Result<SecureBytes> open_record(const SignedManifest& manifest, const Key32& epoch_key,
                                const EncryptedRecord& record) {
    // 1-2. Identity: the record must name this protocol version and puzzle.
    if (record.version != record::kVersion || record.epoch != manifest.puzzle.epoch) return foreign();
    ZT_TRY_ASSIGN(const std::string id, manifest_id(manifest));
    if (record.puzzle_id != id) return foreign();

    // 3. Length only; the characters are the hex decoder's business.
    const std::string_view hex = record.ciphertext.text();
    if (hex.size() < record::kMinCiphertextHex || hex.size() > record::kMaxCiphertextHex) {
        return Error(std::string(record::kInvalidLength));
    }

    // 4. The key must be the puzzle's before it is used for anything.
    if (key_commitment(epoch_key) != manifest.puzzle.key_commitment) {
        return Error(std::string(kCommitmentMismatch));
    }

    // 5. The id came from encode_hex, so it always decodes.
    ZT_TRY_ASSIGN(const Bytes32 id_bytes, decode_hex_fixed<32>(id));
    const Key32 record_key = derive_key(labels::record_key, epoch_key, id_bytes);

    // 6-7. The ciphertext is decoded straight from the document text into the
    // buffer that is then decrypted in place and returned as the plaintext.
    ZT_TRY_ASSIGN(const auto nonce, decode_hex_fixed<24>(record.nonce));
    SecureBytes buffer(hex.size() / 2);
    ZT_TRY(decode_hex_bytes_into(hex, buffer));

    // 8-9. The epoch bound in is the manifest's, equal to the record's (step 1).
    const Bytes aad = record_associated_data(manifest.puzzle.epoch, record.sequence, id_bytes);
    if (!open_xchacha_in_place(record_key, nonce, aad, buffer)) {
        return Error(std::string(record::kAuthenticationFailed));
    }
    buffer.resize(buffer.size() - kTagBytes);  // capacity kept, and wiped on release
    return buffer;
}

}  // namespace zt
