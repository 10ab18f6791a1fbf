#include "timelock/solve_progress.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "timelock/progress.h"

namespace zt {
namespace {

constexpr auto kRedrawInterval = std::chrono::seconds(1);
// Below this, a rate would mostly measure the first step's warm-up.
constexpr double kMinimumMeasuredSeconds = 0.5;

std::string format_rate(double rate) {
    char buf[48];
    std::snprintf(buf, sizeof buf, rate < 10.0 ? "%.2f" : rate < 1000.0 ? "%.1f" : "%.0f", rate);
    return buf;
}

}  // namespace

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
    return SolveProgress(STDERR_FILENO, isatty(STDERR_FILENO) == 1, segments, iterations);
}

SolveProgress::SolveProgress(int fd, bool enabled, std::uint32_t segments, std::uint64_t iterations)
    : fd_(fd), enabled_(enabled), segments_(segments), iterations_(iterations) {}

void SolveProgress::note(std::string_view text) {
    if (!enabled_) return;
    std::string line = "\r";
    line.append(text);
    line += "\x1b[K";
    write_text(line);
    drawn_ = true;
}

void SolveProgress::start(std::uint32_t segment, std::uint64_t iteration) {
    segment_ = segment;
    iteration_ = iteration;
    steps_ = 0;
    since_clock_ = 0;
    started_ = std::chrono::steady_clock::now();
    if (enabled_) draw();
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

void SolveProgress::maybe_draw() {
    if (std::chrono::steady_clock::now() - last_draw_ >= kRedrawInterval) draw();
}

void SolveProgress::draw() {
    last_draw_ = std::chrono::steady_clock::now();
    // Carriage return, the line, then erase whatever a longer line left.
    std::string text = "\r";
    text += format_solve_status(status());
    text += "\x1b[K";
    write_text(text);
    drawn_ = true;
}

void SolveProgress::clear() {
    if (!drawn_) return;
    write_text("\r\x1b[K");
    drawn_ = false;
}

void SolveProgress::write_text(std::string_view text) const {
    // Best effort: a terminal that cannot be written to loses its status
    // line, and the solve goes on.
    while (!text.empty()) {
        const ssize_t n = ::write(fd_, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace zt
