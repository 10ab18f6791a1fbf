// The Ed25519 group (the twisted Edwards curve -x^2 + y^2 = 1 + d x^2 y^2
// over GF(2^255 - 19)) as the strict verifier needs it: decoding points of
// any order, extended-coordinate addition and doubling, the small-order test,
// the double-scalar product [s]B + [k]P and canonical encoding.
//
// libsodium's own point functions refuse points outside the prime-order
// subgroup, which the verification rules allow, hence this module. It is
// variable-time and meant for public data only.
//
// Thread safety: pure functions; the curve constants are built once, on first
// use, in a thread-safe function-local static.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "timelock/ed25519/field.h"

namespace zt::ed25519 {

// Extended coordinates: x = X/Z, y = Y/Z, x*y = T/Z.
struct Point {
    Fe X, Y, Z, T;
};

using Encoded = std::array<std::uint8_t, 32>;
using Scalar = std::array<std::uint8_t, 32>;  // little-endian

// Decodes y (bits 0..254, taken mod p, so non-canonical y is accepted) and
// picks the x whose low bit equals bit 255. x = 0 with bit 255 set is
// accepted as x = 0. Fails only when no x exists for that y.
std::optional<Point> decompress(const Encoded& bytes);

// The canonical encoding: y in [0, p) with the low bit of x in bit 255.
Encoded encode(const Point& p);

Point identity();
Point base_point();
Point add(const Point& a, const Point& b);
Point dbl(const Point& a);
Point negate(const Point& a);
bool is_identity(const Point& a);

// True when [8]a is the identity (orders 1, 2, 4 and 8).
bool is_small_order(const Point& a);

// [s]B + [k]p for 256-bit little-endian scalars s and k.
Point double_scalar_mul_base(const Scalar& s, const Scalar& k, const Point& p);

}  // namespace zt::ed25519
