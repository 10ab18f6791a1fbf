#include "cli/iteration_choice.h"

#include <cmath>

#include "cli/compiled_code_warning.h"
#include "cli/reporting.h"
#include "cli/terminal/progress.h"
#include "cli/terminal/puzzle_status.h"
#include "timelock/base/protocol.h"
#include "timelock/formats/calibration_check.h"
#include "timelock/base/wording.h"

namespace zt::cli {
namespace {

constexpr std::uint64_t kSecondsPerDay = 86400;

}  // namespace

Result<IterationChoice> choose_iterations(std::uint64_t iterations, const std::optional<PathArg>& iterations_from,
                                          const std::optional<std::uint64_t>& segment_time,
                                          const std::optional<double>& solver_speedup, std::optional<WorkMode> mode) {
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
    // The grammar allows three decimals at most: the thousandths are exact.
    if (solver_speedup) choice.speedup = static_cast<std::uint32_t>(std::llround(*solver_speedup * kSameSpeed));
    if (!segment_time && choice.speedup == kSameSpeed) {
        choice.iterations = report.iterations_for_one_day;
        return choice;
    }
    auto computed = iterations_for_segment_time(report, segment_time.value_or(kSecondsPerDay), choice.speedup);
    if (!computed) {
        // Past what format_duration shows ("--"), the seconds as the grammar takes them.
        std::string shown = format_estimate(static_cast<double>(*segment_time));
        if (shown == "--") shown = std::to_string(*segment_time) + "s";
        if (!segment_time) return std::move(computed).error();
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
    if (choice.speedup != kSameSpeed) {
        const double factor = static_cast<double>(choice.speedup) / kSameSpeed;
        text += std::string(label) + ": for a solver " + speedup_text(choice.speedup) + " times as fast (" +
                format_rate(*choice.rate * factor) + " H/s), " + format_about(segment_seconds / factor) + " each and " +
                format_estimate(segment_seconds / factor * segments) + " for the puzzle\n";
    }
    return text;
}

}  // namespace zt::cli
