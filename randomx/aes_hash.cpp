#include "randomx/aes_hash.h"

#include "randomx/aes.h"

namespace rx {
namespace {

// Initial state: Blake2b-512 of "RandomX AesHash1R state".
alignas(16) constexpr std::uint8_t kInitialState[4][16] = {
    {0x0d, 0x2c, 0xb5, 0x92, 0xde, 0x56, 0xa8, 0x9f, 0x47, 0xdb, 0x82, 0xcc, 0xad, 0x3a, 0x98, 0xd7},
    {0x6e, 0x99, 0x8d, 0x33, 0x98, 0xb7, 0xc7, 0x15, 0x5a, 0x12, 0x9e, 0xf5, 0x57, 0x80, 0xe7, 0xac},
    {0x17, 0x00, 0x77, 0x6a, 0xd0, 0xc7, 0x62, 0xae, 0x6b, 0x50, 0x79, 0x50, 0xe4, 0x7c, 0xa0, 0xe8},
    {0x0c, 0x24, 0x0a, 0x63, 0x8d, 0x82, 0xad, 0x07, 0x05, 0x00, 0xa1, 0x79, 0x48, 0x49, 0x99, 0x7e},
};

// Finishing keys: Blake2b-256 of "RandomX AesHash1R xkeys".
alignas(16) constexpr std::uint8_t kFinishKeys[2][16] = {
    {0x89, 0x83, 0xfa, 0xf6, 0x9f, 0x94, 0x24, 0x8b, 0xbf, 0x56, 0xdc, 0x90, 0x01, 0x02, 0x89, 0x06},
    {0xd1, 0x63, 0xb2, 0x61, 0x3c, 0xe0, 0xf4, 0x51, 0xc6, 0x43, 0x10, 0xee, 0x9b, 0xf9, 0x18, 0xed},
};

inline __m128i load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline void store(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }

template <class Aes>
__attribute__((always_inline)) inline void hash_1r(const void* input, std::size_t size,
                                                   std::uint8_t* out) {
    __m128i s0 = load(kInitialState[0]);
    __m128i s1 = load(kInitialState[1]);
    __m128i s2 = load(kInitialState[2]);
    __m128i s3 = load(kInitialState[3]);
    const auto* in = static_cast<const std::uint8_t*>(input);
    for (std::size_t offset = 0; offset < size; offset += 64) {
        s0 = Aes::encrypt(s0, load(in + offset));
        s1 = Aes::decrypt(s1, load(in + offset + 16));
        s2 = Aes::encrypt(s2, load(in + offset + 32));
        s3 = Aes::decrypt(s3, load(in + offset + 48));
    }
    for (const auto& key_bytes : kFinishKeys) {
        const __m128i key = load(key_bytes);
        s0 = Aes::encrypt(s0, key);
        s1 = Aes::decrypt(s1, key);
        s2 = Aes::encrypt(s2, key);
        s3 = Aes::decrypt(s3, key);
    }
    store(out, s0);
    store(out + 16, s1);
    store(out + 32, s2);
    store(out + 48, s3);
}

ZT_TARGET_AES void hash_1r_hard(const void* input, std::size_t size, std::uint8_t* out) {
    hash_1r<HardAes>(input, size, out);
}

}  // namespace

void aes_hash_1r(bool hard, const void* input, std::size_t size, std::uint8_t out[kAesHashSize]) {
    if (hard) {
        hash_1r_hard(input, size, out);
    } else {
        hash_1r<SoftAes>(input, size, out);
    }
}

}  // namespace rx
