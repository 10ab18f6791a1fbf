#include "randomx/aes_generator.h"

#include "randomx/aes.h"
#include "randomx/aes_kernels.h"
#include "randomx/arch.h"

namespace rx {

void aes_generator_1r(bool hard, std::uint8_t state[kAesGeneratorStateSize], void* output,
                      std::size_t size) {
    const HardAesKernels* kernels = hard ? hard_aes_kernels() : nullptr;
    if (kernels != nullptr) {
        kernels->generate_1r(state, output, size);
    } else {
        aes_kernels::generate_1r<SoftAes>(state, output, size);
    }
}

void aes_generator_4r(bool hard, std::uint8_t state[kAesGeneratorStateSize], void* output,
                      std::size_t size) {
    const HardAesKernels* kernels = hard ? hard_aes_kernels() : nullptr;
    if (kernels != nullptr) {
        kernels->generate_4r(state, output, size);
    } else {
        aes_kernels::generate_4r<SoftAes>(state, output, size);
    }
}

}  // namespace rx
