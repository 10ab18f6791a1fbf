#include "cli/terminal/calibrate_progress.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>

#include "cli/terminal/progress.h"
#include "cli/terminal/status_request.h"
#include "timelock/base/protocol.h"
#include "timelock/base/machine.h"
#include "timelock/formats/calibration_check.h"
#include "timelock/base/wording.h"

namespace zt::cli {

std::string format_calibration_progress(std::uint64_t samples, std::uint64_t workers, std::uint64_t steps_done,
                                        double elapsed_seconds) {
    const std::uint64_t per_worker = workers == 0 ? 0 : steps_done / workers;
    std::string line = "calibrate: " + std::to_string(per_worker) + "/" + counted(samples, "step") + " per worker";
    if (samples != 0) {
        char percent[32];
        std::snprintf(percent, sizeof percent, " (%.1f%%)", 100.0 * static_cast<double>(per_worker) / static_cast<double>(samples));
        line += percent;
    }
    if (steps_done == 0 || workers == 0 || !(elapsed_seconds >= kMinimumMeasuredSeconds)) {
        return line + ", -- H/s, -- left";
    }
    const double rate = static_cast<double>(steps_done) / static_cast<double>(workers) / elapsed_seconds;
    const double left = static_cast<double>(samples > per_worker ? samples - per_worker : 0) / rate;
    return line + ", " + format_rate(rate) + " H/s, " + format_duration(left) + " left";
}

std::string format_calibration_summary(const CalibrationReport& report, std::size_t generate_threads,
                                       std::optional<std::uint64_t> segment_seconds) {
    const double rate = report.fastest_worker_hashes_per_second;
    const auto segments = static_cast<std::uint64_t>(protocol::kGeneratedSegments);
    std::string out = "calibrate: " + format_rate(rate) + " H/s on one thread (" +
                      std::string(work_mode_name(report.mode)) + " mode)\n";
    if (report.iterations_for_one_day == 0 || !std::isfinite(rate) || !(rate > 0.0)) {
        return out + "  no iteration count could be derived from this measurement\n";
    }
    std::uint64_t iterations = report.iterations_for_one_day;
    std::string length = "one-day";
    if (segment_seconds) {
        const auto wanted = iterations_for_segment_time(report, *segment_seconds);
        if (!wanted) return out + "  " + wanted.error().message() + "\n";
        iterations = *wanted;
        length = format_estimate(static_cast<double>(*segment_seconds));
    }
    const double segment_seconds_here = static_cast<double>(iterations) / rate;
    const std::size_t threads = generate_threads == 0 ? 1 : generate_threads;
    // A segment is one thread's chain: the threads take whole segments, so
    // the last round may leave some of them idle.
    const std::uint64_t rounds = (segments + threads - 1) / threads;
    out += "  " + length + " segments: --iterations " + std::to_string(iterations) + "\n";
    out += "  generate here: " + counted(segments, "segment") + " over " + counted(threads, "thread") + ", " +
           format_about(static_cast<double>(rounds) * segment_seconds_here) + "\n";
    out += "  solve at this speed: " + counted(segments, "segment") + " one after another, " +
           format_about(static_cast<double>(segments) * segment_seconds_here) + "\n";
    if (report.mode == WorkMode::Light) {
        out += "  warning: a light-mode figure; full mode hashes many times faster, so a puzzle made with it "
               "would open in hours per segment, not days. Calibrate with --mode full for a real puzzle.\n";
    }
    return out;
}

namespace {

std::string huge_pages_text(const std::optional<HugePageShare>& share, WorkMode mode) {
    const std::string memory = mode == WorkMode::Full ? "the cache and dataset" : "the cache";
    if (!share || share->resident_kib == 0) return "huge pages not told (/proc/self/smaps)";
    if (share->huge_kib == 0) return "no huge pages (" + memory + " on small pages)";
    if (share->huge_kib >= share->resident_kib) return "transparent huge pages for all of " + memory;
    const std::uint64_t percent = share->huge_kib * 100 / share->resident_kib;
    return "transparent huge pages for " + (percent == 0 ? std::string("under 1") : std::to_string(percent)) +
           "% of " + memory;
}

std::string hypervisor_text(const HypervisorFacts& hypervisor, WorkMode mode) {
    const std::string cost = mode == WorkMode::Full
                                 ? "in a virtual machine full mode is about a quarter slower per hash than on bare "
                                   "hardware (nested address translation)"
                                 : "in a virtual machine full mode is about a quarter slower per hash than on bare "
                                   "hardware (measured in full mode only)";
    switch (hypervisor.presence) {
        case HypervisorPresence::reported:
            return (hypervisor.vendor.empty() ? std::string("present, vendor not told") : hypervisor.vendor) +
                   " (told by " + hypervisor.source + "): " + cost;
        case HypervisorPresence::none_reported:
            return "none reported (" + hypervisor.source + ")";
        case HypervisorPresence::unknown:
            break;
    }
    return "unknown (nothing the processor or the kernel exposes tells); " + cost;
}

}  // namespace

std::string format_measured_on(const CalibrationConditions& conditions, bool compiled, WorkMode mode) {
    std::string out = "  measured on: " + conditions.machine.processor + "; " +
                      (compiled ? "compiled code" : "the interpreter (no compiled code)") + "; " +
                      huge_pages_text(conditions.huge_pages, mode) + "\n";
    out += "  hypervisor: " + hypervisor_text(conditions.machine.hypervisor, mode) + "\n";
    if (mode != WorkMode::Full) return out;
    const HypervisorPresence presence = conditions.machine.hypervisor.presence;
    const std::uint32_t speedup = suggested_solver_speedup(presence, mode);
    std::string why;
    if (presence == HypervisorPresence::reported) why = "bare hardware x" + speedup_text(kBareHardwareSpeedup) + ", ";
    if (presence == HypervisorPresence::unknown) {
        why = "bare hardware, in case this is a virtual machine, x" + speedup_text(kBareHardwareSpeedup) + ", ";
    }
    why += "the fastest public implementation x" + speedup_text(kFastestImplementationSpeedup);
    out += "  attacker's margin: a solver may hash about " + speedup_text(speedup) + " times as fast as this (" + why +
           "): generate or plan --solver-speedup " + speedup_text(speedup) + " or more\n";
    return out;
}

CalibrateProgress CalibrateProgress::for_stderr() {
    return CalibrateProgress(STDERR_FILENO, StatusLine::style_for(STDERR_FILENO));
}

void CalibrateProgress::calibration_setting_up(WorkMode mode) {
    line_.draw("calibrate: setting up RandomX (" + std::string(work_mode_arg(mode)) + " mode)");
    setup_.emplace(line_, "calibrate", mode);
}

void CalibrateProgress::sampling_started(std::uint64_t samples, std::uint64_t workers) {
    setup_.reset();  // joins its thread: the line is this thread's again
    samples_ = samples;
    workers_ = workers;
    started_ = std::chrono::steady_clock::now();
    line_.draw(format_calibration_progress(samples, workers, 0, 0.0));
}

void CalibrateProgress::sampling_progress(std::uint64_t steps_done) {
    const bool asked = StatusRequests::take();
    if (!asked && !line_.due()) return;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    const std::string text = format_calibration_progress(samples_, workers_, steps_done, elapsed);
    if (asked) line_.print(text);
    line_.draw(text);
}

void CalibrateProgress::print(const std::string& text) {
    line_.clear();
    if (!text.empty() && text.back() == '\n') line_.print(std::string_view(text).substr(0, text.size() - 1));
    else line_.print(text);
}

}  // namespace zt::cli
