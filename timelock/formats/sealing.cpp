#include "timelock/formats/sealing.h"

#include <array>

#include "timelock/base/bytes.h"
#include "timelock/base/crypto.h"
#include "timelock/formats/manifest_signing.h"
#include "timelock/formats/record.h"
#include "timelock/json/text.h"

namespace zt {

namespace {

// "name": and a JSON value; `space` after the colon or not. Built by
// appending (concatenating temporaries trips a false -Wrestrict in GCC 12).
std::string member_with_value(std::string_view name, const std::string& value, bool space) {
    std::string out = json::quoted(name);
    out.append(space ? ": " : ":");
    out.append(value);
    return out;
}

std::string member(std::string_view name, std::string_view text, bool space = false) {
    return member_with_value(name, json::quoted(text), space);
}

std::string member(std::string_view name, std::uint64_t value, bool space = false) {
    return member_with_value(name, std::to_string(value), space);
}

Result<void> check_commitment(const SignedManifest& manifest, const Key32& epoch_key) {
    if (key_commitment(epoch_key) != manifest.puzzle.key_commitment) return Error(std::string(kCommitmentMismatch));
    return success();
}

}  // namespace

Result<std::string> seal_record(const SignedManifest& manifest, const Key32& epoch_key, std::uint64_t sequence,
                                std::span<const std::uint8_t> plaintext) {
    // 1. What could never be opened is refused before anything is derived.
    if (plaintext.size() > kRecordPlaintextLimit) return Error(std::string(kRecordPlaintextTooLarge));
    ZT_TRY(check_commitment(manifest, epoch_key));

    // 2. The record key and associated data of the puzzle, as open_record builds them.
    ZT_TRY_ASSIGN(const std::string id, manifest_id(manifest));
    ZT_TRY_ASSIGN(const Bytes32 id_bytes, decode_hex_fixed<32>(id));
    const Key32 record_key = derive_key(labels::record_key, epoch_key, id_bytes);
    const Bytes aad = record_associated_data(manifest.puzzle.epoch, sequence, id_bytes);

    // 3. A fresh nonce, then the sealing.
    std::array<std::uint8_t, 24> nonce{};
    ZT_TRY(random_bytes(nonce));
    ZT_TRY_ASSIGN(const Bytes sealed, seal_xchacha(record_key, nonce, aad, plaintext));

    // 4. The document, in the declared member order.
    const std::string members[] = {
        member("version", std::uint64_t{record::kVersion}), member("epoch", manifest.puzzle.epoch),
        member("sequence", sequence),                        member("puzzle_id", id),
        member("nonce", encode_hex(nonce)),                  member("ciphertext", encode_hex(sealed)),
    };
    std::string out = "{";
    for (const std::string& m : members) {
        if (out.size() > 1) out.push_back(',');
        out.append(m);
    }
    out.append("}\n");
    return out;
}

Result<Paste> seal_paste(const SignedManifest& manifest, const Key32& epoch_key, const PasteDescription& description,
                         std::span<const std::uint8_t> plaintext, const Ed25519KeyPair& signer) {
    // 1. The descriptive fields, checked in the reader's order by building
    // the context of a paste that has them (the ciphertext comes later).
    Paste paste;
    paste.version = paste::kVersion;
    paste.epoch = manifest.puzzle.epoch;
    ZT_TRY_ASSIGN(paste.puzzle_id, manifest_id(manifest));
    paste.puzzle_artifact = description.puzzle_artifact;
    paste.evidence_artifact = description.evidence_artifact;
    paste.tag_id = description.tag_id;
    paste.sequence = description.sequence;
    paste.created_at_ms = description.created_at_ms;
    paste.service_public_key = encode_hex(signer.public_key);
    ZT_TRY_ASSIGN(const Bytes context, build_paste_context(paste));

    // 2. Only the manifest's own signer may sign its pastes (decrypt-paste
    // would refuse any other); the plaintext must fit; the key must be the puzzle's.
    if (paste.service_public_key != manifest.service_public_key) return Error(std::string(paste::kForeign));
    if (plaintext.size() > kPastePlaintextLimit) return Error(std::string(kPastePlaintextTooLarge));
    ZT_TRY(check_commitment(manifest, epoch_key));

    // 3. Content key from the context, a fresh nonce, the sealing.
    const Key32 content_key = derive_key(labels::paste_content_key, epoch_key, context);
    std::array<std::uint8_t, 24> nonce{};
    ZT_TRY(random_bytes(nonce));
    ZT_TRY_ASSIGN(const Bytes sealed, seal_xchacha(content_key, nonce, context, plaintext));
    paste.nonce = encode_hex(nonce);
    paste.ciphertext = encode_hex(sealed);
    paste.wrapped_key = manifest.puzzle.wrapped_keys.back();

    // 4. The signature over everything.
    ZT_TRY_ASSIGN(const Bytes message, paste_signed_message(paste));
    paste.service_signature = encode_hex(ed25519_sign(signer, message));
    return paste;
}

std::string write_paste(const Paste& p) {
    // One member per line, as the other documents are laid out.
    const std::string fields[] = {
        member("version", std::uint64_t{p.version}, true),
        member("epoch", p.epoch, true),
        member("puzzle_id", p.puzzle_id, true),
        member("puzzle_artifact", p.puzzle_artifact, true),
        member("evidence_artifact", p.evidence_artifact, true),
        member("tag_id", p.tag_id, true),
        member("sequence", p.sequence, true),
        member("created_at_ms", p.created_at_ms, true),
        member("service_public_key", p.service_public_key, true),
        member("nonce", p.nonce, true),
        member("ciphertext", p.ciphertext, true),
        member("wrapped_key", p.wrapped_key, true),
        member("service_signature", p.service_signature, true),
    };
    std::string out = "{";
    for (std::size_t i = 0; i < std::size(fields); ++i) {
        out.append(i == 0 ? "\n  " : ",\n  ");
        out.append(fields[i]);
    }
    out.append("\n}\n");
    return out;
}

}  // namespace zt
