// The calibration report: what `calibrate` measured, as the JSON document it
// prints and `generate --iterations-from` / `status --calibration` read back.
//
// Thread safety: plain values and pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "timelock/base/error.h"
#include "timelock/base/work_mode.h"

namespace zt {

// What a calibration may take, and so what a report may say.
inline constexpr std::uint64_t kMaxCalibrationSamples = 1'000'000'000'000;
inline constexpr std::uint64_t kMaxCalibrationWorkers = 96;

struct CalibrationReport {
    std::uint64_t samples = 0;
    double setup_seconds = 0.0;
    double hash_seconds = 0.0;
    double hashes_per_second = 0.0;
    std::uint64_t workers = 0;
    std::vector<double> worker_seconds;  // thread order 0, 1, ...
    double fastest_worker_hashes_per_second = 0.0;
    double slowest_worker_hashes_per_second = 0.0;
    std::uint64_t iterations_for_one_day = 0;
    WorkMode mode = WorkMode::Full;
};

// ceil(rate * 86400) as an unsigned 64-bit count, saturating: above the
// range gives 18446744073709551615, NaN gives 0.
std::uint64_t iterations_for_one_day(double fastest_hashes_per_second);

// The report as indented JSON (members in report order, numbers in shortest
// round-trip form, non-finite numbers as null), without a final newline.
std::string write_calibration_report(const CalibrationReport& report);

inline constexpr std::string_view kCalibrationReportForeign = "calibration report is for another RandomX";
inline constexpr std::string_view kCalibrationReportMode = "calibration report names an unknown mode";

// Reads a report as write_calibration_report writes it, with the strict
// JSON rules of the other documents (members in any order or the positional
// array form, every member present once, no other). A null number (how the
// writer shows a non-finite one) reads as NaN. Errors: the JSON reader's,
// kCalibrationReportForeign unless randomx and algorithm are this program's,
// kCalibrationReportMode unless mode is "Full" or "Light".
Result<CalibrationReport> read_calibration_report(std::string_view text);

// A double as the report writes it: shortest round-trip digits, always with
// a decimal point or an exponent ("2.0", "0.125", "1.5e20", "2.5e-7"); null
// when not finite.
std::string format_report_number(double value);

}  // namespace zt
