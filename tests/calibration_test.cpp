// Calibration: the command's limits, the report's arithmetic and exact text,
// the consistency check that keeps a hand-edited report from making a puzzle
// that opens in seconds, the iteration count for a segment time, the failure
// paths (fake library and injected faults), and one real light-mode
// measurement.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <limits>
#include <stdexcept>
#include <new>
#include <system_error>

#include "cli/commands/commands.h"
#include "tests/support/fake_randomx.h"
#include "timelock/formats/calibration_check.h"
#include "timelock/work/calibration.h"

namespace zt {
namespace {

using test::ScopedFakeRandomx;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct LimitCase {
    std::uint64_t samples;
    std::uint64_t workers;
    const char* expected;  // nullptr: accepted
};

TEST(CalibrationLimits, SamplesAreCheckedBeforeWorkers) {
    const LimitCase cases[] = {
        {0, 1, "invalid samples"},
        {1'000'000'000'001, 1, "invalid samples"},
        {0, 97, "invalid samples"},
        {1, 0, "workers must be 1 through 96"},
        {1, 97, "workers must be 1 through 96"},
        {1'000'000'000'000, 96, nullptr},
        {1, 1, nullptr},
    };
    for (const auto& c : cases) {
        const auto checked = check_calibration_limits(c.samples, c.workers);
        if (c.expected == nullptr) {
            EXPECT_TRUE(checked.ok()) << c.samples << " samples, " << c.workers << " workers";
            continue;
        }
        ASSERT_FALSE(checked.ok());
        EXPECT_EQ(checked.error().message(), c.expected);
        // The handler refuses the same way, before any engine exists.
        ScopedFakeRandomx fake;
        const auto handled = cli::run_calibrate({c.samples, c.workers, WorkMode::Light});
        ASSERT_FALSE(handled.ok());
        EXPECT_EQ(handled.error().message(), c.expected);
        EXPECT_TRUE(fake.log().empty());
    }
}

TEST(CalibrationReport, IsWrittenMemberByMemberInItsFixedLayout) {
    const auto report = make_calibration_report(20, WorkMode::Light, 1.5, 4.0, {2.0, 3.5});
    EXPECT_EQ(write_calibration_report(report),
              "{\n"
              "  \"randomx\": \"2.0.1\",\n"
              "  \"algorithm\": \"v2\",\n"
              "  \"samples\": 20,\n"
              "  \"setup_seconds\": 1.5,\n"
              "  \"hash_seconds\": 4.0,\n"
              "  \"hashes_per_second\": 10.0,\n"
              "  \"workers\": 2,\n"
              "  \"worker_seconds\": [\n"
              "    2.0,\n"
              "    3.5\n"
              "  ],\n"
              "  \"fastest_worker_hashes_per_second\": 10.0,\n"
              "  \"slowest_worker_hashes_per_second\": 5.714285714285714,\n"
              "  \"iterations_for_one_day\": 864000,\n"
              "  \"mode\": \"Light\"\n"
              "}");
}

TEST(CalibrationReport, ZeroSecondsGiveNullRatesAndASaturatedDay) {
    const auto report = make_calibration_report(5, WorkMode::Full, 0.0, 0.0, {0.0});
    const std::string text = write_calibration_report(report);
    EXPECT_NE(text.find("  \"hashes_per_second\": null,\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  \"fastest_worker_hashes_per_second\": null,\n"), std::string::npos);
    EXPECT_NE(text.find("  \"slowest_worker_hashes_per_second\": null,\n"), std::string::npos);
    EXPECT_NE(text.find("  \"iterations_for_one_day\": 18446744073709551615,\n"), std::string::npos);
    EXPECT_NE(text.find("  \"mode\": \"Full\"\n"), std::string::npos);
}

TEST(CalibrationReport, FastestAndSlowestComeFromTheExtremeThreads) {
    const auto report = make_calibration_report(100, WorkMode::Light, 1.0, 6.0, {4.0, 2.0, 5.0});
    EXPECT_EQ(report.workers, 3u);
    EXPECT_EQ(report.fastest_worker_hashes_per_second, 50.0);
    EXPECT_EQ(report.slowest_worker_hashes_per_second, 20.0);
    EXPECT_EQ(report.hashes_per_second, 50.0);
    EXPECT_EQ(report.iterations_for_one_day, 4'320'000u);
}

TEST(CalibrationReport, IterationsForOneDayRoundUpAndSaturate) {
    const struct {
        double rate;
        std::uint64_t expected;
    } cases[] = {
        {1000.00001, 86'400'001},
        {1.0, 86'400},
        {0.5, 43'200},
        {0.0, 0},
        {kNaN, 0},
        {kInf, std::numeric_limits<std::uint64_t>::max()},
        {1e300, std::numeric_limits<std::uint64_t>::max()},
        {2.2e14, std::numeric_limits<std::uint64_t>::max()},  // 1.9e19 days' worth, above 2^64
        {2.1e14, 18'144'000'000'000'000'000u},
    };
    for (const auto& c : cases) EXPECT_EQ(iterations_for_one_day(c.rate), c.expected) << c.rate;
}

TEST(CalibrationReport, NumbersAreShortestRoundTripWithAPointOrAnExponent) {
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {2.0, "2.0"},
        {0.0, "0.0"},
        {0.1, "0.1"},
        {86400.0, "86400.0"},
        {100000.0, "100000.0"},
        {123456789.125, "123456789.125"},
        {5.714285714285714, "5.714285714285714"},
        {0.00001, "0.00001"},
        {9999999999999998.0, "9999999999999998.0"},
        {1e16, "1e16"},
        {1.5e20, "1.5e20"},
        {2.5e-7, "2.5e-7"},
        {1e-300, "1e-300"},
        {kInf, "null"},
        {-kInf, "null"},
        {kNaN, "null"},
    };
    for (const auto& c : cases) {
        const std::string text = format_report_number(c.value);
        EXPECT_EQ(text, c.text);
        if (std::isfinite(c.value)) EXPECT_EQ(std::stod(text), c.value) << text;
    }
}

// A measurement on the fake library: fast, and every fault can be provoked.
struct FakeCalibration {
    ScopedFakeRandomx fake;
    detail::CalibrationSeams seams;
};

TEST(Calibrate, EachThreadRunsItsOwnChainOfSamplesAndTheEngineIsReleased) {
    FakeCalibration run;
    auto report = detail::calibrate(7, 4, WorkMode::Light, run.seams);
    ASSERT_TRUE(report.ok());
    EXPECT_EQ(report->samples, 7u);
    EXPECT_EQ(report->workers, 4u);
    ASSERT_EQ(report->worker_seconds.size(), 4u);
    EXPECT_EQ(run.fake.hashes(), 28u);
    EXPECT_EQ(run.fake.live_vms(), 0);
    EXPECT_EQ(run.fake.live_caches(), 0);
    EXPECT_EQ(report->mode, WorkMode::Light);
}

TEST(Calibrate, EngineSetupFailureIsReturned) {
    FakeCalibration run;
    run.fake.fail_dataset_allocation();
    auto report = detail::calibrate(1, 2, WorkMode::Full, run.seams);
    ASSERT_FALSE(report.ok());
    EXPECT_EQ(report.error().message(), "RandomX dataset allocation failed (2080 MiB required)");
    EXPECT_EQ(run.fake.live_caches(), 0);
}

TEST(Calibrate, AThreadWithoutAVmFailsTheMeasurement) {
    FakeCalibration run;
    run.fake.fail_every_vm();
    auto report = detail::calibrate(3, 2, WorkMode::Light, run.seams);
    ASSERT_FALSE(report.ok());
    EXPECT_EQ(report.error().message(), "RandomX VM allocation failed");
    EXPECT_EQ(run.fake.live_caches(), 0);
}

TEST(Calibrate, RandomFailureInAThreadIsAPanickedWorker) {
    FakeCalibration run;
    run.seams.draw_state = [](std::size_t i, std::span<std::uint8_t>) -> Result<void> {
        if (i == 1) return Error("OS randomness failed");
        return success();
    };
    auto report = detail::calibrate(3, 3, WorkMode::Light, run.seams);
    ASSERT_FALSE(report.ok());
    EXPECT_EQ(report.error().message(), "calibration worker panicked");
    // The healthy threads ran their whole chains before the error came back.
    EXPECT_EQ(run.fake.hashes(), 6u);
    EXPECT_EQ(run.fake.live_vms(), 0);
    EXPECT_EQ(run.fake.live_caches(), 0);
}

TEST(Calibrate, RandomFailureWhileDrawingTheKeyIsAnInternalFault) {
    FakeCalibration run;
    run.seams.draw_key = [](std::span<std::uint8_t>) -> Result<void> { return Error("OS randomness failed"); };
    EXPECT_THROW((void)detail::calibrate(1, 1, WorkMode::Light, run.seams), InternalFault);
    EXPECT_TRUE(run.fake.log().empty());
}

TEST(Calibrate, ARefusedThreadReleasesTheOthersFromTheBarrier) {
    // Without a cancellable barrier, threads 0 and 1 would wait for thread 2
    // forever and this test would hang.
    for (bool platform : {true, false}) {
        FakeCalibration run;
        run.seams.before_start = [platform](std::size_t i) {
            if (i != 2) return;
            if (platform) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
            throw std::bad_alloc();  // not the platform's refusal, handled the same
        };
        EXPECT_THROW((void)detail::calibrate(5, 4, WorkMode::Light, run.seams), InternalFault);
        EXPECT_EQ(run.fake.hashes(), 0u);
        EXPECT_EQ(run.fake.live_vms(), 0);
        EXPECT_EQ(run.fake.live_caches(), 0);
    }
}

// The real library in light mode, kept to a few steps.
TEST(Calibrate, ALightRunOnTheRealLibraryHasTheReportShape) {
    auto report = calibrate(2, 2, WorkMode::Light);
    ASSERT_TRUE(report.ok()) << report.error().message();
    EXPECT_EQ(report->samples, 2u);
    EXPECT_EQ(report->workers, 2u);
    ASSERT_EQ(report->worker_seconds.size(), 2u);
    EXPECT_GT(report->setup_seconds, 0.0);
    for (double s : report->worker_seconds) {
        EXPECT_GT(s, 0.0);
        EXPECT_LE(s, report->hash_seconds);
    }
    EXPECT_GE(report->fastest_worker_hashes_per_second, report->slowest_worker_hashes_per_second);
    EXPECT_EQ(report->iterations_for_one_day, iterations_for_one_day(report->fastest_worker_hashes_per_second));
    EXPECT_EQ(report->mode, WorkMode::Light);
    const std::string text = write_calibration_report(*report);
    EXPECT_NE(text.find("\"mode\": \"Light\"\n}"), std::string::npos);
}

// ---- The consistency check of a report read back -----------------------------

// A report as calibrate would write it: 2 workers of 1000 samples.
CalibrationReport good_report() {
    CalibrationReport r;
    r.samples = 1000;
    r.workers = 2;
    r.worker_seconds = {31.25, 40.0};
    r.hash_seconds = 41.0;
    r.setup_seconds = 0.5;
    r.hashes_per_second = 2000.0 / 41.0;
    r.fastest_worker_hashes_per_second = 1000.0 / 31.25;  // 32 H/s
    r.slowest_worker_hashes_per_second = 1000.0 / 40.0;
    r.iterations_for_one_day = iterations_for_one_day(r.fastest_worker_hashes_per_second);
    return r;
}

TEST(CalibrationCheck, FiguresThatContradictEachOtherAreRefusedByName) {
    ASSERT_TRUE(check_calibration_report(good_report()).ok());
    const struct {
        std::string name;
        void (*edit)(CalibrationReport&);
        std::string figure;  // named in the message
    } cases[] = {
        {"one day of 3 beside 32 H/s", [](CalibrationReport& r) { r.iterations_for_one_day = 3; },
         "iterations_for_one_day is 3 but"},
        {"fastest rate not the samples' over the shortest time",
         [](CalibrationReport& r) { r.fastest_worker_hashes_per_second = 3200.0; },
         "fastest_worker_hashes_per_second"},
        {"slowest rate off", [](CalibrationReport& r) { r.slowest_worker_hashes_per_second = 26.0; },
         "slowest_worker_hashes_per_second"},
        {"overall rate off", [](CalibrationReport& r) { r.hashes_per_second = 100.0; }, "hashes_per_second"},
        {"hashing shorter than its slowest worker", [](CalibrationReport& r) {
             r.hash_seconds = 20.0;
             r.hashes_per_second = 100.0;
         }, "hash_seconds"},
        {"not a number", [](CalibrationReport& r) { r.fastest_worker_hashes_per_second = kNaN; },
         "fastest_worker_hashes_per_second is null"},
        {"infinite", [](CalibrationReport& r) { r.hash_seconds = kInf; }, "hash_seconds is null"},
        {"zero worker time", [](CalibrationReport& r) { r.worker_seconds[1] = 0.0; }, "worker_seconds entry 2"},
        {"workers and times disagree", [](CalibrationReport& r) { r.workers = 3; }, "worker_seconds has 2 entries"},
        {"no samples", [](CalibrationReport& r) { r.samples = 0; }, "samples is 0"},
        {"97 workers", [](CalibrationReport& r) { r.workers = 97; }, "workers is 97"},
    };
    for (const auto& c : cases) {
        CalibrationReport report = good_report();
        c.edit(report);
        const auto checked = check_calibration_report(report);
        ASSERT_FALSE(checked.ok()) << c.name;
        EXPECT_EQ(checked.error().message().rfind("calibration report does not add up: ", 0), 0u) << c.name;
        EXPECT_NE(checked.error().message().find(c.figure), std::string::npos) << c.name << ": " << checked.error().message();
    }
}

TEST(CalibrationCheck, IterationsForASegmentTimeRoundUpAndStayInRange) {
    const CalibrationReport report = good_report();  // 32 H/s
    EXPECT_EQ(iterations_for_segment_time(report, 86'400).value(), report.iterations_for_one_day);
    EXPECT_EQ(iterations_for_segment_time(report, 12 * 3600).value(), 1'382'400u);
    CalibrationReport slow = report;
    slow.fastest_worker_hashes_per_second = 0.25;
    EXPECT_EQ(iterations_for_segment_time(slow, 10).value(), 3u);  // 2.5 rounds up
    EXPECT_FALSE(iterations_for_segment_time(report, 40'000'000'000).ok());  // past 10^12 iterations
}

// Sized for a faster solver by the factor's exact thousandths; the margin suggested.
TEST(CalibrationCheck, IterationsForAFasterSolverAndTheMarginSuggested) {
    CalibrationReport report = good_report();
    for (const auto& [rate, seconds, speedup, iterations] :
         {std::tuple{32.0, 86'400ul, 1500u, 4'147'200ul}, {100.0, 86'400ul, 1100u, 9'504'000ul},
          {32.0, 43'200ul, 1375u, 1'900'800ul}, {0.25, 10ul, 1500u, 4ul}, {170.00001, 86'400ul, 1000u, 14'688'001ul}}) {
        report.fastest_worker_hashes_per_second = rate;
        EXPECT_EQ(iterations_for_segment_time(report, seconds, speedup).value(), iterations) << rate << " x" << speedup;
    }
    report.fastest_worker_hashes_per_second = 32.0;  // 10^12 iterations are 31250000000 s
    EXPECT_NE(iterations_for_segment_time(report, 31'250'000'000, 1500).error().message().find(
                  "for a solver 1.5 times as fast needs 1500000000000.0 iterations"),
              std::string::npos);
    EXPECT_EQ(speedup_text(suggested_solver_speedup(HypervisorPresence::reported, WorkMode::Full)), "1.4");
    EXPECT_EQ(speedup_text(suggested_solver_speedup(HypervisorPresence::unknown, WorkMode::Full)), "1.4");
    EXPECT_EQ(speedup_text(suggested_solver_speedup(HypervisorPresence::none_reported, WorkMode::Full)), "1.1");
    EXPECT_EQ(speedup_text(suggested_solver_speedup(HypervisorPresence::reported, WorkMode::Light)), "1.1");
    EXPECT_EQ(speedup_text(1375) + speedup_text(2000) + speedup_text(1050), "1.37521.05");
}

}  // namespace
}  // namespace zt

namespace zt {
namespace {

// ---- Reading a report back ---------------------------------------------------

TEST(CalibrationReportReader, ReadsBackWhatTheWriterWrote) {
    const CalibrationReport cases[] = {
        make_calibration_report(1000, WorkMode::Full, 31.25, 6.5, {5.75, 6.25}),
        make_calibration_report(20, WorkMode::Light, 0.41, 1.49, {1.4900000000000002}),
        make_calibration_report(7, WorkMode::Full, 1e-7, 2.5e20, {3.0, 1e-9, 12.0}),
    };
    for (const CalibrationReport& written : cases) {
        const std::string text = write_calibration_report(written);
        auto read = read_calibration_report(text + "\n");
        ASSERT_TRUE(read.ok()) << read.error().message();
        // Integers and names exactly; numbers to within the JSON reader's
        // decimal conversion (a few units in the last place).
        EXPECT_EQ(read->samples, written.samples);
        EXPECT_EQ(read->workers, written.workers);
        EXPECT_EQ(read->iterations_for_one_day, written.iterations_for_one_day);
        EXPECT_EQ(read->mode, written.mode);
        EXPECT_DOUBLE_EQ(read->setup_seconds, written.setup_seconds);
        EXPECT_DOUBLE_EQ(read->hash_seconds, written.hash_seconds);
        EXPECT_DOUBLE_EQ(read->hashes_per_second, written.hashes_per_second);
        ASSERT_EQ(read->worker_seconds.size(), written.worker_seconds.size());
        for (std::size_t i = 0; i < written.worker_seconds.size(); ++i) {
            EXPECT_DOUBLE_EQ(read->worker_seconds[i], written.worker_seconds[i]);
        }
        EXPECT_DOUBLE_EQ(read->fastest_worker_hashes_per_second, written.fastest_worker_hashes_per_second);
        EXPECT_DOUBLE_EQ(read->slowest_worker_hashes_per_second, written.slowest_worker_hashes_per_second);
    }
}

TEST(CalibrationReportReader, NullNumbersReadAsNotANumber) {
    const CalibrationReport zero = make_calibration_report(10, WorkMode::Full, 0.0, 0.0, {0.0});
    auto read = read_calibration_report(write_calibration_report(zero));
    ASSERT_TRUE(read.ok()) << read.error().message();
    EXPECT_TRUE(std::isnan(read->fastest_worker_hashes_per_second));
    EXPECT_EQ(read->iterations_for_one_day, 18446744073709551615ULL);
}

TEST(CalibrationReportReader, RefusesOtherRandomxModesAndShapes) {
    const std::string good = write_calibration_report(make_calibration_report(1, WorkMode::Light, 1.0, 1.0, {1.0}));
    auto with = [&](const std::string& from, const std::string& to) {
        std::string text = good;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    const struct {
        std::string text;
        std::string error;
    } cases[] = {
        {with("\"2.0.1\"", "\"1.2.1\""), std::string(kCalibrationReportForeign)},
        {with("\"v2\"", "\"v1\""), std::string(kCalibrationReportForeign)},
        {with("\"Light\"", "\"light\""), std::string(kCalibrationReportMode)},
        {with("\"samples\": 1", "\"samples\": -1"), "invalid value: integer `-1`, expected u64 at line 4 column 15"},
        {with("  \"mode\"", "  \"extra\": 1,\n  \"mode\""), "unknown field `extra`, expected one of `randomx`, "
                                                          "`algorithm`, `samples`, `setup_seconds`, `hash_seconds`, "
                                                          "`hashes_per_second`, `workers`, `worker_seconds`, "
                                                          "`fastest_worker_hashes_per_second`, "
                                                          "`slowest_worker_hashes_per_second`, "
                                                          "`iterations_for_one_day`, `mode` at line 15 column 9"},
        {with("\"setup_seconds\": 1.0", "\"setup_seconds\": \"1\""),
         "invalid type: string \"1\", expected f64 at line 5 column 22"},
    };
    for (const auto& c : cases) {
        auto read = read_calibration_report(c.text);
        ASSERT_FALSE(read.ok()) << c.text;
        EXPECT_EQ(read.error().message(), c.error) << c.text;
    }
}

}  // namespace
}  // namespace zt
