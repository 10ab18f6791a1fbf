// What calibrate tells a person at a terminal: its progress line, and the
// summary that turns a report into --iterations, generate and solve times
// and names what it measured on; generate's and plan's at two speeds.
#include <gtest/gtest.h>

#include <string>

#include "cli/terminal/calibrate_progress.h"
#include "cli/iteration_choice.h"

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

TEST(CalibrationSummary, NamesWhatItMeasuredOnAndTheMarginThatLeaves) {
    const CalibrationConditions vm{{"Xeon (family 6, model 207)", {HypervisorPresence::reported, "KVM", "CPUID"}},
                                   HugePageShare{2048, 2048}};
    EXPECT_EQ(format_measured_on(vm, true, WorkMode::Full),
              "  measured on: Xeon (family 6, model 207); compiled code; transparent huge pages for all of the cache "
              "and dataset\n"
              "  hypervisor: KVM (told by CPUID): in a virtual machine full mode is about a quarter slower per hash "
              "than on bare hardware (nested address translation)\n"
              "  attacker's margin: a solver may hash about 1.4 times as fast as this (bare hardware x1.25, the "
              "fastest public implementation x1.1): generate or plan --solver-speedup 1.4 or more\n");
    const CalibrationConditions bare{{"unknown", {HypervisorPresence::none_reported, "", "CPUID"}},
                                     HugePageShare{1000, 9}};
    EXPECT_NE(format_measured_on(bare, false, WorkMode::Full)
                  .find("; the interpreter (no compiled code); transparent huge pages for under 1% of the cache and "
                        "dataset\n  hypervisor: none reported (CPUID)\n"), std::string::npos);
    EXPECT_EQ(format_measured_on(bare, true, WorkMode::Light).find("margin"), std::string::npos);
}

TEST(OpeningSummary, TellsTheTimeAtTheCalibratedSpeedAndForTheFasterSolver) {
    const IterationChoice choice{
        .iterations = 2'073'600, .rate = 32.0, .rate_source = "Light-mode calibration", .speedup = 1500};
    EXPECT_EQ(format_opening_summary("plan", choice, 96),
              "plan: 96 segments of 2073600 iterations, about 18h each at 32.0 H/s (Light-mode calibration); opening "
              "the puzzle takes about 72d on that machine\n"
              "plan: for a solver 1.5 times as fast (48.0 H/s), about 12h each and 48d for the puzzle\n");
}

}  // namespace
}  // namespace zt::cli
