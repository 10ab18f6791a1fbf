// The verify-result command: recompute every interval of one segment result
// on all processors and, when all match, publish the outcome beside it
// (RESULT.verified, 0600, never replacing a file), authenticated with the
// key of the verification task (verify-NN.json, which plan wrote and no
// worker holds), which assemble accepts in place of its sample of that
// segment's middle intervals. Idempotent like work: an outcome
// for exactly this result already there ends the command at once with
// success. Prints nothing on standard output; on standard error, what was
// checked. SIGUSR1 asks for one status line on standard error (the set-up,
// then the recomputation, with the time spent) and the work goes on; at a
// terminal the same line is kept up to date.
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

#include "cli/commands/commands.h"
#include "cli/console.h"
#include "cli/reporting.h"
#include "cli/terminal/poller.h"
#include "cli/terminal/progress.h"
#include "cli/terminal/status_request.h"
#include "timelock/base/publish.h"
#include "timelock/base/utf8.h"
#include "timelock/split/full_verification.h"
#include "timelock/split/state_dir.h"
#include "timelock/work/engine.h"
#include "timelock/work/pool.h"
#include "timelock/base/wording.h"

namespace zt::cli {
namespace {

// "all 1000 intervals", "the only interval".
std::string all_intervals(std::size_t n) { return n == 1 ? "the only interval" : "all " + counted(n, "interval"); }

}  // namespace

zt::Result<void> run_verify_result(const VerifyResultArgs& args) {
    const StatusRequests status_requests;  // SIGUSR1: a status line, and go on
    // 1. The verification task, and the result, which must be its segment's.
    ZT_TRY_ASSIGN(const VerificationTask verification, read_verification_task_input(args.task));
    const SegmentTask& task = verification.task;
    ZT_TRY_ASSIGN(const OutputTarget outcome,
                  OutputTarget::open("the outcome of --result", outcome_path(args.result)));
    auto read = read_result_file(outcome.dir(), file_io::last_component(args.result));
    if (!read) return input_error("--result", args.result, expected::result, read.error());
    const std::optional<SegmentResult>& result = *read;
    if (!result) return input_error("--result", args.result, expected::result, Error::from_errno(ENOENT));
    ZT_TRY(check_result(*result, task));

    // 2. Done already?
    ZT_TRY_ASSIGN(const bool done, outcome_published(verification, *result, outcome));
    if (done) return zt::success();

    // 3. Every interval recomputed on all processors, then the outcome published.
    ZT_TRY_ASSIGN(const std::size_t threads, pool_threads());
    StatusLine line(STDERR_FILENO, StatusLine::style_for(STDERR_FILENO));
    std::optional<SetupWatch> setup(std::in_place, line, "verify-result", args.mode);
    ZT_TRY_ASSIGN(const WorkEngine engine, WorkEngine::setup(task.dataset_key, args.mode));
    setup.reset();
    const std::string all = all_intervals(result->states.size()) + " of " + segment_name(task.segment);
    const std::string doing = "verify-result: recomputing " + all + ", ";
    StatusWatch watch(line, [&](double elapsed) { return doing + format_duration(elapsed) + " so far"; });
    const auto verified = verify_in_full(engine, verification, *result, outcome, threads);
    watch.stop();
    line.clear();
    ZT_TRY(verified);

    // 4. What was checked.
    write_stderr("Verified " + all + "\n");
    return zt::success();
}

}  // namespace zt::cli
