// The solve command. Its work arrives with the core operation it drives;
// until then the command fails cleanly instead of pretending to run.
#include "cli/commands/commands.h"

namespace zt::cli {

zt::Result<void> run_solve(const SolveArgs& /*args*/) {
    return zt::Error("the solve command is not available in this build yet");
}

}  // namespace zt::cli
