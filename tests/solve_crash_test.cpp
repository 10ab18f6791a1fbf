// A solve killed with SIGKILL at random moments, a couple of dozen times,
// loses nothing it had saved, never writes a wrong state, and the resumed
// runs end with the puzzle's epoch key. About a minute; the longer drill is
// solve_crash_slowtest.
#include <gtest/gtest.h>

#include "tests/support/solve_crash.h"

namespace zt {
namespace {

TEST(RealLightSolveCrash, KilledAtRandomMomentsAndResumed) {
    test::run_crash_drill({.iterations = 12, .interval = 3, .kills = 24, .window = 2.0});
}

}  // namespace
}  // namespace zt
