// Ed25519 key pairs and signing through libsodium; strict verification on
// this module's own group arithmetic (ed25519/group.h).
#include "timelock/ed25519/ed25519.h"

#include <sodium.h>

#include <algorithm>
#include <string>

#include "timelock/base/sodium_init.h"
#include "timelock/ed25519/group.h"

namespace zt {
namespace {

constexpr const char* kHighBitScalar = "Cannot use scalar with high-bit set";
constexpr const char* kNoDecompress = "Cannot decompress Edwards point";
constexpr const char* kEquation = "Verification equation was not satisfied";

Error signature_error(const std::string& cause) { return Error("signature error: " + cause, {cause}); }

// The group order L = 2^252 + 27742317777372353535851937790883648493, little-endian.
constexpr ed25519::Scalar kGroupOrder = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                         0xa2, 0xde, 0xf9, 0xde, 0x14, 0,    0,    0,    0,    0,    0,
                                         0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};

// S < L, compared from the most significant byte down. Every S with its top
// bit set is already >= L.
bool scalar_is_canonical(const ed25519::Scalar& s) {
    for (std::size_t i = s.size(); i-- > 0;) {
        if (s[i] != kGroupOrder[i]) return s[i] < kGroupOrder[i];
    }
    return false;  // S == L
}

// libsodium's 64-byte secret key (seed || public key) for `seed`.
Secret<64> libsodium_secret_key(const Key32& seed, Bytes32& public_key) {
    detail::ensure_sodium();
    Secret<64> secret;
    crypto_sign_seed_keypair(public_key.data(), secret.data(), seed.data());
    return secret;
}

}  // namespace

Ed25519KeyPair ed25519_from_seed(const Key32& seed) {
    Ed25519KeyPair keys{seed, {}};
    (void)libsodium_secret_key(seed, keys.public_key);  // wiped on destruction
    return keys;
}

Bytes64 ed25519_sign(const Ed25519KeyPair& keys, std::span<const std::uint8_t> message) {
    // The secret key is rebuilt from the seed rather than trusting the
    // stored public key to match it: libsodium signs with whatever public
    // key half it is handed.
    Bytes32 public_key{};
    const Secret<64> secret = libsodium_secret_key(keys.seed, public_key);
    Bytes64 signature{};
    crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(), secret.data());
    return signature;
}

bool ed25519_decompresses(const Bytes32& public_key) { return ed25519::decompress(public_key).has_value(); }

Error ed25519_decompress_error() { return signature_error(kNoDecompress); }

Result<void> ed25519_verify_strict(const Bytes32& public_key, std::span<const std::uint8_t> message,
                                   const Bytes64& signature) {
    detail::ensure_sodium();
    ed25519::Encoded r_bytes{};
    ed25519::Scalar s{};
    std::copy(signature.begin(), signature.begin() + 32, r_bytes.begin());
    std::copy(signature.begin() + 32, signature.end(), s.begin());

    // 1. S must be a canonical scalar.
    if (!scalar_is_canonical(s)) return signature_error(kHighBitScalar);

    // 2. The public key must decode.
    const auto a = ed25519::decompress(public_key);
    if (!a) return ed25519_decompress_error();

    // 3. R must decode, and neither point may be of small order.
    const auto r = ed25519::decompress(r_bytes);
    if (!r || ed25519::is_small_order(*r) || ed25519::is_small_order(*a)) return signature_error(kEquation);

    // 4. k = SHA-512(R || A || M) mod L over the bytes as given; then the
    //    cofactorless equation, compared as encodings with R byte for byte.
    std::array<std::uint8_t, 64> digest{};
    crypto_hash_sha512_state hash;
    crypto_hash_sha512_init(&hash);
    crypto_hash_sha512_update(&hash, r_bytes.data(), r_bytes.size());
    crypto_hash_sha512_update(&hash, public_key.data(), public_key.size());
    crypto_hash_sha512_update(&hash, message.data(), message.size());
    crypto_hash_sha512_final(&hash, digest.data());
    ed25519::Scalar k{};
    crypto_core_ed25519_scalar_reduce(k.data(), digest.data());

    const ed25519::Point check = ed25519::double_scalar_mul_base(s, k, ed25519::negate(*a));
    if (ed25519::encode(check) != r_bytes) return signature_error(kEquation);
    return success();
}

}  // namespace zt
