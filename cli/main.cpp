// zanth-timelock: creates and opens time-lock puzzles. All the work is in
// the command driver (cli/driver.h).
#include <string>
#include <vector>

#include "cli/driver.h"
#include "cli/terminal/status_request.h"

namespace {

// SIGUSR1 must never end a command, also in the instant after exec: its
// disposition is set by an entry of the executable's .preinit_array, which
// the dynamic loader runs right after it has linked the program, before any
// library's initialisation and any code of ours. (Only the loader's own
// work comes earlier.) The call is idempotent; the driver makes it again.
void catch_status_requests_early(int, char**, char**) { zt::cli::ignore_status_requests(); }

}  // namespace

__attribute__((section(".preinit_array"), used)) void (*const zt_preinit_status_signal)(int, char**, char**) =
    &catch_status_requests_early;

int main(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return zt::cli::run_main(args);
}
