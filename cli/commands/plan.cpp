// The plan command: draw everything generate draws, in the same order, into
// a new private state directory (0700): the plan (0600, every secret of the
// puzzle; it never leaves this machine) and one task file per segment (0600,
// what that segment's worker needs). Prints the plan id.
#include "cli/commands/commands.h"
#include "cli/console.h"
#include "timelock/formats/generation_plan.h"
#include "timelock/split/state_dir.h"

namespace zt::cli {

zt::Result<void> run_plan(const PlanArgs& args) {
    // 1. The directory is new or empty (a plan is never mixed with another's files).
    ZT_TRY(check_new_state_dir(args.state));

    // 2. The draws, after the iteration check; the plan wipes itself.
    ZT_TRY_ASSIGN(const GenerationPlan plan, draw_plan(args.epoch, args.iterations));

    // 3. The directory, the plan and the 96 task files, owner-only.
    ZT_TRY(write_state(args.state, plan));

    // 4. The plan id.
    write_stdout(plan_id(plan) + "\n");
    return zt::success();
}

}  // namespace zt::cli
