// zanth-timelock: creates and opens time-lock puzzles. All the work is in
// the command driver (cli/driver.h).
#include <string>
#include <vector>

#include "cli/driver.h"

int main(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return zt::cli::run_main(args);
}
