// The program's cryptographic constructions: hex rules, hashing, the key
// commitment, HKDF-SHA256 key derivation, the two AEAD modes, OS randomness,
// and the domain-separation labels.
//
// Everything here is a pure function of its arguments and safe to call from
// any thread. Derived keys and plaintexts come back in self-wiping holders.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "timelock/base/bytes.h"
#include "timelock/base/error.h"
#include "timelock/base/secret.h"

namespace zt {

// Domain-separation labels, exactly as they enter the byte strings they open.
// Context labels carry their terminating zero byte; salts and the step label
// do not.
namespace labels {
using namespace std::string_view_literals;
inline constexpr std::string_view step = "zanth-timelock-v1"sv;                       // 17, also the wrap-key salt
inline constexpr std::string_view wrap_context = "zanth-timelock-wrap-v1\0"sv;        // 23
inline constexpr std::string_view signed_manifest = "zanth-timelock-signed-manifest-v1\0"sv;  // 34
inline constexpr std::string_view checkpoint = "zanth-timelock-checkpoint-v1\0"sv;    // 29
inline constexpr std::string_view record_key = "zanth-record-key-v1"sv;               // 19
inline constexpr std::string_view record_aad = "zanth-encrypted-record-v1\0"sv;       // 26
inline constexpr std::string_view paste_context = "attested-zanth-paste-context-v1\0"sv;  // 32
inline constexpr std::string_view paste_content_key = "attested-zanth-paste-content-key-v1"sv;  // 35
}  // namespace labels

inline constexpr std::string_view kNoncanonicalHex = "noncanonical hex or wrong length";
inline constexpr std::string_view kOddHexDigits = "Odd number of digits";
inline constexpr std::string_view kAeadEncryption = "AEAD encryption";
inline constexpr std::string_view kOsRandomnessFailed = "OS randomness failed";
// What every holder of an epoch key reports when its key_commitment is not
// the manifest's; checked before the key is used for anything.
inline constexpr std::string_view kCommitmentMismatch = "epoch key commitment mismatch";

// Canonical fixed-length hex: exactly 2*n characters from 0-9 a-f, else
// "noncanonical hex or wrong length". Length and character set are checked
// before any byte is produced.
Result<Bytes> decode_hex_fixed(std::string_view text, std::size_t n);

// The same rule decoding into a caller's buffer of n = out.size() bytes;
// `out` is untouched on failure.
Result<void> decode_hex_fixed_into(std::string_view text, std::span<std::uint8_t> out);

template <std::size_t N>
Result<std::array<std::uint8_t, N>> decode_hex_fixed(std::string_view text) {
    std::array<std::uint8_t, N> out{};
    ZT_TRY(decode_hex_fixed_into(text, out));
    return out;
}

// Lenient variable-length hex (either case): "Odd number of digits" or
// "Invalid character 'c' at position i".
Result<Bytes> decode_hex_bytes(std::string_view text);

// The same rule decoding into a caller's buffer, for large values that go
// straight into the buffer they are used in. An odd length fails first;
// otherwise `out` must hold exactly text.size() / 2 bytes. On failure `out`
// may be partly written.
Result<void> decode_hex_bytes_into(std::string_view text, std::span<std::uint8_t> out);

// Lowercase hex, two digits per byte, high nibble first.
std::string encode_hex(std::span<const std::uint8_t> bytes);

// The same digits as ASCII bytes written into `out`, which must hold
// exactly 2 * bytes.size() bytes (a buffer that wipes itself, for a secret).
void encode_hex_into(std::span<const std::uint8_t> bytes, std::span<std::uint8_t> out);

Bytes32 sha256(std::span<const std::uint8_t> data);

// encode_hex(sha256(key)): the published commitment to an epoch key.
std::string key_commitment(const Key32& key);

// HKDF-SHA256 (RFC 5869) with one 32-byte output block:
// PRK = HMAC(salt_label, ikm); result = HMAC(PRK, info || 0x01).
Key32 derive_key(std::string_view salt_label, const Key32& ikm, std::span<const std::uint8_t> info);

// The primitives derive_key is made of, for any key and input lengths.
// HMAC-SHA-256 (RFC 2104; keys longer than 64 bytes are hashed first).
Key32 hmac_sha256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message);
// HKDF-SHA256 extract-then-expand yielding the first 32-byte block T(1).
// An empty salt acts as 32 zero bytes, as RFC 5869 requires.
Key32 hkdf_sha256_32(std::span<const std::uint8_t> salt, std::span<const std::uint8_t> ikm,
                     std::span<const std::uint8_t> info);

// ChaCha20-Poly1305 (RFC 8439). seal returns ciphertext || tag; failure is
// "AEAD encryption". open returns nothing on any failure (the tag is checked
// in constant time before anything is decrypted); callers name the failure.
Result<Bytes> seal_chacha(const Key32& key, std::span<const std::uint8_t, 12> nonce,
                          std::span<const std::uint8_t> aad, std::span<const std::uint8_t> plaintext);
std::optional<SecureBytes> open_chacha(const Key32& key, std::span<const std::uint8_t, 12> nonce,
                                       std::span<const std::uint8_t> aad,
                                       std::span<const std::uint8_t> ciphertext_and_tag);

// XChaCha20-Poly1305 (draft-irtf-cfrg-xchacha). Inputs shorter than the
// 16-byte tag fail.
std::optional<SecureBytes> open_xchacha(const Key32& key, std::span<const std::uint8_t, 24> nonce,
                                        std::span<const std::uint8_t> aad,
                                        std::span<const std::uint8_t> ciphertext_and_tag);

// XChaCha20-Poly1305 sealing, ciphertext || tag, for the artefacts the
// service seals; failure is "AEAD encryption". The nonce must be fresh for
// every sealing under one key (24 random bytes make a repeat negligible).
Result<Bytes> seal_xchacha(const Key32& key, std::span<const std::uint8_t, 24> nonce,
                           std::span<const std::uint8_t> aad, std::span<const std::uint8_t> plaintext);

// open_xchacha decrypting in place, so a large value needs one buffer, not
// two: on success the first size() - 16 bytes of `ciphertext_and_tag` hold
// the plaintext (the caller owns the wiping); on failure (a bad tag, fewer
// than 16 bytes) it returns false and no plaintext was produced (the buffer
// is left as it was, or zeroed).
bool open_xchacha_in_place(const Key32& key, std::span<const std::uint8_t, 24> nonce,
                           std::span<const std::uint8_t> aad, std::span<std::uint8_t> ciphertext_and_tag);

// Fills `out` from the Linux getrandom facility; "OS randomness failed".
Result<void> random_bytes(std::span<std::uint8_t> out);

}  // namespace zt
