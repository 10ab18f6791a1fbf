// The plan command: draw everything generate draws, in the same order, into
// a new private state directory (0700): the plan (0600, every secret of the
// puzzle; it never leaves this machine) and one task file per segment (0600,
// what that segment's worker needs). Prints the plan id. With
// --iterations-from the iteration count comes from a calibration report
// (cli/iteration_choice.h), and what it means is said on standard error.
//
// A plan killed after plan.json was published but before all its task
// files were is finished by running the same command again: the missing
// task files are written (nothing is drawn again) and the plan id printed.
#include <optional>
#include <string>

#include "cli/commands/commands.h"
#include "cli/console.h"
#include "cli/iteration_choice.h"
#include "timelock/base/protocol.h"
#include "timelock/base/utf8.h"
#include "timelock/base/wording.h"
#include "timelock/formats/generation_plan.h"
#include "timelock/split/state_dir.h"

namespace zt::cli {
namespace {

// Why an unfinished plan is not finished by this run, and what to do.
std::string describe_unfinished(const StateDir& state, const GenerationPlan& plan) {
    const std::string dir = state.path();
    const std::string epoch = std::to_string(plan.epoch);
    const std::string iterations = std::to_string(plan.iterations);
    return about_file("--state", dir,
                      "holds an unfinished plan for epoch " + epoch + " with " + iterations +
                          " iterations per segment (" + std::to_string(task_files_in(state)) + " of " +
                          std::to_string(protocol::kGeneratedSegments) + " task files written)",
                      "run plan --epoch " + epoch + " --iterations " + iterations + " --state " + utf8_lossy(dir) +
                          " to finish writing it, or give another directory");
}

}  // namespace

zt::Result<void> run_plan(const PlanArgs& args) {
    // 1. The directory, made if missing and locked for this run, is new or
    // empty (a plan is never mixed with another's files), or holds a plan of
    // ours whose writing a kill cut short.
    if (args.state.empty()) return zt::Error("--state is empty; give the directory to create");
    ZT_TRY_ASSIGN(const StateDir state, StateDir::open(args.state, /*create=*/true));
    ZT_TRY_ASSIGN(const std::optional<GenerationPlan> unfinished, unfinished_plan(state));

    // 2. The iteration count, given or from a calibration report (the work
    // mode is the workers' business, so any report's mode serves).
    ZT_TRY_ASSIGN(const IterationChoice choice,
                  choose_iterations(args.iterations, args.iterations_from, args.segment_time, args.solver_speedup,
                                    std::nullopt));
    write_stderr(format_opening_summary("plan", choice, protocol::kGeneratedSegments));

    // 3. An unfinished plan is finished, never drawn again, when this run
    // asks for the same puzzle; it is the operator's to remove otherwise.
    if (unfinished) {
        if (unfinished->epoch != args.epoch || unfinished->iterations != choice.iterations) {
            return zt::Error(describe_unfinished(state, *unfinished));
        }
        ZT_TRY(write_state(state, *unfinished, StateFiles::with_verification));
        write_stdout(plan_id(*unfinished) + "\n");
        return zt::success();
    }

    // 4. The draws, after the iteration check; the plan wipes itself.
    ZT_TRY_ASSIGN(const GenerationPlan plan, draw_plan(args.epoch, choice.iterations));

    // 5. The plan, the 96 task files and the 96 verification task files,
    // owner-only.
    ZT_TRY(write_state(state, plan, StateFiles::with_verification));

    // 6. The plan id.
    write_stdout(plan_id(plan) + "\n");
    return zt::success();
}

}  // namespace zt::cli
