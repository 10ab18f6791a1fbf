#include "randomx/blake2b.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "randomx/wipe.h"

namespace rx {
namespace {

constexpr std::uint64_t kIv[8] = {0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL,
                                  0xa54ff53a5f1d36f1ULL, 0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL,
                                  0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL};

// The message word permutation of each round (rounds 10 and 11 repeat 0 and 1).
constexpr std::uint8_t kSigma[10][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
    {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
    {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
    {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
    {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
};

constexpr std::size_t kBlockSize = 128;

inline void mix(std::uint64_t* v, unsigned a, unsigned b, unsigned c, unsigned d, std::uint64_t x,
                std::uint64_t y) {
    v[a] = v[a] + v[b] + x;
    v[d] = std::rotr(v[d] ^ v[a], 32);
    v[c] = v[c] + v[d];
    v[b] = std::rotr(v[b] ^ v[c], 24);
    v[a] = v[a] + v[b] + y;
    v[d] = std::rotr(v[d] ^ v[a], 16);
    v[c] = v[c] + v[d];
    v[b] = std::rotr(v[b] ^ v[c], 63);
}

void store32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

}  // namespace

Blake2b::Blake2b(std::size_t out_size) : out_size_(out_size) {
    std::memcpy(h_, kIv, sizeof h_);
    // Parameter block: digest length, no key, fan-out 1, depth 1.
    h_[0] ^= 0x01010000ULL ^ out_size;
}

Blake2b::~Blake2b() {
    wipe(h_, sizeof h_);
    wipe(buffer_, sizeof buffer_);
}

void Blake2b::compress(const std::uint8_t* block, bool last) {
    std::uint64_t m[16];
    std::memcpy(m, block, sizeof m);  // little-endian words, as the host's
    std::uint64_t v[16];
    std::memcpy(v, h_, sizeof h_);
    std::memcpy(v + 8, kIv, sizeof kIv);
    v[12] ^= counter_;
    if (last) v[14] = ~v[14];
    for (unsigned round = 0; round < 12; ++round) {
        const std::uint8_t* s = kSigma[round % 10];
        mix(v, 0, 4, 8, 12, m[s[0]], m[s[1]]);
        mix(v, 1, 5, 9, 13, m[s[2]], m[s[3]]);
        mix(v, 2, 6, 10, 14, m[s[4]], m[s[5]]);
        mix(v, 3, 7, 11, 15, m[s[6]], m[s[7]]);
        mix(v, 0, 5, 10, 15, m[s[8]], m[s[9]]);
        mix(v, 1, 6, 11, 12, m[s[10]], m[s[11]]);
        mix(v, 2, 7, 8, 13, m[s[12]], m[s[13]]);
        mix(v, 3, 4, 9, 14, m[s[14]], m[s[15]]);
    }
    for (unsigned i = 0; i < 8; ++i) h_[i] ^= v[i] ^ v[i + 8];
    wipe(m, sizeof m);
    wipe(v, sizeof v);
}

void Blake2b::update(const void* in, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(in);
    // A full buffer is compressed only once more input follows: the last
    // block, full or not, is compressed by final() with the last-block flag.
    while (size > 0) {
        if (buffered_ == kBlockSize) {
            counter_ += kBlockSize;
            compress(buffer_, false);
            buffered_ = 0;
        }
        const std::size_t take = std::min(size, kBlockSize - buffered_);
        std::memcpy(buffer_ + buffered_, bytes, take);
        buffered_ += take;
        bytes += take;
        size -= take;
    }
}

void Blake2b::final(void* out) {
    counter_ += buffered_;
    std::memset(buffer_ + buffered_, 0, kBlockSize - buffered_);
    compress(buffer_, true);
    std::memcpy(out, h_, out_size_);  // little-endian words, as the host's
}

void blake2b(void* out, std::size_t out_size, const void* in, std::size_t in_size) {
    Blake2b state(out_size);
    state.update(in, in_size);
    state.final(out);
}

void blake2b_long(void* out, std::size_t out_size, const void* in, std::size_t in_size) {
    auto* dst = static_cast<std::uint8_t*>(out);
    std::uint8_t length_prefix[4];
    store32(length_prefix, static_cast<std::uint32_t>(out_size));

    Blake2b state(std::min(out_size, kHash512Size));
    state.update(length_prefix, sizeof length_prefix);
    state.update(in, in_size);
    if (out_size <= kHash512Size) {
        state.final(dst);
        return;
    }

    std::uint8_t v[kHash512Size];
    state.final(v);
    std::memcpy(dst, v, kHash512Size / 2);
    dst += kHash512Size / 2;
    std::size_t remaining = out_size - kHash512Size / 2;
    while (remaining > kHash512Size) {
        std::uint8_t next[kHash512Size];
        blake2b(next, sizeof next, v, sizeof v);
        std::memcpy(v, next, sizeof v);
        std::memcpy(dst, v, kHash512Size / 2);
        dst += kHash512Size / 2;
        remaining -= kHash512Size / 2;
    }
    blake2b(dst, remaining, v, sizeof v);
    wipe(v, sizeof v);
}

}  // namespace rx
