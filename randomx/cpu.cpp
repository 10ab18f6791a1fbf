#include "randomx/cpu.h"

#include <atomic>

#include "randomx/arch.h"
#include "randomx/randomx.h"

namespace rx {
namespace {

std::atomic<bool> features_read{false};
CpuFeatures hidden_features;
CpuFeatures assumed_features;

// A feature is seen where it is detected (or assumed by a test) and not hidden.
bool visible(bool detected, bool assumed, bool hidden) { return (detected || assumed) && !hidden; }

CpuFeatures visible_features() {
    features_read = true;
    const CpuFeatures d = detect_cpu_features();
    const CpuFeatures& a = assumed_features;
    const CpuFeatures& h = hidden_features;
    CpuFeatures features;
    features.aes = visible(d.aes, a.aes, h.aes);
    features.ssse3 = visible(d.ssse3, a.ssse3, h.ssse3);
    features.avx2 = visible(d.avx2, a.avx2, h.avx2);
    features.bmi2 = visible(d.bmi2, a.bmi2, h.bmi2);
    features.zba = visible(d.zba, a.zba, h.zba);
    features.zbb = visible(d.zbb, a.zbb, h.zbb);
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

bool assume_cpu_features(const CpuFeatures& present) noexcept {
    if (features_read) return false;
    assumed_features = present;
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
