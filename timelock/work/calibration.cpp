#include "timelock/work/calibration.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>

#include "timelock/base/crypto.h"
#include "timelock/work/engine.h"
#include "timelock/work/ordered_threads.h"

namespace zt {

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kSecondsPerDay = 86400.0;
// The calibration chain uses the puzzle step message with this epoch.
constexpr std::uint64_t kCalibrationEpoch = 0;

// Whole seconds plus nanoseconds / 1e9; an interval that would be negative is 0.
double seconds_since(Clock::time_point start) {
    const auto end = Clock::now();
    if (end <= start) return 0.0;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
    return static_cast<double>(ns / 1'000'000'000) + static_cast<double>(ns % 1'000'000'000) / 1e9;
}

// A start barrier that can be called off: if the platform refuses one of the
// threads, the ones already waiting must not wait for the full count.
class StartGate {
public:
    explicit StartGate(std::size_t count) : expected_(count) {}

    // True once every thread has arrived; false when the gate was cancelled.
    bool arrive_and_wait() {
        std::unique_lock lock(mutex_);
        if (++arrived_ == expected_) {
            open_ = true;
            changed_.notify_all();
        }
        changed_.wait(lock, [this] { return open_ || cancelled_; });
        return open_;
    }

    void cancel() {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t expected_;
    std::size_t arrived_ = 0;
    bool open_ = false;
    bool cancelled_ = false;
};

struct CalibrationJob {
    StartGate& gate;
    const WorkEngine& engine;
    std::uint64_t samples;
    const std::function<Result<void>(std::size_t, std::span<std::uint8_t>)>& draw_state;
    std::atomic<std::uint64_t>* steps_done;  // null when nobody watches
};

Result<double> calibration_worker(CalibrationJob& job, std::size_t index) {
    // Not reported: a cancelled gate means the command ends on an internal fault.
    if (!job.gate.arrive_and_wait()) return Error("calibration start cancelled");
    ZT_TRY_ASSIGN(RandomxVm vm, job.engine.create_vm());

    // The thread's time includes drawing its starting state, not the barrier
    // or the VM creation.
    const auto start = Clock::now();
    Key32 state;
    if (!job.draw_state(index, state.span())) {
        throw std::runtime_error(std::string(kOsRandomnessFailed));  // the thread ends abnormally
    }
    const auto segment = static_cast<std::uint32_t>(index);
    state = segment_chain(vm, kCalibrationEpoch, segment, job.samples, state, job.steps_done);
    return seconds_since(start);  // `state` is wiped, then `vm` destroyed, as they go out of scope
}

}  // namespace

Result<void> check_calibration_limits(std::uint64_t samples, std::uint64_t workers) {
    if (samples == 0 || samples > kMaxCalibrationSamples) return Error(std::string(kInvalidSamples));
    if (workers == 0 || workers > kMaxCalibrationWorkers) return Error(std::string(kInvalidWorkers));
    return success();
}

std::uint64_t iterations_for_one_day(double fastest_hashes_per_second) {
    const double iterations = std::ceil(fastest_hashes_per_second * kSecondsPerDay);
    if (std::isnan(iterations) || iterations <= 0.0) return 0;
    // 2^64 as a double; everything from there up saturates.
    if (iterations >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(iterations);
}

CalibrationReport make_calibration_report(std::uint64_t samples, WorkMode mode, double setup_seconds,
                                          double hash_seconds, std::vector<double> worker_seconds) {
    double fastest_seconds = std::numeric_limits<double>::infinity();
    double slowest_seconds = 0.0;
    for (double s : worker_seconds) {
        fastest_seconds = std::min(fastest_seconds, s);
        slowest_seconds = std::max(slowest_seconds, s);
    }
    const auto samples_d = static_cast<double>(samples);
    const auto workers_d = static_cast<double>(worker_seconds.size());

    CalibrationReport report;
    report.samples = samples;
    report.setup_seconds = setup_seconds;
    report.hash_seconds = hash_seconds;
    report.hashes_per_second = samples_d * workers_d / hash_seconds;
    report.workers = worker_seconds.size();
    report.worker_seconds = std::move(worker_seconds);
    report.fastest_worker_hashes_per_second = samples_d / fastest_seconds;
    report.slowest_worker_hashes_per_second = samples_d / slowest_seconds;
    report.iterations_for_one_day = iterations_for_one_day(report.fastest_worker_hashes_per_second);
    report.mode = mode;
    return report;
}

Result<CalibrationReport> calibrate(std::uint64_t samples, std::uint64_t workers, WorkMode mode,
                                    CalibrationObserver* observer, CalibrationConditions* conditions) {
    return detail::calibrate(samples, workers, mode, {}, observer, conditions);
}

namespace detail {

Result<CalibrationReport> calibrate(std::uint64_t samples, std::uint64_t workers, WorkMode mode,
                                    const CalibrationSeams& seams, CalibrationObserver* observer,
                                    CalibrationConditions* conditions) {
    const auto draw_key = seams.draw_key ? seams.draw_key : [](std::span<std::uint8_t> out) {
        return random_bytes(out);
    };
    const std::function<Result<void>(std::size_t, std::span<std::uint8_t>)> draw_state =
        seams.draw_state ? seams.draw_state
                         : [](std::size_t, std::span<std::uint8_t> out) { return random_bytes(out); };

    const auto setup_start = Clock::now();
    if (observer != nullptr) observer->calibration_setting_up(mode);
    std::optional<WorkEngine> engine;
    {
        // A throw-away key, used for nothing else and never shown.
        Key32 key;
        if (!draw_key(key.span())) throw InternalFault("OS randomness failed while drawing the calibration key");
        auto ready = WorkEngine::setup(key, mode);
        wipe(key.data(), key.size());
        if (!ready) return std::move(ready).error();
        engine.emplace(std::move(ready).value());
    }
    const double setup_seconds = seconds_since(setup_start);

    if (observer != nullptr) observer->sampling_started(samples, workers);
    const auto hash_start = Clock::now();
    StartGate gate(static_cast<std::size_t>(workers));
    std::atomic<std::uint64_t> steps_done{0};
    CalibrationJob job{gate, *engine, samples, draw_state, observer != nullptr ? &steps_done : nullptr};
    const std::function<Result<double>(std::size_t)> body = [&job](std::size_t i) {
        return calibration_worker(job, i);
    };
    ThreadHooks hooks;
    hooks.before_start = seams.before_start;
    hooks.on_start_failure = [&gate] { gate.cancel(); };
    if (observer != nullptr) {
        hooks.poll = CalibrationObserver::kPollInterval;
        hooks.while_waiting = [&] { observer->sampling_progress(steps_done.load(std::memory_order_relaxed)); };
    }
    auto outcomes = run_ordered_threads(static_cast<std::size_t>(workers), body, hooks);

    std::vector<double> worker_seconds;
    worker_seconds.reserve(outcomes.size());
    for (auto& outcome : outcomes) {
        if (!outcome.has_value()) return Error(std::string(kCalibrationWorkerPanicked));
        if (!*outcome) return std::move(*outcome).error();
        worker_seconds.push_back(outcome->value());
    }
    const double hash_seconds = seconds_since(hash_start);

    auto report = make_calibration_report(samples, mode, setup_seconds, hash_seconds, std::move(worker_seconds));
    // After the timing: the pages the workers touched, as the kernel backs them.
    if (conditions != nullptr) *conditions = CalibrationConditions{describe_machine(), engine->huge_pages()};
    engine->release();
    return report;
}

}  // namespace detail
}  // namespace zt
