#include "timelock/split/local_generation.h"

#include <optional>
#include <utility>

#include "timelock/base/wording.h"
#include "timelock/split/segment_job.h"
#include "timelock/split/state_dir.h"
#include "timelock/work/pool.h"

namespace zt {

Result<GenerationPlan> open_or_draw_plan(const StateDir& state, std::uint64_t epoch, std::uint64_t iterations) {
    ZT_TRY_ASSIGN(const std::optional<file_io::FileInfo> kept, file_io::stat_at(state.dir(), kPlanFileName));
    if (kept) {
        ZT_TRY_ASSIGN(GenerationPlan plan, read_plan_file(state.dir()));
        if (plan.epoch != epoch || plan.iterations != iterations) {
            return Error(about_file(kStateOption, state.path(), kStateOfAnotherPuzzle,
                                    "give the --epoch and --iterations it was made with, or another directory"));
        }
        // A run killed while writing the task files left some missing.
        ZT_TRY(write_state(state, plan, StateFiles::work_tasks));
        return plan;
    }
    ZT_TRY(check_new_state_dir(state));
    ZT_TRY_ASSIGN(GenerationPlan plan, draw_plan(epoch, iterations));
    ZT_TRY(write_state(state, plan, StateFiles::work_tasks));
    return plan;
}

std::uint64_t kept_steps_in(std::span<const SegmentTask> tasks, const file_io::Dir& dir) {
    std::uint64_t steps = 0;
    for (const SegmentTask& task : tasks) steps += kept_steps(task, dir, result_file_name(task.segment));
    return steps;
}

Result<bool> work_segments(const WorkEngine& engine, std::span<const SegmentTask> tasks, const file_io::Dir& dir,
                           std::size_t threads, PoolObserver* observer, const std::atomic<int>& stop) {
    const SegmentWork work = [&](RandomxVm& vm, std::uint32_t segment,
                                 std::atomic<std::uint64_t>& steps_done) -> Result<std::optional<Key32>> {
        const SegmentTask& task = tasks[segment];
        ZT_TRY_ASSIGN(SegmentJob job, SegmentJob::open(task, OutputTarget::in(dir, result_file_name(segment))));
        if (job.done()) return std::optional<Key32>(job.done()->digest());
        const auto result = job.run(vm, WalkOptions{.stop = &stop, .steps_done = &steps_done});
        if (!result) return result.error();
        if (!result->has_value()) return std::optional<Key32>();  // stopped, the position saved
        return std::optional<Key32>((*result)->digest());
    };
    ZT_TRY(run_segment_pool(engine, tasks.size(), work, threads, observer, stop));
    return stop.load() == 0;
}

}  // namespace zt
