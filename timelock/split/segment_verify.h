// Checking the workers' results before a puzzle is assembled from them: a
// random sample of the intervals between recorded states is recomputed, and
// a result whose recomputed state differs is refused. A faulty or dishonest
// worker otherwise yields a puzzle that nobody can solve.
//
// Sample: for every segment, its first and last interval (the first
// catches a worker that did not start from its seed, the last a digest that
// is not the chain's) and m = ceil(fraction × K) of its other K - 2
// intervals (segment_result.h; all of them when m exceeds that), chosen
// without replacement from the operating system's random source after the
// results are fixed, so a worker cannot know which of its intervals will be
// checked. One wrong interval (a bit flipped in a worker's memory leaves
// exactly one: every later state is wrong but consistent) is caught only if
// it is in the sample. Interval k starts from
// the state recorded at the end of interval k - 1 (the seed for k = 1) and
// runs the segment's steps up to interval_end(N, k). A fraction of 1 redoes
// every segment in full.
//
// The recomputation runs on `threads` threads (1 .. 96) that claim intervals
// from one shared counter, each with its own VM of the caller's engine, in
// the pool's discipline (timelock/work/ordered_threads.h).
//
// Thread safety: call from one thread; the engine, tasks and results are only
// read while the threads run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "timelock/base/error.h"
#include "timelock/formats/generation_plan.h"
#include "timelock/formats/segment_result.h"
#include "timelock/formats/segment_task.h"
#include "timelock/work/engine.h"

namespace zt {

// One interval to recompute: interval `interval` (1 .. K) of `segment`.
struct IntervalCheck {
    std::uint32_t segment = 0;
    std::uint64_t interval = 0;
};

inline constexpr std::string_view kBadVerifyFraction = "verify fraction must be above 0 and at most 1";

// The sample for results of `iterations` steps, ordered by segment and
// interval; kBadVerifyFraction unless 0 < fraction <= 1 (NaN included),
// "OS randomness failed" when the source fails.
Result<std::vector<IntervalCheck>> choose_interval_checks(std::size_t segments, std::uint64_t iterations,
                                                          double fraction, const RandomSource& source = {});

// Every interval of segment `segment` (for a full check).
std::vector<IntervalCheck> all_interval_checks(std::uint32_t segment, std::uint64_t iterations);

// The chance that one wrong interval, equally likely anywhere in the
// `segments` segments of K intervals each, is not among `checks`.
double miss_probability(std::span<const IntervalCheck> checks, std::size_t segments, std::uint64_t iterations);

// Recomputes `checks` (results[i] and tasks[i] belong to segment i, already
// matched with check_result). The first mismatch, by segment and interval,
// decides the error: "result of segment N failed verification: the
// state after step S is not the chain's". The VM allocation and thread
// failures are the pool's ("RandomX VM allocation failed", "RandomX worker
// panicked", InternalFault).
Result<void> verify_interval_checks(const WorkEngine& engine, std::span<const SegmentTask> tasks,
                                    std::span<const SegmentResult> results, std::span<const IntervalCheck> checks,
                                    std::size_t threads);

}  // namespace zt
