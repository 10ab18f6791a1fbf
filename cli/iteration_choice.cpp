#include "cli/iteration_choice.h"

#include "cli/compiled_code_warning.h"
#include "cli/reporting.h"
#include "cli/terminal/progress.h"
#include "cli/terminal/puzzle_status.h"
#include "timelock/base/protocol.h"
#include "timelock/formats/calibration_check.h"
#include "timelock/base/wording.h"

namespace zt::cli {

Result<IterationChoice> choose_iterations(std::uint64_t iterations, const std::optional<PathArg>& iterations_from,
                                          const std::optional<std::uint64_t>& segment_time,
                                          std::optional<WorkMode> mode) {
    IterationChoice choice;
    if (!iterations_from) {
        choice.iterations = iterations;
        return choice;
    }
    ZT_TRY_ASSIGN(const CalibrationReport report, read_calibration_input("--iterations-from", *iterations_from));
    warn_without_compiled_code();
    if (mode && report.mode == WorkMode::Light && *mode != WorkMode::Light) {
        return Error(std::string(kLightCalibration));
    }
    choice.rate = report.fastest_worker_hashes_per_second;
    choice.rate_source = calibration_rate_source(report);
    choice.setup_seconds = report.setup_seconds;
    choice.report_mode = report.mode;
    if (!segment_time) {
        choice.iterations = report.iterations_for_one_day;
        return choice;
    }
    auto computed = iterations_for_segment_time(report, *segment_time);
    if (!computed) {
        // Past what format_duration shows ("--"), the seconds as the grammar takes them.
        std::string shown = format_estimate(static_cast<double>(*segment_time));
        if (shown == "--") shown = std::to_string(*segment_time) + "s";
        return std::move(computed).error().context("--segment-time " + shown + ": too long for a segment at this rate");
    }
    choice.iterations = *computed;
    return choice;
}

std::string format_opening_summary(std::string_view label, const IterationChoice& choice, std::uint32_t segments) {
    // A count the puzzle cannot have is refused next, in generate's own words.
    if (!choice.rate || !(*choice.rate > 0.0) || !protocol::iterations_allowed(choice.iterations)) return {};
    const double segment_seconds = static_cast<double>(choice.iterations) / *choice.rate;
    std::string text(label);
    text += ": " + counted(segments, "segment") + " of " + counted(choice.iterations, "iteration") + ", " +
            format_about(segment_seconds) + " each at " + format_rate(*choice.rate) + " H/s (" + choice.rate_source +
            "); opening the puzzle takes " + format_about(segment_seconds * segments) + " on that machine\n";
    return text;
}

}  // namespace zt::cli
