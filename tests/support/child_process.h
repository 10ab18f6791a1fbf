// Child processes that a test controls while they run: start the program,
// signal it (SIGINT, SIGTERM, SIGKILL) at a moment of the test's choosing,
// then collect its status and output. Also runs a piece of test code in a
// forked child, for faults that end or poison the process (a simulated
// crash, a lowered file-size limit).
//
// Thread safety: use from the test's one thread (these fork).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/subprocess.h"

namespace zt::test {

class ChildProcess {
public:
    // Starts `program` with `args`; standard input closed, standard output
    // and standard error written to the files "stdout" and "stderr" in
    // `output_dir` (replaced if present).
    // With `pending_at_start`, that signal is already on its way when the
    // program starts: blocked and raised before the exec, so it is
    // delivered the moment the program unblocks it, or dropped if it
    // ignores the signal first.
    ChildProcess(const std::string& program, const std::vector<std::string>& args, const std::string& output_dir,
                 int pending_at_start = 0);
    // A child still running is killed and reaped.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    void send(int signal_number) const;
    // Whether it has not ended yet (reaps it when it has).
    bool running();
    // Waits until the child has a handler installed for `signal_number` (as
    // /proc shows it), so a signal sent now is caught rather than fatal.
    // False when the child ended or `timeout` passed first.
    bool wait_until_catching(int signal_number, std::chrono::milliseconds timeout);
    // Waits for the end: exit status, or 128 + the signal that ended it.
    ProcessResult wait();

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    std::string output_dir_;
};

// Waits until the file at `path` holds `needle` (the child has got that
// far). False when the child ended or `timeout` passed first.
bool wait_for_text(const std::string& path, const std::string& needle, ChildProcess& child,
                   std::chrono::milliseconds timeout = std::chrono::minutes(3));

// Runs `body` in a forked child and returns its result as the exit status
// (0-255), or 128 + the signal that ended the child.
int run_in_child(const std::function<int()>& body);

}  // namespace zt::test
