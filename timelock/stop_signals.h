// Stopping a long solve on request: while a StopSignals object lives,
// SIGINT and SIGTERM no longer end the process but are recorded, so the
// solver can finish the step in progress, save its position and return.
//
// The handler only stores the signal number into a lock-free flag (the first
// signal wins), which the solver reads once per step: one plain load. The
// previous dispositions are restored when the object goes away, so outside
// the walk (setup, publishing) the signals act as usual; a crash or SIGKILL
// still loses at most one checkpoint interval. A signal that the process
// was started with as ignored (nohup, background jobs of a script) stays
// ignored.
//
// Thread safety: create, query and destroy on one thread; at most one
// StopSignals exists at a time (the flag is process-wide).
#pragma once

#include <signal.h>

#include <csignal>

namespace zt {

class StopSignals {
public:
    // Clears the flag and installs the handlers for SIGINT and SIGTERM.
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // 0 until a signal arrives, then the number of the first one.
    static const volatile std::sig_atomic_t& flag();

private:
    struct Saved {
        int signal_number;
        bool installed;
        struct sigaction previous;
    };
    Saved saved_[2];
};

// A flag that never goes up, for runs that are not stopped by signals.
const volatile std::sig_atomic_t& never_stop();

}  // namespace zt
