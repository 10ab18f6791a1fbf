// Argon2d block compression with SSSE3 (two words per register) and AVX2
// (four words per register). Both compute exactly what
// fill_block_portable computes; they only reorder the same operations.
//
// Each function carries its own target attribute and is called only after a
// run-time check, so the rest of the program needs no special compiler flags.
#include <immintrin.h>

#include <utility>

#include "randomx/arch.h"
#include "randomx/argon2d_block.h"

namespace rx::argon2 {
namespace {

#define RX_SSSE3 __attribute__((target("ssse3"), always_inline)) inline
#define RX_AVX2 __attribute__((target("avx2"), always_inline)) inline

// ---- SSSE3 ---------------------------------------------------------------

RX_SSSE3 __m128i bla_mka(__m128i x, __m128i y) {
    const __m128i product = _mm_mul_epu32(x, y);
    return _mm_add_epi64(_mm_add_epi64(x, y), _mm_add_epi64(product, product));
}

RX_SSSE3 __m128i rotr32(__m128i x) {
    return _mm_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1));
}

RX_SSSE3 __m128i rotr24(__m128i x) {
    return _mm_shuffle_epi8(x, _mm_setr_epi8(3, 4, 5, 6, 7, 0, 1, 2, 11, 12, 13, 14, 15, 8, 9, 10));
}

RX_SSSE3 __m128i rotr16(__m128i x) {
    return _mm_shuffle_epi8(x, _mm_setr_epi8(2, 3, 4, 5, 6, 7, 0, 1, 10, 11, 12, 13, 14, 15, 8, 9));
}

RX_SSSE3 __m128i rotr63(__m128i x) {
    return _mm_xor_si128(_mm_srli_epi64(x, 63), _mm_add_epi64(x, x));
}

RX_SSSE3 void g(__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
    a = bla_mka(a, b);
    d = rotr32(_mm_xor_si128(d, a));
    c = bla_mka(c, d);
    b = rotr24(_mm_xor_si128(b, c));
    a = bla_mka(a, b);
    d = rotr16(_mm_xor_si128(d, a));
    c = bla_mka(c, d);
    b = rotr63(_mm_xor_si128(b, c));
}

// The diagonal step works on B, C and D rotated by 1, 2 and 3 words; the
// 16 words are held as (v0 v1)(v2 v3)...(v14 v15).
RX_SSSE3 void diagonalize(__m128i& b0, __m128i& b1, __m128i& c0, __m128i& c1, __m128i& d0,
                          __m128i& d1) {
    const __m128i b_lo = _mm_alignr_epi8(b1, b0, 8);  // (v5 v6)
    const __m128i b_hi = _mm_alignr_epi8(b0, b1, 8);  // (v7 v4)
    const __m128i d_lo = _mm_alignr_epi8(d0, d1, 8);  // (v15 v12)
    const __m128i d_hi = _mm_alignr_epi8(d1, d0, 8);  // (v13 v14)
    b0 = b_lo;
    b1 = b_hi;
    std::swap(c0, c1);
    d0 = d_lo;
    d1 = d_hi;
}

RX_SSSE3 void undiagonalize(__m128i& b0, __m128i& b1, __m128i& c0, __m128i& c1, __m128i& d0,
                            __m128i& d1) {
    const __m128i b_lo = _mm_alignr_epi8(b0, b1, 8);  // (v4 v5)
    const __m128i b_hi = _mm_alignr_epi8(b1, b0, 8);  // (v6 v7)
    const __m128i d_lo = _mm_alignr_epi8(d1, d0, 8);  // (v12 v13)
    const __m128i d_hi = _mm_alignr_epi8(d0, d1, 8);  // (v14 v15)
    b0 = b_lo;
    b1 = b_hi;
    std::swap(c0, c1);
    d0 = d_lo;
    d1 = d_hi;
}

// Two independent rounds, interleaved: one round alone is a single long
// dependency chain, two give the processor parallel work.
RX_SSSE3 void round2(__m128i* x[8], __m128i* y[8]) {
    g(*x[0], *x[2], *x[4], *x[6]);
    g(*y[0], *y[2], *y[4], *y[6]);
    g(*x[1], *x[3], *x[5], *x[7]);
    g(*y[1], *y[3], *y[5], *y[7]);
    diagonalize(*x[2], *x[3], *x[4], *x[5], *x[6], *x[7]);
    diagonalize(*y[2], *y[3], *y[4], *y[5], *y[6], *y[7]);
    g(*x[0], *x[2], *x[4], *x[6]);
    g(*y[0], *y[2], *y[4], *y[6]);
    g(*x[1], *x[3], *x[5], *x[7]);
    g(*y[1], *y[3], *y[5], *y[7]);
    undiagonalize(*x[2], *x[3], *x[4], *x[5], *x[6], *x[7]);
    undiagonalize(*y[2], *y[3], *y[4], *y[5], *y[6], *y[7]);
}

// ---- AVX2 ----------------------------------------------------------------

RX_AVX2 __m256i bla_mka(__m256i x, __m256i y) {
    const __m256i product = _mm256_mul_epu32(x, y);
    return _mm256_add_epi64(_mm256_add_epi64(x, y), _mm256_add_epi64(product, product));
}

RX_AVX2 __m256i rotr32(__m256i x) {
    return _mm256_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1));
}

RX_AVX2 __m256i rotr24(__m256i x) {
    const __m256i mask = _mm256_setr_epi8(3, 4, 5, 6, 7, 0, 1, 2, 11, 12, 13, 14, 15, 8, 9, 10, 3,
                                          4, 5, 6, 7, 0, 1, 2, 11, 12, 13, 14, 15, 8, 9, 10);
    return _mm256_shuffle_epi8(x, mask);
}

RX_AVX2 __m256i rotr16(__m256i x) {
    const __m256i mask = _mm256_setr_epi8(2, 3, 4, 5, 6, 7, 0, 1, 10, 11, 12, 13, 14, 15, 8, 9, 2,
                                          3, 4, 5, 6, 7, 0, 1, 10, 11, 12, 13, 14, 15, 8, 9);
    return _mm256_shuffle_epi8(x, mask);
}

RX_AVX2 __m256i rotr63(__m256i x) {
    return _mm256_xor_si256(_mm256_srli_epi64(x, 63), _mm256_add_epi64(x, x));
}

RX_AVX2 void g(__m256i& a, __m256i& b, __m256i& c, __m256i& d) {
    a = bla_mka(a, b);
    d = rotr32(_mm256_xor_si256(d, a));
    c = bla_mka(c, d);
    b = rotr24(_mm256_xor_si256(b, c));
    a = bla_mka(a, b);
    d = rotr16(_mm256_xor_si256(d, a));
    c = bla_mka(c, d);
    b = rotr63(_mm256_xor_si256(b, c));
}

// Two independent rounds, interleaved, on 16 words each held as
// (v0..v3)(v4..v7)(v8..v11)(v12..v15); the diagonal step rotates B, C and D
// by 1, 2 and 3 words.
RX_AVX2 void round2(__m256i& a, __m256i& b, __m256i& c, __m256i& d, __m256i& e, __m256i& f,
                    __m256i& gg, __m256i& h) {
    g(a, b, c, d);
    g(e, f, gg, h);
    b = _mm256_permute4x64_epi64(b, _MM_SHUFFLE(0, 3, 2, 1));
    c = _mm256_permute4x64_epi64(c, _MM_SHUFFLE(1, 0, 3, 2));
    d = _mm256_permute4x64_epi64(d, _MM_SHUFFLE(2, 1, 0, 3));
    f = _mm256_permute4x64_epi64(f, _MM_SHUFFLE(0, 3, 2, 1));
    gg = _mm256_permute4x64_epi64(gg, _MM_SHUFFLE(1, 0, 3, 2));
    h = _mm256_permute4x64_epi64(h, _MM_SHUFFLE(2, 1, 0, 3));
    g(a, b, c, d);
    g(e, f, gg, h);
    b = _mm256_permute4x64_epi64(b, _MM_SHUFFLE(2, 1, 0, 3));
    c = _mm256_permute4x64_epi64(c, _MM_SHUFFLE(1, 0, 3, 2));
    d = _mm256_permute4x64_epi64(d, _MM_SHUFFLE(0, 3, 2, 1));
    f = _mm256_permute4x64_epi64(f, _MM_SHUFFLE(2, 1, 0, 3));
    gg = _mm256_permute4x64_epi64(gg, _MM_SHUFFLE(1, 0, 3, 2));
    h = _mm256_permute4x64_epi64(h, _MM_SHUFFLE(0, 3, 2, 1));
}

#undef RX_SSSE3
#undef RX_AVX2

}  // namespace

__attribute__((target("ssse3"))) void fill_block_ssse3(const Block& prev, const Block& ref,
                                                       Block& next, bool with_xor) {
    __m128i r[64];
    __m128i keep[64];
    const auto* p = reinterpret_cast<const __m128i*>(prev.v);
    const auto* q = reinterpret_cast<const __m128i*>(ref.v);
    auto* out = reinterpret_cast<__m128i*>(next.v);
    for (int i = 0; i < 64; ++i) {
        r[i] = _mm_xor_si128(_mm_load_si128(p + i), _mm_load_si128(q + i));
        keep[i] = with_xor ? _mm_xor_si128(r[i], _mm_load_si128(out + i)) : r[i];
    }
    // Rows: 16 consecutive words, registers 8k .. 8k+7; two rows at a time.
#pragma GCC unroll 4
    for (int k = 0; k < 8; k += 2) {
        __m128i* x[8];
        __m128i* y[8];
        for (int i = 0; i < 8; ++i) {
            x[i] = &r[8 * k + i];
            y[i] = &r[8 * k + 8 + i];
        }
        round2(x, y);
    }
    // Columns: words 2c, 2c+1 of every row, register c of each row; two
    // columns at a time.
#pragma GCC unroll 4
    for (int c = 0; c < 8; c += 2) {
        __m128i* x[8];
        __m128i* y[8];
        for (int i = 0; i < 8; ++i) {
            x[i] = &r[8 * i + c];
            y[i] = &r[8 * i + c + 1];
        }
        round2(x, y);
    }
    for (int i = 0; i < 64; ++i) {
        _mm_store_si128(out + i, _mm_xor_si128(r[i], keep[i]));
    }
}

__attribute__((target("avx2"))) void fill_block_avx2(const Block& prev, const Block& ref,
                                                     Block& next, bool with_xor) {
    __m256i r[32];
    __m256i keep[32];
    const auto* p = reinterpret_cast<const __m256i*>(prev.v);
    const auto* q = reinterpret_cast<const __m256i*>(ref.v);
    auto* out = reinterpret_cast<__m256i*>(next.v);
    for (int i = 0; i < 32; ++i) {
        r[i] = _mm256_xor_si256(_mm256_load_si256(p + i), _mm256_load_si256(q + i));
        keep[i] = with_xor ? _mm256_xor_si256(r[i], _mm256_load_si256(out + i)) : r[i];
    }
    // Rows: 16 consecutive words, registers 4k .. 4k+3; two rows at a time.
#pragma GCC unroll 4
    for (int k = 0; k < 8; k += 2) {
        round2(r[4 * k], r[4 * k + 1], r[4 * k + 2], r[4 * k + 3], r[4 * k + 4], r[4 * k + 5],
               r[4 * k + 6], r[4 * k + 7]);
    }
    // Columns c and c+1 share registers: words 2c, 2c+1 of row k are the low
    // half of register 4k + c/2, words 2c+2, 2c+3 its high half. Gather the
    // halves of rows (0,1), (2,3), (4,5), (6,7) into one register each.
#pragma GCC unroll 4
    for (int half = 0; half < 4; ++half) {
        __m256i lo[4];
        __m256i hi[4];
        for (int pair = 0; pair < 4; ++pair) {
            const __m256i x = r[8 * pair + half];
            const __m256i y = r[8 * pair + 4 + half];
            lo[pair] = _mm256_permute2x128_si256(x, y, 0x20);
            hi[pair] = _mm256_permute2x128_si256(x, y, 0x31);
        }
        round2(lo[0], lo[1], lo[2], lo[3], hi[0], hi[1], hi[2], hi[3]);
        for (int pair = 0; pair < 4; ++pair) {
            r[8 * pair + half] = _mm256_permute2x128_si256(lo[pair], hi[pair], 0x20);
            r[8 * pair + 4 + half] = _mm256_permute2x128_si256(lo[pair], hi[pair], 0x31);
        }
    }
    for (int i = 0; i < 32; ++i) {
        _mm256_store_si256(out + i, _mm256_xor_si256(r[i], keep[i]));
    }
}

}  // namespace rx::argon2

namespace rx {

argon2::FillBlockFn argon2_fill_block(Argon2Impl impl) noexcept {
    switch (impl) {
        case Argon2Impl::Ssse3:
            return cpu_features().ssse3 ? argon2::fill_block_ssse3 : nullptr;
        case Argon2Impl::Avx2:
            return cpu_features().avx2 ? argon2::fill_block_avx2 : nullptr;
        case Argon2Impl::Portable:
            break;
    }
    return nullptr;
}

}  // namespace rx
