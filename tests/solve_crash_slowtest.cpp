// The long crash drill: more segments' worth of work, more kills, delays
// that reach further into the walk. Run with ctest -L slow.
#include <gtest/gtest.h>

#include "tests/support/solve_crash.h"

namespace zt {
namespace {

TEST(SolveCrashSlow, KilledAtRandomMomentsAndResumedManyTimes) {
    test::run_crash_drill({.iterations = 40, .interval = 4, .kills = 120, .window = 2.5});
}

TEST(SolveCrashSlow, IntervalOfOneKilledOftenNearTheStart) {
    test::run_crash_drill({.iterations = 6, .interval = 1, .kills = 60, .window = 1.5});
}

}  // namespace
}  // namespace zt
