// Stopping a long command on request: while a StopSignals object lives,
// SIGINT, SIGTERM and SIGHUP (a dropped terminal or SSH session) no longer
// end the process but are recorded, so the work can finish the step in
// progress, save what is worth saving and return.
//
// The handler only stores the signal number into a lock-free atomic flag
// (the first signal wins, whichever thread receives it), which the hashing
// loops read once per step with a relaxed load. The previous dispositions
// are restored when the object goes away, so outside its life the signals
// act as usual; a crash or SIGKILL still loses at most one checkpoint
// interval of a solve. A signal that the process was started with as
// ignored (nohup, background jobs of a script) stays ignored.
//
// Thread safety: create and destroy on one thread; at most one StopSignals
// exists at a time (the flag is process-wide). flag() may be read from any
// thread.
#pragma once

#include <signal.h>

#include <array>
#include <atomic>

namespace zt {

class StopSignals {
public:
    // Clears the flag and installs the handlers.
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // 0 until a signal arrives, then the number of the first one.
    static const std::atomic<int>& flag();

private:
    struct Saved {
        int signal_number;
        bool installed;
        struct sigaction previous;
    };
    std::array<Saved, 3> saved_;
};

// A flag that never goes up, for runs that are not stopped by signals.
const std::atomic<int>& never_stop();

}  // namespace zt
