// Hashing, key derivation, the two AEAD modes and OS randomness, on top of
// libsodium's SHA-256, HMAC-SHA-256 and ChaCha20-Poly1305 implementations.
#include "timelock/base/crypto.h"

#include <sodium.h>
#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "timelock/base/sodium_init.h"

namespace zt {

namespace detail {

void ensure_sodium() {
    // A function-local static is initialised exactly once even under
    // concurrent first calls.
    static const bool ready = [] {
        if (sodium_init() < 0) {
            std::fputs("zanth-timelock: libsodium failed to initialise\n", stderr);
            std::abort();
        }
        return true;
    }();
    (void)ready;
}

}  // namespace detail

namespace {

constexpr std::size_t kTagBytes = 16;

// HMAC-SHA-256 over the concatenation of `parts`. The state holds key
// material; libsodium's final step wipes most of it, and the whole state is
// wiped again here.
template <std::size_t Parts>
Key32 hmac_parts(std::span<const std::uint8_t> key,
                 const std::array<std::span<const std::uint8_t>, Parts>& parts) {
    detail::ensure_sodium();
    // The key pointer is declared non-null even for an empty key.
    static constexpr std::uint8_t kNoKey = 0;
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, key.empty() ? &kNoKey : key.data(), key.size());
    for (const auto& part : parts) crypto_auth_hmacsha256_update(&state, part.data(), part.size());
    Key32 tag;
    crypto_auth_hmacsha256_final(&state, tag.data());
    wipe(&state, sizeof state);
    return tag;
}

// libsodium's IETF ChaCha20-Poly1305 and XChaCha20-Poly1305 decryptions,
// which differ only in the nonce length.
using AeadDecrypt = int (*)(unsigned char* m, unsigned long long* mlen, unsigned char* nsec, const unsigned char* c,
                            unsigned long long clen, const unsigned char* ad, unsigned long long adlen,
                            const unsigned char* npub, const unsigned char* k);

// Opens into a buffer that wipes itself; nothing on a bad tag or a short
// input. `nonce` has the length `decrypt` expects.
std::optional<SecureBytes> open_into_new_buffer(AeadDecrypt decrypt, const Key32& key, const std::uint8_t* nonce,
                                                std::span<const std::uint8_t> aad,
                                                std::span<const std::uint8_t> ciphertext_and_tag) {
    detail::ensure_sodium();
    if (ciphertext_and_tag.size() < kTagBytes) return std::nullopt;
    // libsodium checks the tag in constant time before it decrypts anything.
    SecureBytes plain(ciphertext_and_tag.size() - kTagBytes);
    unsigned long long plain_len = 0;
    if (decrypt(plain.data(), &plain_len, nullptr, ciphertext_and_tag.data(), ciphertext_and_tag.size(), aad.data(),
                aad.size(), nonce, key.data()) != 0 ||
        plain_len != plain.size()) {
        return std::nullopt;  // `plain` wipes itself
    }
    return plain;
}

// The encryptions of the same two constructions.
using AeadEncrypt = int (*)(unsigned char* c, unsigned long long* clen, const unsigned char* m,
                            unsigned long long mlen, const unsigned char* ad, unsigned long long adlen,
                            const unsigned char* nsec, const unsigned char* npub, const unsigned char* k);

// Ciphertext and tag in a new buffer; `nonce` has the length `encrypt`
// expects, `max_plaintext` is its limit.
Result<Bytes> seal_into_new_buffer(AeadEncrypt encrypt, std::size_t max_plaintext, const Key32& key,
                                   const std::uint8_t* nonce, std::span<const std::uint8_t> aad,
                                   std::span<const std::uint8_t> plaintext) {
    detail::ensure_sodium();
    if (plaintext.size() > max_plaintext) return Error(std::string(kAeadEncryption));
    Bytes out(plaintext.size() + kTagBytes);
    unsigned long long out_len = 0;
    if (encrypt(out.data(), &out_len, plaintext.data(), plaintext.size(), aad.data(), aad.size(), nullptr, nonce,
                key.data()) != 0 ||
        out_len != out.size()) {
        return Error(std::string(kAeadEncryption));
    }
    return out;
}

}  // namespace

Bytes32 sha256(std::span<const std::uint8_t> data) {
    detail::ensure_sodium();
    Bytes32 digest{};
    crypto_hash_sha256(digest.data(), data.data(), data.size());
    return digest;
}

std::string key_commitment(const Key32& key) { return encode_hex(sha256(key.span())); }

Key32 hmac_sha256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message) {
    return hmac_parts<1>(key, {message});
}

Key32 hkdf_sha256_32(std::span<const std::uint8_t> salt, std::span<const std::uint8_t> ikm,
                     std::span<const std::uint8_t> info) {
    // An empty HMAC key is zero-padded to the block size, exactly like the 32
    // zero bytes RFC 5869 substitutes for a missing salt.
    const Key32 prk = hmac_parts<1>(salt, {ikm});
    static constexpr std::uint8_t kFirstBlock = 0x01;
    return hmac_parts<2>(prk.span(), {info, std::span<const std::uint8_t>(&kFirstBlock, 1)});
}

Key32 derive_key(std::string_view salt_label, const Key32& ikm, std::span<const std::uint8_t> info) {
    return hkdf_sha256_32(as_bytes(salt_label), ikm.span(), info);
}

Result<Bytes> seal_chacha(const Key32& key, std::span<const std::uint8_t, 12> nonce,
                          std::span<const std::uint8_t> aad, std::span<const std::uint8_t> plaintext) {
    return seal_into_new_buffer(crypto_aead_chacha20poly1305_ietf_encrypt,
                                crypto_aead_chacha20poly1305_ietf_MESSAGEBYTES_MAX, key, nonce.data(), aad, plaintext);
}

Result<Bytes> seal_xchacha(const Key32& key, std::span<const std::uint8_t, 24> nonce,
                           std::span<const std::uint8_t> aad, std::span<const std::uint8_t> plaintext) {
    return seal_into_new_buffer(crypto_aead_xchacha20poly1305_ietf_encrypt,
                                crypto_aead_xchacha20poly1305_ietf_MESSAGEBYTES_MAX, key, nonce.data(), aad,
                                plaintext);
}

std::optional<SecureBytes> open_chacha(const Key32& key, std::span<const std::uint8_t, 12> nonce,
                                       std::span<const std::uint8_t> aad,
                                       std::span<const std::uint8_t> ciphertext_and_tag) {
    return open_into_new_buffer(crypto_aead_chacha20poly1305_ietf_decrypt, key, nonce.data(), aad,
                                ciphertext_and_tag);
}

std::optional<SecureBytes> open_xchacha(const Key32& key, std::span<const std::uint8_t, 24> nonce,
                                        std::span<const std::uint8_t> aad,
                                        std::span<const std::uint8_t> ciphertext_and_tag) {
    // The HChaCha20 subkey lives and is wiped inside libsodium.
    return open_into_new_buffer(crypto_aead_xchacha20poly1305_ietf_decrypt, key, nonce.data(), aad,
                                ciphertext_and_tag);
}

bool open_xchacha_in_place(const Key32& key, std::span<const std::uint8_t, 24> nonce,
                           std::span<const std::uint8_t> aad, std::span<std::uint8_t> ciphertext_and_tag) {
    detail::ensure_sodium();
    if (ciphertext_and_tag.size() < kTagBytes) return false;
    // libsodium authenticates the whole input before its keystream touches
    // the output, so the same buffer may be both; after a bad tag it zeroes
    // the output instead of decrypting.
    unsigned long long plain_len = 0;
    return crypto_aead_xchacha20poly1305_ietf_decrypt(ciphertext_and_tag.data(), &plain_len, nullptr,
                                                      ciphertext_and_tag.data(), ciphertext_and_tag.size(),
                                                      aad.data(), aad.size(), nonce.data(), key.data()) == 0 &&
           plain_len == ciphertext_and_tag.size() - kTagBytes;
}

Result<void> random_bytes(std::span<std::uint8_t> out) {
    // getrandom may be interrupted by a signal or return fewer bytes than
    // asked (large requests); both are retried. Any other failure leaves
    // the buffer zeroed rather than partly random.
    std::size_t filled = 0;
    while (filled < out.size()) {
        const ssize_t got = getrandom(out.data() + filled, out.size() - filled, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {  // 0 is never expected; treated as failure rather than spinning
            wipe(out.data(), out.size());
            return Error(std::string(kOsRandomnessFailed));
        }
        filled += static_cast<std::size_t>(got);
    }
    return success();
}

}  // namespace zt
