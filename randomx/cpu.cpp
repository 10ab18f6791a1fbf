#include "randomx/cpu.h"

#include <atomic>

#include "randomx/arch.h"
#include "randomx/randomx.h"

namespace rx {
namespace {

std::atomic<bool> features_read{false};
CpuFeatures hidden_features;

CpuFeatures visible_features() {
    features_read = true;
    CpuFeatures features = detect_cpu_features();
    features.aes = features.aes && !hidden_features.aes;
    features.ssse3 = features.ssse3 && !hidden_features.ssse3;
    features.avx2 = features.avx2 && !hidden_features.avx2;
    features.bmi2 = features.bmi2 && !hidden_features.bmi2;
    return features;
}

}  // namespace

const CpuFeatures& cpu_features() {
    static const CpuFeatures features = visible_features();
    return features;
}

bool mask_cpu_features(const CpuFeatures& hidden) noexcept {
    if (features_read) return false;
    hidden_features = hidden;
    return true;
}

}  // namespace rx

extern "C" randomx_flags randomx_get_flags(void) {
    const rx::CpuFeatures& cpu = rx::cpu_features();
    unsigned flags = RANDOMX_FLAG_DEFAULT;
    if (cpu.aes) {
        flags |= RANDOMX_FLAG_HARD_AES;
    }
    if (cpu.ssse3) {
        flags |= RANDOMX_FLAG_ARGON2_SSSE3;
    }
    if (cpu.avx2) {
        flags |= RANDOMX_FLAG_ARGON2_AVX2;
    }
    if (rx::compiled_code_runs()) {
        flags |= RANDOMX_FLAG_JIT;
    }
    return static_cast<randomx_flags>(flags);
}
