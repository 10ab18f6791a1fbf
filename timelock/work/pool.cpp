#include "timelock/work/pool.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <utility>

#include "timelock/work/chain_cursor.h"
#include "timelock/work/ordered_threads.h"

namespace zt {

namespace {

// One thread's finished segments, in the order it finished them.
using WorkedSegments = std::vector<std::pair<std::size_t, Key32>>;

struct SegmentJob {
    const WorkEngine& engine;
    std::size_t segments;
    const SegmentWork& work;
    std::atomic<std::uint64_t> next_index{0};
    // Raised with relaxed adds; only reported to the observer.
    std::atomic<std::uint64_t> steps_done{0};
    std::atomic<std::uint64_t> segments_done{0};
    const std::atomic<int>& stop;
};

// segment_chain for one segment, looking at the stop flag before every
// step: nothing when asked to stop.
SegmentWork chain_work(std::span<const Key32> seeds, std::uint64_t epoch, std::uint64_t iterations,
                       const std::atomic<int>& stop) {
    return [seeds, epoch, iterations, &stop](RandomxVm& vm, std::uint32_t segment,
                                             std::atomic<std::uint64_t>& steps_done) -> Result<std::optional<Key32>> {
        ChainCursor cursor(vm, epoch, segment, 0, seeds[segment]);
        ZT_TRY_ASSIGN(const bool finished, cursor.advance_to(iterations, stop, [&steps_done](const ChainCursor&) {
            steps_done.fetch_add(1, std::memory_order_relaxed);
            return success();
        }));
        if (!finished) return std::optional<Key32>();
        return std::optional<Key32>(cursor.state());
    };
}

Result<WorkedSegments> segment_worker(SegmentJob& job) {
    // A thread without a VM claims nothing; the others work every segment.
    ZT_TRY_ASSIGN(RandomxVm vm, job.engine.create_vm());
    WorkedSegments worked;
    worked.reserve(job.segments);  // no reallocation, so no unwiped copies
    for (;;) {
        // Relaxed: the inputs were written before the threads started and the
        // digests travel back through the join.
        const std::uint64_t index = job.next_index.fetch_add(1, std::memory_order_relaxed);
        if (index >= job.segments) break;
        ZT_TRY_ASSIGN(std::optional<Key32> digest, job.work(vm, static_cast<std::uint32_t>(index), job.steps_done));
        if (!digest) break;  // stopped; the pool discards the whole work
        worked.emplace_back(static_cast<std::size_t>(index), *digest);
        job.segments_done.fetch_add(1, std::memory_order_relaxed);
    }
    return worked;
}

Result<SegmentDigests> run_pool(const WorkEngine& engine, std::size_t segments, const SegmentWork& work,
                                std::size_t threads, PoolObserver* observer, const std::atomic<int>& stop,
                                const detail::PoolSeams& seams) {
    // Zero threads would leave every segment unworked and return zero digests.
    threads = std::clamp<std::size_t>(threads, 1, kMaxPoolThreads);
    SegmentJob job{engine, segments, work, {}, {}, {}, stop};

    const std::function<Result<WorkedSegments>(std::size_t)> body = [&job, &seams](std::size_t i) {
        if (seams.worker_start) seams.worker_start(i);
        return segment_worker(job);
    };
    detail::ThreadHooks hooks;
    hooks.before_start = seams.before_start;
    const auto report = [&job, observer] {
        observer->pool_progress(job.segments_done.load(std::memory_order_relaxed),
                                job.steps_done.load(std::memory_order_relaxed));
    };
    if (observer != nullptr) {
        hooks.while_waiting = report;
        hooks.poll = PoolObserver::kPollInterval;
        observer->pool_started();
    }
    auto outcomes = detail::run_ordered_threads(threads, body, hooks);
    if (observer != nullptr) report();

    // A stop outranks any failure: the user asked for the work to end.
    if (stop.load(std::memory_order_relaxed) != 0) return SegmentDigests();
    SegmentDigests digests(segments);  // all zero; wiped by their holders on every path
    for (auto& outcome : outcomes) {
        if (!outcome.has_value()) return Error(std::string(kWorkerPanicked));
        if (!*outcome) return std::move(*outcome).error();
        for (auto& [index, digest] : outcome->value()) {
            if (index >= digests.size()) return Error(std::string(kWorkerPanicked));
            digests[index] = digest;
        }
    }
    return digests;
}

}  // namespace

Result<SegmentDigests> run_segment_pool(const WorkEngine& engine, std::span<const Key32> seeds,
                                        std::uint64_t epoch, std::uint64_t iterations, std::size_t threads,
                                        PoolObserver* observer, const std::atomic<int>& stop) {
    return detail::run_segment_pool(engine, seeds, epoch, iterations, threads, observer, stop, {});
}

Result<SegmentDigests> run_segment_pool(const WorkEngine& engine, std::size_t segments, const SegmentWork& work,
                                        std::size_t threads, PoolObserver* observer, const std::atomic<int>& stop) {
    return run_pool(engine, segments, work, threads, observer, stop, {});
}

namespace detail {

Result<SegmentDigests> run_segment_pool(const WorkEngine& engine, std::span<const Key32> seeds,
                                        std::uint64_t epoch, std::uint64_t iterations, std::size_t threads,
                                        PoolObserver* observer, const std::atomic<int>& stop,
                                        const PoolSeams& seams) {
    return run_pool(engine, seeds.size(), chain_work(seeds, epoch, iterations, stop), threads, observer, stop,
                    seams);
}

}  // namespace detail
}  // namespace zt
