// The work command: work one segment task into its result file. Idempotent
// and resumable, so a scheduler may run it again at any time: a result that
// is already there and belongs to the task ends the command at once with
// success; otherwise the walk resumes from the progress file beside the
// result (after any kill, at most a checkpoint interval is lost), the result
// is published (0600, never replacing a file) and the progress file is then
// wiped and removed. Prints nothing. SIGINT, SIGTERM or SIGHUP (a scheduler
// cancelling or requeueing the job) stops at the next step with the
// position saved, and ends with zt::Interrupted. SIGUSR1 asks for one status
// line on standard error and the work goes on; at a terminal a progress line
// shows the set-up and the walk.
#include <atomic>
#include <optional>
#include <string>
#include <string_view>

#include "cli/commands/commands.h"
#include "cli/reporting.h"
#include "cli/terminal/poller.h"
#include "cli/terminal/progress.h"
#include "cli/terminal/status_request.h"
#include "timelock/base/publish.h"
#include "timelock/base/stop_signals.h"
#include "timelock/base/utf8.h"
#include "timelock/formats/segment_task.h"
#include "timelock/split/segment_job.h"
#include "timelock/split/state_dir.h"
#include "timelock/work/engine.h"
#include "timelock/work/solver.h"

namespace zt::cli {
namespace {

std::string stopped_message(const PathArg& result) {
    return "Stopped; the work done is kept in " + utf8_lossy(progress_path(result)) +
           ": run the same command to resume";
}

}  // namespace

zt::Result<void> run_work(const WorkArgs& args) {
    // SIGUSR1 never ends the work; the progress line answers it.
    const StatusRequests status_requests;

    // 1. The result path can be published to; the task (its seed wipes itself).
    ZT_TRY_ASSIGN(const OutputTarget result_out, OutputTarget::open("--result", args.result));
    ZT_TRY_ASSIGN(const SegmentTask task, read_task_input("--task", args.task));

    // 2. Done already, or locked and loaded for resuming; a zero interval
    // fails before the engine is built.
    ZT_TRY_ASSIGN(SegmentJob job, SegmentJob::open(task, result_out));
    if (job.done()) return zt::success();
    if (args.checkpoint_interval == 0) return zt::Error(std::string(kZeroCheckpointInterval));

    // 3. The engine, keyed with the puzzle's dataset key; a stop during the
    // set-up ends it, the progress kept as it is.
    const StopSignals signals;
    const std::string label = "work (" + segment_name(task.segment) + ")";
    ProgressLine progress = ProgressLine::for_stderr(label, 1, task.iterations);
    progress.begin_setup(args.mode);
    ZT_TRY_ASSIGN(const std::optional<WorkEngine> engine,
                  WorkEngine::setup_unless_stopped(task.dataset_key, args.mode, StopSignals::flag()));
    if (!engine) {
        progress.clear();
        throw Interrupted(StopSignals::flag().load(), stopped_message(args.result));
    }
    ZT_TRY_ASSIGN(RandomxVm vm, engine->create_vm());

    // 4-5. The walk, watched from a helper thread, then the result and the
    // removal of the progress file.
    const std::uint64_t kept = job.steps_kept();
    std::atomic<std::uint64_t> steps{0};
    progress.start(0, kept);
    std::optional<Poller> watch(std::in_place,
                                [&] { progress.update(0, kept + steps.load(std::memory_order_relaxed)); });
    const auto result = job.run(vm, WalkOptions{.checkpoint_interval = args.checkpoint_interval,
                                                .stop = &StopSignals::flag(),
                                                .steps_done = &steps});
    watch.reset();
    progress.clear();
    if (!result) return result.error();
    if (!result->has_value()) throw Interrupted(StopSignals::flag().load(), stopped_message(args.result));
    return zt::success();
}

}  // namespace zt::cli
