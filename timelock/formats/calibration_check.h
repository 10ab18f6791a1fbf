// Trusting a calibration report only as far as its figures agree, and
// turning it into an iteration count for a chosen segment length.
//
// A report is a file the operator may have edited, copied from another
// machine or cut short. Before its rate decides how long a puzzle takes to
// open, every figure is checked against the others exactly as calibrate
// derived them: a report that says 3 iterations a day beside a measured
// 32 H/s would otherwise make a puzzle that opens in seconds.
//
// Thread safety: pure functions.
#pragma once

#include <cstdint>

#include "timelock/base/error.h"
#include "timelock/formats/calibration_report.h"

namespace zt {

// Success when the report's figures are finite, positive and agree:
// workers 1 to 96 with as many worker_seconds; samples 1 to 10^12; each
// rate equal (to 1 part in 10^9) to what its samples and seconds give;
// hash_seconds not below the slowest worker's; iterations_for_one_day equal
// to ceil(fastest rate x 86400). Otherwise an error that names the figure
// ("calibration report does not add up: ...").
Result<void> check_calibration_report(const CalibrationReport& report);

// Iterations per segment for segments of `seconds` at the report's fastest
// worker: ceil(rate x seconds). Fails when that is outside 1 to 10^12,
// naming the segment time and the rate. Takes a checked report.
Result<std::uint64_t> iterations_for_segment_time(const CalibrationReport& report, std::uint64_t seconds);

}  // namespace zt
