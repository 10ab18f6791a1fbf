// The processor's floating-point control on x86-64 (MXCSR) while a hash runs:
// all exceptions masked, no flush-to-zero or denormals-are-zero, and the
// rounding mode of the VM's fprc in the rounding control bits 13-14 (fprc
// 0-3: nearest, down, up, toward zero, which are the MXCSR values as they
// are). The compiled VM code sets MXCSR the same way (vm_compiler.cpp).
//
// Thread safety: MXCSR is per thread; so is everything here.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace rx {

inline constexpr std::uint32_t kMxcsrBase = 0x1F80;
inline constexpr unsigned kMxcsrRoundingShift = 13;

inline void set_rounding(std::uint32_t fprc) { _mm_setcsr(kMxcsrBase | (fprc << kMxcsrRoundingShift)); }

// Restores the caller's MXCSR however the hash ends.
class RoundingGuard {
public:
    RoundingGuard() : saved_(_mm_getcsr()) {}
    ~RoundingGuard() { _mm_setcsr(saved_); }
    RoundingGuard(const RoundingGuard&) = delete;
    RoundingGuard& operator=(const RoundingGuard&) = delete;

private:
    std::uint32_t saved_;
};

}  // namespace rx
