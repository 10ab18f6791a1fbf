// The processor's floating-point control (MXCSR) while a hash runs: all
// exceptions masked, no flush-to-zero or denormals-are-zero, and the rounding
// mode of the VM's fprc in the rounding control bits 13-14 (fprc 0-3:
// nearest, down, up, toward zero, which are the MXCSR values as they are).
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
class MxcsrGuard {
public:
    MxcsrGuard() : saved_(_mm_getcsr()) {}
    ~MxcsrGuard() { _mm_setcsr(saved_); }
    MxcsrGuard(const MxcsrGuard&) = delete;
    MxcsrGuard& operator=(const MxcsrGuard&) = delete;

private:
    std::uint32_t saved_;
};

}  // namespace rx
