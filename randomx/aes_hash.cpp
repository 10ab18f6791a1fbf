#include "randomx/aes_hash.h"

#include "randomx/aes.h"
#include "randomx/aes_kernels.h"
#include "randomx/arch.h"

namespace rx {

void aes_hash_1r(bool hard, const void* input, std::size_t size, std::uint8_t out[kAesHashSize]) {
    const HardAesKernels* kernels = hard ? hard_aes_kernels() : nullptr;
    if (kernels != nullptr) {
        kernels->hash_1r(input, size, out);
    } else {
        aes_kernels::hash_1r<SoftAes>(input, size, out);
    }
}

}  // namespace rx
