// SIGUSR1 as "how far are you?": while a StatusRequests object lives, the
// signal no longer ends the process (its default action); its handler only
// raises a lock-free flag, which the solve's observer polls once per step
// and answers with one status line on standard error (cli/solve_progress.h).
// A request that comes while RandomX is being set up is answered when the
// walk starts. The previous disposition is restored when the object goes; a
// signal the process was started with as ignored stays ignored.
//
// Thread safety: create and destroy on one thread; at most one object at a
// time (the flag is process-wide). pending() and take() may be called from
// any thread.
#pragma once

#include <signal.h>

namespace zt::cli {

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
