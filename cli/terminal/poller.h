// A helper thread that calls one function at a fixed interval until it is
// stopped: how the command-line program watches work that reports nothing
// on its own thread for a long time (the RandomX set-up, which builds the
// full-mode dataset on the calling thread; a segment walk; the
// verification of results), to keep a status line moving and to answer
// SIGUSR1 (cli/terminal/status_request.h) while the command's thread is busy.
//
// The function runs on the helper thread only, never concurrently with
// itself; whatever it touches must not be touched by other threads until
// stop() has returned (stop joins, which orders everything the function did
// before whatever the caller does next). A function must not throw.
//
// Thread safety: create, stop and destroy on one thread. Starting the
// thread can fail with std::system_error (an internal fault, status 101).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "cli/terminal/status_line.h"
#include "timelock/base/work_mode.h"

namespace zt::cli {

class Poller {
public:
    static constexpr std::chrono::milliseconds kInterval{100};

    Poller(std::function<void()> tick, std::chrono::milliseconds interval = kInterval);
    ~Poller() { stop(); }
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    // Ends the thread (after the call under way, if any) and joins it. Idempotent.
    void stop();

private:
    std::function<void()> tick_;
    std::chrono::milliseconds interval_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

// The text shown while RandomX is set up: "generate: setting up RandomX
// (full mode), 12s so far" and, when an expected time is known (a
// calibration report's setup_seconds), " of about 35s".
std::string format_setup_status(std::string_view label, WorkMode mode, double elapsed_seconds,
                                double expected_seconds);

// A Poller for one long call on the caller's thread: it redraws `line` with
// describe(seconds since construction) when the line is due, and answers a
// status request (SIGUSR1) with the same text on a line of its own. `line`
// belongs to the watch until it is stopped.
class StatusWatch {
public:
    StatusWatch(StatusLine& line, std::function<std::string(double elapsed_seconds)> describe);
    void stop() { poller_.stop(); }

private:
    Poller poller_;
};

// "solve: SIGINT received, stopping the RandomX set-up": a set-up's line
// once a stop was asked for (StopSignals).
std::string format_setup_stopping(std::string_view label, int signal_number);

// A StatusWatch of a RandomX set-up, showing format_setup_status; once a
// stop signal has been caught, format_setup_stopping, drawn at the next
// tick whatever the line's interval, so the key press is acknowledged at
// once while the set-up winds down (engine.h).
class SetupWatch {
public:
    SetupWatch(StatusLine& line, std::string label, WorkMode mode, double expected_seconds = 0.0);
    void stop() { poller_.stop(); }

private:
    Poller poller_;
};

}  // namespace zt::cli
