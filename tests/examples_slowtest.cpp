// The example puzzle in examples/ is real: solving it in light mode
// recovers exactly the epoch key kept next to it, as its README says.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/scratch_dir.h"
#include "tests/support/subprocess.h"

namespace zt {
namespace {

namespace fs = std::filesystem;

TEST(Example, SolvingTheManifestRecoversItsEpochKey) {
    const fs::path examples = fs::path(ZT_TEST_DATA_DIR) / ".." / ".." / "examples";
    test::ScratchDir dir;
    const auto result = test::run_program(
        ZT_BINARY, {"solve", "--manifest", (examples / "manifest.json").string(), "--service-public-key",
                    "26e2cad1287aea4e9352a8cde49bf3aca0479d3e4deaad93d4c08aa7a26ff97f", "--checkpoint",
                    dir / "progress.log", "--key-out", dir / "solved.key", "--mode", "light"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "Verified epoch 7 key commitment\n");
    EXPECT_EQ(test::read_file(dir / "solved.key"), test::read_file((examples / "epoch.key").string()));
}

}  // namespace
}  // namespace zt
