#include "timelock/ed25519/field.h"

namespace zt::ed25519 {
namespace {

__extension__ typedef unsigned __int128 u128;

constexpr std::uint64_t kMask = (std::uint64_t{1} << 51) - 1;

// Brings limbs below 2^63 back below 2^52 (limb 0 may exceed 2^51 slightly
// by the folded top carry: 2^255 = 19 mod p).
Fe carry(Fe a) {
    for (std::size_t i = 0; i < 4; ++i) {
        a.limb[i + 1] += a.limb[i] >> 51;
        a.limb[i] &= kMask;
    }
    const std::uint64_t top = a.limb[4] >> 51;
    a.limb[4] &= kMask;
    a.limb[0] += 19 * top;
    return a;
}

std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

void store64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Carries five 128-bit column sums (each below 2^115) into limbs below 2^52.
Fe reduce_wide(u128 t0, u128 t1, u128 t2, u128 t3, u128 t4) {
    Fe r;
    t1 += t0 >> 51;
    r.limb[0] = static_cast<std::uint64_t>(t0) & kMask;
    t2 += t1 >> 51;
    r.limb[1] = static_cast<std::uint64_t>(t1) & kMask;
    t3 += t2 >> 51;
    r.limb[2] = static_cast<std::uint64_t>(t2) & kMask;
    t4 += t3 >> 51;
    r.limb[3] = static_cast<std::uint64_t>(t3) & kMask;
    r.limb[4] = static_cast<std::uint64_t>(t4) & kMask;
    const u128 low = r.limb[0] + (t4 >> 51) * 19;
    r.limb[0] = static_cast<std::uint64_t>(low) & kMask;
    r.limb[1] += static_cast<std::uint64_t>(low >> 51);
    return r;
}

u128 wide(std::uint64_t u, std::uint64_t v) { return static_cast<u128>(u) * v; }

// a^(2^n): n successive squarings.
Fe sq_times(Fe a, int n) {
    for (int i = 0; i < n; ++i) a = fe_sq(a);
    return a;
}

// a^(2^250 - 1), the common trunk of the inversion and square-root chains,
// plus a^11 which the inversion needs.
Fe pow_2_250_minus_1(const Fe& a, Fe& a11) {
    const Fe a2 = fe_sq(a);
    const Fe a9 = fe_mul(a, sq_times(a2, 2));
    a11 = fe_mul(a2, a9);
    const Fe e5 = fe_mul(a9, fe_sq(a11));               // 2^5 - 1
    const Fe e10 = fe_mul(sq_times(e5, 5), e5);          // 2^10 - 1
    const Fe e20 = fe_mul(sq_times(e10, 10), e10);       // 2^20 - 1
    const Fe e40 = fe_mul(sq_times(e20, 20), e20);       // 2^40 - 1
    const Fe e50 = fe_mul(sq_times(e40, 10), e10);       // 2^50 - 1
    const Fe e100 = fe_mul(sq_times(e50, 50), e50);      // 2^100 - 1
    const Fe e200 = fe_mul(sq_times(e100, 100), e100);  // 2^200 - 1
    return fe_mul(sq_times(e200, 50), e50);              // 2^250 - 1
}

}  // namespace

Fe fe_from_u64(std::uint64_t small) {
    Fe r;
    r.limb[0] = small;
    return r;
}

Fe fe_from_bytes(const std::array<std::uint8_t, 32>& bytes) {
    const std::uint64_t w0 = load64(bytes.data()), w1 = load64(bytes.data() + 8);
    const std::uint64_t w2 = load64(bytes.data() + 16), w3 = load64(bytes.data() + 24);
    Fe r;
    r.limb[0] = w0 & kMask;
    r.limb[1] = ((w0 >> 51) | (w1 << 13)) & kMask;
    r.limb[2] = ((w1 >> 38) | (w2 << 26)) & kMask;
    r.limb[3] = ((w2 >> 25) | (w3 << 39)) & kMask;
    r.limb[4] = (w3 >> 12) & kMask;  // drops bit 255
    return r;
}

std::array<std::uint8_t, 32> fe_to_bytes(const Fe& a) {
    // Two carry passes leave limbs 1..4 below 2^51 and limb 0 below
    // 2^51 + 19, so the value h is below 2p. h >= p exactly when h + 19
    // reaches 2^255; q is that carry.
    Fe t = carry(carry(a));
    std::uint64_t q = (t.limb[0] + 19) >> 51;
    for (std::size_t i = 1; i < 5; ++i) q = (t.limb[i] + q) >> 51;
    t.limb[0] += 19 * q;  // h + 19q - q * 2^255
    for (std::size_t i = 0; i < 4; ++i) {
        t.limb[i + 1] += t.limb[i] >> 51;
        t.limb[i] &= kMask;
    }
    t.limb[4] &= kMask;

    std::array<std::uint8_t, 32> out{};
    store64(out.data(), t.limb[0] | (t.limb[1] << 51));
    store64(out.data() + 8, (t.limb[1] >> 13) | (t.limb[2] << 38));
    store64(out.data() + 16, (t.limb[2] >> 26) | (t.limb[3] << 25));
    store64(out.data() + 24, (t.limb[3] >> 39) | (t.limb[4] << 12));
    return out;
}

Fe fe_add(const Fe& a, const Fe& b) {
    Fe r;
    for (std::size_t i = 0; i < 5; ++i) r.limb[i] = a.limb[i] + b.limb[i];
    return carry(r);
}

Fe fe_sub(const Fe& a, const Fe& b) {
    // Adds 4p first so that no limb underflows for any b with limbs < 2^52.
    static constexpr std::uint64_t kFourP0 = 4 * (kMask - 18);
    static constexpr std::uint64_t kFourP = 4 * kMask;
    Fe r;
    r.limb[0] = a.limb[0] + kFourP0 - b.limb[0];
    for (std::size_t i = 1; i < 5; ++i) r.limb[i] = a.limb[i] + kFourP - b.limb[i];
    return carry(r);
}

Fe fe_neg(const Fe& a) { return fe_sub(Fe{}, a); }

Fe fe_mul(const Fe& a, const Fe& b) {
    const auto& x = a.limb;
    const auto& y = b.limb;
    // Products that pass 2^255 wrap around times 19.
    const std::uint64_t y1_19 = 19 * y[1], y2_19 = 19 * y[2], y3_19 = 19 * y[3], y4_19 = 19 * y[4];
    return reduce_wide(
        wide(x[0], y[0]) + wide(x[1], y4_19) + wide(x[2], y3_19) + wide(x[3], y2_19) + wide(x[4], y1_19),
        wide(x[0], y[1]) + wide(x[1], y[0]) + wide(x[2], y4_19) + wide(x[3], y3_19) + wide(x[4], y2_19),
        wide(x[0], y[2]) + wide(x[1], y[1]) + wide(x[2], y[0]) + wide(x[3], y4_19) + wide(x[4], y3_19),
        wide(x[0], y[3]) + wide(x[1], y[2]) + wide(x[2], y[1]) + wide(x[3], y[0]) + wide(x[4], y4_19),
        wide(x[0], y[4]) + wide(x[1], y[3]) + wide(x[2], y[2]) + wide(x[3], y[1]) + wide(x[4], y[0]));
}

Fe fe_sq(const Fe& a) {
    const auto& x = a.limb;
    const std::uint64_t x0_2 = 2 * x[0], x1_2 = 2 * x[1];
    const std::uint64_t x3_19 = 19 * x[3], x4_19 = 19 * x[4];
    return reduce_wide(wide(x[0], x[0]) + wide(x1_2, x4_19) + wide(2 * x[2], x3_19),
                       wide(x0_2, x[1]) + wide(2 * x[2], x4_19) + wide(x[3], x3_19),
                       wide(x0_2, x[2]) + wide(x[1], x[1]) + wide(2 * x[3], x4_19),
                       wide(x0_2, x[3]) + wide(x1_2, x[2]) + wide(x[4], x4_19),
                       wide(x0_2, x[4]) + wide(x1_2, x[3]) + wide(x[2], x[2]));
}

Fe fe_pow(const Fe& a, const std::array<std::uint8_t, 32>& exponent) {
    Fe r = fe_from_u64(1);
    for (int bit = 255; bit >= 0; --bit) {
        r = fe_sq(r);
        if ((exponent[static_cast<std::size_t>(bit / 8)] >> (bit % 8)) & 1) r = fe_mul(r, a);
    }
    return r;
}

Fe fe_invert(const Fe& a) {
    Fe a11;
    const Fe e250 = pow_2_250_minus_1(a, a11);
    return fe_mul(sq_times(e250, 5), a11);  // 2^255 - 32 + 11 = p - 2
}

Fe fe_pow22523(const Fe& a) {
    Fe a11;
    const Fe e250 = pow_2_250_minus_1(a, a11);
    return fe_mul(sq_times(e250, 2), a);  // 2^252 - 4 + 1
}

bool fe_is_zero(const Fe& a) {
    for (std::uint8_t b : fe_to_bytes(a)) {
        if (b != 0) return false;
    }
    return true;
}

bool fe_equal(const Fe& a, const Fe& b) { return fe_to_bytes(a) == fe_to_bytes(b); }

bool fe_is_negative(const Fe& a) { return (fe_to_bytes(a)[0] & 1) != 0; }

std::array<std::uint8_t, 32> pow2_minus(unsigned k, unsigned c) {
    // 2^k - c = (2^k - 1) - (c - 1): k one bits, then c - 1 taken from byte 0.
    std::array<std::uint8_t, 32> out{};
    for (unsigned bit = 0; bit < k; ++bit) out[bit / 8] = static_cast<std::uint8_t>(out[bit / 8] | (1u << (bit % 8)));
    out[0] = static_cast<std::uint8_t>(out[0] - (c - 1));
    return out;
}

}  // namespace zt::ed25519
