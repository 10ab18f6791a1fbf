// The progress line: its text, and that it draws only on request of a
// terminal, at most once a second, and clears itself.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>
#include <thread>

#include "cli/terminal/progress.h"

namespace zt::cli {
namespace {

TEST(ProgressText, DurationsShowTheTwoOrThreeLeadingUnits) {
    const struct {
        double seconds;
        const char* text;
    } cases[] = {
        {0.0, "0s"},           {4.2, "5s"},          {59.0, "59s"},        {61.0, "1m 01s"},
        {3600.0, "1h 00m 00s"}, {7384.0, "2h 03m 04s"}, {273900.0, "3d 04h 05m"}, {-1.0, "--"},
        {1.0 / 0.0, "--"},
    };
    for (const auto& c : cases) EXPECT_EQ(format_duration(c.seconds), c.text) << c.seconds;
}

// Estimates: two units at most, cut down to the smaller (never reading
// above their figure: a segment of 1.003 s is "1s", not "2s"), a zero one
// dropped, never "0m".
TEST(ProgressText, EstimatesCutDownToTwoUnits) {
    const struct {
        double seconds;
        const char* text;
    } cases[] = {
        {0.0, "0s"},          {0.1, "under 1s"},    {1.003, "1s"},        {10.0003, "10s"},     {59.4, "59s"},
        {59.9, "59s"},        {61.0, "1m 01s"},     {3599.6, "59m 59s"},  {3600.0, "1h"},       {3659.0, "1h"},
        {3660.0, "1h 01m"},   {9500.0, "2h 38m"},   {86399.0, "23h 59m"}, {86400.0 + 3600.0, "1d 01h"},
        {273900.0, "3d 04h"}, {96 * 86400.0, "96d"}, {-1.0, "--"},        {1.0 / 0.0, "--"},
    };
    for (const auto& c : cases) EXPECT_EQ(format_estimate(c.seconds), c.text) << c.seconds;
    EXPECT_EQ(format_about(2.5), "about 2s");
    EXPECT_EQ(format_about(0.4), "under 1s");
}

TEST(ProgressText, ShowsSegmentsRateAndTimeLeft) {
    ProgressSnapshot s;
    s.segments_done = 12;
    s.segments_total = 96;
    s.steps_total = 96 * 100;
    s.steps_done = 1200;
    s.elapsed_seconds = 100.0;
    EXPECT_EQ(format_progress("generate", s), "generate: 12/96 segments, 12.0 H/s, 11m 40s left");

    // A resumed run measures only its own steps.
    s.steps_at_start = 1000;
    EXPECT_EQ(format_progress("solve", s), "solve: 12/96 segments, 2.00 H/s, 1h 10m 00s left");

    s.steps_done = s.steps_at_start;
    EXPECT_EQ(format_progress("solve", s), "solve: 12/96 segments, -- H/s, -- left");
    s.steps_done = 2000;
    s.elapsed_seconds = 0.1;
    EXPECT_EQ(format_progress("solve", s), "solve: 12/96 segments, -- H/s, -- left");
}

std::string drain(int fd) {
    std::string out;
    char buf[256];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return out;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

TEST(ProgressLine, DrawsAtMostOnceASecondAndClearsItself) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    {
        ProgressLine line(fds[1], /*enabled=*/true, "generate", 96, 10);
        line.pool_started();
        line.pool_progress(3, 30);
        EXPECT_EQ(drain(fds[0]), "") << "nothing before the first second";
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        line.pool_progress(3, 30);
        line.pool_progress(3, 31);
        const std::string drawn = drain(fds[0]);
        EXPECT_EQ(drawn.rfind("\rgenerate: 3/96 segments, ", 0), 0u) << drawn;
        EXPECT_EQ(drawn.find("\r", 1), std::string::npos) << "drawn once: " << drawn;
        EXPECT_EQ(drawn.substr(drawn.size() - 3), "\x1b[K");
    }
    EXPECT_EQ(drain(fds[0]), "\r\x1b[K");
    close(fds[0]);
    close(fds[1]);
}

TEST(ProgressLine, StartCountsEarlierWorkAsDoneButNotInTheRate) {
    ProgressLine line(-1, /*enabled=*/false, "solve", 7, 100);
    line.update(0, 999);
    line.start(3, 300);
    const ProgressSnapshot s = line.snapshot();
    EXPECT_EQ(s.segments_done, 3u);
    EXPECT_EQ(s.steps_done, 300u);
    EXPECT_EQ(s.steps_at_start, 300u);
    EXPECT_EQ(s.steps_total, 700u);
    EXPECT_LT(s.elapsed_seconds, 1.0);

    // A pool that resumes earlier work counts only its own steps.
    ResumedProgress resumed(line, 250);
    resumed.pool_started();
    resumed.pool_progress(2, 40);
    const ProgressSnapshot r = line.snapshot();
    EXPECT_EQ(r.segments_done, 2u);
    EXPECT_EQ(r.steps_done, 290u);
    EXPECT_EQ(r.steps_at_start, 250u);
}

TEST(ProgressLine, StaysSilentWhenNotATerminal) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    {
        ProgressLine line(fds[1], /*enabled=*/false, "generate", 96, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        line.update(1, 10);
    }
    EXPECT_EQ(drain(fds[0]), "");
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
}  // namespace zt::cli

namespace zt::cli {
namespace {

// ---- Terminal width and dumb terminals ------------------------------------------

TEST(StatusLineFit, ShortensWordsThenCutsOneColumnShortOfTheWidth) {
    const struct {
        std::string text;
        std::size_t columns;
        std::string fitted;
    } cases[] = {
        {"solve: segment 4 of 96", 0, "solve: segment 4 of 96"},   // width unknown
        {"solve: segment 4 of 96", 80, "solve: segment 4 of 96"},
        {"solve: segment 4 of 96", 23, "solve: segment 4 of 96"},  // 22 characters fit in 23
        {"solve: segment 4 of 96", 22, "solve: segment 4/96"},
        {"solve: segment 4 of 96", 10, "seg 4/96"},
        {"solve: segment 4 of 96", 6, "seg 4"},
        {"solve", 1, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(StatusLine::fit(c.text, c.columns), c.fitted) << c.columns;
}

// At 40 columns every progress line keeps its position, share, rate and
// time left; only words go.
TEST(StatusLineFit, FortyColumnsKeepTheFigures) {
    const struct {
        std::string text;
        std::vector<std::string> figures;
    } cases[] = {
        {"solve: segment 4 of 7, step 812 of 1000 (44.0%), 6.54 H/s, 3d 04h 05m left",
         {"4/7", "812/1000", "44.0%", "6.54", "3d", "04h", "05m"}},
        {"generate: 12/96 segments, 1234 H/s, 1h 02m 03s left", {"12/96", "1234", "1h", "02m", "03s"}},
        {"calibrate: 120/1000 steps per worker (12.0%), 45.6 H/s, 19s left", {"120/1000", " 12.0% ", "45.6", "19s"}},
        {"work (segment 5): step 812 of 1000 (81.2%), 6.54 H/s, 30s left", {"812/1000", " 81.2% ", "6.54", "30s"}},
        {"generate: setting up RandomX (full mode), 12s so far of about 35s", {"12s", "35s"}},
        {"assemble: verifying a sample of 1% of the 96 results, 2h 03m 04s so far", {"1%", "96", "2h", "03m", "04s"}},
        {"verify-result: recomputing all 1000 intervals of segment 96, 2h 03m 04s so far",
         {"1000", "96", "2h", "03m", "04s"}},
    };
    for (const auto& c : cases) {
        const std::string fitted = StatusLine::fit(c.text, 40);
        EXPECT_LT(fitted.size(), 40u) << fitted;
        for (const std::string& figure : c.figures) EXPECT_NE(fitted.find(figure), std::string::npos) << fitted;
    }
}

TEST(StatusLinePlain, WritesWholeLinesWithoutEscapesAtMostOnceAMinute) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    {
        StatusLine line(fds[1], LineStyle::Plain);
        EXPECT_TRUE(line.enabled());
        EXPECT_FALSE(line.due()) << "the first line is due a minute after the start";
        line.draw("solve: setting up RandomX (light mode)");
        line.draw("solve: segment 1 of 7");
        line.print("solve: asked for");
        EXPECT_FALSE(line.due());
        line.clear();
    }
    // A pipe has no width: nothing is cut. Nothing is left to clear.
    EXPECT_EQ(drain(fds[0]), "solve: setting up RandomX (light mode)\nsolve: segment 1 of 7\nsolve: asked for\n");
    close(fds[0]);
    close(fds[1]);
}

TEST(StatusLineLive, PrintClearsTheDrawnLineFirstAndOffStillPrints) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    {
        StatusLine live(fds[1], LineStyle::Live);
        live.draw("a");
        live.print("b");
        StatusLine off(fds[1], LineStyle::Off);
        off.draw("hidden");
        off.print("c");
    }
    EXPECT_EQ(drain(fds[0]), "\ra\x1b[K\r\x1b[Kb\nc\n");
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
}  // namespace zt::cli
