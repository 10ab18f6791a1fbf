// The live progress line of generate, for people watching a long run at a
// terminal: segments finished, hashes per second and the estimated time
// left.
//
// It is the pool's observer (timelock/work/work_observer.h): the hashing threads
// only raise the pool's relaxed counters, and the pool's waiting thread
// hands their values here. The line is drawn (by a StatusLine) only when its
// descriptor is a terminal, never more than once a second, and cleared when
// the line is cleared or destroyed. Nothing is ever written to standard
// output.
//
// Thread safety: owned and used by one thread (the one that runs the pool).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "cli/terminal/poller.h"
#include "cli/terminal/status_line.h"
#include "timelock/work/work_observer.h"

namespace zt::cli {

// Below this much time measured, a rate would mostly measure start-up (the
// threads', the first step's warm-up): the progress lines show none yet.
inline constexpr double kMinimumMeasuredSeconds = 0.5;

struct ProgressSnapshot {
    std::uint64_t segments_done = 0;
    std::uint64_t segments_total = 0;
    std::uint64_t steps_done = 0;      // of the whole puzzle, including resumed work
    std::uint64_t steps_total = 0;
    std::uint64_t steps_at_start = 0;  // already done when this run began (not part of the rate)
    double elapsed_seconds = 0.0;
};

// "generate: 12/96 segments, 1234 H/s, 1h 02m 03s left"; for one segment
// (work) "work: step 812 of 1000 (81.2%), 6.54 H/s, 30s left". Rate and time
// left read "--" until there is something to measure.
std::string format_progress(std::string_view label, const ProgressSnapshot& snapshot);

// "3d 04h 05m", "2h 03m 04s", "3m 04s", "5s"; "--" when not finite or negative.
// For time measured or counting down, to the second.
std::string format_duration(double seconds);

// An estimate from a rate (a segment's length, a solve's, the time left in
// a report), in two units at most, cut down to the smaller (never above the
// figure) and without a zero one: "under 1s", "45s", "3m 04s", "1h",
// "2h 38m", "3d 04h", "96d"; "--" as format_duration. The same figure reads
// the same in every command that shows it.
std::string format_estimate(double seconds);

// "about " and the estimate; "under 1s" alone.
std::string format_about(double seconds);

// "assemble: verifying a sample of 1% of the 96 results, 12s so far": the
// status of the check of the workers' results before a puzzle is assembled.
std::string format_verifying_status(std::string_view label, double fraction, std::size_t results,
                                    double elapsed_seconds);

// A hash rate with two decimals below 10, one below 1000, none above: "6.54",
// "12.0", "2500".
std::string format_rate(double rate);

class ProgressLine final : public PoolObserver {
public:
    // Draws on standard error when it is a terminal; otherwise stays silent.
    static ProgressLine for_stderr(std::string label, std::uint64_t segments_total,
                                   std::uint64_t steps_per_segment);

    ProgressLine(int fd, LineStyle style, std::string label, std::uint64_t segments_total,
                 std::uint64_t steps_per_segment);
    ProgressLine(int fd, bool enabled, std::string label, std::uint64_t segments_total,
                 std::uint64_t steps_per_segment)
        : ProgressLine(fd, enabled ? LineStyle::Live : LineStyle::Off, std::move(label), segments_total,
                       steps_per_segment) {}
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    bool enabled() const { return line_.enabled(); }

    // Shows the RandomX set-up (format_setup_status) from another thread
    // until start() is called; `expected_seconds` 0 when unknown.
    void begin_setup(WorkMode mode, double expected_seconds = 0.0);

    // Marks the start of the timed work (the clock also starts at
    // construction); ends a set-up display. Work counted here, such as segments already done by an
    // earlier run, shows as done but is not part of the rate.
    void start(std::uint64_t segments_done = 0, std::uint64_t steps_done = 0);

    // The work done so far (earlier work included); redraws when at least a
    // second has passed since the last drawing, and answers a status request
    // (SIGUSR1) with the same text on a line of its own.
    void update(std::uint64_t segments_done, std::uint64_t steps_done);

    // PoolObserver: the pool's hashing starts the clock; its counts are
    // shown as they come.
    void pool_started() override { start(); }
    void pool_progress(std::uint64_t segments_done, std::uint64_t steps_done) override {
        update(segments_done, steps_done);
    }
    // Ends a set-up display and removes the line from the terminal, if one
    // is drawn.
    void clear() {
        setup_.reset();
        line_.clear();
    }

    ProgressSnapshot snapshot() const;

private:
    StatusLine line_;  // clears itself when destroyed
    std::string label_;
    std::uint64_t segments_total_;
    std::uint64_t steps_per_segment_;
    std::uint64_t steps_at_start_ = 0;
    std::chrono::steady_clock::time_point started_;
    std::uint64_t segments_done_ = 0;
    std::uint64_t steps_done_ = 0;
    std::optional<SetupWatch> setup_;  // uses line_, so it goes first
};

// The pool's counts for a run that resumes earlier work: the steps earlier
// runs kept are shown as done but left out of the rate.
class ResumedProgress final : public PoolObserver {
public:
    ResumedProgress(ProgressLine& line, std::uint64_t steps_kept) : line_(line), steps_kept_(steps_kept) {}

    void pool_started() override { line_.start(0, steps_kept_); }
    void pool_progress(std::uint64_t segments_done, std::uint64_t steps_done) override {
        line_.update(segments_done, steps_kept_ + steps_done);
    }

private:
    ProgressLine& line_;
    std::uint64_t steps_kept_;
};

}  // namespace zt::cli
