// What the long operations tell whoever watches them. The core never draws:
// generation's pool and the solver report plain counters and positions
// through these observers, and the command-line program decides what to
// show (cli/terminal/progress.h, cli/terminal/solve_progress.h, cli/terminal/calibrate_progress.h). An operation given no
// observer (a null pointer) reports nothing.
//
// Thread safety: every call is made on the thread that runs the operation
// (the pool's calling thread, never a worker; the solving thread), so an
// observer needs no locking of its own. A call must not throw; what it
// leaves behind is its own business, the operation never looks at it.
#pragma once

#include <chrono>
#include <cstdint>

#include "timelock/base/work_mode.h"

namespace zt {

// Generation's worker pool, as seen from the thread that waits for it.
class PoolObserver {
public:
    // How often pool_progress is called while the workers hash.
    static constexpr std::chrono::milliseconds kPollInterval{100};

    virtual ~PoolObserver() = default;

    // The workers are about to start (the engine is set up); nothing has
    // been hashed yet.
    virtual void pool_started() = 0;

    // Segments finished and steps done by all workers so far (read with
    // relaxed loads: a display, not a synchronisation). Called about every
    // kPollInterval while the workers run, and once more after they have all
    // ended.
    virtual void pool_progress(std::uint64_t segments_done, std::uint64_t steps_done) = 0;
};

// The solver's walk. stepped() runs once per RandomX step, so it should do
// little more than store the position (the hash it follows costs a
// thousand times more).
class SolveObserver {
public:
    virtual ~SolveObserver() = default;

    // The engine is being set up (tens of seconds in full mode).
    virtual void setting_up(WorkMode mode) = 0;

    // The walk begins at this position (steps of `segment` already done).
    virtual void walk_started(std::uint32_t segment, std::uint64_t iteration) = 0;

    // A step has been done; the position after it.
    virtual void stepped(std::uint32_t segment, std::uint64_t iteration) = 0;

    // A segment was unwrapped; the walk goes on at (segment, 0), no step done.
    virtual void moved_to(std::uint32_t segment, std::uint64_t iteration) = 0;
};

// Calibration, as seen from the thread that sets up and waits.
class CalibrationObserver {
public:
    // How often sampling_progress is called while the workers hash. Short,
    // because the last wait ends within one interval after the workers and
    // so stretches the measured hash_seconds by at most that much.
    static constexpr std::chrono::milliseconds kPollInterval{20};

    virtual ~CalibrationObserver() = default;

    // The engine is being set up with a throw-away key.
    virtual void calibration_setting_up(WorkMode mode) = 0;

    // The workers are about to start: `workers` chains of `samples` steps.
    virtual void sampling_started(std::uint64_t samples, std::uint64_t workers) = 0;

    // Steps done by all workers together so far (relaxed loads: a display).
    virtual void sampling_progress(std::uint64_t steps_done) = 0;
};

}  // namespace zt
