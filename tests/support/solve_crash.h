// The crash-and-resume drill shared by the crash tests: run the built
// program's `solve --mode light` on a small real puzzle, kill it with SIGKILL
// at random moments, and after every kill require what a user relies on
// during a weeks-long solve:
//   - the log still loads, and every complete line in it is a checkpoint of
//     this puzzle whose state is exactly the chain's state at that point;
//   - the position the next run resumes from never goes backwards;
//   - no key file appears before the work is done;
// and finally that the resumed runs end with the puzzle's epoch key.
//
// Thread safety: runs on the test's thread; starts one child at a time.
#pragma once

#include <cstdint>

namespace zt::test {

struct CrashDrill {
    std::uint64_t iterations = 12;  // per segment, 7 segments
    std::uint64_t interval = 3;
    int kills = 24;
    // The first run is killed as soon as it has written its first checkpoint
    // after the starting one; that time T (engine setup plus one interval)
    // paces the rest, each killed at a random moment in 0 .. window × T, so
    // the kills fall into setup and walk alike on fast and slow builds.
    double window = 2.0;
};

// The seed of a drill's kill moments: the value of the environment variable
// ZT_CRASH_SEED when it is set (a decimal number; anything else fails the
// test), otherwise a fresh one from the operating system.
inline constexpr const char* kCrashSeedVariable = "ZT_CRASH_SEED";
std::uint64_t crash_drill_seed();

// Runs the drill with gtest assertions. The kill moments come from `seed`,
// which is printed and attached to every failure with the variable that
// replays it ("ZT_CRASH_SEED=... ctest -R ...").
void run_crash_drill(const CrashDrill& drill, std::uint64_t seed = crash_drill_seed());

}  // namespace zt::test
