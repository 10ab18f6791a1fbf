// For processors whose features this library does not detect: none is
// reported, so the software AES rounds run.
#include "randomx/arch.h"

namespace rx {

CpuFeatures detect_cpu_features() noexcept { return {}; }

const HardAesKernels* hard_aes_kernels() noexcept { return nullptr; }

}  // namespace rx
