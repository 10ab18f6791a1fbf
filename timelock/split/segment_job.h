// One segment task worked into its result file, resumably and idempotently:
// what `work` does for the task it is given and what `generate --state` does
// for each of its 96 segments (one code path).
//
//   1. A result already at the result path that is this task's (check_result)
//      means the job is done (a progress file left beside it by a run ended
//      after publishing is wiped and removed, unless a worker holds it); one
//      that is not is an error, and nothing is touched.
//   2. The progress file beside it (state_dir.h) is opened and locked, so
//      a second worker on the same task fails at once; the result is looked
//      for again under the lock, in case another worker just finished.
//   3. The progress is loaded and the walk resumes from it (segment_walk.h).
//   4. The result is published (0600, no overwrite; its staged file is kept
//      on failure) and only then the progress file is wiped and removed.
//
// A job stopped on request has saved its position; running it again resumes
// there. A job killed at any moment loses at most the steps since its last
// progress line.
//
// A job borrows its task, which must outlive it.
//
// Thread safety: one job per thread; jobs of different tasks are independent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "timelock/base/error.h"
#include "timelock/base/file_io.h"
#include "timelock/base/publish.h"
#include "timelock/formats/segment_progress.h"
#include "timelock/formats/segment_result.h"
#include "timelock/formats/segment_task.h"
#include "timelock/split/segment_walk.h"
#include "timelock/work/engine.h"

namespace zt {

// The steps of `task` that earlier runs kept for the result `result_name` in
// `dir`: all of them when its result is there, else the position of the last
// line of its progress file (read from its end); 0 when neither can be read
// (opening the job reports why). Reads only.
std::uint64_t kept_steps(const SegmentTask& task, const file_io::Dir& dir, std::string_view result_name);

class SegmentJob {
public:
    // Steps 1 to 3 up to the walk, for the result `result` (its progress file
    // beside it). Errors: existing_output (publish.h) for a result of another task
    // (with the reason as cause), the progress file's errors (kProgressInUse
    // among them), the system's.
    static Result<SegmentJob> open(const SegmentTask& task, const OutputTarget& result);

    // The result, when there is nothing left to do.
    const std::optional<SegmentResult>& done() const { return done_; }

    // The steps earlier runs kept: all of them when done, else where the
    // walk resumes (what kept_steps reads, as this job loaded it).
    std::uint64_t steps_kept() const { return done_ ? task_->iterations : progress_.iteration; }

    // Steps 3 and 4 on `vm`: the result, or nothing when stopped on request.
    // Call only when done() is empty.
    Result<std::optional<SegmentResult>> run(RandomxVm& vm, const WalkOptions& options);

private:
    SegmentJob(const SegmentTask& task, const OutputTarget& result) : task_(&task), result_(result) {}

    const SegmentTask* task_;
    OutputTarget result_;
    file_io::Fd progress_fd_;  // holds the lock
    SegmentProgress progress_;
    std::optional<SegmentResult> done_;
};

}  // namespace zt
