// CPU feature detection on RISC-V Linux: the kernel's riscv_hwprobe (Linux
// 6.4 and later) tells whether every hart has Zba and Zbb. Where it does not
// answer (an older kernel, or a user-mode emulator), only the base set
// rv64gc is reported. The base set has no AES: the software rounds run.
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

#include "randomx/arch.h"

namespace rx {
namespace {

// From the kernel's uapi <asm/hwprobe.h>, which Debian 12's headers lack.
constexpr long kSysRiscvHwprobe = 258;
struct HwprobePair {
    std::int64_t key;
    std::uint64_t value;
};
constexpr std::int64_t kKeyImaExt0 = 4;
constexpr std::uint64_t kExtZba = 1ULL << 3;
constexpr std::uint64_t kExtZbb = 1ULL << 4;

}  // namespace

CpuFeatures detect_cpu_features() noexcept {
    CpuFeatures features;
    HwprobePair pair{kKeyImaExt0, 0};
    // All harts (no CPU set): code may migrate to any of them.
    if (syscall(kSysRiscvHwprobe, &pair, 1, 0, nullptr, 0) == 0 && pair.key == kKeyImaExt0) {
        features.zba = (pair.value & kExtZba) != 0;
        features.zbb = (pair.value & kExtZbb) != 0;
    }
    return features;
}

const HardAesKernels* hard_aes_kernels() noexcept { return nullptr; }

}  // namespace rx
