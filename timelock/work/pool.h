// The bounded worker pool of puzzle generation: P threads (1 to 96) work the
// segment chains of one puzzle at once, claiming segment indices from one
// shared counter, and the digests come back ordered by segment.
//
// Every thread is started and ended inside one call; the engine, the seeds
// and the counters are borrowed for no longer than that. Each thread creates
// its own VM from the engine. The only shared mutable value while the
// threads hash is the claim counter (plus the step and segment counters,
// written with relaxed adds and only reported to the observer).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "timelock/base/error.h"
#include "timelock/base/processors.h"
#include "timelock/base/secret.h"
#include "timelock/base/stop_signals.h"
#include "timelock/work/engine.h"
#include "timelock/work/work_observer.h"

namespace zt {

inline constexpr std::string_view kWorkerPanicked = "RandomX worker panicked";
inline constexpr std::size_t kMaxPoolThreads = 96;

// The pool size for this process: the processors available to it
// (processors.h), at most kMaxPoolThreads. Errors: available_processors()'s.
inline Result<std::size_t> pool_threads() {
    ZT_TRY_ASSIGN(const std::size_t processors, available_processors());
    return std::min(processors, kMaxPoolThreads);
}

// Digest i is the state after the last step of segment i.
using SegmentDigests = std::vector<Key32>;

// Runs segment_chain for every seed (segment i from seeds[i]) on `threads`
// threads (clamped to 1 .. kMaxPoolThreads) and returns the digests in
// segment order.
//
// Errors: kVmAllocationFailed when a thread cannot create its VM, or
// kWorkerPanicked when a thread ends abnormally; the earliest-started failing
// thread decides. A failure does not stop the other threads: the call
// returns after every thread has ended, and all digests computed are wiped.
// If a thread cannot be started, the started ones work every remaining
// segment, and InternalFault is thrown after they have ended.
//
// With an `observer`, the calling thread reports the workers' counts to it
// while it waits (work_observer.h).
//
// When `stop` goes up (StopSignals), every worker stops before its next
// step and claims nothing more; the call returns after all have ended with
// no digests at all (an empty list, whatever else happened), and what was
// computed is wiped. A finished run always returns seeds.size() digests.
Result<SegmentDigests> run_segment_pool(const WorkEngine& engine, std::span<const Key32> seeds,
                                        std::uint64_t epoch, std::uint64_t iterations, std::size_t threads,
                                        PoolObserver* observer = nullptr, const std::atomic<int>& stop = never_stop());

// One segment's work on a worker's own VM: its digest; nothing when it
// stopped because `stop` went up; or an error. It raises `steps_done` by one
// per step (relaxed; for the observer only).
using SegmentWork = std::function<Result<std::optional<Key32>>(RandomxVm& vm, std::uint32_t segment,
                                                               std::atomic<std::uint64_t>& steps_done)>;

// The same pool over `segments` segments whose work is `work` (a resumable
// job of generate --state, say). A worker whose work fails claims nothing
// more and the pool fails with that error, the earliest-started failing
// thread deciding as above; the other workers still work every remaining
// segment.
Result<SegmentDigests> run_segment_pool(const WorkEngine& engine, std::size_t segments, const SegmentWork& work,
                                        std::size_t threads, PoolObserver* observer = nullptr,
                                        const std::atomic<int>& stop = never_stop());

namespace detail {

// Test seams. `before_start(i)` runs on the calling thread before thread i is
// created (throwing std::system_error refuses it); `worker_start(i)` runs on
// thread i before it creates its VM (throwing ends the thread abnormally).
struct PoolSeams {
    std::function<void(std::size_t)> before_start;
    std::function<void(std::size_t)> worker_start;
};

Result<SegmentDigests> run_segment_pool(const WorkEngine& engine, std::span<const Key32> seeds,
                                        std::uint64_t epoch, std::uint64_t iterations, std::size_t threads,
                                        PoolObserver* observer, const std::atomic<int>& stop,
                                        const PoolSeams& seams);

}  // namespace detail
}  // namespace zt
