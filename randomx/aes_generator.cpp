#include "randomx/aes_generator.h"

#include "randomx/aes.h"

namespace rx {
namespace {

// Round keys, four per column pair for 4R (columns 0-1: keys 0-3; columns
// 2-3: keys 4-7). They are the Blake2b-512 of "RandomX AesGenerator1R keys",
// "RandomX AesGenerator4R keys 0-3" and "RandomX AesGenerator4R keys 4-7".
alignas(16) constexpr std::uint8_t kKeys1R[4][16] = {
    {0x53, 0xa5, 0xac, 0x6d, 0x09, 0x66, 0x71, 0x62, 0x2b, 0x55, 0xb5, 0xdb, 0x17, 0x49, 0xf4, 0xb4},
    {0x07, 0xaf, 0x7c, 0x6d, 0x0d, 0x71, 0x6a, 0x84, 0x78, 0xd3, 0x25, 0x17, 0x4e, 0xdc, 0xa1, 0x0d},
    {0xf1, 0x62, 0x12, 0x3f, 0xc6, 0x7e, 0x94, 0x9f, 0x4f, 0x79, 0xc0, 0xf4, 0x45, 0xe3, 0x20, 0x3e},
    {0x35, 0x81, 0xef, 0x6a, 0x7c, 0x31, 0xba, 0xb1, 0x88, 0x4c, 0x31, 0x16, 0x54, 0x91, 0x16, 0x49},
};

alignas(16) constexpr std::uint8_t kKeys4R[8][16] = {
    {0xdd, 0xaa, 0x21, 0x64, 0xdb, 0x3d, 0x83, 0xd1, 0x2b, 0x6d, 0x54, 0x2f, 0x3f, 0xd2, 0xe5, 0x99},
    {0x50, 0x34, 0x0e, 0xb2, 0x55, 0x3f, 0x91, 0xb6, 0x53, 0x9d, 0xf7, 0x06, 0xe5, 0xcd, 0xdf, 0xa5},
    {0x04, 0xd9, 0x3e, 0x5c, 0xaf, 0x7b, 0x5e, 0x51, 0x9f, 0x67, 0xa4, 0x0a, 0xbf, 0x02, 0x1c, 0x17},
    {0x63, 0x37, 0x62, 0x85, 0x08, 0x5d, 0x8f, 0xe7, 0x85, 0x37, 0x67, 0xcd, 0x91, 0xd2, 0xde, 0xd8},
    {0x73, 0x6f, 0x82, 0xb5, 0xa6, 0xa7, 0xd6, 0xe3, 0x6d, 0x8b, 0x51, 0x3d, 0xb4, 0xff, 0x9e, 0x22},
    {0xf3, 0x6b, 0x56, 0xc7, 0xd9, 0xb3, 0x10, 0x9c, 0x4e, 0x4d, 0x02, 0xe9, 0xd2, 0xb7, 0x72, 0xb2},
    {0xe7, 0xc9, 0x73, 0xf2, 0x8b, 0xa3, 0x65, 0xf7, 0x0a, 0x66, 0xa9, 0x2b, 0xa7, 0xef, 0x3b, 0xf6},
    {0x09, 0xd6, 0x7c, 0x7a, 0xde, 0x39, 0x58, 0x91, 0xfd, 0xd1, 0x06, 0x0c, 0x2d, 0x76, 0xb0, 0xc0},
};

inline __m128i load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline void store(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }

template <class Aes>
__attribute__((always_inline)) inline void generate_1r(std::uint8_t* state, void* output,
                                                       std::size_t size) {
    const __m128i k0 = load(kKeys1R[0]);
    const __m128i k1 = load(kKeys1R[1]);
    const __m128i k2 = load(kKeys1R[2]);
    const __m128i k3 = load(kKeys1R[3]);
    __m128i s0 = load(state);
    __m128i s1 = load(state + 16);
    __m128i s2 = load(state + 32);
    __m128i s3 = load(state + 48);
    auto* out = static_cast<std::uint8_t*>(output);
    for (std::size_t offset = 0; offset < size; offset += 64) {
        s0 = Aes::decrypt(s0, k0);
        s1 = Aes::encrypt(s1, k1);
        s2 = Aes::decrypt(s2, k2);
        s3 = Aes::encrypt(s3, k3);
        store(out + offset, s0);
        store(out + offset + 16, s1);
        store(out + offset + 32, s2);
        store(out + offset + 48, s3);
    }
    store(state, s0);
    store(state + 16, s1);
    store(state + 32, s2);
    store(state + 48, s3);
}

template <class Aes>
__attribute__((always_inline)) inline void generate_4r(std::uint8_t* state, void* output,
                                                       std::size_t size) {
    __m128i k[8];
    for (unsigned i = 0; i < 8; ++i) {
        k[i] = load(kKeys4R[i]);
    }
    __m128i s0 = load(state);
    __m128i s1 = load(state + 16);
    __m128i s2 = load(state + 32);
    __m128i s3 = load(state + 48);
    auto* out = static_cast<std::uint8_t*>(output);
    for (std::size_t offset = 0; offset < size; offset += 64) {
        for (unsigned round = 0; round < 4; ++round) {
            s0 = Aes::decrypt(s0, k[round]);
            s1 = Aes::encrypt(s1, k[round]);
            s2 = Aes::decrypt(s2, k[round + 4]);
            s3 = Aes::encrypt(s3, k[round + 4]);
        }
        store(out + offset, s0);
        store(out + offset + 16, s1);
        store(out + offset + 32, s2);
        store(out + offset + 48, s3);
    }
    store(state, s0);
    store(state + 16, s1);
    store(state + 32, s2);
    store(state + 48, s3);
}

ZT_TARGET_AES void generate_1r_hard(std::uint8_t* state, void* output, std::size_t size) {
    generate_1r<HardAes>(state, output, size);
}

ZT_TARGET_AES void generate_4r_hard(std::uint8_t* state, void* output, std::size_t size) {
    generate_4r<HardAes>(state, output, size);
}

}  // namespace

void aes_generator_1r(bool hard, std::uint8_t state[kAesGeneratorStateSize], void* output,
                      std::size_t size) {
    if (hard) {
        generate_1r_hard(state, output, size);
    } else {
        generate_1r<SoftAes>(state, output, size);
    }
}

void aes_generator_4r(bool hard, std::uint8_t state[kAesGeneratorStateSize], void* output,
                      std::size_t size) {
    if (hard) {
        generate_4r_hard(state, output, size);
    } else {
        generate_4r<SoftAes>(state, output, size);
    }
}

}  // namespace rx
