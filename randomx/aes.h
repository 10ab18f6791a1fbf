// Single AES rounds on one 16-byte column, the building block of the AES
// generators, AesHash1R and the v2 register mixing.
//
// encrypt: ShiftRows, SubBytes, MixColumns, then XOR with the round key
//          (the x86 AESENC instruction).
// decrypt: InvShiftRows, InvSubBytes, InvMixColumns, then XOR with the round
//          key (the x86 AESDEC instruction; note that this is not the inverse
//          of encrypt, since the key is added after InvMixColumns).
//
// Two implementations with identical results: HardAes uses AES-NI and may be
// called only where cpu_has_aes() is true; SoftAes uses lookup tables and runs
// everywhere. Both take the column as an SSE2 register (SSE2 is part of every
// x86-64 processor), byte i of the register being byte i of the AES state.
// Callers are templates over the implementation (see aes_generator.h); the hard
// instantiations must be entered through a function marked
// ZT_TARGET_AES so that the AES-NI rounds inline.
//
// Thread safety: pure functions over constant tables.
#pragma once

#include <immintrin.h>

#include <array>
#include <cstdint>
#include <cstring>

#define ZT_TARGET_AES __attribute__((target("aes")))

namespace rx {

namespace aes_tables {
// Round tables: the byte substitution combined with the column mixing, for a
// state byte in row 0 (row r is the row-0 entry rotated left by 8r bits).
extern const std::array<std::uint32_t, 256> kEncrypt;
extern const std::array<std::uint32_t, 256> kDecrypt;
}  // namespace aes_tables

struct SoftAes {
    static __m128i encrypt(__m128i state, __m128i key) {
        return round<aes_tables::kEncrypt, 1>(state, key);
    }
    static __m128i decrypt(__m128i state, __m128i key) {
        return round<aes_tables::kDecrypt, 3>(state, key);
    }

private:
    // Output column c takes its row-r byte from input column c + r*step
    // (mod 4): step 1 is ShiftRows, step 3 (= -1) InvShiftRows.
    template <const std::array<std::uint32_t, 256>& kTable, unsigned kStep>
    static __m128i round(__m128i state, __m128i key) {
        std::uint32_t in[4];
        std::uint32_t k[4];
        std::memcpy(in, &state, sizeof in);
        std::memcpy(k, &key, sizeof k);
        std::uint32_t out[4];
        for (unsigned c = 0; c < 4; ++c) {
            const std::uint32_t b0 = in[c] & 0xff;
            const std::uint32_t b1 = (in[(c + kStep) % 4] >> 8) & 0xff;
            const std::uint32_t b2 = (in[(c + 2 * kStep) % 4] >> 16) & 0xff;
            const std::uint32_t b3 = in[(c + 3 * kStep) % 4] >> 24;
            out[c] = kTable[b0] ^ rotl32(kTable[b1], 8) ^ rotl32(kTable[b2], 16) ^
                     rotl32(kTable[b3], 24) ^ k[c];
        }
        __m128i result;
        std::memcpy(&result, out, sizeof out);
        return result;
    }
    static std::uint32_t rotl32(std::uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }
};

struct HardAes {
    ZT_TARGET_AES static inline __m128i encrypt(__m128i state, __m128i key) {
        return _mm_aesenc_si128(state, key);
    }
    ZT_TARGET_AES static inline __m128i decrypt(__m128i state, __m128i key) {
        return _mm_aesdec_si128(state, key);
    }
};

// Out-of-line single rounds, for tests and callers outside hot loops. The hard
// variants require AES-NI.
__m128i soft_aes_encrypt(__m128i state, __m128i key);
__m128i soft_aes_decrypt(__m128i state, __m128i key);
__m128i hard_aes_encrypt(__m128i state, __m128i key);
__m128i hard_aes_decrypt(__m128i state, __m128i key);

}  // namespace rx
