#include "timelock/split/segment_walk.h"

#include <string>
#include <utility>

#include "timelock/work/chain_cursor.h"
#include "timelock/work/solver.h"

namespace zt {

Result<std::optional<SegmentResult>> walk_segment(const SegmentTask& task, RandomxVm& vm, SegmentProgress progress,
                                                  int progress_fd, const WalkOptions& options) {
    if (options.checkpoint_interval == 0) return Error(std::string(kZeroCheckpointInterval));
    const Key32 key = work_key(task);
    const std::uint64_t n = task.iterations;
    std::uint64_t next_end = interval_end(n, progress.interval_states.size() + 1);
    std::uint64_t saved = progress.iteration;  // the last position in the file
    ChainCursor cursor(vm, task.epoch, task.segment, progress.iteration, progress.state);
    const std::atomic<int>& stop = options.stop != nullptr ? *options.stop : never_stop();

    ZT_TRY_ASSIGN(const bool finished, cursor.advance_to(n, stop, [&](const ChainCursor& at) -> Result<void> {
        const std::uint64_t j = at.iteration();
        if (options.steps_done != nullptr) options.steps_done->fetch_add(1, std::memory_order_relaxed);
        const bool at_end = j == next_end;
        if (at_end) {
            progress.interval_states.push_back(at.state());
            next_end = interval_end(n, progress.interval_states.size() + 1);
        }
        if (at_end || j % options.checkpoint_interval == 0) {
            ZT_TRY(append_progress(progress_fd, task, key, j, at.state()));
            saved = j;
        }
        return success();
    }));
    if (!finished) {
        if (cursor.iteration() != saved) {
            ZT_TRY(append_progress(progress_fd, task, key, cursor.iteration(), cursor.state()));
        }
        return std::optional<SegmentResult>();
    }
    return std::optional<SegmentResult>(seal_result(task, std::move(progress.interval_states)));
}

}  // namespace zt
