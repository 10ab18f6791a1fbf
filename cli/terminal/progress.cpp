#include "cli/terminal/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "cli/terminal/status_request.h"
#include "timelock/base/wording.h"

namespace zt::cli {

std::string format_rate(double rate) {
    char buf[48];
    if (rate < 10.0) {
        std::snprintf(buf, sizeof buf, "%.2f", rate);
    } else if (rate < 1000.0) {
        std::snprintf(buf, sizeof buf, "%.1f", rate);
    } else {
        std::snprintf(buf, sizeof buf, "%.0f", rate);
    }
    return buf;
}

std::string format_duration(double seconds) {
    // Past about 300 years the estimate means nothing and would overflow.
    if (!std::isfinite(seconds) || seconds < 0.0 || seconds > 1e10) return "--";
    const auto total = static_cast<std::uint64_t>(std::ceil(seconds));
    const std::uint64_t days = total / 86400;
    const std::uint64_t hours = total / 3600 % 24;
    const std::uint64_t minutes = total / 60 % 60;
    const std::uint64_t secs = total % 60;
    char buf[64];
    if (days > 0) {
        std::snprintf(buf, sizeof buf, "%llud %02lluh %02llum", static_cast<unsigned long long>(days),
                      static_cast<unsigned long long>(hours), static_cast<unsigned long long>(minutes));
    } else if (hours > 0) {
        std::snprintf(buf, sizeof buf, "%lluh %02llum %02llus", static_cast<unsigned long long>(hours),
                      static_cast<unsigned long long>(minutes), static_cast<unsigned long long>(secs));
    } else if (minutes > 0) {
        std::snprintf(buf, sizeof buf, "%llum %02llus", static_cast<unsigned long long>(minutes),
                      static_cast<unsigned long long>(secs));
    } else {
        std::snprintf(buf, sizeof buf, "%llus", static_cast<unsigned long long>(secs));
    }
    return buf;
}

std::string format_estimate(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0.0 || seconds > 1e10) return "--";
    if (seconds > 0.0 && seconds < 1.0) return "under 1s";
    // Cut down to the smaller unit, never rounded up: an estimate reads no
    // more than the figure it comes from, and stays in the units that
    // figure has (59.6 s is 59s, never "0m 59s" or 1m).
    const auto whole = static_cast<std::uint64_t>(seconds);
    if (whole < 60) return std::to_string(whole) + "s";
    struct Units {
        std::uint64_t big, small;
        char big_name, small_name;
    };
    const Units units = whole < 3600 ? Units{60, 1, 'm', 's'} : whole < 86400 ? Units{3600, 60, 'h', 'm'}
                                                                              : Units{86400, 3600, 'd', 'h'};
    const std::uint64_t big = whole / units.big;
    const std::uint64_t small = whole % units.big / units.small;
    char buf[48];
    if (small == 0) {
        std::snprintf(buf, sizeof buf, "%llu%c", static_cast<unsigned long long>(big), units.big_name);
    } else {
        std::snprintf(buf, sizeof buf, "%llu%c %02llu%c", static_cast<unsigned long long>(big), units.big_name,
                      static_cast<unsigned long long>(small), units.small_name);
    }
    return buf;
}

std::string format_about(double seconds) {
    const std::string estimate = format_estimate(seconds);
    return estimate.starts_with("under") ? estimate : "about " + estimate;
}

std::string format_verifying_status(std::string_view label, double fraction, std::size_t results,
                                    double elapsed_seconds) {
    std::string share = format_rate(100.0 * fraction);
    while (share.find('.') != std::string::npos && (share.back() == '0' || share.back() == '.')) share.pop_back();
    return std::string(label) + ": verifying a sample of " + share + "% of the " + counted(results, "result") +
           ", " + format_duration(elapsed_seconds) + " so far";
}

std::string format_progress(std::string_view label, const ProgressSnapshot& s) {
    std::string line(label);
    line += ": ";
    if (s.segments_total == 1) {
        const std::uint64_t done = std::min(s.steps_done, s.steps_total);
        char percent[32];
        std::snprintf(percent, sizeof percent, " (%.1f%%), ",
                      s.steps_total == 0 ? 0.0 : 100.0 * static_cast<double>(done) / static_cast<double>(s.steps_total));
        line += "step " + std::to_string(done) + " of " + std::to_string(s.steps_total) + percent;
    } else {
        line += std::to_string(s.segments_done);
        line += '/';
        line += std::to_string(s.segments_total);
        line += " segments, ";
    }
    const std::uint64_t measured = s.steps_done > s.steps_at_start ? s.steps_done - s.steps_at_start : 0;
    if (measured == 0 || !(s.elapsed_seconds >= kMinimumMeasuredSeconds)) {
        line += "-- H/s, -- left";
        return line;
    }
    const double rate = static_cast<double>(measured) / s.elapsed_seconds;
    const std::uint64_t remaining = s.steps_total > s.steps_done ? s.steps_total - s.steps_done : 0;
    line += format_rate(rate);
    line += " H/s, ";
    line += format_duration(static_cast<double>(remaining) / rate);
    line += " left";
    return line;
}

ProgressLine ProgressLine::for_stderr(std::string label, std::uint64_t segments_total,
                                      std::uint64_t steps_per_segment) {
    return ProgressLine(STDERR_FILENO, StatusLine::style_for(STDERR_FILENO), std::move(label), segments_total,
                        steps_per_segment);
}

ProgressLine::ProgressLine(int fd, LineStyle style, std::string label, std::uint64_t segments_total,
                           std::uint64_t steps_per_segment)
    : line_(fd, style),
      label_(std::move(label)),
      segments_total_(segments_total),
      steps_per_segment_(steps_per_segment),
      started_(std::chrono::steady_clock::now()) {}

void ProgressLine::begin_setup(WorkMode mode, double expected_seconds) {
    setup_.reset();
    setup_.emplace(line_, label_, mode, expected_seconds);
}

void ProgressLine::start(std::uint64_t segments_done, std::uint64_t steps_done) {
    setup_.reset();  // joins its thread: the line is this thread's again
    segments_done_ = segments_done;
    steps_done_ = steps_done;
    steps_at_start_ = steps_done;
    started_ = std::chrono::steady_clock::now();
    line_.hold_off();
}

ProgressSnapshot ProgressLine::snapshot() const {
    ProgressSnapshot s;
    s.segments_done = segments_done_;
    s.segments_total = segments_total_;
    s.steps_done = steps_done_;
    // Saturates rather than wraps for absurd products; only a display.
    s.steps_total = steps_per_segment_ != 0 && segments_total_ > UINT64_MAX / steps_per_segment_
                        ? UINT64_MAX
                        : segments_total_ * steps_per_segment_;
    s.steps_at_start = steps_at_start_;
    s.elapsed_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    return s;
}

void ProgressLine::update(std::uint64_t segments_done, std::uint64_t steps_done) {
    segments_done_ = segments_done;
    steps_done_ = steps_done;
    if (StatusRequests::take()) line_.print(format_progress(label_, snapshot()));
    if (line_.due()) line_.draw(format_progress(label_, snapshot()));
}

}  // namespace zt::cli
