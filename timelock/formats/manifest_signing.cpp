#include "timelock/formats/manifest_signing.h"

#include <algorithm>

#include "timelock/base/crypto.h"
#include "timelock/base/protocol.h"

namespace zt {

namespace {

Result<void> append_hex(Bytes& out, std::string_view text, std::size_t bytes) {
    ZT_TRY_ASSIGN(Bytes decoded, decode_hex_fixed(text, bytes));
    append_bytes(out, decoded);
    return success();
}

template <std::size_t N>
Result<std::array<std::uint8_t, N>> decode_array(std::string_view text) {
    ZT_TRY_ASSIGN(Bytes decoded, decode_hex_fixed(text, N));
    std::array<std::uint8_t, N> out{};
    std::copy(decoded.begin(), decoded.end(), out.begin());
    return out;
}

}  // namespace

Result<Bytes> manifest_signing_message(const Manifest& m) {
    ZT_TRY(validate_manifest(m));
    Bytes message;
    message.reserve(kSigningMessageFixedSize + kSigningMessagePerSegment * m.wrapped_keys.size());
    append_text(message, labels::signed_manifest);
    // Validation has proved the manifest's identifiers equal these constants.
    append_be32(message, protocol::kProtocolVersion);
    append_be64(message, m.epoch);
    append_text(message, protocol::kRandomxRelease);
    append_text(message, protocol::kRandomxCommit);
    append_text(message, protocol::kRandomxAlgorithm);
    ZT_TRY(append_hex(message, m.dataset_key, 32));
    append_be64(message, m.iterations);
    append_be32(message, m.segments);
    ZT_TRY(append_hex(message, m.seed_1, 32));
    for (const auto& key : m.wrapped_keys) ZT_TRY(append_hex(message, key, 60));
    ZT_TRY(append_hex(message, m.key_commitment, 32));
    return message;
}

Result<Bytes> manifest_identity_bytes(const SignedManifest& s) {
    ZT_TRY_ASSIGN(Bytes bytes, manifest_signing_message(s.puzzle));
    ZT_TRY(append_hex(bytes, s.service_public_key, 32));
    ZT_TRY(append_hex(bytes, s.service_signature, 64));
    return bytes;
}

Result<std::string> manifest_id(const SignedManifest& s) {
    ZT_TRY_ASSIGN(Bytes bytes, manifest_identity_bytes(s));
    return encode_hex(sha256(bytes));
}

Result<SignedManifest> sign_manifest(const Manifest& manifest, const Ed25519KeyPair& keys) {
    ZT_TRY_ASSIGN(Bytes message, manifest_signing_message(manifest));
    Bytes64 signature = ed25519_sign(keys, message);
    return SignedManifest{manifest, encode_hex(keys.public_key), encode_hex(signature)};
}

Result<void> verify_manifest(const SignedManifest& s, const Bytes32& pin) {
    ZT_TRY_ASSIGN(Bytes32 public_key, decode_array<32>(s.service_public_key));
    if (public_key != pin) return Error(std::string(kSignerMismatch));
    if (!ed25519_decompresses(pin)) return ed25519_decompress_error();
    ZT_TRY_ASSIGN(Bytes message, manifest_signing_message(s.puzzle));
    ZT_TRY_ASSIGN(Bytes64 signature, decode_array<64>(s.service_signature));
    return ed25519_verify_strict(pin, message, signature);
}

}  // namespace zt
