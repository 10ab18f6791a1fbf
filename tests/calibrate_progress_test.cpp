// What calibrate tells a person at a terminal: its progress line, and the
// summary that turns a report into --iterations, generate and solve times.
#include <gtest/gtest.h>

#include <string>

#include "cli/terminal/calibrate_progress.h"

namespace zt::cli {
namespace {

TEST(CalibrationProgressText, CountsStepsPerWorker) {
    EXPECT_EQ(format_calibration_progress(1000, 2, 0, 0.0), "calibrate: 0/1000 steps per worker (0.0%), -- H/s, -- left");
    EXPECT_EQ(format_calibration_progress(1000, 2, 400, 0.2),
              "calibrate: 200/1000 steps per worker (20.0%), -- H/s, -- left");
    EXPECT_EQ(format_calibration_progress(1000, 2, 400, 10.0),
              "calibrate: 200/1000 steps per worker (20.0%), 20.0 H/s, 40s left");
    EXPECT_EQ(format_calibration_progress(1, 1, 0, 0.0), "calibrate: 0/1 step per worker (0.0%), -- H/s, -- left");
}

TEST(CalibrationSummary, TurnsTheReportIntoIterationsAndDurations) {
    // 100 steps in 1 s on the fastest worker: 100 H/s, 8640000 iterations a day.
    const CalibrationReport full = make_calibration_report(100, WorkMode::Full, 30.0, 1.5, {1.0, 1.25});
    const struct {
        std::size_t threads;
        const char* generate;
    } cases[] = {
        {1, "96 segments over 1 thread, about 96d"},
        {2, "96 segments over 2 threads, about 48d"},
        {5, "96 segments over 5 threads, about 20d"},  // 20 rounds: segments are not split
        {96, "96 segments over 96 threads, about 1d"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(format_calibration_summary(full, c.threads),
                  "calibrate: 100.0 H/s on one thread (Full mode)\n"
                  "  one-day segments: --iterations 8640000\n"
                  "  generate here: " + std::string(c.generate) + "\n"
                  "  solve at this speed: 96 segments one after another, about 96d\n")
            << c.threads;
    }
    const std::string light =
        format_calibration_summary(make_calibration_report(100, WorkMode::Light, 1.0, 1.0, {1.0}), 2);
    EXPECT_NE(light.find("(Light mode)"), std::string::npos);
    EXPECT_NE(light.find("warning: a light-mode figure"), std::string::npos) << light;
    EXPECT_EQ(format_calibration_summary(full, 2).find("warning"), std::string::npos);
    // A chosen segment length: twelve hours at 100 H/s, half of everything.
    EXPECT_EQ(format_calibration_summary(full, 2, 12 * 3600),
              "calibrate: 100.0 H/s on one thread (Full mode)\n"
              "  12h segments: --iterations 4320000\n"
              "  generate here: 96 segments over 2 threads, about 24d\n"
              "  solve at this speed: 96 segments one after another, about 48d\n");
    // A segment of an hour and a second at this rate reads as an hour.
    EXPECT_NE(format_calibration_summary(full, 96, 3601).find("  1h segments: --iterations 360100\n"), std::string::npos);

    const std::string degenerate =
        format_calibration_summary(make_calibration_report(100, WorkMode::Full, 1.0, 0.0, {0.0}), 2);
    EXPECT_NE(degenerate.find("no iteration count could be derived"), std::string::npos) << degenerate;
}

}  // namespace
}  // namespace zt::cli
