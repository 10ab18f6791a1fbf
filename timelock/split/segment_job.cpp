#include "timelock/split/segment_job.h"

#include <utility>

#include "timelock/base/private_files.h"
#include "timelock/base/utf8.h"
#include "timelock/split/state_dir.h"

namespace zt {
namespace {

// The result `target` if it is `task`'s, nothing if there is none.
Result<std::optional<SegmentResult>> finished_result(const SegmentTask& task, const OutputTarget& target) {
    const file_io::Dir& dir = target.dir();
    const std::string_view name = target.name();
    const auto foreign = [&](const Error& why) {
        return Error(existing_output(target, "not a result of this task").message(), {why.message()});
    };
    auto existing = read_result_file(dir, name);
    if (!existing) return foreign(existing.error());
    if (*existing) {
        if (auto matches = check_result(**existing, task); !matches) return foreign(matches.error());
    }
    return existing;
}

}  // namespace

std::uint64_t kept_steps(const SegmentTask& task, const file_io::Dir& dir, std::string_view result_name) {
    const auto finished = finished_result(task, OutputTarget::in(dir, result_name));
    if (!finished) return 0;
    if (*finished) return task.iterations;
    const auto position = last_progress_position(dir, progress_path(std::string(result_name)), task);
    return position ? *position : 0;
}

Result<SegmentJob> SegmentJob::open(const SegmentTask& task, const OutputTarget& result) {
    SegmentJob job(task, result);
    const file_io::Dir& dir = result.dir();
    const std::string progress = progress_path(result.name());
    // 1. A progress file beside a finished result is what a run ended
    // between publishing the result and removing the progress left: it goes
    // now, unless a worker still holds it (that worker removes it itself).
    ZT_TRY_ASSIGN(job.done_, finished_result(task, result));
    if (job.done_) {
        ZT_TRY_ASSIGN(const std::optional<file_io::FileInfo> left, file_io::stat_at(dir, progress));
        if (left) {
            if (auto held = open_progress_file(dir, progress)) ZT_TRY(wipe_and_remove(dir, progress));
        }
        return job;
    }
    // 2. Under the lock, the result may have appeared meanwhile.
    ZT_TRY_ASSIGN(job.progress_fd_, open_progress_file(dir, progress));
    ZT_TRY_ASSIGN(job.done_, finished_result(task, result));
    if (job.done_) {
        ZT_TRY(wipe_and_remove(dir, progress));
        return job;
    }
    // 3. Where the walk resumes.
    ZT_TRY_ASSIGN(job.progress_, load_progress(dir, progress, task));
    return job;
}

Result<std::optional<SegmentResult>> SegmentJob::run(RandomxVm& vm, const WalkOptions& options) {
    // 3.
    auto walked = walk_segment(*task_, vm, std::move(progress_), progress_fd_.get(), options);
    if (!walked) return std::move(walked).error();
    if (!walked->has_value()) return std::optional<SegmentResult>();  // stopped, the position saved
    // 4. The progress goes only once the result is durable.
    ZT_TRY(publish_result(result_, **walked));
    ZT_TRY(wipe_and_remove(result_.dir(), progress_path(result_.name())));
    progress_fd_.reset();
    done_ = std::move(**walked);
    return done_;
}

}  // namespace zt
