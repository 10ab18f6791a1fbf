// The AES stages with AES-NI: AESENC and AESDEC are exactly the algorithm's
// encrypt and decrypt rounds (aes.h). Each kernel carries the "aes" target
// attribute and is reached only through hard_aes_kernels(), after cpuid said
// the processor has them; the rest of the library needs no special flags.
#include <immintrin.h>

#include "randomx/aes_kernels.h"
#include "randomx/arch.h"

#define RX_TARGET_AES __attribute__((target("aes")))

namespace rx {
namespace {

struct HardAes {
    using Column = __m128i;

    static Column load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
    static void store(void* p, Column c) { _mm_storeu_si128(static_cast<__m128i*>(p), c); }
    RX_TARGET_AES static inline Column encrypt(Column state, Column key) { return _mm_aesenc_si128(state, key); }
    RX_TARGET_AES static inline Column decrypt(Column state, Column key) { return _mm_aesdec_si128(state, key); }
};

RX_TARGET_AES void generate_1r(std::uint8_t* state, void* output, std::size_t size) {
    aes_kernels::generate_1r<HardAes>(state, output, size);
}

RX_TARGET_AES void generate_4r(std::uint8_t* state, void* output, std::size_t size) {
    aes_kernels::generate_4r<HardAes>(state, output, size);
}

RX_TARGET_AES void hash_1r(const void* input, std::size_t size, std::uint8_t* out) {
    aes_kernels::hash_1r<HardAes>(input, size, out);
}

RX_TARGET_AES void mix_registers(void* f, const void* e) { aes_kernels::mix_registers<HardAes>(f, e); }

RX_TARGET_AES void encrypt(const std::uint8_t* state, const std::uint8_t* key, std::uint8_t* out) {
    HardAes::store(out, HardAes::encrypt(HardAes::load(state), HardAes::load(key)));
}

RX_TARGET_AES void decrypt(const std::uint8_t* state, const std::uint8_t* key, std::uint8_t* out) {
    HardAes::store(out, HardAes::decrypt(HardAes::load(state), HardAes::load(key)));
}

constexpr HardAesKernels kKernels = {generate_1r, generate_4r, hash_1r, mix_registers, encrypt, decrypt};

}  // namespace

const HardAesKernels* hard_aes_kernels() noexcept { return cpu_features().aes ? &kKernels : nullptr; }

}  // namespace rx
