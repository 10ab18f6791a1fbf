// Arithmetic in GF(2^255 - 19), the field of the Ed25519 curve, for the
// strict signature verifier.
//
// An element is five 51-bit limbs (radix 2^51). Every function returns limbs
// below 2^52, and accepts any input with limbs below 2^52, so results can be
// fed back without extra reduction. Only to_bytes produces the canonical
// representative. The code is variable-time: it is used on public data only
// (keys, signatures, messages).
//
// Thread safety: pure functions on values.
#pragma once

#include <array>
#include <cstdint>

namespace zt::ed25519 {

struct Fe {
    std::array<std::uint64_t, 5> limb{};
};

Fe fe_from_u64(std::uint64_t small);  // small < 2^51

// The 255-bit little-endian integer in bytes (bit 255 ignored), reduced mod p
// implicitly: values from p to 2^255 - 1 stand for value - p.
Fe fe_from_bytes(const std::array<std::uint8_t, 32>& bytes);

// The canonical 32-byte little-endian encoding (value in [0, p), bit 255 clear).
std::array<std::uint8_t, 32> fe_to_bytes(const Fe& a);

Fe fe_add(const Fe& a, const Fe& b);
Fe fe_sub(const Fe& a, const Fe& b);
Fe fe_neg(const Fe& a);
Fe fe_mul(const Fe& a, const Fe& b);
Fe fe_sq(const Fe& a);

// a^e for a 256-bit little-endian exponent.
Fe fe_pow(const Fe& a, const std::array<std::uint8_t, 32>& exponent);
// Fixed addition chains for the two exponents the curve code needs.
Fe fe_invert(const Fe& a);     // a^(p-2) = 1/a; 0 maps to 0
Fe fe_pow22523(const Fe& a);   // a^((p-5)/8) = a^(2^252 - 3), for square roots

bool fe_is_zero(const Fe& a);
bool fe_equal(const Fe& a, const Fe& b);
// The "sign" of x in point encodings: the low bit of its canonical form.
bool fe_is_negative(const Fe& a);

// 2^k - c as a 32-byte little-endian exponent (8 <= k <= 255, 1 <= c <= 255).
std::array<std::uint8_t, 32> pow2_minus(unsigned k, unsigned c);

}  // namespace zt::ed25519
