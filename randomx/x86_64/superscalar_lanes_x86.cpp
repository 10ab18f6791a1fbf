// The many-item SuperscalarHash executor built for AVX2 and for AVX-512 (its
// 64-bit multiply), for the processors that have them.
#include "randomx/arch.h"
#include "randomx/superscalar_lanes_body.h"

namespace rx {
namespace {

__attribute__((target("avx2"))) void run_lanes_avx2(const CompiledSuperscalar& program,
                                                    SuperscalarLanes& lanes) {
    superscalar_lanes::run(program, lanes);
}

__attribute__((target("avx512f,avx512dq,avx512vl"))) void run_lanes_avx512(
    const CompiledSuperscalar& program, SuperscalarLanes& lanes) {
    superscalar_lanes::run(program, lanes);
}

}  // namespace

SuperscalarLanesFunction superscalar_lanes_function() noexcept {
    // A processor with AVX-512 has AVX2; hiding AVX2 (cpu.h) hides both.
    if (!cpu_features().avx2) return nullptr;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512vl")) {
        return run_lanes_avx512;
    }
    return run_lanes_avx2;
}

}  // namespace rx
