// The rounding mode of the VM's floating-point operations while a hash runs:
// fprc 0-3 is round to nearest (ties to even), down, up, toward zero, as the
// processor's own IEEE 754 modes. The library is compiled so that the
// compiler neither fuses a multiplication and an addition nor moves a
// floating-point operation across a change of mode (-ffp-contract=off,
// -frounding-math in CMakeLists.txt), so every architecture rounds alike.
//
// set_rounding(fprc) sets the mode (from the default environment: exceptions
// masked, no flush-to-zero); a RoundingGuard restores the caller's
// environment when the hash ends. x86-64 writes MXCSR directly (its compiled
// code does the same); other processors go through <cfenv>.
//
// Thread safety: the floating-point environment is per thread.
#pragma once

#if defined(__x86_64__)
#include "randomx/x86_64/mxcsr.h"
#else

#include <cfenv>
#include <cstdint>

namespace rx {

inline void set_rounding(std::uint32_t fprc) {
    static constexpr int kModes[4] = {FE_TONEAREST, FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO};
    std::fesetround(kModes[fprc & 3]);
}

// Saves the caller's environment and installs the default one (which clears
// a flush-to-zero mode the caller may have set); restores it at scope exit.
class RoundingGuard {
public:
    RoundingGuard() {
        std::fegetenv(&saved_);
        std::fesetenv(FE_DFL_ENV);
    }
    ~RoundingGuard() { std::fesetenv(&saved_); }
    RoundingGuard(const RoundingGuard&) = delete;
    RoundingGuard& operator=(const RoundingGuard&) = delete;

private:
    std::fenv_t saved_;
};

}  // namespace rx

#endif
