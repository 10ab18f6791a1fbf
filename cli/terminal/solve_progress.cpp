#include "cli/terminal/solve_progress.h"

#include <unistd.h>

#include <cstdio>

#include "cli/terminal/progress.h"

namespace zt::cli {

std::string format_solve_status(const SolveStatus& s) {
    std::string line = "solve: segment ";
    line += std::to_string(std::uint64_t{s.segment} + 1);
    line += " of ";
    line += std::to_string(s.segments);
    line += ", step ";
    line += std::to_string(s.iteration);
    line += " of ";
    line += std::to_string(s.iterations);
    // Segments <= 96 and iterations <= 10^12, so these products fit.
    const std::uint64_t total = std::uint64_t{s.segments} * s.iterations;
    const std::uint64_t done = std::uint64_t{s.segment} * s.iterations + s.iteration;
    if (total != 0) {
        char percent[32];
        const double share = 100.0 * static_cast<double>(done) / static_cast<double>(total);
        std::snprintf(percent, sizeof percent, " (%.1f%%)", share);
        line += percent;
    }
    line += ", ";
    if (s.steps_this_run == 0 || !(s.elapsed_seconds >= kMinimumMeasuredSeconds)) {
        line += "-- H/s, -- left";
        return line;
    }
    const double rate = static_cast<double>(s.steps_this_run) / s.elapsed_seconds;
    line += format_rate(rate);
    line += " H/s, ";
    line += format_duration(static_cast<double>(total > done ? total - done : 0) / rate);
    line += " left";
    return line;
}

SolveProgress SolveProgress::for_stderr(std::uint32_t segments, std::uint64_t iterations) {
    return SolveProgress(STDERR_FILENO, StatusLine::style_for(STDERR_FILENO), segments, iterations);
}

SolveProgress::SolveProgress(int fd, LineStyle style, std::uint32_t segments, std::uint64_t iterations)
    : line_(fd, style), segments_(segments), iterations_(iterations) {}

void SolveProgress::note(std::string_view text) { line_.draw(text); }

void SolveProgress::setting_up(WorkMode mode) {
    note("solve: setting up RandomX (" + std::string(work_mode_arg(mode)) + " mode)");
    setup_.emplace(line_, "solve", mode);
}

void SolveProgress::walk_started(std::uint32_t segment, std::uint64_t iteration) {
    setup_.reset();  // joins its thread: the line is this thread's again
    segment_ = segment;
    iteration_ = iteration;
    steps_ = 0;
    since_clock_ = 0;
    started_ = std::chrono::steady_clock::now();
    if (StatusRequests::pending()) answer_request();
    if (line_.enabled()) draw();
}

void SolveProgress::answer_request() {
    if (StatusRequests::take()) line_.print(format_solve_status(status()));
}

SolveStatus SolveProgress::status() const {
    SolveStatus s;
    s.segment = segment_;
    s.segments = segments_;
    s.iteration = iteration_;
    s.iterations = iterations_;
    s.steps_this_run = steps_;
    s.elapsed_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    return s;
}

void SolveProgress::draw() { line_.draw(format_solve_status(status())); }

}  // namespace zt::cli
