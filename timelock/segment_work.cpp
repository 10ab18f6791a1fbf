#include "timelock/segment_work.h"

#include <string>
#include <utility>

#include "timelock/solver.h"

namespace zt {

Result<std::optional<SegmentResult>> walk_segment(const SegmentTask& task, RandomxVm& vm, SegmentProgress progress,
                                                  int progress_fd, const WalkOptions& options) {
    if (options.checkpoint_interval == 0) return Error(std::string(kZeroCheckpointInterval));
    const Key32 key = work_key(task);
    const std::uint64_t n = task.iterations;
    std::uint64_t next_end = interval_end(n, progress.interval_states.size() + 1);
    std::uint64_t saved = progress.iteration;  // the last position in the file
    std::uint64_t j = progress.iteration;
    Key32 state = progress.state;

    while (j < n) {
        if (options.stop != nullptr && options.stop->load(std::memory_order_relaxed) != 0) {
            if (j != saved) ZT_TRY(append_progress(progress_fd, task, key, j, state));
            return std::optional<SegmentResult>();
        }
        state = step(vm, task.epoch, task.segment, j, state);
        ++j;
        if (options.steps_done != nullptr) options.steps_done->fetch_add(1, std::memory_order_relaxed);
        const bool at_end = j == next_end;
        if (at_end) {
            progress.interval_states.push_back(state);
            next_end = interval_end(n, progress.interval_states.size() + 1);
        }
        if (at_end || j % options.checkpoint_interval == 0) {
            ZT_TRY(append_progress(progress_fd, task, key, j, state));
            saved = j;
        }
    }
    return std::optional<SegmentResult>(seal_result(task, std::move(progress.interval_states)));
}

}  // namespace zt
