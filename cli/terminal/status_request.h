// SIGUSR1 as "how far are you?": while a StatusRequests object lives, the
// signal no longer ends the process (its default action); its handler only
// raises a lock-free flag, which the solve's observer polls once per step
// and answers with one status line on standard error (cli/terminal/solve_progress.h).
// A request that comes while RandomX is being set up is answered when the
// walk starts. The previous disposition is restored when the object goes; a
// signal the process was started with as ignored stays ignored.
//
// Before and after a command answers, the program ignores the signal
// (ignore_status_requests, first thing in the driver), so that a request
// sent in a long command's first or last moments never kills it.
//
// Thread safety: create and destroy on one thread; at most one object at a
// time (the flag is process-wide). pending() and take() may be called from
// any thread. ignore_status_requests and restore_status_signal belong to
// the main thread before any other thread starts.
#pragma once

#include <signal.h>

namespace zt::cli {

// Ignores SIGUSR1 from now on (a request already pending is dropped) and
// unblocks it, so that a command's StatusRequests receives it even when the
// process was started with it blocked; remembers how the process was
// started. A process started with the signal ignored keeps it so, and no
// StatusRequests answers it then.
void ignore_status_requests();

// Puts back the disposition and blocking the process was started with, for
// commands that never answer SIGUSR1.
void restore_status_signal();

class StatusRequests {
public:
    // Clears the flag and installs the handler.
    StatusRequests();
    ~StatusRequests();
    StatusRequests(const StatusRequests&) = delete;
    StatusRequests& operator=(const StatusRequests&) = delete;

    // Whether a request is waiting (one relaxed load).
    static bool pending();

    // Whether a request was waiting; it is answered by the caller from now.
    static bool take();

private:
    bool installed_ = false;
    struct sigaction previous_ {};
};

}  // namespace zt::cli
