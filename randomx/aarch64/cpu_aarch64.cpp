// CPU feature detection on ARM64 Linux: the kernel's hardware capability
// bits (getauxval), since the ID registers are not readable from user space
// everywhere.
#include <sys/auxv.h>

#include "randomx/arch.h"

namespace rx {
namespace {

constexpr unsigned long kHwcapAes = 1UL << 3;  // HWCAP_AES: AESE, AESD, AESMC, AESIMC

}  // namespace

CpuFeatures detect_cpu_features() noexcept {
    CpuFeatures features;
    features.aes = (getauxval(AT_HWCAP) & kHwcapAes) != 0;
    return features;
}

}  // namespace rx
