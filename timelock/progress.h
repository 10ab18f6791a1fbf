// A live progress line for people watching a long run at a terminal:
// segments finished, hashes per second and the estimated time left.
//
// Hashing threads only raise the relaxed atomic counters of WorkCounters
// (one add per step and per segment), so the display costs them nothing
// measurable. Everything else runs on one thread, the one that owns the
// ProgressLine (the starting thread of the pool while it waits, or the
// solver between steps). The line is drawn (by a StatusLine) only when its
// descriptor is a terminal, never more than once a second, and cleared when
// the line is cleared or destroyed. Nothing is ever written to standard
// output.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "timelock/status_line.h"

namespace zt {

struct WorkCounters {
    std::atomic<std::uint64_t> steps{0};
    std::atomic<std::uint64_t> segments{0};
};

struct ProgressSnapshot {
    std::uint64_t segments_done = 0;
    std::uint64_t segments_total = 0;
    std::uint64_t steps_done = 0;      // of the whole puzzle, including resumed work
    std::uint64_t steps_total = 0;
    std::uint64_t steps_at_start = 0;  // already done when this run began (not part of the rate)
    double elapsed_seconds = 0.0;
};

// "generate: 12/96 segments, 1234 H/s, 1h 02m 03s left"; rate and time left
// read "--" until there is something to measure.
std::string format_progress(std::string_view label, const ProgressSnapshot& snapshot);

// "3d 04h 05m", "2h 03m 04s", "3m 04s", "5s"; "--" when not finite or negative.
std::string format_duration(double seconds);

// A hash rate with two decimals below 10, one below 1000, none above: "6.54",
// "12.0", "2500".
std::string format_rate(double rate);

class ProgressLine {
public:
    // Draws on standard error when it is a terminal; otherwise stays silent.
    static ProgressLine for_stderr(std::string label, std::uint64_t segments_total,
                                   std::uint64_t steps_per_segment);

    ProgressLine(int fd, bool enabled, std::string label, std::uint64_t segments_total,
                 std::uint64_t steps_per_segment);
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    bool enabled() const { return line_.enabled(); }
    WorkCounters& counters() { return counters_; }

    // Marks the start of the timed work (the clock also starts at
    // construction). Work counted here, such as the segments and steps a
    // resumed solve has already done, shows as done but is not part of the
    // rate.
    void start(std::uint64_t segments_done = 0, std::uint64_t steps_done = 0);

    // Redraws when at least a second has passed since the last drawing.
    void update();
    // Removes the line from the terminal, if one is drawn.
    void clear() { line_.clear(); }

    ProgressSnapshot snapshot() const;

private:
    StatusLine line_;  // clears itself when destroyed
    std::string label_;
    std::uint64_t segments_total_;
    std::uint64_t steps_per_segment_;
    std::uint64_t steps_at_start_ = 0;
    std::chrono::steady_clock::time_point started_;
    WorkCounters counters_;
};

}  // namespace zt
