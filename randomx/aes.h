// Single AES rounds on one 16-byte column, the building block of the AES
// generators, AesHash1R and the v2 register mixing.
//
// encrypt: ShiftRows, SubBytes, MixColumns, then XOR with the round key
//          (the x86 AESENC instruction).
// decrypt: InvShiftRows, InvSubBytes, InvMixColumns, then XOR with the round
//          key (the x86 AESDEC instruction; note that this is not the inverse
//          of encrypt, since the key is added after InvMixColumns).
//
// SoftAes computes them with lookup tables and runs everywhere. Hardware
// rounds are the architecture's (HardAesKernels in arch.h: AES-NI on x86-64,
// the cryptography extension on ARM64) and give identical results. Both are
// policies for the kernels of aes_kernels.h: a Column type, load and store of
// 16 bytes (byte i of memory is byte i of the AES state), encrypt and decrypt.
//
// Thread safety: pure functions over constant tables.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace rx {

// A column as bytes, byte i being byte i of the AES state.
using AesColumn = std::array<std::uint8_t, 16>;

namespace aes_tables {
// Round tables: the byte substitution combined with the column mixing, for a
// state byte in row 0 (row r is the row-0 entry rotated left by 8r bits).
extern const std::array<std::uint32_t, 256> kEncrypt;
extern const std::array<std::uint32_t, 256> kDecrypt;
}  // namespace aes_tables

struct SoftAes {
    // Word c holds state column c, row r in bits 8r..8r+7 (little-endian
    // loads, as on every processor this library builds for).
    struct Column {
        std::uint32_t w[4];
    };

    static Column load(const void* p) {
        Column c;
        std::memcpy(c.w, p, sizeof c.w);
        return c;
    }
    static void store(void* p, const Column& c) { std::memcpy(p, c.w, sizeof c.w); }
    static Column encrypt(const Column& state, const Column& key) {
        return round<aes_tables::kEncrypt, 1>(state, key);
    }
    static Column decrypt(const Column& state, const Column& key) {
        return round<aes_tables::kDecrypt, 3>(state, key);
    }

private:
    // Output column c takes its row-r byte from input column c + r*step
    // (mod 4): step 1 is ShiftRows, step 3 (= -1) InvShiftRows.
    template <const std::array<std::uint32_t, 256>& kTable, unsigned kStep>
    static Column round(const Column& in, const Column& key) {
        Column out;
        for (unsigned c = 0; c < 4; ++c) {
            const std::uint32_t b0 = in.w[c] & 0xff;
            const std::uint32_t b1 = (in.w[(c + kStep) % 4] >> 8) & 0xff;
            const std::uint32_t b2 = (in.w[(c + 2 * kStep) % 4] >> 16) & 0xff;
            const std::uint32_t b3 = in.w[(c + 3 * kStep) % 4] >> 24;
            out.w[c] = kTable[b0] ^ rotl32(kTable[b1], 8) ^ rotl32(kTable[b2], 16) ^
                       rotl32(kTable[b3], 24) ^ key.w[c];
        }
        return out;
    }
    static std::uint32_t rotl32(std::uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }
};

// Out-of-line single rounds, for tests and callers outside hot loops. `hard`
// asks for the hardware rounds; where the processor has none (or they are
// masked) the software rounds run.
AesColumn aes_encrypt(bool hard, const AesColumn& state, const AesColumn& key);
AesColumn aes_decrypt(bool hard, const AesColumn& state, const AesColumn& key);

}  // namespace rx
