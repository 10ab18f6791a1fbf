#include "tests/support/paste_maker.h"

#include <sodium.h>

#include <stdexcept>

#include "tests/support/record_maker.h"
#include "tests/support/sealing_bytes.h"
#include "tests/support/signed_manifest.h"
#include "timelock/base/crypto.h"
#include "timelock/formats/manifest_signing.h"

namespace zt::test {

namespace {

// The context as laid out for the service: whatever the fields hold, with
// hex fields decoded leniently (a test may sign values the program refuses).
std::string context_of(const Paste& p) {
    std::string context("attested-zanth-paste-context-v1", 31);
    context.push_back('\0');
    put_be(context, p.version, 4);
    put_be(context, p.epoch, 8);
    context += unhex(p.puzzle_id);
    context += p.puzzle_artifact;
    context += p.evidence_artifact;
    context += unhex(p.tag_id);
    put_be(context, p.sequence, 8);
    put_be(context, p.created_at_ms, 8);
    context += unhex(p.service_public_key);
    return context;
}

}  // namespace

void sign_paste(Paste& p, const Ed25519KeyPair& signer) {
    const std::string ciphertext = unhex(p.ciphertext);
    std::string message = context_of(p);
    message += unhex(p.nonce);
    put_be(message, ciphertext.size(), 4);
    message += ciphertext;
    message += unhex(p.wrapped_key);
    const Bytes64 signature = ed25519_sign(signer, as_bytes(message));
    p.service_signature = encode_hex(signature);
}

void reseal_paste(Paste& p, const Key32& epoch_key, std::string_view plaintext, const Ed25519KeyPair& signer) {
    const std::string context = context_of(p);
    const Key32 key = hkdf_sha256("attested-zanth-paste-content-key-v1", epoch_key, context);
    const std::string nonce = unhex(p.nonce);
    std::string sealed(plaintext.size() + crypto_aead_xchacha20poly1305_ietf_ABYTES, '\0');
    unsigned long long sealed_len = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(
        reinterpret_cast<unsigned char*>(sealed.data()), &sealed_len,
        reinterpret_cast<const unsigned char*>(plaintext.data()), plaintext.size(),
        reinterpret_cast<const unsigned char*>(context.data()), context.size(), nullptr,
        reinterpret_cast<const unsigned char*>(nonce.data()), key.data());
    p.ciphertext = hex_of(sealed);
    sign_paste(p, signer);
}

Paste seal_paste(const SignedManifest& manifest, const Key32& epoch_key, std::string_view plaintext,
                 const Ed25519KeyPair& signer) {
    auto id = manifest_id(manifest);
    if (!id) throw std::runtime_error("test paste: " + id.error().message());
    Paste p;
    p.version = 1;
    p.epoch = manifest.puzzle.epoch;
    p.puzzle_id = *id;
    p.puzzle_artifact = random_hex(32) + ".puzzle.json";
    p.evidence_artifact = random_hex(32) + ".attestation.json";
    p.tag_id = random_hex(32);
    p.sequence = 17;
    p.created_at_ms = 1'717'171'717'171;
    p.service_public_key = encode_hex(signer.public_key);
    p.nonce = random_hex(24);
    p.wrapped_key = random_hex(60);
    reseal_paste(p, epoch_key, plaintext, signer);
    return p;
}

Paste seal_paste(const SignedManifest& manifest, const Key32& epoch_key, std::string_view plaintext) {
    return seal_paste(manifest, epoch_key, plaintext, service_keys());
}

std::string paste_json(const Paste& p) {
    return "{\n  \"version\": " + std::to_string(p.version) + ",\n  \"epoch\": " + std::to_string(p.epoch) +
           ",\n  \"puzzle_id\": " + quoted(p.puzzle_id) + ",\n  \"puzzle_artifact\": " + quoted(p.puzzle_artifact) +
           ",\n  \"evidence_artifact\": " + quoted(p.evidence_artifact) + ",\n  \"tag_id\": " + quoted(p.tag_id) +
           ",\n  \"sequence\": " + std::to_string(p.sequence) +
           ",\n  \"created_at_ms\": " + std::to_string(p.created_at_ms) +
           ",\n  \"service_public_key\": " + quoted(p.service_public_key) + ",\n  \"nonce\": " + quoted(p.nonce) +
           ",\n  \"ciphertext\": " + quoted(p.ciphertext) + ",\n  \"wrapped_key\": " + quoted(p.wrapped_key) +
           ",\n  \"service_signature\": " + quoted(p.service_signature) + "\n}\n";
}

std::string paste_json_positional(const Paste& p) {
    return "[" + std::to_string(p.version) + "," + std::to_string(p.epoch) + "," + quoted(p.puzzle_id) + "," +
           quoted(p.puzzle_artifact) + "," + quoted(p.evidence_artifact) + "," + quoted(p.tag_id) + "," +
           std::to_string(p.sequence) + "," + std::to_string(p.created_at_ms) + "," +
           quoted(p.service_public_key) + "," + quoted(p.nonce) + "," + quoted(p.ciphertext) + "," +
           quoted(p.wrapped_key) + "," + quoted(p.service_signature) + "]";
}

}  // namespace zt::test
