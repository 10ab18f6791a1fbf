// The solve status line: its text, and when it is drawn and cleared.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <string>
#include <thread>

#include "cli/terminal/solve_progress.h"

namespace zt::cli {
namespace {

struct FormatCase {
    const char* name;
    SolveStatus status;
    const char* expected;
};

class FormatStatus : public testing::TestWithParam<FormatCase> {};

TEST_P(FormatStatus, Text) { EXPECT_EQ(format_solve_status(GetParam().status), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Cases, FormatStatus,
    testing::Values(
        FormatCase{"NothingMeasuredYet", {0, 7, 0, 1000, 0, 0.0},
                   "solve: segment 1 of 7, step 0 of 1000 (0.0%), -- H/s, -- left"},
        FormatCase{"UnderHalfASecond", {2, 7, 5, 10, 3, 0.4},
                   "solve: segment 3 of 7, step 5 of 10 (35.7%), -- H/s, -- left"},
        // 3812 of 7000 steps done; 3188 left at 10 H/s.
        FormatCase{"MidPuzzle", {3, 7, 812, 1000, 100, 10.0},
                   "solve: segment 4 of 7, step 812 of 1000 (54.5%), 10.0 H/s, 5m 19s left"},
        FormatCase{"SlowRateTwoDecimals", {0, 7, 1, 10, 1, 0.5},
                   "solve: segment 1 of 7, step 1 of 10 (1.4%), 2.00 H/s, 35s left"},
        FormatCase{"FastRateNoDecimals", {95, 96, 0, 100000, 250000, 100.0},
                   "solve: segment 96 of 96, step 0 of 100000 (99.0%), 2500 H/s, 40s left"},
        // The largest puzzle at a slow rate: an estimate of millions of
        // years is shown as unknown.
        FormatCase{"LargestPuzzle", {0, 96, 0, 1000000000000ULL, 8640, 86400.0},
                   "solve: segment 1 of 96, step 0 of 1000000000000 (0.0%), 0.10 H/s, -- left"},
        FormatCase{"LastStepDone", {6, 7, 10, 10, 4, 1.0},
                   "solve: segment 7 of 7, step 10 of 10 (100.0%), 4.00 H/s, 0s left"}),
    [](const testing::TestParamInfo<FormatCase>& param_info) { return param_info.param.name; });

// What has been written to the pipe so far.
std::string drain(int fd) {
    std::string out;
    std::array<char, 4096> buf{};
    for (ssize_t n; (n = ::read(fd, buf.data(), buf.size())) > 0;) out.append(buf.data(), static_cast<std::size_t>(n));
    return out;
}

class Drawing : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::pipe2(fds_.data(), O_NONBLOCK | O_CLOEXEC), 0); }
    void TearDown() override {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    int read_end() const { return fds_[0]; }
    int write_end() const { return fds_[1]; }

private:
    std::array<int, 2> fds_{};
};

TEST_F(Drawing, DrawsAtStartThenAtMostOnceASecondAndClears) {
    {
        SolveProgress progress(write_end(), true, 7, 10);
        progress.walk_started(2, 3);
        EXPECT_EQ(drain(read_end()), "\rsolve: segment 3 of 7, step 3 of 10 (32.9%), -- H/s, -- left\x1b[K");
        for (std::uint64_t j = 4; j <= 10; ++j) progress.stepped(2, j);
        EXPECT_EQ(drain(read_end()), "") << "redrawn within the second";
        std::this_thread::sleep_for(std::chrono::milliseconds(1050));
        progress.moved_to(3, 0);
        // The clock is looked at once every kClockStride steps.
        std::string redrawn;
        std::uint64_t drawn_at = 0;
        for (std::uint64_t j = 1; j <= SolveProgress::kClockStride && redrawn.empty(); ++j) {
            progress.stepped(3, j);
            redrawn = drain(read_end());
            drawn_at = j;
        }
        EXPECT_EQ(redrawn.rfind("\rsolve: segment 4 of 7, step " + std::to_string(drawn_at) + " of 10 (", 0), 0u)
            << redrawn;
        EXPECT_NE(redrawn.find(" H/s, "), std::string::npos);
        EXPECT_EQ(redrawn.find("--"), std::string::npos) << "a second of steps gives a rate";
        progress.clear();
        EXPECT_EQ(drain(read_end()), "\r\x1b[K");
        progress.clear();
        EXPECT_EQ(drain(read_end()), "") << "nothing left to clear";
        progress.setting_up(WorkMode::Light);
        EXPECT_EQ(drain(read_end()), "\rsolve: setting up RandomX (light mode)\x1b[K");
    }
    EXPECT_EQ(drain(read_end()), "\r\x1b[K") << "a drawn line is cleared when the display goes";
}

TEST_F(Drawing, ADisabledLineWritesNothing) {
    {
        SolveProgress progress(write_end(), false, 7, 10);
        progress.note("setting up");
        progress.walk_started(0, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1050));
        for (std::uint64_t j = 1; j <= 10; ++j) progress.stepped(0, j);
        progress.clear();
    }
    EXPECT_EQ(drain(read_end()), "");
}

}  // namespace
}  // namespace zt::cli
