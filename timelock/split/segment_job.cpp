#include "timelock/split/segment_job.h"

#include <utility>

#include "timelock/base/utf8.h"
#include "timelock/split/state_dir.h"

namespace zt {
namespace {

// The result at `path` if it is `task`'s, nothing if there is none.
Result<std::optional<SegmentResult>> finished_result(const SegmentTask& task, const std::string& path) {
    const auto foreign = [&path](const Error& why) {
        return Error("result " + utf8_lossy(path) + " already exists for another task", {why.message()});
    };
    auto existing = read_result_file(path);
    if (!existing) return foreign(existing.error());
    if (*existing) {
        if (auto matches = check_result(**existing, task); !matches) return foreign(matches.error());
    }
    return existing;
}

}  // namespace

std::uint64_t kept_steps(const SegmentTask& task, const std::string& result_path) {
    const auto finished = finished_result(task, result_path);
    if (!finished) return 0;
    if (*finished) return task.iterations;
    const auto progress = load_progress(progress_path(result_path), task);
    return progress ? progress->iteration : 0;
}

Result<SegmentJob> SegmentJob::open(const SegmentTask& task, const std::string& result_path) {
    SegmentJob job(task, result_path);
    // 1.
    ZT_TRY_ASSIGN(job.done_, finished_result(task, result_path));
    if (job.done_) return job;
    // 2. Under the lock, the result may have appeared meanwhile.
    const std::string progress = progress_path(result_path);
    ZT_TRY_ASSIGN(job.progress_fd_, open_progress_file(progress));
    ZT_TRY_ASSIGN(job.done_, finished_result(task, result_path));
    if (job.done_) {
        ZT_TRY(wipe_and_remove(progress));
        return job;
    }
    // 3. Where the walk resumes.
    ZT_TRY_ASSIGN(job.progress_, load_progress(progress, task));
    return job;
}

Result<std::optional<SegmentResult>> SegmentJob::run(RandomxVm& vm, const WalkOptions& options) {
    // 3.
    auto walked = walk_segment(*task_, vm, std::move(progress_), progress_fd_.get(), options);
    if (!walked) return std::move(walked).error();
    if (!walked->has_value()) return std::optional<SegmentResult>();  // stopped, the position saved
    // 4. The progress goes only once the result is durable.
    ZT_TRY(publish_result(result_path_, **walked));
    ZT_TRY(wipe_and_remove(progress_path(result_path_)));
    progress_fd_.reset();
    done_ = std::move(**walked);
    return done_;
}

}  // namespace zt
