#include "timelock/formats/calibration_check.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "timelock/base/protocol.h"
#include "timelock/base/wording.h"

namespace zt {
namespace {

// Figures written in shortest round-trip form read back exactly; the slack
// only forgives a report whose numbers were retyped with fewer digits.
constexpr double kRelativeTolerance = 1e-9;

// Numbers shown as the report writes them.
constexpr auto* number = &format_report_number;

Error not_adding_up(const std::string& why) { return Error("calibration report does not add up: " + why); }

bool close(double a, double b) { return std::fabs(a - b) <= kRelativeTolerance * std::max(std::fabs(a), std::fabs(b)); }

bool positive(double value) { return std::isfinite(value) && value > 0.0; }

}  // namespace

Result<void> check_calibration_report(const CalibrationReport& r) {
    if (r.samples == 0 || r.samples > kMaxCalibrationSamples) {
        return not_adding_up("samples is " + std::to_string(r.samples) + ", not 1 to " +
                             std::to_string(kMaxCalibrationSamples));
    }
    if (r.workers == 0 || r.workers > kMaxCalibrationWorkers) {
        return not_adding_up("workers is " + std::to_string(r.workers) + ", not 1 to " +
                             std::to_string(kMaxCalibrationWorkers));
    }
    if (r.worker_seconds.size() != r.workers) {
        return not_adding_up("workers is " + std::to_string(r.workers) + " but worker_seconds has " +
                             counted(r.worker_seconds.size(), "entry", "entries"));
    }
    if (!(std::isfinite(r.setup_seconds) && r.setup_seconds >= 0.0)) {
        return not_adding_up("setup_seconds is " + number(r.setup_seconds) + ", not a time");
    }
    const char* rates[] = {"hash_seconds", "hashes_per_second", "fastest_worker_hashes_per_second",
                           "slowest_worker_hashes_per_second"};
    const double values[] = {r.hash_seconds, r.hashes_per_second, r.fastest_worker_hashes_per_second,
                             r.slowest_worker_hashes_per_second};
    for (std::size_t i = 0; i < std::size(values); ++i) {
        if (!positive(values[i])) return not_adding_up(std::string(rates[i]) + " is " + number(values[i]) + ", not above 0");
    }
    for (std::size_t i = 0; i < r.worker_seconds.size(); ++i) {
        if (!positive(r.worker_seconds[i])) {
            return not_adding_up("worker_seconds entry " + std::to_string(i + 1) + " is " + number(r.worker_seconds[i]) +
                                 ", not above 0");
        }
    }

    // The derived figures, computed as calibrate computes them.
    const auto [least, most] = std::minmax_element(r.worker_seconds.begin(), r.worker_seconds.end());
    const double samples = static_cast<double>(r.samples);
    const double fastest = samples / *least;
    const double slowest = samples / *most;
    const double overall = samples * static_cast<double>(r.workers) / r.hash_seconds;
    if (!close(r.fastest_worker_hashes_per_second, fastest)) {
        return not_adding_up("fastest_worker_hashes_per_second is " + number(r.fastest_worker_hashes_per_second) +
                             " but samples / the shortest worker_seconds is " + number(fastest));
    }
    if (!close(r.slowest_worker_hashes_per_second, slowest)) {
        return not_adding_up("slowest_worker_hashes_per_second is " + number(r.slowest_worker_hashes_per_second) +
                             " but samples / the longest worker_seconds is " + number(slowest));
    }
    if (!close(r.hashes_per_second, overall)) {
        return not_adding_up("hashes_per_second is " + number(r.hashes_per_second) +
                             " but samples x workers / hash_seconds is " + number(overall));
    }
    if (r.hash_seconds < *most && !close(r.hash_seconds, *most)) {
        return not_adding_up("hash_seconds " + number(r.hash_seconds) + " is shorter than the slowest worker's " +
                             number(*most));
    }
    const std::uint64_t one_day = iterations_for_one_day(r.fastest_worker_hashes_per_second);
    if (r.iterations_for_one_day != one_day) {
        return not_adding_up("iterations_for_one_day is " + std::to_string(r.iterations_for_one_day) +
                             " but the fastest worker's " + number(r.fastest_worker_hashes_per_second) +
                             " H/s make " + std::to_string(one_day) + " a day");
    }
    return success();
}

std::uint32_t suggested_solver_speedup(HypervisorPresence hypervisor, WorkMode mode) {
    std::uint32_t speedup = kFastestImplementationSpeedup;
    if (mode == WorkMode::Full && hypervisor != HypervisorPresence::none_reported) {
        speedup = speedup * kBareHardwareSpeedup / kSameSpeed;
    }
    return (speedup + 99) / 100 * 100;
}

std::string speedup_text(std::uint32_t speedup) {
    std::string text = std::to_string(speedup / kSameSpeed);
    if (const std::uint32_t fraction = speedup % kSameSpeed; fraction != 0) {
        std::string digits = std::to_string(kSameSpeed + fraction).substr(1);  // "500" of 1500
        digits.erase(digits.find_last_not_of('0') + 1);
        text += "." + digits;
    }
    return text;
}

Result<std::uint64_t> iterations_for_segment_time(const CalibrationReport& report, std::uint64_t seconds,
                                                  std::uint32_t speedup) {
    const double rate = report.fastest_worker_hashes_per_second;
    // The product at the calibrated speed first, so that kSameSpeed gives
    // exactly what it always gave (and one day exactly the report's figure);
    // a speedup's thousandths then multiply and divide exactly for whole
    // products.
    double wanted = rate * static_cast<double>(seconds);
    if (speedup != kSameSpeed) wanted = wanted * static_cast<double>(speedup) / static_cast<double>(kSameSpeed);
    wanted = std::ceil(wanted);
    const auto limit = static_cast<double>(protocol::kMaxIterations);
    if (!(wanted >= 1.0 && wanted <= limit)) {
        const std::string solver =
            speedup == kSameSpeed ? "" : " for a solver " + speedup_text(speedup) + " times as fast";
        const std::string fix = speedup == kSameSpeed ? "" : " or a lower --solver-speedup";
        return Error("a segment of " + std::to_string(seconds) + " s at " + number(rate) + " H/s" + solver + " needs " +
                     number(wanted) + " iterations, outside 1 to 1000000000000; choose a shorter --segment-time" + fix);
    }
    return static_cast<std::uint64_t>(wanted);
}

}  // namespace zt
