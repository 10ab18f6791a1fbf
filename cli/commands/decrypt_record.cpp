// The decrypt-record command. Its work arrives with the core operation it drives;
// until then the command fails cleanly instead of pretending to run.
#include "cli/commands/commands.h"

namespace zt::cli {

zt::Result<void> run_decrypt_record(const DecryptRecordArgs& /*args*/) {
    return zt::Error("the decrypt-record command is not available in this build yet");
}

}  // namespace zt::cli
