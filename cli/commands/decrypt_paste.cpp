// The decrypt-paste command. Its work arrives with the core operation it drives;
// until then the command fails cleanly instead of pretending to run.
#include "cli/commands/commands.h"

namespace zt::cli {

zt::Result<void> run_decrypt_paste(const DecryptPasteArgs& /*args*/) {
    return zt::Error("the decrypt-paste command is not available in this build yet");
}

}  // namespace zt::cli
