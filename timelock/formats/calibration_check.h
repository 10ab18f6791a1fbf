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

#include <string>

#include "timelock/base/error.h"
#include "timelock/base/machine.h"
#include "timelock/formats/calibration_report.h"

namespace zt {

// Success when the report's figures are finite, positive and agree:
// workers 1 to 96 with as many worker_seconds; samples 1 to 10^12; each
// rate equal (to 1 part in 10^9) to what its samples and seconds give;
// hash_seconds not below the slowest worker's; iterations_for_one_day equal
// to ceil(fastest rate x 86400). Otherwise an error that names the figure
// ("calibration report does not add up: ...").
Result<void> check_calibration_report(const CalibrationReport& report);

// How much faster than the calibrated machine the puzzle's fastest solver
// is taken to hash, in thousandths: kSameSpeed (1000) sizes segments for the
// calibrated machine itself, 1500 for a solver one and a half times as fast.
// Given as --solver-speedup, 1 to 100 with up to three decimals.
inline constexpr std::uint32_t kSameSpeed = 1000;
inline constexpr std::uint32_t kMaxSolverSpeedup = 100'000;

// What the calibrating machine may leave to an attacker, as measured (the
// README's "Performance"): in full mode a virtual machine pays for nested
// address translation on the dataset's reads, and the same processor on
// bare hardware hashes about a quarter faster; the fastest public RandomX
// implementation is within a tenth of this one.
inline constexpr std::uint32_t kBareHardwareSpeedup = 1250;
inline constexpr std::uint32_t kFastestImplementationSpeedup = 1100;

// The speedup a puzzle calibrated in `mode` on a machine with that
// hypervisor presence should at least be sized for: the fastest
// implementation's, times bare hardware's in full mode unless the machine
// reported no hypervisor; rounded up to a tenth (1400 for both).
std::uint32_t suggested_solver_speedup(HypervisorPresence hypervisor, WorkMode mode);

// "1.5", "1.375", "2": a speedup as --solver-speedup takes it.
std::string speedup_text(std::uint32_t speedup);

// Iterations per segment for segments of `seconds` for a solver `speedup`
// times as fast as the report's fastest worker: ceil(rate x seconds) for
// kSameSpeed, ceil(rate x seconds x speedup / 1000) otherwise. Fails when
// that is outside 1 to 10^12, naming the segment time, the rate (and the
// speedup). Takes a checked report.
Result<std::uint64_t> iterations_for_segment_time(const CalibrationReport& report, std::uint64_t seconds,
                                                  std::uint32_t speedup = kSameSpeed);

}  // namespace zt
