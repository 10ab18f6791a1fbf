#include "randomx/aes.h"

#include <array>

#include "randomx/arch.h"

namespace rx {
namespace {

// Multiplication in GF(2^8) modulo the AES polynomial x^8 + x^4 + x^3 + x + 1.
constexpr std::uint8_t gf_mul(std::uint8_t a, std::uint8_t b) {
    std::uint8_t product = 0;
    while (b != 0) {
        if ((b & 1) != 0) {
            product = static_cast<std::uint8_t>(product ^ a);
        }
        const bool carry = (a & 0x80) != 0;
        a = static_cast<std::uint8_t>(a << 1);
        if (carry) {
            a = static_cast<std::uint8_t>(a ^ 0x1b);
        }
        b = static_cast<std::uint8_t>(b >> 1);
    }
    return product;
}

constexpr std::uint8_t rotl_byte(std::uint8_t x, unsigned n) {
    return static_cast<std::uint8_t>((x << n) | (x >> (8 - n)));
}

constexpr std::uint8_t affine(std::uint8_t inverse) {
    return static_cast<std::uint8_t>(inverse ^ rotl_byte(inverse, 1) ^ rotl_byte(inverse, 2) ^
                                     rotl_byte(inverse, 3) ^ rotl_byte(inverse, 4) ^ 0x63);
}

// 3 generates the multiplicative group; 0xf6 is its inverse.
static_assert(gf_mul(3, 0xf6) == 1);

// The S-box: multiplicative inverse (0 maps to 0) followed by the affine map.
// p walks through the powers 3^i and q through 3^-i, so q is p's inverse at
// every step: 255 steps rather than a search per byte (which a compiler's
// constant evaluation may refuse as too long).
constexpr std::array<std::uint8_t, 256> make_sbox() {
    std::array<std::uint8_t, 256> sbox{};
    std::uint8_t p = 1;
    std::uint8_t q = 1;
    do {
        p = gf_mul(p, 3);
        q = gf_mul(q, 0xf6);
        sbox[p] = affine(q);
    } while (p != 1);
    sbox[0] = affine(0);
    return sbox;
}

constexpr std::array<std::uint8_t, 256> invert(const std::array<std::uint8_t, 256>& box) {
    std::array<std::uint8_t, 256> inverse{};
    for (unsigned x = 0; x < 256; ++x) {
        inverse[box[x]] = static_cast<std::uint8_t>(x);
    }
    return inverse;
}

constexpr auto kSbox = make_sbox();
constexpr auto kInvSbox = invert(kSbox);
static_assert(kSbox[0x00] == 0x63 && kSbox[0x53] == 0xed && kSbox[0xff] == 0x16);
static_assert(kInvSbox[0x63] == 0x00);

// Row-0 column of the round: the substituted byte times the first column of
// the (inverse) MixColumns matrix, rows 0..3 in bytes 0..3.
constexpr std::array<std::uint32_t, 256> make_table(const std::array<std::uint8_t, 256>& box,
                                                    const std::array<std::uint8_t, 4>& column) {
    std::array<std::uint32_t, 256> table{};
    for (unsigned x = 0; x < 256; ++x) {
        std::uint32_t entry = 0;
        for (unsigned row = 0; row < 4; ++row) {
            entry |= std::uint32_t{gf_mul(box[x], column[row])} << (8 * row);
        }
        table[x] = entry;
    }
    return table;
}

}  // namespace

namespace aes_tables {
constinit const std::array<std::uint32_t, 256> kEncrypt = make_table(kSbox, {2, 1, 1, 3});
constinit const std::array<std::uint32_t, 256> kDecrypt = make_table(kInvSbox, {14, 9, 13, 11});
}  // namespace aes_tables

namespace {

SoftAes::Column soft(const AesColumn& bytes) { return SoftAes::load(bytes.data()); }

AesColumn bytes_of(const SoftAes::Column& column) {
    AesColumn bytes;
    SoftAes::store(bytes.data(), column);
    return bytes;
}

}  // namespace

AesColumn aes_encrypt(bool hard, const AesColumn& state, const AesColumn& key) {
    const HardAesKernels* kernels = hard ? hard_aes_kernels() : nullptr;
    if (kernels == nullptr) return bytes_of(SoftAes::encrypt(soft(state), soft(key)));
    AesColumn out;
    kernels->encrypt(state.data(), key.data(), out.data());
    return out;
}

AesColumn aes_decrypt(bool hard, const AesColumn& state, const AesColumn& key) {
    const HardAesKernels* kernels = hard ? hard_aes_kernels() : nullptr;
    if (kernels == nullptr) return bytes_of(SoftAes::decrypt(soft(state), soft(key)));
    AesColumn out;
    kernels->decrypt(state.data(), key.data(), out.data());
    return out;
}

}  // namespace rx
