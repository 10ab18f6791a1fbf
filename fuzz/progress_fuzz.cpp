// Progress files from untrusted bytes, for a fixed task, read whole and
// streamed from a file as `work` resumes. Properties: no crash; both readers
// agree (the same error, or the same position, state and interval-end
// states); a position is never beyond the segment, and the interval-end
// states are exactly those of the ends up to it.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "timelock/formats/segment_progress.h"
#include "timelock/formats/segment_result.h"

namespace {

// Task 0 of a fixed plan (every byte 0x11), 2500 steps: interval ends 2, 5, 7, ...
const zt::SegmentTask& fixed_task() {
    static const zt::SegmentTask task = [] {
        auto plan = zt::draw_plan(1, 2500, [](std::span<std::uint8_t> out) -> zt::Result<void> {
            for (auto& b : out) b = 0x11;
            return zt::success();
        });
        zt::fuzz::require(plan.ok());
        return zt::task_of(*plan, 0);
    }();
    return task;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using zt::fuzz::require;
    static zt::fuzz::InputFile file;
    const std::string_view input = zt::fuzz::as_view(data, size);
    const zt::SegmentTask& task = fixed_task();
    const std::string path = file.hold(input);
    auto read = zt::read_progress(input, task, path);
    auto loaded = zt::load_progress(path, task);
    require(read.ok() == loaded.ok());
    if (!read) {
        require(read.error() == loaded.error());
        return 0;
    }
    require(read->iteration == loaded->iteration && read->state == loaded->state &&
            read->interval_states == loaded->interval_states);
    require(read->iteration <= task.iterations);
    const std::uint64_t ends = read->interval_states.size();
    require(zt::interval_end(task.iterations, ends) <= read->iteration);
    require(ends == zt::result_intervals(task.iterations) ||
            zt::interval_end(task.iterations, ends + 1) > read->iteration);
    return 0;
}
