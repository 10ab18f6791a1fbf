// Every long-running command against every signal it may get, through the
// program: SIGUSR1 is answered with one status line on standard error and
// the work goes on; then SIGINT, SIGTERM or SIGHUP ends it as that command
// promises (solve, generate and work save what they keep and exit with
// 128 + the signal; calibrate, assemble and verify-result keep nothing and
// end by the signal), and nothing is ever published by a stopped run.
//
// Each command gets far more work than it can do in the test (light mode),
// so the signals always land while it runs. Each also starts with a status
// request already on its way (blocked and pending across the exec, so it
// arrives the moment the program lets it in): the program must neither die
// of it before it answers, nor keep the signal blocked. And a request in a
// command's last moments, after it stopped answering, must not kill it
// either (the last test). A stop in the full-mode set-up ends any at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "cli/driver.h"
#include "tests/support/opened.h"
#include "tests/support/child_process.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/signed_manifest.h"
#include "tests/support/subprocess.h"
#include "timelock/base/crypto.h"
#include "timelock/formats/manifest.h"
#include "timelock/split/assembly.h"
#include "timelock/split/state_dir.h"

namespace zt {
namespace {

using test::ScratchDir;
using namespace std::chrono_literals;

constexpr const char* kManyIterations = "1000000";

struct Command {
    std::string name;
    // Makes the inputs in `dir` and returns the arguments.
    std::function<std::vector<std::string>(ScratchDir&)> prepare;
    // The status line's start: the command's own words, up to ": ", and
    // what tells the phase the row is about (the status is asked for until
    // a line holds it).
    std::string status_prefix;
    // Whether SIGINT, SIGTERM and SIGHUP are caught (exit 128 + signal,
    // with a message) rather than fatal.
    bool stops_cleanly;
    // Files a stopped run must not have published.
    std::vector<std::string> never_published;
};

// generate, with the state directory `state` when one is named.
std::vector<std::string> generate_args(ScratchDir& dir, const std::string& state = "") {
    dir.write("service.key", test::kServiceSeedHex);
    std::vector<std::string> args = {"generate", "--epoch", "3", "--iterations", kManyIterations, "--signing-key",
                                     dir / "service.key", "--manifest-out", dir / "m.json", "--epoch-key-out",
                                     dir / "e.key", "--mode", "light"};
    if (!state.empty()) args.insert(args.end(), {"--state", dir / state});
    return args;
}

// A plan of long segments in st/.
void plan_long_segments(ScratchDir& dir) {
    const auto planned = test::run_program(ZT_BINARY, {"plan", "--epoch", "3", "--iterations", kManyIterations,
                                                       "--state", dir / "st"});
    EXPECT_EQ(planned.status, 0) << planned.err;
}

std::vector<std::string> work_args(ScratchDir& dir) {
    plan_long_segments(dir);
    return {"work", "--task", dir / "st/task-04.json", "--result", dir / "result-04.json", "--mode", "light"};
}

// A plan of long segments and 96 results claiming to be its work (random
// states under valid MACs): assemble and verify-result set up and then spend
// their time recomputing intervals of a thousand steps each.
void plan_with_forged_results(ScratchDir& dir) {
    plan_long_segments(dir);
    std::filesystem::create_directory(dir.path() / "res");
    const auto plan = read_plan_file(test::dir_at(dir / "st"));
    EXPECT_TRUE(plan.ok());
    for (const SegmentTask& task : tasks_of(plan.value())) {
        std::vector<Key32> states(result_intervals(task.iterations));
        for (Key32& state : states) EXPECT_TRUE(random_bytes(state.span()).ok());
        EXPECT_TRUE(publish_result(test::target_at(in_dir(dir / "res", result_file_name(task.segment))), seal_result(task, states)).ok());
    }
}

std::vector<std::string> assemble_args(ScratchDir& dir) {
    plan_with_forged_results(dir);
    dir.write("service.key", test::kServiceSeedHex);
    return {"assemble", "--state", dir / "st", "--results", dir / "res", "--signing-key", dir / "service.key",
            "--manifest-out", dir / "m.json", "--epoch-key-out", dir / "e.key", "--mode", "light"};
}

// generate --state on such a plan with the forged results in the state
// directory: nothing is left to work, and it spends its time verifying.
std::vector<std::string> generate_verifying_args(ScratchDir& dir) {
    plan_with_forged_results(dir);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path() / "res")) {
        std::filesystem::rename(entry.path(), dir.path() / "st" / entry.path().filename());
    }
    return generate_args(dir, "st");
}

std::vector<std::string> verify_result_args(ScratchDir& dir) {
    plan_with_forged_results(dir);
    return {"verify-result", "--task", dir / "st/verify-04.json", "--result", dir / "res/result-04.json",
            "--mode", "light"};
}

// A signed manifest of long segments: the solve walks its first one (the
// wrapped keys are random, so it could never get further).
std::vector<std::string> solve_args(ScratchDir& dir) {
    dir.write("manifest.json", write_signed_manifest(test::make_signed_manifest({.iterations = 1'000'000})));
    return {"solve", "--manifest", dir / "manifest.json", "--service-public-key", test::kServicePublicKeyHex,
            "--checkpoint", dir / "progress.log", "--key-out", dir / "key.hex", "--mode", "light"};
}

std::vector<Command> long_commands() {
    return {
        {"generate", [](ScratchDir& d) { return generate_args(d); }, "generate: ", true, {"m.json", "e.key"}},
        {"generate --state", [](ScratchDir& d) { return generate_args(d, "state"); }, "generate: ", true,
         {"m.json", "e.key"}},
        {"generate --state, verifying", generate_verifying_args, "generate: verifying", false, {"m.json", "e.key"}},
        {"work", work_args, "work (segment 5): ", true, {"result-04.json"}},
        {"calibrate", [](ScratchDir&) { return std::vector<std::string>{"calibrate", "--samples", kManyIterations,
                                                                        "--mode", "light"}; },
         "calibrate: ", false, {}},
        {"assemble", assemble_args, "assemble: ", false, {"m.json", "e.key"}},
        {"verify-result", verify_result_args, "verify-result: ", false, {"res/result-04.json.verified"}},
        {"solve", solve_args, "solve: ", true, {"key.hex"}},
    };
}

TEST(RealLightSignalMatrix, StatusRequestsAnsweredAndStopsKeepTheirPromises) {
    for (const Command& command : long_commands()) {
        for (const int stop : {SIGINT, SIGTERM, SIGHUP}) {
            SCOPED_TRACE(command.name + " stopped by signal " + std::to_string(stop));
            ScratchDir dir;
            const std::vector<std::string> args = command.prepare(dir);
            std::filesystem::create_directory(dir.path() / "out");
            test::ChildProcess child(ZT_BINARY, args, dir / "out", SIGUSR1);
            const std::string err = dir / "out/stderr";

            // SIGUSR1: a line in the command's words, and it goes on; asked
            // again until the command is in the phase the row is about.
            ASSERT_TRUE(child.wait_until_catching(SIGUSR1, 1min));
            bool answered = false;
            for (int asked = 0; asked < 30 && !answered; ++asked) {
                child.send(SIGUSR1);
                answered = test::wait_for_text(err, command.status_prefix, child, 2s);
            }
            ASSERT_TRUE(answered) << test::read_file(err);
            const std::string label = command.status_prefix.substr(0, command.status_prefix.find(": ") + 2);
            EXPECT_EQ(test::read_file(err).rfind(label, 0), 0u) << test::read_file(err);
            EXPECT_TRUE(child.running());

            // The stop: caught and reported, or fatal, as promised.
            if (command.stops_cleanly) ASSERT_TRUE(child.wait_until_catching(stop, 1min));
            child.send(stop);
            const test::ProcessResult ended = child.wait();
            EXPECT_EQ(ended.status, 128 + stop) << ended.err;
            EXPECT_EQ(ended.out, "");
            if (command.stops_cleanly) EXPECT_NE(ended.err.find("Stopped"), std::string::npos) << ended.err;
            for (const std::string& output : command.never_published) {
                EXPECT_FALSE(std::filesystem::exists(dir.path() / output)) << output;
            }
        }
    }
}

// A stop 3 s into the full-mode set-up (20 to 45 s of dataset here) ends it within
// a second, as a stop later would; a solve at the position it loaded and saved.
TEST(RealFullSetupStop, EveryLongCommandEndsWithinASecond) {
    const int signals[] = {SIGINT, SIGTERM, SIGHUP};
    int turn = 0;
    for (const Command& command : long_commands()) {
        const int stop = signals[turn++ % 3];
        SCOPED_TRACE(command.name + " stopped by signal " + std::to_string(stop));
        ScratchDir dir;
        std::vector<std::string> args = command.prepare(dir);
        *(std::find(args.begin(), args.end(), "light")) = "full";  // every row runs in light mode
        std::filesystem::create_directory(dir.path() / "out");
        const auto started = std::chrono::steady_clock::now();
        test::ChildProcess child(ZT_BINARY, args, dir / "out");
        static_cast<void>(child.wait_until_catching(stop, 3s));  // those that catch it
        std::this_thread::sleep_until(started + 3s);
        ASSERT_TRUE(child.running()) << test::read_file(dir / "out/stderr");
        const auto sent = std::chrono::steady_clock::now();
        child.send(stop);
        const test::ProcessResult ended = child.wait();
        EXPECT_LT(std::chrono::steady_clock::now() - sent, 1s);
        EXPECT_EQ(ended.status, 128 + stop) << ended.err;
        for (const std::string& output : command.never_published) {
            EXPECT_FALSE(std::filesystem::exists(dir.path() / output)) << output;
        }
        if (command.name == "solve") {
            EXPECT_NE(ended.err.find("Stopped at segment 1 of 7, step 0 of 1000000;"), std::string::npos) << ended.err;
            const std::string log = test::read_file(dir / "progress.log");
            EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;  // Open log's line feed, the start
        }
    }
}

// The last moments: the whole driver run in a child, then a status request.
// After a command that answers them it is still ignored (its handler gone,
// the process about to exit); after one that never answers, the signal acts
// as the process was started with (its default action here).
TEST(RealLightSignalMatrix, AStatusRequestAfterTheCommandIsDoneNeverEndsAnAnsweringOne) {
    ScratchDir dir;
    dir.write("service.key", test::kServiceSeedHex);
    const struct {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"calibrate", "--samples", "2", "--mode", "light"}, 0},
        {{"pubkey", "--signing-key", dir / "service.key"}, 128 + SIGUSR1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        const int status = test::run_in_child([&] {
            const int quiet = ::open("/dev/null", O_WRONLY);
            ::dup2(quiet, STDOUT_FILENO);
            ::dup2(quiet, STDERR_FILENO);
            const int code = cli::run_main(c.args);
            ::raise(SIGUSR1);
            return code;
        });
        EXPECT_EQ(status, c.status);
    }
}

}  // namespace
}  // namespace zt
