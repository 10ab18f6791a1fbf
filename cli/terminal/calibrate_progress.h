// What calibrate shows a person at a terminal: a progress line while RandomX
// is set up and the workers sample, then a short summary that turns the
// report into decisions: the --iterations value for one-day segments, how
// long generate would take here, how long a solve takes at this speed, and
// a warning when the figure was measured in light mode.
//
// Both go to standard error, only when it is a terminal; the JSON report on
// standard output is unchanged. The summary is pure text over the report.
// Whatever standard error is, a status request (SIGUSR1) is answered there
// with the line's text, during the set-up (from a helper thread) and the
// sampling.
//
// Thread safety: the observer is used by the thread that runs calibrate.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "cli/terminal/poller.h"
#include "cli/terminal/status_line.h"
#include "timelock/work/calibration.h"
#include "timelock/work/work_observer.h"

namespace zt::cli {

// The summary's lines, each ending with a line end. `generate_threads` is
// the number of threads generate would use here (1 to 96); with
// `segment_seconds` the --iterations figure is for segments that long
// instead of one day.
std::string format_calibration_summary(const CalibrationReport& report, std::size_t generate_threads,
                                       std::optional<std::uint64_t> segment_seconds = std::nullopt);

// The summary's lines on what the figure was measured on and what that
// leaves a solver: "  measured on: {processor}; compiled code; transparent
// huge pages for all of the cache and dataset", "  hypervisor: KVM (told by
// CPUID): in a virtual machine full mode is about a quarter slower per hash
// than on bare hardware (nested address translation)", and in full mode
// "  attacker's margin: ... --solver-speedup 1.4 ..." (the suggestion of
// timelock/formats/calibration_check.h), each ending with a line end.
std::string format_measured_on(const CalibrationConditions& conditions, bool compiled, WorkMode mode);

// "calibrate: 120/1000 steps per worker (12.0%), 45.6 H/s, 19s left"; rate
// and time left read "--" until half a second has been measured.
std::string format_calibration_progress(std::uint64_t samples, std::uint64_t workers, std::uint64_t steps_done,
                                        double elapsed_seconds);

class CalibrateProgress final : public CalibrationObserver {
public:
    // Draws on standard error in its terminal style (status_line.h).
    static CalibrateProgress for_stderr();

    CalibrateProgress(int fd, LineStyle style) : line_(fd, style) {}
    CalibrateProgress(const CalibrateProgress&) = delete;
    CalibrateProgress& operator=(const CalibrateProgress&) = delete;

    bool enabled() const { return line_.enabled(); }

    void calibration_setting_up(WorkMode mode) override;
    void sampling_started(std::uint64_t samples, std::uint64_t workers) override;
    void sampling_progress(std::uint64_t steps_done) override;

    // Ends a set-up display and removes the line, if one is drawn.
    void clear() {
        setup_.reset();
        line_.clear();
    }

    // Writes `text` (whole lines) below the cleared line.
    void print(const std::string& text);

private:
    StatusLine line_;
    std::uint64_t samples_ = 0;
    std::uint64_t workers_ = 0;
    std::chrono::steady_clock::time_point started_{};
    std::optional<SetupWatch> setup_;  // uses line_, so it goes first
};

}  // namespace zt::cli
