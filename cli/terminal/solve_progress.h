// The live status line of a solve, for a person watching at a terminal:
//
//   solve: segment 4 of 7, step 812 of 1000 (44.0%), 6.54 H/s, 3d 04h 05m left
//
// The segment is counted from 1; the step is the number of steps of that
// segment done; the rate counts only this run's steps (not the resumed
// ones, nor the engine setup); the time left is for the whole puzzle.
//
// It is the solver's observer (timelock/work/work_observer.h). Cost to the
// hashing loop: stepped() stores three integers and loads one flag; the
// clock is read only every kClockStride steps, and the line is formatted and
// written (by a StatusLine) at most once a second (once a minute as plain
// lines on a dumb terminal). Whatever standard error is, a status request
// (SIGUSR1, cli/terminal/status_request.h) is answered with the same text as a line of
// its own at the next step; during the RandomX set-up a helper thread shows
// the time it has taken so far and answers requests (cli/terminal/poller.h). Nothing
// is ever written to standard output.
//
// Thread safety: owned and used by the solving thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cli/terminal/poller.h"
#include "cli/terminal/status_line.h"
#include "cli/terminal/status_request.h"
#include "timelock/work/work_observer.h"

namespace zt::cli {

struct SolveStatus {
    std::uint32_t segment = 0;       // from 0
    std::uint32_t segments = 0;
    std::uint64_t iteration = 0;     // steps of `segment` done
    std::uint64_t iterations = 0;    // steps per segment
    std::uint64_t steps_this_run = 0;
    double elapsed_seconds = 0.0;    // since the walk started
};

// The line's text (without terminal control characters); rate and time left
// read "--" until at least half a second of stepping has been measured.
std::string format_solve_status(const SolveStatus& status);

class SolveProgress final : public SolveObserver {
public:
    static constexpr std::uint64_t kClockStride = 4;

    // Draws on standard error when it is a terminal; otherwise stays silent.
    static SolveProgress for_stderr(std::uint32_t segments, std::uint64_t iterations);

    SolveProgress(int fd, LineStyle style, std::uint32_t segments, std::uint64_t iterations);
    SolveProgress(int fd, bool enabled, std::uint32_t segments, std::uint64_t iterations)
        : SolveProgress(fd, enabled ? LineStyle::Live : LineStyle::Off, segments, iterations) {}
    SolveProgress(const SolveProgress&) = delete;
    SolveProgress& operator=(const SolveProgress&) = delete;

    bool enabled() const { return line_.enabled(); }

    // Shows `text` until the next drawing.
    void note(std::string_view text);

    // SolveObserver.
    // Shows "solve: setting up RandomX ({mode} mode), 3s so far" from a
    // helper thread until the walk starts.
    void setting_up(WorkMode mode) override;

    // The walk begins at this position; the rate is measured from now. Draws
    // the line at once.
    void walk_started(std::uint32_t segment, std::uint64_t iteration) override;

    // At a segment boundary: the new position, no step counted.
    void moved_to(std::uint32_t segment, std::uint64_t iteration) override {
        segment_ = segment;
        iteration_ = iteration;
    }

    // After each step: the new position.
    void stepped(std::uint32_t segment, std::uint64_t iteration) override {
        segment_ = segment;
        iteration_ = iteration;
        ++steps_;
        if (StatusRequests::pending()) answer_request();
        if (!line_.enabled()) return;
        if (++since_clock_ >= kClockStride) {
            since_clock_ = 0;
            if (line_.due()) draw();
        }
    }

    // Ends a set-up display and removes the line from the terminal, if one
    // is drawn.
    void clear() {
        setup_.reset();
        line_.clear();
    }

    SolveStatus status() const;

private:
    void draw();
    void answer_request();

    StatusLine line_;  // clears itself when destroyed
    std::uint32_t segments_;
    std::uint64_t iterations_;
    std::uint32_t segment_ = 0;
    std::uint64_t iteration_ = 0;
    std::uint64_t steps_ = 0;
    std::uint64_t since_clock_ = 0;
    std::chrono::steady_clock::time_point started_{};
    std::optional<SetupWatch> setup_;  // uses line_, so it goes first
};

}  // namespace zt::cli
