// Segment lengths and the calibration reports they are computed from: the
// duration grammar of --segment-time, the consistency check that keeps a
// hand-edited report from making a puzzle that opens in seconds, the
// iteration count for a segment time. (verify's verdict as an exit status is
// a black-box case: tests/conformance/cases/verify-*.)
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "cli/grammar.h"
#include "timelock/formats/calibration_check.h"

namespace zt {
namespace {

TEST(SegmentTime, GrammarOfDurations) {
    const struct {
        std::string text;
        std::optional<std::uint64_t> seconds;
    } cases[] = {
        {"12h", 43'200},
        {"7d", 604'800},
        {"90m", 5'400},
        {"1d12h", 129'600},
        {"1h30m15s", 5'415},
        {"45s", 45},
        {"0d1s", 1},
        {"213503982334601d", 18'446'744'073'709'526'400u},  // the last whole day below 2^64 seconds
        {"213503982334602d", std::nullopt},                 // past 2^64 seconds
        {"18446744073709551616s", std::nullopt},            // the digits alone overflow
        {"0h", std::nullopt},                               // zero
        {"0d0s", std::nullopt},
        {"", std::nullopt},
        {"12", std::nullopt},     // no unit
        {"h", std::nullopt},      // no digits
        {"12x", std::nullopt},    // unknown unit
        {"12H", std::nullopt},    // units are lower case
        {"1h1d", std::nullopt},   // out of order
        {"1h2h", std::nullopt},   // repeated
        {"1.5h", std::nullopt},
        {"-1h", std::nullopt},
        {" 1h", std::nullopt},
        {"1h ", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(cli::grammar::parse_duration(c.text), c.seconds) << "'" << c.text << "'";
}

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
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        std::string name;
        void (*edit)(CalibrationReport&, double, double);
        std::string figure;  // named in the message
    } cases[] = {
        {"one day of 3 beside 32 H/s", [](CalibrationReport& r, double, double) { r.iterations_for_one_day = 3; },
         "iterations_for_one_day is 3 but"},
        {"fastest rate not the samples' over the shortest time",
         [](CalibrationReport& r, double, double) { r.fastest_worker_hashes_per_second = 3200.0; },
         "fastest_worker_hashes_per_second"},
        {"slowest rate off", [](CalibrationReport& r, double, double) { r.slowest_worker_hashes_per_second = 26.0; },
         "slowest_worker_hashes_per_second"},
        {"overall rate off", [](CalibrationReport& r, double, double) { r.hashes_per_second = 100.0; },
         "hashes_per_second"},
        {"hashing shorter than its slowest worker", [](CalibrationReport& r, double, double) {
             r.hash_seconds = 20.0;
             r.hashes_per_second = 100.0;
         }, "hash_seconds"},
        {"not a number", [](CalibrationReport& r, double n, double) { r.fastest_worker_hashes_per_second = n; },
         "fastest_worker_hashes_per_second is null"},
        {"infinite", [](CalibrationReport& r, double, double i) { r.hash_seconds = i; }, "hash_seconds is null"},
        {"zero worker time", [](CalibrationReport& r, double, double) { r.worker_seconds[1] = 0.0; },
         "worker_seconds entry 2"},
        {"workers and times disagree", [](CalibrationReport& r, double, double) { r.workers = 3; },
         "worker_seconds has 2 entries"},
        {"no samples", [](CalibrationReport& r, double, double) { r.samples = 0; }, "samples is 0"},
        {"97 workers", [](CalibrationReport& r, double, double) { r.workers = 97; }, "workers is 97"},
    };
    for (const auto& c : cases) {
        CalibrationReport report = good_report();
        c.edit(report, nan, inf);
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

}  // namespace
}  // namespace zt
