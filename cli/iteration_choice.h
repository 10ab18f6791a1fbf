// Where generate and plan take the iteration count from: --iterations as
// given, or a calibration report (--iterations-from) for one-day segments or
// for segments of --segment-time. A report is used only when its figures
// agree (timelock/formats/calibration_check.h), and a light-mode report is
// refused for a full-mode puzzle, whose segments it would make last many
// times too long.
//
// Thread safety: pure functions over the file system.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cli/parse/args.h"
#include "timelock/base/error.h"

namespace zt::cli {

struct IterationChoice {
    std::uint64_t iterations = 0;
    // From a report: the fastest worker's rate, its mode's name and how long
    // its RandomX set-up took.
    std::optional<double> rate;
    std::string rate_source;
    double setup_seconds = 0.0;
    WorkMode report_mode = WorkMode::Full;
    // The solver the segments are sized for, in thousandths of the
    // report's rate (timelock/formats/calibration_check.h).
    std::uint32_t speedup = 1000;
};

inline constexpr std::string_view kLightCalibration =
    "the calibration report was measured in light mode; a full-mode puzzle needs a full-mode calibration "
    "(or generate with --mode light)";

// `iterations` when no report is given; otherwise the report's
// iterations_for_one_day, or ceil(rate x segment_time) when a segment time
// is given; with a solver speedup (a factor of 1 to 100), the iterations
// that make a segment last one day, or segment_time, for a solver that many
// times as fast. `mode` is the puzzle's work mode (plan: none).
Result<IterationChoice> choose_iterations(std::uint64_t iterations, const std::optional<PathArg>& iterations_from,
                                          const std::optional<std::uint64_t>& segment_time,
                                          const std::optional<double>& solver_speedup, std::optional<WorkMode> mode);

// What the choice means on the machine the report measured, for standard
// error: "{label}: 96 segments of 43200000 iterations, about 12h each at
// 1000 H/s (Full-mode calibration); opening the puzzle takes about 48d
// here". With a solver speedup, a second line for that solver: "{label}:
// for a solver 1.5 times as fast (1500 H/s), about 8h each and 32d for the
// puzzle". Empty without a rate, and for a count outside 1 to 10^12.
std::string format_opening_summary(std::string_view label, const IterationChoice& choice, std::uint32_t segments);

}  // namespace zt::cli
