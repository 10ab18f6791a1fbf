#include "timelock/split/local_generation.h"

#include <optional>
#include <utility>

#include "timelock/formats/input_files.h"
#include "timelock/split/segment_job.h"
#include "timelock/split/state_dir.h"
#include "timelock/work/pool.h"

namespace zt {

Result<GenerationPlan> open_or_draw_plan(const std::string& dir, std::uint64_t epoch, std::uint64_t iterations) {
    if (output_exists(in_dir(dir, kPlanFileName))) {
        ZT_TRY_ASSIGN(GenerationPlan plan, read_plan_file(dir));
        if (plan.epoch != epoch || plan.iterations != iterations) return Error(std::string(kStateOfAnotherPuzzle));
        return plan;
    }
    ZT_TRY(check_new_state_dir(dir));
    ZT_TRY_ASSIGN(GenerationPlan plan, draw_plan(epoch, iterations));
    ZT_TRY(write_state(dir, plan));
    return plan;
}

std::uint64_t kept_steps_in(std::span<const SegmentTask> tasks, const std::string& dir) {
    std::uint64_t steps = 0;
    for (const SegmentTask& task : tasks) steps += kept_steps(task, in_dir(dir, result_file_name(task.segment)));
    return steps;
}

Result<bool> work_segments(const WorkEngine& engine, std::span<const SegmentTask> tasks, const std::string& dir,
                           std::size_t threads, PoolObserver* observer, const std::atomic<int>& stop) {
    const SegmentWork work = [&](RandomxVm& vm, std::uint32_t segment,
                                 std::atomic<std::uint64_t>& steps_done) -> Result<std::optional<Key32>> {
        const SegmentTask& task = tasks[segment];
        ZT_TRY_ASSIGN(SegmentJob job, SegmentJob::open(task, in_dir(dir, result_file_name(segment))));
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
