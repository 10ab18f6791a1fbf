// The plan command: draw everything generate draws, in the same order, into
// a new private state directory (0700): the plan (0600, every secret of the
// puzzle; it never leaves this machine) and one task file per segment (0600,
// what that segment's worker needs). Prints the plan id. With
// --iterations-from the iteration count comes from a calibration report
// (cli/iteration_choice.h), and what it means is said on standard error.
#include "cli/commands/commands.h"
#include "cli/console.h"
#include "cli/iteration_choice.h"
#include "timelock/base/protocol.h"
#include "timelock/formats/generation_plan.h"
#include "timelock/split/state_dir.h"

namespace zt::cli {

zt::Result<void> run_plan(const PlanArgs& args) {
    // 1. The directory is new or empty (a plan is never mixed with another's files).
    if (args.state.empty()) return zt::Error("--state is empty; give the directory to create");
    ZT_TRY(check_new_state_dir(args.state));

    // 2. The iteration count, given or from a calibration report (the work
    // mode is the workers' business, so any report's mode serves).
    ZT_TRY_ASSIGN(const IterationChoice choice,
                  choose_iterations(args.iterations, args.iterations_from, args.segment_time, std::nullopt));
    write_stderr(format_opening_summary("plan", choice, protocol::kGeneratedSegments));

    // 3. The draws, after the iteration check; the plan wipes itself.
    ZT_TRY_ASSIGN(const GenerationPlan plan, draw_plan(args.epoch, choice.iterations));

    // 4. The directory, the plan and the 96 task files, owner-only.
    ZT_TRY(write_state(args.state, plan));

    // 5. The plan id.
    write_stdout(plan_id(plan) + "\n");
    return zt::success();
}

}  // namespace zt::cli
