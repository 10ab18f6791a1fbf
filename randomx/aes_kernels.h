// The AES stages of a hash as templates over a round policy (aes.h):
// AesGenerator1R and 4R (the scratchpad fill and the program bytes),
// AesHash1R (the scratchpad's fingerprint) and v2's register mixing. The
// software policy instantiates them in aes_generator.cpp, aes_hash.cpp and
// the interpreter; each architecture's hardware policy in its own folder
// (arch.h's HardAesKernels), so that the rounds inline into the loops.
//
// Generators: each step applies one (1R) or four (4R) rounds to every column
// of a 64-byte state, decrypting columns 0 and 2 and encrypting 1 and 3 with
// fixed keys; the 64 bytes of the new state are the step's output.
// AesHash1R: four columns start from fixed values; every 64-byte input block
// supplies the four round keys of one round (columns 0 and 2 encrypt, 1 and 3
// decrypt); two final rounds with fixed keys finish the diffusion.
//
// Thread safety: pure functions; the caller owns every buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#define RX_ALWAYS_INLINE __attribute__((always_inline)) inline

namespace rx::aes_kernels {

// Round keys, four per column pair for 4R (columns 0-1: keys 0-3; columns
// 2-3: keys 4-7). They are the Blake2b-512 of "RandomX AesGenerator1R keys",
// "RandomX AesGenerator4R keys 0-3" and "RandomX AesGenerator4R keys 4-7".
alignas(16) inline constexpr std::uint8_t kKeys1R[4][16] = {
    {0x53, 0xa5, 0xac, 0x6d, 0x09, 0x66, 0x71, 0x62, 0x2b, 0x55, 0xb5, 0xdb, 0x17, 0x49, 0xf4, 0xb4},
    {0x07, 0xaf, 0x7c, 0x6d, 0x0d, 0x71, 0x6a, 0x84, 0x78, 0xd3, 0x25, 0x17, 0x4e, 0xdc, 0xa1, 0x0d},
    {0xf1, 0x62, 0x12, 0x3f, 0xc6, 0x7e, 0x94, 0x9f, 0x4f, 0x79, 0xc0, 0xf4, 0x45, 0xe3, 0x20, 0x3e},
    {0x35, 0x81, 0xef, 0x6a, 0x7c, 0x31, 0xba, 0xb1, 0x88, 0x4c, 0x31, 0x16, 0x54, 0x91, 0x16, 0x49},
};

alignas(16) inline constexpr std::uint8_t kKeys4R[8][16] = {
    {0xdd, 0xaa, 0x21, 0x64, 0xdb, 0x3d, 0x83, 0xd1, 0x2b, 0x6d, 0x54, 0x2f, 0x3f, 0xd2, 0xe5, 0x99},
    {0x50, 0x34, 0x0e, 0xb2, 0x55, 0x3f, 0x91, 0xb6, 0x53, 0x9d, 0xf7, 0x06, 0xe5, 0xcd, 0xdf, 0xa5},
    {0x04, 0xd9, 0x3e, 0x5c, 0xaf, 0x7b, 0x5e, 0x51, 0x9f, 0x67, 0xa4, 0x0a, 0xbf, 0x02, 0x1c, 0x17},
    {0x63, 0x37, 0x62, 0x85, 0x08, 0x5d, 0x8f, 0xe7, 0x85, 0x37, 0x67, 0xcd, 0x91, 0xd2, 0xde, 0xd8},
    {0x73, 0x6f, 0x82, 0xb5, 0xa6, 0xa7, 0xd6, 0xe3, 0x6d, 0x8b, 0x51, 0x3d, 0xb4, 0xff, 0x9e, 0x22},
    {0xf3, 0x6b, 0x56, 0xc7, 0xd9, 0xb3, 0x10, 0x9c, 0x4e, 0x4d, 0x02, 0xe9, 0xd2, 0xb7, 0x72, 0xb2},
    {0xe7, 0xc9, 0x73, 0xf2, 0x8b, 0xa3, 0x65, 0xf7, 0x0a, 0x66, 0xa9, 0x2b, 0xa7, 0xef, 0x3b, 0xf6},
    {0x09, 0xd6, 0x7c, 0x7a, 0xde, 0x39, 0x58, 0x91, 0xfd, 0xd1, 0x06, 0x0c, 0x2d, 0x76, 0xb0, 0xc0},
};

// AesHash1R's initial state: Blake2b-512 of "RandomX AesHash1R state".
alignas(16) inline constexpr std::uint8_t kHashInitialState[4][16] = {
    {0x0d, 0x2c, 0xb5, 0x92, 0xde, 0x56, 0xa8, 0x9f, 0x47, 0xdb, 0x82, 0xcc, 0xad, 0x3a, 0x98, 0xd7},
    {0x6e, 0x99, 0x8d, 0x33, 0x98, 0xb7, 0xc7, 0x15, 0x5a, 0x12, 0x9e, 0xf5, 0x57, 0x80, 0xe7, 0xac},
    {0x17, 0x00, 0x77, 0x6a, 0xd0, 0xc7, 0x62, 0xae, 0x6b, 0x50, 0x79, 0x50, 0xe4, 0x7c, 0xa0, 0xe8},
    {0x0c, 0x24, 0x0a, 0x63, 0x8d, 0x82, 0xad, 0x07, 0x05, 0x00, 0xa1, 0x79, 0x48, 0x49, 0x99, 0x7e},
};

// AesHash1R's finishing keys: Blake2b-256 of "RandomX AesHash1R xkeys".
alignas(16) inline constexpr std::uint8_t kHashFinishKeys[2][16] = {
    {0x89, 0x83, 0xfa, 0xf6, 0x9f, 0x94, 0x24, 0x8b, 0xbf, 0x56, 0xdc, 0x90, 0x01, 0x02, 0x89, 0x06},
    {0xd1, 0x63, 0xb2, 0x61, 0x3c, 0xe0, 0xf4, 0x51, 0xc6, 0x43, 0x10, 0xee, 0x9b, 0xf9, 0x18, 0xed},
};

// Writes `size` bytes (a multiple of 64) and leaves the final state in `state`.
template <class Aes>
RX_ALWAYS_INLINE void generate_1r(std::uint8_t* state, void* output, std::size_t size) {
    using C = typename Aes::Column;
    const C k0 = Aes::load(kKeys1R[0]);
    const C k1 = Aes::load(kKeys1R[1]);
    const C k2 = Aes::load(kKeys1R[2]);
    const C k3 = Aes::load(kKeys1R[3]);
    C s0 = Aes::load(state);
    C s1 = Aes::load(state + 16);
    C s2 = Aes::load(state + 32);
    C s3 = Aes::load(state + 48);
    auto* out = static_cast<std::uint8_t*>(output);
    for (std::size_t offset = 0; offset < size; offset += 64) {
        s0 = Aes::decrypt(s0, k0);
        s1 = Aes::encrypt(s1, k1);
        s2 = Aes::decrypt(s2, k2);
        s3 = Aes::encrypt(s3, k3);
        Aes::store(out + offset, s0);
        Aes::store(out + offset + 16, s1);
        Aes::store(out + offset + 32, s2);
        Aes::store(out + offset + 48, s3);
    }
    Aes::store(state, s0);
    Aes::store(state + 16, s1);
    Aes::store(state + 32, s2);
    Aes::store(state + 48, s3);
}

template <class Aes>
RX_ALWAYS_INLINE void generate_4r(std::uint8_t* state, void* output, std::size_t size) {
    using C = typename Aes::Column;
    C k[8];
    for (unsigned i = 0; i < 8; ++i) {
        k[i] = Aes::load(kKeys4R[i]);
    }
    C s0 = Aes::load(state);
    C s1 = Aes::load(state + 16);
    C s2 = Aes::load(state + 32);
    C s3 = Aes::load(state + 48);
    auto* out = static_cast<std::uint8_t*>(output);
    for (std::size_t offset = 0; offset < size; offset += 64) {
        for (unsigned round = 0; round < 4; ++round) {
            s0 = Aes::decrypt(s0, k[round]);
            s1 = Aes::encrypt(s1, k[round]);
            s2 = Aes::decrypt(s2, k[round + 4]);
            s3 = Aes::encrypt(s3, k[round + 4]);
        }
        Aes::store(out + offset, s0);
        Aes::store(out + offset + 16, s1);
        Aes::store(out + offset + 32, s2);
        Aes::store(out + offset + 48, s3);
    }
    Aes::store(state, s0);
    Aes::store(state + 16, s1);
    Aes::store(state + 32, s2);
    Aes::store(state + 48, s3);
}

// `size` must be a multiple of 64; writes 64 bytes to `out`.
template <class Aes>
RX_ALWAYS_INLINE void hash_1r(const void* input, std::size_t size, std::uint8_t* out) {
    using C = typename Aes::Column;
    C s0 = Aes::load(kHashInitialState[0]);
    C s1 = Aes::load(kHashInitialState[1]);
    C s2 = Aes::load(kHashInitialState[2]);
    C s3 = Aes::load(kHashInitialState[3]);
    const auto* in = static_cast<const std::uint8_t*>(input);
    for (std::size_t offset = 0; offset < size; offset += 64) {
        s0 = Aes::encrypt(s0, Aes::load(in + offset));
        s1 = Aes::decrypt(s1, Aes::load(in + offset + 16));
        s2 = Aes::encrypt(s2, Aes::load(in + offset + 32));
        s3 = Aes::decrypt(s3, Aes::load(in + offset + 48));
    }
    for (const auto& key_bytes : kHashFinishKeys) {
        const C key = Aes::load(key_bytes);
        s0 = Aes::encrypt(s0, key);
        s1 = Aes::decrypt(s1, key);
        s2 = Aes::encrypt(s2, key);
        s3 = Aes::decrypt(s3, key);
    }
    Aes::store(out, s0);
    Aes::store(out + 16, s1);
    Aes::store(out + 32, s2);
    Aes::store(out + 48, s3);
}

// v2's mixing at the end of an iteration, on f0-f3 (64 bytes) with e0-e3:
// each e register in turn is the round key of one round on every f register,
// f0 and f2 encrypting, f1 and f3 decrypting.
template <class Aes>
RX_ALWAYS_INLINE void mix_registers(void* f, const void* e) {
    using C = typename Aes::Column;
    auto* fb = static_cast<std::uint8_t*>(f);
    const auto* eb = static_cast<const std::uint8_t*>(e);
    C x0 = Aes::load(fb);
    C x1 = Aes::load(fb + 16);
    C x2 = Aes::load(fb + 32);
    C x3 = Aes::load(fb + 48);
    for (unsigned k = 0; k < 4; ++k) {
        const C key = Aes::load(eb + 16 * k);
        x0 = Aes::encrypt(x0, key);
        x1 = Aes::decrypt(x1, key);
        x2 = Aes::encrypt(x2, key);
        x3 = Aes::decrypt(x3, key);
    }
    Aes::store(fb, x0);
    Aes::store(fb + 16, x1);
    Aes::store(fb + 32, x2);
    Aes::store(fb + 48, x3);
}

}  // namespace rx::aes_kernels
