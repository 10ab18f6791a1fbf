// What status tells about work that is finished or split: a solve whose key
// output holds the puzzle's key is finished (whatever its log shows), one
// whose key output holds another key is not; a split generation shows each
// segment's state and the time left, counted from 1.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/record_maker.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/subprocess.h"
#include "timelock/base/crypto.h"
#include "timelock/formats/manifest.h"
#include "timelock/split/assembly.h"
#include "timelock/split/state_dir.h"

namespace zt {
namespace {

using test::ScratchDir;

TEST(StatusWatch, AKeyOutputMatchingTheCommitmentMeansFinished) {
    ScratchDir dir;
    const test::TestPuzzle puzzle = test::make_test_puzzle(4);
    dir.write("m.json", write_signed_manifest(puzzle.manifest));
    dir.write("solved.key", encode_hex(puzzle.epoch_key.span()));
    dir.write("wrong.key", encode_hex(test::random_key().span()));
    const struct {
        std::string key;
        std::string state;
        std::string finished_row;  // "" when there is none
    } cases[] = {
        {"solved.key", "\"state\":\"finished\"", "finished:    yes: the key output holds the puzzle's epoch key\n"},
        {"wrong.key", "\"state\":\"not_started\"", "finished:    NO: the key output holds another key, not this puzzle's\n"},
        {"absent.key", "\"state\":\"not_started\"", ""},
    };
    for (const auto& c : cases) {
        const std::vector<std::string> args = {"status", "--manifest", dir / "m.json", "--key-out", dir / c.key};
        auto json_args = args;
        json_args.push_back("--json");
        const auto json = test::run_program(ZT_BINARY, json_args);
        EXPECT_EQ(json.status, 0) << json.err;
        EXPECT_NE(json.out.find(c.state), std::string::npos) << c.key << ": " << json.out;
        const auto text = test::run_program(ZT_BINARY, args);
        EXPECT_EQ(text.status, 0) << text.err;
        if (c.finished_row.empty()) {
            EXPECT_EQ(text.out.find("finished:"), std::string::npos) << text.out;
        } else {
            EXPECT_NE(text.out.find(c.finished_row), std::string::npos) << text.out;
        }
    }
}

TEST(StatusWatch, ASplitGenerationShowsEverySegmentFromOne) {
    ScratchDir dir;
    ASSERT_EQ(test::run_program(ZT_BINARY, {"plan", "--epoch", "2", "--iterations", "1000", "--state", dir / "st"})
                  .status,
              0);
    std::filesystem::create_directory(dir.path() / "res");
    // Segment index 3 (the fourth) is done: a result with a valid MAC.
    const auto plan = read_plan_file(dir / "st");
    ASSERT_TRUE(plan.ok());
    const SegmentTask task = tasks_of(plan.value())[3];
    std::vector<Key32> states(result_intervals(task.iterations));
    ASSERT_TRUE(publish_result(in_dir(dir / "res", result_file_name(3)), seal_result(task, states)).ok());

    const auto shown = test::run_program(ZT_BINARY, {"status", "--state", dir / "st", "--results", dir / "res",
                                                     "--rate", "10"});
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_NE(shown.out.find("segments done: 1 of 96\n"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("segment 4: done\n"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("segment 1: not started\n"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("segment 96: not started\n"), std::string::npos) << shown.out;
    // 1000 steps at 10 H/s with every segment at once; 95000 one after another.
    EXPECT_NE(shown.out.find("time left:     1m 40s with every segment at once, 2h 38m on one thread"),
              std::string::npos)
        << shown.out;

    const auto json = test::run_program(ZT_BINARY, {"status", "--state", dir / "st", "--results", dir / "res",
                                                    "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_NE(json.out.find("\"segments_done\":1,\"segments_total\":96,\"steps_left\":95000"), std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("{\"segment\":4,\"done\":true,\"steps\":1000}"), std::string::npos) << json.out;

    // Without --results the state directory is where the results are looked for.
    const auto own = test::run_program(ZT_BINARY, {"status", "--state", dir / "st"});
    EXPECT_NE(own.out.find("segments done: 0 of 96\n"), std::string::npos) << own.out;
    // --results alone has nothing to read the plan from: a usage error.
    EXPECT_EQ(test::run_program(ZT_BINARY, {"status", "--results", dir / "res"}).status, 2);
}

}  // namespace
}  // namespace zt
