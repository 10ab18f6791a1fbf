#include "tests/support/record_maker.h"
#include "tests/support/sealing_bytes.h"

#include <sodium.h>

#include <stdexcept>

#include "tests/support/signed_manifest.h"
#include "timelock/base/crypto.h"
#include "timelock/formats/manifest_signing.h"

namespace zt::test {

namespace {

void sodium_ready() {
    if (sodium_init() < 0) throw std::runtime_error("libsodium failed to initialise");
}

}  // namespace

Key32 random_key() {
    sodium_ready();
    Key32 key;
    randombytes_buf(key.data(), key.size());
    return key;
}

TestPuzzle make_test_puzzle(std::uint64_t epoch) {
    TestPuzzle puzzle{random_key(), {}};
    puzzle.manifest = make_signed_manifest({.epoch = epoch, .epoch_key = puzzle.epoch_key});
    return puzzle;
}

std::string unhex(std::string_view hex) {
    std::string out(hex.size() / 2, '\0');
    std::size_t len = 0;
    if (hex.size() % 2 != 0 ||
        sodium_hex2bin(reinterpret_cast<unsigned char*>(out.data()), out.size(), hex.data(), hex.size(), nullptr,
                       &len, nullptr) != 0 ||
        len != out.size()) {
        throw std::runtime_error("bad test hex: " + std::string(hex));
    }
    return out;
}

Key32 hkdf_sha256(std::string_view salt, const Key32& key, std::string_view info) {
    sodium_ready();
    Key32 prk;
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, reinterpret_cast<const unsigned char*>(salt.data()), salt.size());
    crypto_auth_hmacsha256_update(&state, key.data(), key.size());
    crypto_auth_hmacsha256_final(&state, prk.data());
    Key32 okm;
    const unsigned char counter = 1;
    crypto_auth_hmacsha256_init(&state, prk.data(), prk.size());
    crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char*>(info.data()), info.size());
    crypto_auth_hmacsha256_update(&state, &counter, 1);
    crypto_auth_hmacsha256_final(&state, okm.data());
    return okm;
}

RecordFields seal_record(const SignedManifest& manifest, const Key32& epoch_key, std::string_view plaintext,
                         std::uint64_t sequence) {
    auto id = manifest_id(manifest);
    if (!id) throw std::runtime_error("test record: " + id.error().message());

    RecordFields record;
    record.epoch = manifest.puzzle.epoch;
    record.sequence = sequence;
    record.puzzle_id = *id;

    const std::string id_bytes = unhex(*id);
    const Key32 key = hkdf_sha256("zanth-record-key-v1", epoch_key, id_bytes);
    std::string aad("zanth-encrypted-record-v1", 25);
    aad.push_back('\0');
    put_be(aad, 1, 4);
    put_be(aad, manifest.puzzle.epoch, 8);
    put_be(aad, sequence, 8);
    aad += id_bytes;

    std::string nonce(crypto_aead_xchacha20poly1305_ietf_NPUBBYTES, '\0');
    randombytes_buf(nonce.data(), nonce.size());
    std::string sealed(plaintext.size() + crypto_aead_xchacha20poly1305_ietf_ABYTES, '\0');
    unsigned long long sealed_len = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(
        reinterpret_cast<unsigned char*>(sealed.data()), &sealed_len,
        reinterpret_cast<const unsigned char*>(plaintext.data()), plaintext.size(),
        reinterpret_cast<const unsigned char*>(aad.data()), aad.size(), nullptr,
        reinterpret_cast<const unsigned char*>(nonce.data()), key.data());
    record.nonce = hex_of(nonce);
    record.ciphertext = hex_of(sealed);
    return record;
}

std::string record_json(const RecordFields& r) {
    return "{\"version\":" + std::to_string(r.version) + ",\"epoch\":" + std::to_string(r.epoch) +
           ",\"sequence\":" + std::to_string(r.sequence) + ",\"puzzle_id\":" + quoted(r.puzzle_id) +
           ",\"nonce\":" + quoted(r.nonce) + ",\"ciphertext\":" + quoted(r.ciphertext) + "}";
}

std::string record_json_positional(const RecordFields& r) {
    return "[" + std::to_string(r.version) + "," + std::to_string(r.epoch) + "," + std::to_string(r.sequence) +
           "," + quoted(r.puzzle_id) + "," + quoted(r.nonce) + "," + quoted(r.ciphertext) + "]";
}

}  // namespace zt::test
