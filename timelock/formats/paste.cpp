#include "timelock/formats/paste.h"

#include <algorithm>

#include "timelock/base/crypto.h"
#include "timelock/ed25519/ed25519.h"
#include "timelock/formats/manifest_signing.h"

namespace zt {

namespace {

Error foreign() { return Error(std::string(paste::kForeign)); }

bool lowercase_hex(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

Result<void> append_hex32(Bytes& out, std::string_view text) {
    ZT_TRY_ASSIGN(const Bytes32 bytes, decode_hex_fixed<32>(text));
    append_bytes(out, bytes);
    return success();
}

}  // namespace

Result<void> check_artifact(std::string_view name, std::string_view suffix) {
    if (name.size() < suffix.size() || !name.ends_with(suffix)) {
        return Error(std::string(paste::kInvalidArtifact));
    }
    ZT_TRY(decode_hex_fixed<32>(name.substr(0, name.size() - suffix.size())));
    return success();
}

Result<Paste> read_paste(std::string_view document) {
    if (document.size() > paste::kDocumentLimit) return Error(std::string(paste::kTooLarge));
    ZT_TRY_ASSIGN(Paste parsed, json::parse<Paste>(document));
    ZT_TRY(verify_paste(parsed));
    return parsed;
}

Result<Bytes> build_paste_context(const Paste& p) {
    if (p.version != paste::kVersion) return Error(std::string(paste::kUnsupportedVersion));
    ZT_TRY(check_artifact(p.puzzle_artifact, paste::kPuzzleArtifactSuffix));
    ZT_TRY(check_artifact(p.evidence_artifact, paste::kEvidenceArtifactSuffix));

    Bytes context;
    context.reserve(paste::kContextSize);
    append_text(context, labels::paste_context);
    append_be32(context, paste::kVersion);
    append_be64(context, p.epoch);
    ZT_TRY(append_hex32(context, p.puzzle_id));
    append_text(context, p.puzzle_artifact);
    append_text(context, p.evidence_artifact);
    ZT_TRY(append_hex32(context, p.tag_id));
    append_be64(context, p.sequence);
    append_be64(context, p.created_at_ms);
    ZT_TRY(append_hex32(context, p.service_public_key));
    return context;
}

Result<Bytes> paste_signed_message(const Paste& p) {
    ZT_TRY_ASSIGN(Bytes message, build_paste_context(p));
    ZT_TRY_ASSIGN(const auto nonce, decode_hex_fixed<24>(p.nonce));
    ZT_TRY_ASSIGN(const Bytes ciphertext, decode_hex_bytes(p.ciphertext));  // only an odd length is left to fail
    ZT_TRY_ASSIGN(const auto wrapped_key, decode_hex_fixed<60>(p.wrapped_key));

    // The ciphertext limit bounds the length far below 2^32.
    message.reserve(message.size() + nonce.size() + 4 + ciphertext.size() + wrapped_key.size());
    append_bytes(message, nonce);
    append_be32(message, static_cast<std::uint32_t>(ciphertext.size()));
    append_bytes(message, ciphertext);
    append_bytes(message, wrapped_key);
    return message;
}

Result<void> verify_paste(const Paste& p) {
    ZT_TRY_ASSIGN(const Bytes32 public_key, decode_hex_fixed<32>(p.service_public_key));
    if (!ed25519_decompresses(public_key)) return ed25519_decompress_error();
    if (p.ciphertext.size() < paste::kMinCiphertextHex || p.ciphertext.size() > paste::kMaxCiphertextHex) {
        return Error(std::string(paste::kInvalidSize));
    }
    // Signed bytes have one text form: uppercase would verify the same bytes.
    if (!lowercase_hex(p.ciphertext)) return Error(std::string(paste::kInvalidEncoding));

    ZT_TRY_ASSIGN(const Bytes message, paste_signed_message(p));
    ZT_TRY_ASSIGN(const Bytes64 signature, decode_hex_fixed<64>(p.service_signature));
    return ed25519_verify_strict(public_key, message, signature);
}

Result<SecureBytes> open_paste(const SignedManifest& manifest, const Bytes32& pin, const Paste& p,
                               const Key32& epoch_key) {
    ZT_TRY(verify_manifest(manifest, pin));
    ZT_TRY(verify_paste(p));

    // Identity: this puzzle, and the pinned service that signed the manifest.
    if (p.epoch != manifest.puzzle.epoch) return foreign();
    ZT_TRY_ASSIGN(const std::string id, manifest_id(manifest));
    if (p.puzzle_id != id) return foreign();
    if (p.service_public_key != manifest.service_public_key) return foreign();

    if (key_commitment(epoch_key) != manifest.puzzle.key_commitment) {
        return Error(std::string(kCommitmentMismatch));
    }

    ZT_TRY_ASSIGN(const Bytes context, build_paste_context(p));
    const Key32 content_key = derive_key(labels::paste_content_key, epoch_key, context);
    ZT_TRY_ASSIGN(const auto nonce, decode_hex_fixed<24>(p.nonce));
    ZT_TRY_ASSIGN(const Bytes ciphertext, decode_hex_bytes(p.ciphertext));
    auto plaintext = open_xchacha(content_key, nonce, context, ciphertext);
    if (!plaintext) return Error(std::string(paste::kAuthenticationFailed));
    return std::move(*plaintext);
}

}  // namespace zt
