// The AES stages with the ARMv8 cryptography extension (this file alone is
// compiled for it; its kernels are reached only through hard_aes_kernels(),
// after the kernel reported the extension).
//
// ARM splits a round differently from x86: AESE(s, k) = SubBytes(ShiftRows(
// s ^ k)) and AESMC = MixColumns, so the algorithm's encrypt round (x86
// AESENC: MixColumns(SubBytes(ShiftRows(s))) ^ k) is AESMC(AESE(s, 0)) ^ k;
// likewise decrypt is AESIMC(AESD(s, 0)) ^ k.
#include <arm_neon.h>

#include "randomx/aes_kernels.h"
#include "randomx/arch.h"

namespace rx {
namespace {

struct HardAes {
    using Column = uint8x16_t;

    static Column load(const void* p) { return vld1q_u8(static_cast<const std::uint8_t*>(p)); }
    static void store(void* p, Column c) { vst1q_u8(static_cast<std::uint8_t*>(p), c); }
    static Column encrypt(Column state, Column key) {
        return veorq_u8(vaesmcq_u8(vaeseq_u8(state, vdupq_n_u8(0))), key);
    }
    static Column decrypt(Column state, Column key) {
        return veorq_u8(vaesimcq_u8(vaesdq_u8(state, vdupq_n_u8(0))), key);
    }
};

void generate_1r(std::uint8_t* state, void* output, std::size_t size) {
    aes_kernels::generate_1r<HardAes>(state, output, size);
}

void generate_4r(std::uint8_t* state, void* output, std::size_t size) {
    aes_kernels::generate_4r<HardAes>(state, output, size);
}

void hash_1r(const void* input, std::size_t size, std::uint8_t* out) {
    aes_kernels::hash_1r<HardAes>(input, size, out);
}

void mix_registers(void* f, const void* e) { aes_kernels::mix_registers<HardAes>(f, e); }

void encrypt(const std::uint8_t* state, const std::uint8_t* key, std::uint8_t* out) {
    HardAes::store(out, HardAes::encrypt(HardAes::load(state), HardAes::load(key)));
}

void decrypt(const std::uint8_t* state, const std::uint8_t* key, std::uint8_t* out) {
    HardAes::store(out, HardAes::decrypt(HardAes::load(state), HardAes::load(key)));
}

constexpr HardAesKernels kKernels = {generate_1r, generate_4r, hash_1r, mix_registers, encrypt, decrypt};

}  // namespace

const HardAesKernels* hard_aes_kernels() noexcept { return cpu_features().aes ? &kKernels : nullptr; }

}  // namespace rx
