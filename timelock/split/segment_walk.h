// One segment's work, resumable: the walk behind `work` and each segment of
// `generate --state`.
//
// The walk runs the segment chain of a task (the same steps as
// segment_chain: segment index, iteration indices 0 .. N - 1, from the seed)
// from wherever its progress stands, appends a progress line
// (segment_progress.h) at every interval end and every `checkpoint_interval`
// steps of the segment (counted from its start), each flushed before the
// walk goes on, and finally seals the result (segment_result.h) from the
// interval-end states. So a walk killed at any moment and resumed from its
// progress file gives exactly the result of an uninterrupted one.
//
// Thread safety: one walk per thread, each with its own VM and progress
// file; the stop flag and the step counter may be shared.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "timelock/base/error.h"
#include "timelock/formats/segment_progress.h"
#include "timelock/formats/segment_result.h"
#include "timelock/formats/segment_task.h"
#include "timelock/work/engine.h"

namespace zt {

struct WalkOptions {
    std::uint64_t checkpoint_interval = 10000;
    // Looked at before every step: when it goes up the walk appends its
    // position (unless that is the last line already) and returns nothing.
    const std::atomic<int>* stop = nullptr;
    // Raised by one after every step (relaxed; for progress display only).
    std::atomic<std::uint64_t>* steps_done = nullptr;
};

// Walks `task` on `vm` from `progress` (as load_progress gave it) to the end
// and returns the sealed result, or nothing when stopped on request. Errors:
// "zero checkpoint interval" before any step; the system's error when a
// progress line cannot be written (the walk ends there; every line written
// before stays valid).
Result<std::optional<SegmentResult>> walk_segment(const SegmentTask& task, RandomxVm& vm, SegmentProgress progress,
                                                  int progress_fd, const WalkOptions& options);

}  // namespace zt
