// A position in one segment's chain and the loop that advances it: every
// chain the program walks (the generation pool's, the resumable walk of a
// split generation, the solver's, the interval checks, calibration) steps
// through here and nowhere else.
//
// A cursor holds the segment, the steps of it done and the state after
// them. advance_to() steps it towards a target, looking at a stop flag
// before every step and calling a hook after every step; the hook sees the
// new position and may end the walk with an error (a checkpoint that could
// not be written). The loop adds nothing per step beyond the flag's relaxed
// load and the hook, which is inlined: the solver's cadence of checkpoints
// costs a counter and a division, as before.
//
// Thread safety: a cursor belongs to the thread that owns its VM; the stop
// flag may be shared. The state wipes itself.
#pragma once

#include <atomic>
#include <cstdint>

#include "timelock/base/error.h"
#include "timelock/base/secret.h"
#include "timelock/base/stop_signals.h"
#include "timelock/work/engine.h"

namespace zt {

class ChainCursor {
public:
    // At `iteration` steps of `segment` done, with `state` the state after them.
    ChainCursor(RandomxVm& vm, std::uint64_t epoch, std::uint32_t segment, std::uint64_t iteration,
                const Key32& state)
        : vm_(&vm), epoch_(epoch), segment_(segment), iteration_(iteration), state_(state) {}

    std::uint32_t segment() const { return segment_; }
    std::uint64_t iteration() const { return iteration_; }
    const Key32& state() const { return state_; }

    // Steps until `end` steps are done: true once there (at once if already
    // there), false when `stop` was up before a step. After every step
    // `after_step(const ChainCursor&)` runs; an error it returns ends the
    // walk at that position and is returned.
    template <typename AfterStep>
    Result<bool> advance_to(std::uint64_t end, const std::atomic<int>& stop, AfterStep&& after_step) {
        while (iteration_ < end) {
            if (stop.load(std::memory_order_relaxed) != 0) return false;
            state_ = step(*vm_, epoch_, segment_, iteration_, state_);
            ++iteration_;
            ZT_TRY(after_step(static_cast<const ChainCursor&>(*this)));
        }
        return true;
    }

    // The same without a hook or a stop: always gets there.
    void advance_to(std::uint64_t end) {
        static_cast<void>(advance_to(end, never_stop(), [](const ChainCursor&) { return success(); }));
    }

    // Moves to the start of `segment` with `state`, no step of it done (the
    // solver's next segment, after the unwrap).
    void restart(std::uint32_t segment, const Key32& state) {
        segment_ = segment;
        iteration_ = 0;
        state_ = state;
    }

private:
    RandomxVm* vm_;
    std::uint64_t epoch_;
    std::uint32_t segment_;
    std::uint64_t iteration_;
    Key32 state_;
};

}  // namespace zt
