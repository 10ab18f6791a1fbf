#include "randomx/aes.h"

#include <array>

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

// The S-box: multiplicative inverse (0 maps to 0) followed by the affine map.
constexpr std::array<std::uint8_t, 256> make_sbox() {
    std::array<std::uint8_t, 256> sbox{};
    for (unsigned x = 0; x < 256; ++x) {
        std::uint8_t inverse = 0;
        for (unsigned y = 1; y < 256 && x != 0; ++y) {
            if (gf_mul(static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y)) == 1) {
                inverse = static_cast<std::uint8_t>(y);
                break;
            }
        }
        sbox[x] = static_cast<std::uint8_t>(inverse ^ rotl_byte(inverse, 1) ^ rotl_byte(inverse, 2) ^
                                            rotl_byte(inverse, 3) ^ rotl_byte(inverse, 4) ^ 0x63);
    }
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

__m128i soft_aes_encrypt(__m128i state, __m128i key) { return SoftAes::encrypt(state, key); }
__m128i soft_aes_decrypt(__m128i state, __m128i key) { return SoftAes::decrypt(state, key); }
ZT_TARGET_AES __m128i hard_aes_encrypt(__m128i state, __m128i key) { return HardAes::encrypt(state, key); }
ZT_TARGET_AES __m128i hard_aes_decrypt(__m128i state, __m128i key) { return HardAes::decrypt(state, key); }

}  // namespace rx
