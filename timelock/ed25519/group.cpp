#include "timelock/ed25519/group.h"

namespace zt::ed25519 {
namespace {

// Field constants, derived rather than typed in.
struct Constants {
    Fe d;        // -121665 / 121666
    Fe d2;       // 2d
    Fe sqrt_m1;  // a square root of -1: 2^((p-1)/4), as p = 5 mod 8
};

const Constants& constants() {
    static const Constants c = [] {
        Constants k;
        k.d = fe_mul(fe_neg(fe_from_u64(121665)), fe_invert(fe_from_u64(121666)));
        k.d2 = fe_add(k.d, k.d);
        k.sqrt_m1 = fe_pow(fe_from_u64(2), pow2_minus(253, 5));
        return k;
    }();
    return c;
}

constexpr std::size_t kWindow = 16;  // 4-bit windows
using Table = std::array<Point, kWindow>;

// Multiples 0..15 of p.
Table window_table(const Point& p) {
    Table t;
    t[0] = identity();
    for (std::size_t i = 1; i < kWindow; ++i) t[i] = add(t[i - 1], p);
    return t;
}

const Table& base_table() {
    static const Table table = window_table(base_point());
    return table;
}

unsigned nibble(const Scalar& s, std::size_t i) {
    return static_cast<unsigned>(s[i / 2] >> (4 * (i % 2))) & 0x0F;
}

}  // namespace

std::optional<Point> decompress(const Encoded& bytes) {
    const Constants& c = constants();
    const bool sign = (bytes[31] >> 7) != 0;
    const Fe y = fe_from_bytes(bytes);
    const Fe one = fe_from_u64(1);
    const Fe yy = fe_sq(y);
    const Fe u = fe_sub(yy, one);               // y^2 - 1
    const Fe v = fe_add(fe_mul(c.d, yy), one);  // d y^2 + 1, never 0: -1/d is not a square

    // Candidate root x = u v^3 (u v^7)^((p-5)/8) of x^2 = u / v.
    const Fe v3 = fe_mul(fe_sq(v), v);
    const Fe v7 = fe_mul(fe_sq(v3), v);
    Fe x = fe_mul(fe_mul(u, v3), fe_pow22523(fe_mul(u, v7)));
    const Fe vxx = fe_mul(v, fe_sq(x));
    if (fe_equal(vxx, u)) {
        // x is a root.
    } else if (fe_equal(vxx, fe_neg(u))) {
        x = fe_mul(x, c.sqrt_m1);
    } else {
        return std::nullopt;
    }
    // For x = 0 with the sign bit set this negates zero, which is zero: such
    // an encoding is accepted as the point with x = 0.
    if (fe_is_negative(x) != sign) x = fe_neg(x);
    return Point{x, y, one, fe_mul(x, y)};
}

Encoded encode(const Point& p) {
    const Fe z_inv = fe_invert(p.Z);
    const Fe x = fe_mul(p.X, z_inv);
    Encoded out = fe_to_bytes(fe_mul(p.Y, z_inv));
    if (fe_is_negative(x)) out[31] = static_cast<std::uint8_t>(out[31] | 0x80);
    return out;
}

Point identity() { return Point{Fe{}, fe_from_u64(1), fe_from_u64(1), Fe{}}; }

Point base_point() {
    static const Point base = [] {
        Encoded b;  // y = 4/5 mod p, x even
        b.fill(0x66);
        b[0] = 0x58;
        return *decompress(b);
    }();
    return base;
}

// Unified addition for a = -1 (complete on this curve, so it also serves
// for doubling, the identity and points of small order).
Point add(const Point& p, const Point& q) {
    const Fe a = fe_mul(fe_sub(p.Y, p.X), fe_sub(q.Y, q.X));
    const Fe b = fe_mul(fe_add(p.Y, p.X), fe_add(q.Y, q.X));
    const Fe c = fe_mul(fe_mul(p.T, constants().d2), q.T);
    const Fe zz = fe_mul(p.Z, q.Z);
    const Fe d = fe_add(zz, zz);
    const Fe e = fe_sub(b, a), f = fe_sub(d, c), g = fe_add(d, c), h = fe_add(b, a);
    return Point{fe_mul(e, f), fe_mul(g, h), fe_mul(f, g), fe_mul(e, h)};
}

Point dbl(const Point& p) {
    const Fe a = fe_sq(p.X);
    const Fe b = fe_sq(p.Y);
    const Fe zz = fe_sq(p.Z);
    const Fe c = fe_add(zz, zz);
    const Fe h = fe_add(a, b);
    const Fe e = fe_sub(h, fe_sq(fe_add(p.X, p.Y)));
    const Fe g = fe_sub(a, b);
    const Fe f = fe_add(c, g);
    return Point{fe_mul(e, f), fe_mul(g, h), fe_mul(f, g), fe_mul(e, h)};
}

Point negate(const Point& p) { return Point{fe_neg(p.X), p.Y, p.Z, fe_neg(p.T)}; }

bool is_identity(const Point& p) { return fe_is_zero(p.X) && fe_equal(p.Y, p.Z); }

bool is_small_order(const Point& p) { return is_identity(dbl(dbl(dbl(p)))); }

Point double_scalar_mul_base(const Scalar& s, const Scalar& k, const Point& p) {
    // Straus' method with 4-bit windows: one shared chain of doublings,
    // one table lookup per scalar and window.
    const Table& tb = base_table();
    const Table tp = window_table(p);
    Point r = identity();
    for (std::size_t i = 2 * s.size(); i-- > 0;) {
        r = dbl(dbl(dbl(dbl(r))));
        if (const unsigned n = nibble(s, i); n != 0) r = add(r, tb[n]);
        if (const unsigned n = nibble(k, i); n != 0) r = add(r, tp[n]);
    }
    return r;
}

}  // namespace zt::ed25519
