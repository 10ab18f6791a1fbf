// CPU feature detection on x86-64: cpuid, and XCR0 for the AVX state.
#include <cpuid.h>
#include <immintrin.h>

#include <cstdint>

#include "randomx/arch.h"

namespace rx {
namespace {

constexpr unsigned kLeaf1EcxSsse3 = 1U << 9;
constexpr unsigned kLeaf1EcxAes = 1U << 25;
constexpr unsigned kLeaf1EcxOsxsave = 1U << 27;
constexpr unsigned kLeaf1EcxAvx = 1U << 28;
constexpr unsigned kLeaf7EbxAvx2 = 1U << 5;
constexpr unsigned kLeaf7EbxBmi2 = 1U << 8;
constexpr std::uint64_t kXcr0SseAndYmm = 0x6;

// XCR0 tells which register states the operating system saves on a context
// switch; AVX2 is usable only if it saves the upper halves of the YMM registers.
__attribute__((target("xsave"))) std::uint64_t read_xcr0() {
    return static_cast<std::uint64_t>(_xgetbv(0));
}

}  // namespace

CpuFeatures detect_cpu_features() noexcept {
    CpuFeatures features;
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
        return features;
    }
    features.aes = (ecx & kLeaf1EcxAes) != 0;
    features.ssse3 = (ecx & kLeaf1EcxSsse3) != 0;
    const bool os_saves_ymm = (ecx & kLeaf1EcxOsxsave) != 0 && (ecx & kLeaf1EcxAvx) != 0 &&
                              (read_xcr0() & kXcr0SseAndYmm) == kXcr0SseAndYmm;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0) {
        features.avx2 = os_saves_ymm && (ebx & kLeaf7EbxAvx2) != 0;
        features.bmi2 = (ebx & kLeaf7EbxBmi2) != 0;
    }
    return features;
}

}  // namespace rx
