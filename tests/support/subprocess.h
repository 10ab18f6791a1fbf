// Runs a program as a child process and collects what it did: exit status,
// standard output and standard error. Standard input is closed.
//
// Thread safety: call from one thread at a time (it forks).
#pragma once

#include <string>
#include <vector>

namespace zt::test {

enum class StdoutMode {
    Capture,     // standard output is collected
    Closed,      // the child starts with descriptor 1 closed
    BrokenPipe,  // standard output is a pipe whose reading end is already closed
};

struct ProcessResult {
    int status = -1;  // exit status, or 128 + signal number when killed
    std::string out;
    std::string err;
};

ProcessResult run_program(const std::string& program, const std::vector<std::string>& args,
                          StdoutMode mode = StdoutMode::Capture);

}  // namespace zt::test
