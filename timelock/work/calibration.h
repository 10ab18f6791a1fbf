// Calibration: how fast this machine does the serial work a puzzle is made
// of. `workers` threads each run one unbroken chain of `samples` steps with
// the puzzle step message (epoch 0, segment = thread index) on an engine
// keyed with a throw-away random key; the setup, the whole run and every
// thread are timed, and the report derives the iteration count that makes
// one segment last about a day for the fastest thread.
//
// Threads: the calling thread sets up, starts, joins and reports; the worker
// threads leave a start barrier together and share only the read-only
// engine. Every thread has ended before `calibrate` returns or throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "timelock/base/error.h"
#include "timelock/base/machine.h"
#include "timelock/base/work_mode.h"
#include "timelock/formats/calibration_report.h"
#include "timelock/work/work_observer.h"

namespace zt {

inline constexpr std::string_view kInvalidSamples = "invalid samples";
inline constexpr std::string_view kInvalidWorkers = "workers must be 1 through 96";
inline constexpr std::string_view kCalibrationWorkerPanicked = "calibration worker panicked";


// What a calibration measured on, beside its figures (the report's format
// holds none of it): the machine (machine.h) and how much of the engine's
// memory transparent huge pages backed once the workers had hashed.
struct CalibrationConditions {
    MachineFacts machine;
    std::optional<HugePageShare> huge_pages;
};

// The command's limits, samples first: kInvalidSamples unless samples is 1
// to 10^12, then kInvalidWorkers unless workers is 1 to 96.
Result<void> check_calibration_limits(std::uint64_t samples, std::uint64_t workers);

// The measurement; `samples` and `workers` must already be within their
// limits. Errors: the engine's setup errors, kVmAllocationFailed, or
// kCalibrationWorkerPanicked (the lowest-numbered failing thread decides).
// Throws InternalFault when the random source fails while drawing the
// RandomX key, or when a thread cannot be started (after the started ones
// have been released from the barrier and joined).
//
// With an `observer`, the calling thread tells it of the setup and, while
// the workers hash, of their steps (work_observer.h); each worker then also
// adds one relaxed increment per step to a shared counter. With
// `conditions`, what the measurement ran on is filled in too.
Result<CalibrationReport> calibrate(std::uint64_t samples, std::uint64_t workers, WorkMode mode,
                                    CalibrationObserver* observer = nullptr,
                                    CalibrationConditions* conditions = nullptr);

// The report from measured times: the three rates in double precision and
// iterations_for_one_day. Exposed so the arithmetic can be checked with
// chosen times (0 seconds gives infinite rates).
CalibrationReport make_calibration_report(std::uint64_t samples, WorkMode mode, double setup_seconds,
                                          double hash_seconds, std::vector<double> worker_seconds);

namespace detail {

// Test seams: the random source for the RandomX key and for each thread's
// starting state, and `before_start(i)` on the calling thread before thread
// i is created (throwing std::system_error refuses it).
struct CalibrationSeams {
    std::function<Result<void>(std::span<std::uint8_t>)> draw_key;
    std::function<Result<void>(std::size_t, std::span<std::uint8_t>)> draw_state;
    std::function<void(std::size_t)> before_start;
};

Result<CalibrationReport> calibrate(std::uint64_t samples, std::uint64_t workers, WorkMode mode,
                                    const CalibrationSeams& seams, CalibrationObserver* observer = nullptr,
                                    CalibrationConditions* conditions = nullptr);

}  // namespace detail
}  // namespace zt
