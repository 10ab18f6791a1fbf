// A split generation run on one machine: what `generate --state` does
// between the command line and the assembly. The plan is drawn into the
// state directory once and read back by every later run, and the 96
// segments are worked on this machine's pool, each as a resumable job
// (segment_job.h) whose result and progress files live in the state
// directory itself.
//
// Thread safety: call from the main thread; the pool starts and joins its
// own threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "timelock/base/error.h"
#include "timelock/formats/generation_plan.h"
#include "timelock/formats/segment_task.h"
#include "timelock/split/state_dir.h"
#include "timelock/work/engine.h"
#include "timelock/work/work_observer.h"

namespace zt {

// The plan kept in `state` when there is one, which must be of `epoch` and
// `iterations` (kStateOfAnotherPuzzle otherwise); else a new plan drawn and
// written into `state` (check_new_state_dir, draw_plan, write_state).
Result<GenerationPlan> open_or_draw_plan(const StateDir& state, std::uint64_t epoch, std::uint64_t iterations);

// The steps of all `tasks` that earlier runs kept in `dir` (kept_steps of
// each), for showing them as done.
std::uint64_t kept_steps_in(std::span<const SegmentTask> tasks, const file_io::Dir& dir);

// Works every task into its result in `dir` on `threads` threads of
// `engine`, resuming each from its progress file. True when every result is
// published; false when `stop` went up, every job having saved its position.
// Errors: the first failing job's (the pool's rule), the pool's own.
Result<bool> work_segments(const WorkEngine& engine, std::span<const SegmentTask> tasks, const file_io::Dir& dir,
                           std::size_t threads, PoolObserver* observer, const std::atomic<int>& stop);

}  // namespace zt
