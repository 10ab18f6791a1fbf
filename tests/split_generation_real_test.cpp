// The split generation through the built program, with the real light-mode
// RandomX: `work` killed with SIGKILL at random moments and run again ends
// with the very result file of an unkilled run, and `generate --state`
// stopped and killed mid-way, then run again, publishes a puzzle that
// `solve` opens to the published epoch key, drawn only once; `plan` killed
// while writing its files finishes the same plan when run again.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/opened.h"
#include "tests/support/child_process.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/signed_manifest.h"
#include "tests/support/solve_crash.h"
#include "tests/support/subprocess.h"
#include "timelock/base/crypto.h"
#include "timelock/formats/generation_plan.h"
#include "timelock/formats/manifest.h"
#include "timelock/formats/manifest_signing.h"
#include "timelock/formats/segment_task.h"
#include "timelock/split/state_dir.h"

namespace zt {
namespace {

using Clock = std::chrono::steady_clock;

bool exists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

std::vector<std::string> work_args(const test::ScratchDir& dir, const std::string& result) {
    return {"work", "--task", dir / "state/task-04.json", "--result", dir / result, "--mode", "light",
            "--checkpoint-interval", "1"};
}

TEST(RealLightWork, KilledAtRandomMomentsAndRunAgainGivesTheUnkilledResult) {
    const std::uint64_t seed = test::crash_drill_seed();
    SCOPED_TRACE("replay with " + std::string(test::kCrashSeedVariable) + "=" + std::to_string(seed));
    std::mt19937_64 random(seed);
    test::ScratchDir dir;
    std::filesystem::create_directories(dir.path() / "out");
    ASSERT_EQ(test::run_program(ZT_BINARY, {"plan", "--epoch", "5", "--iterations", "24", "--state", dir / "state"})
                  .status,
              0);

    const auto start = Clock::now();
    const test::ProcessResult unkilled = test::run_program(ZT_BINARY, work_args(dir, "whole.json"));
    ASSERT_EQ(unkilled.status, 0) << unkilled.err;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    // Each run starts with the engine setup, so most kills fall into the walk
    // only when the window is a good part of a whole run.
    const double window = 0.6 * seconds;
    std::uniform_real_distribution<double> delay(0.0, window);
    int kills = 0;
    for (; kills < 12 && !exists(dir / "killed.json"); ++kills) {
        test::ChildProcess child(ZT_BINARY, work_args(dir, "killed.json"), dir / "out");
        std::this_thread::sleep_for(std::chrono::duration<double>(delay(random)));
        child.send(SIGKILL);
        const int status = child.wait().status;
        EXPECT_TRUE(status == 128 + SIGKILL || status == 0) << status;
    }
    const test::ProcessResult last = test::run_program(ZT_BINARY, work_args(dir, "killed.json"));
    ASSERT_EQ(last.status, 0) << last.err;
    EXPECT_EQ(last.out, "");
    EXPECT_EQ(test::read_file(dir / "killed.json"), test::read_file(dir / "whole.json"));
    EXPECT_FALSE(exists(dir / "killed.json.progress"));
    std::printf("work killed %d times within %.2f s of each start\n", kills, window);

    // Run once more, the result is there: done at once, nothing changed.
    const test::ProcessResult again = test::run_program(ZT_BINARY, work_args(dir, "killed.json"));
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_FALSE(exists(dir / "killed.json.progress"));
}

// Holds this thread (and the processes it starts) to at most two of its
// processors: generate works that many segments at once, so its one-step
// segments finish slowly enough to be stopped mid-way on any machine.
class AtMostTwoProcessors {
public:
    AtMostTwoProcessors() {
        CPU_ZERO(&saved_);
        if (sched_getaffinity(0, sizeof saved_, &saved_) != 0) return;
        cpu_set_t two;
        CPU_ZERO(&two);
        for (int cpu = 0, kept = 0; cpu < CPU_SETSIZE && kept < 2; ++cpu) {
            if (CPU_ISSET(cpu, &saved_)) CPU_SET(cpu, &two), ++kept;
        }
        restore_ = sched_setaffinity(0, sizeof two, &two) == 0;
    }
    ~AtMostTwoProcessors() {
        if (restore_) sched_setaffinity(0, sizeof saved_, &saved_);
    }
    AtMostTwoProcessors(const AtMostTwoProcessors&) = delete;
    AtMostTwoProcessors& operator=(const AtMostTwoProcessors&) = delete;

private:
    cpu_set_t saved_;
    bool restore_ = false;
};

// generate --state of one-step segments in `dir`, with its signing key and
// an out/ folder for a child's output.
std::vector<std::string> generate_with_state(const test::ScratchDir& dir) {
    dir.write("signing.key", test::kServiceSeedHex);
    std::filesystem::create_directories(dir.path() / "out");
    return {"generate",       "--epoch",          "6",          "--iterations",       "1",
            "--signing-key",  dir / "signing.key", "--manifest-out", dir / "puzzle.json", "--epoch-key-out",
            dir / "epoch.key", "--mode",          "light",      "--state",            dir / "state"};
}

TEST(RealLightGenerateState, StoppedAndKilledThenRunAgainPublishesAPuzzleThatSolves) {
    const AtMostTwoProcessors two;
    test::ScratchDir dir;
    const std::vector<std::string> generate = generate_with_state(dir);
    const auto results = [&dir] {
        std::size_t count = 0;
        if (!exists(dir / "state")) return count;
        for (const std::string& name : dir.entries("state")) count += name.ends_with(".json") && name.starts_with("result-");
        return count;
    };
    const auto wait_for_results = [&](test::ChildProcess& child, std::size_t count) {
        while (results() < count && child.running()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    };

    // A first run stopped by SIGTERM once some segments are done.
    {
        test::ChildProcess child(ZT_BINARY, generate, dir / "out");
        wait_for_results(child, 4);
        child.send(SIGTERM);
        EXPECT_EQ(child.wait().status, 128 + SIGTERM);
        EXPECT_EQ(test::read_file(dir / "out/stderr"),
                  "Stopped before the puzzle was finished; the work done is kept in " + dir / "state" +
                      ": run the same command to resume\n");
    }
    auto plan = zt::read_plan_file(test::dir_at(dir / "state"));
    ASSERT_TRUE(plan.ok()) << plan.error().message();
    const std::size_t after_stop = results();
    EXPECT_GE(after_stop, 4u);

    // A second one killed outright further on.
    {
        test::ChildProcess child(ZT_BINARY, generate, dir / "out");
        wait_for_results(child, after_stop + 4);
        child.send(SIGKILL);
        EXPECT_EQ(child.wait().status, 128 + SIGKILL);
    }
    EXPECT_GT(results(), after_stop);
    EXPECT_FALSE(exists(dir / "puzzle.json"));

    // The third finishes from where they stopped, with the same plan.
    const auto keep_state = [&] { std::filesystem::copy(dir / "state", dir / "kept", std::filesystem::copy_options::recursive); };
    const auto restore_state = [&] {
        std::filesystem::remove_all(dir / "state");
        std::filesystem::copy(dir / "kept", dir / "state", std::filesystem::copy_options::recursive);
    };
    keep_state();
    const test::ProcessResult finished = test::run_program(ZT_BINARY, generate);
    ASSERT_EQ(finished.status, 0) << finished.err;
    const std::string manifest_text = test::read_file(dir / "puzzle.json");
    const SignedManifest manifest = read_signed_manifest(manifest_text).value();
    EXPECT_EQ(finished.out, manifest_id(manifest).value() + "\n");
    EXPECT_EQ(manifest.puzzle.dataset_key, encode_hex(plan->dataset_key.span())) << "drawn again";
    EXPECT_EQ(manifest.puzzle.seed_1, encode_hex(plan->seeds[0].span()));
    EXPECT_EQ(test::read_file(dir / "epoch.key"), encode_hex(plan->epoch_key.span()));
    EXPECT_TRUE(dir.entries("state").empty()) << "state wiped and removed";

    // Runs stopped after publishing the epoch key, or both outputs, but
    // before removing the state are finished by running them again.
    restore_state();
    std::filesystem::remove(dir / "puzzle.json");
    const test::ProcessResult after_key = test::run_program(ZT_BINARY, generate);
    ASSERT_EQ(after_key.status, 0) << after_key.err;
    EXPECT_EQ(after_key.out, finished.out);
    EXPECT_EQ(test::read_file(dir / "puzzle.json"), manifest_text);
    EXPECT_TRUE(dir.entries("state").empty());
    restore_state();
    const test::ProcessResult after_both = test::run_program(ZT_BINARY, generate);
    ASSERT_EQ(after_both.status, 0) << after_both.err;
    EXPECT_EQ(after_both.out, finished.out);
    EXPECT_TRUE(dir.entries("state").empty());

    const test::ProcessResult solved = test::run_program(
        ZT_BINARY, {"solve", "--manifest", dir / "puzzle.json", "--service-public-key", test::kServicePublicKeyHex,
                    "--checkpoint", dir / "progress.log", "--key-out", dir / "solved.key", "--mode", "light"});
    ASSERT_EQ(solved.status, 0) << solved.err;
    EXPECT_EQ(test::read_file(dir / "solved.key"), test::read_file(dir / "epoch.key"));
}

// The early window: killed 0 to 5 ms after it starts, generate --state dies
// before, while or after the plan is staged and published. Whatever it left
// (nothing, only a staged plan, a plan with some tasks), the next run goes
// on from it, and the run that finishes leaves no secret behind.
TEST(RealLightGenerateState, KilledInItsFirstMillisecondsThenRunAgainFinishes) {
    test::ScratchDir dir;
    const std::vector<std::string> generate = generate_with_state(dir);
    std::mt19937 random(std::random_device{}());
    int only_staged = 0;
    for (int kill = 0; kill < 30; ++kill) {
        const auto delay = std::chrono::microseconds(std::uniform_int_distribution<int>(0, 5000)(random));
        // A child killed before it opens its output files leaves the old ones.
        dir.write("out/stdout", "");
        dir.write("out/stderr", "");
        test::ChildProcess child(ZT_BINARY, generate, dir / "out");
        std::this_thread::sleep_for(delay);
        child.send(SIGKILL);
        const int status = child.wait().status;
        ASSERT_EQ(status, 128 + SIGKILL) << "finished within 5 ms?";
        if (exists(dir / "state")) {
            const std::vector<std::string> left = dir.entries("state");
            only_staged += !left.empty() && std::all_of(left.begin(), left.end(), [](const std::string& name) {
                return name.starts_with(".zanth-timelock-staged-");
            });
        }
    }
    const test::ProcessResult finished = test::run_program(ZT_BINARY, generate);
    ASSERT_EQ(finished.status, 0) << finished.err;
    EXPECT_TRUE(dir.entries("state").empty()) << "state wiped and removed";
    EXPECT_TRUE(exists(dir / "puzzle.json"));
    EXPECT_TRUE(exists(dir / "epoch.key"));
    std::printf("generate --state killed 30 times within 5 ms of its start; %d left only a staged plan\n",
                only_staged);
}

// plan killed at any moment of its writing: before, while or after plan.json
// is published, or between its task files. The same command run again ends
// with the complete plan (the very plan.json that was published, if one
// was: nothing is drawn twice once it could have been handed out) and
// prints its id.
TEST(RealPlan, KilledWhileWritingThenRunAgainFinishesTheSamePlan) {
    test::ScratchDir dir;
    std::filesystem::create_directories(dir.path() / "out");
    const auto plan_into = [&dir](const std::string& state) {
        return std::vector<std::string>{"plan", "--epoch", "9", "--iterations", "3", "--state", dir / state};
    };
    const auto start = Clock::now();
    ASSERT_EQ(test::run_program(ZT_BINARY, plan_into("unkilled")).status, 0);
    const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);

    std::mt19937 random(std::random_device{}());
    int with_some_tasks = 0;
    constexpr int kKills = 12;
    for (int kill = 0; kill < kKills; ++kill) {
        const std::string state = "state-" + std::to_string(kill);
        SCOPED_TRACE(state);
        {
            test::ChildProcess child(ZT_BINARY, plan_into(state), dir / "out");
            std::this_thread::sleep_for(
                std::chrono::microseconds(std::uniform_int_distribution<long>(0, whole.count())(random)));
            child.send(SIGKILL);
            child.wait();
        }
        const std::string plan_file = dir / (state + "/plan.json");
        const bool had_plan = exists(plan_file);
        const std::string published = had_plan ? test::read_file(plan_file) : "";
        if (had_plan) with_some_tasks += dir.entries(state).size() < 1 + 2 * 96;

        const test::ProcessResult again = test::run_program(ZT_BINARY, plan_into(state));
        ASSERT_EQ(again.status, 0) << again.err;
        const auto plan = read_plan_file(test::dir_at(dir / state));
        ASSERT_TRUE(plan.ok()) << plan.error().message();
        EXPECT_EQ(again.out, plan_id(*plan) + "\n");
        if (had_plan) EXPECT_EQ(test::read_file(plan_file), published) << "drawn again";
        const std::vector<std::string> names = dir.entries(state);
        EXPECT_EQ(names.size(), 1u + 2 * 96u);
        for (const std::string& name : names) {
            if (name == "plan.json") continue;
            const std::string path = dir / (state + "/" + name);
            const bool verification = name.starts_with("verify-");
            Result<SegmentTask> task = Error("not read");
            if (verification) {
                auto read = read_verification_task_file(path);
                task = read ? Result<SegmentTask>(read->task) : Result<SegmentTask>(read.error());
            } else {
                task = read_task_file(path);
            }
            ASSERT_TRUE(task.ok()) << name;
            EXPECT_EQ(verification ? verification_file_name(task->segment) : task_file_name(task->segment), name);
            EXPECT_EQ(task->seed, plan->seeds[task->segment]);
        }
    }
    std::printf("plan (%lld us unkilled) killed %d times while writing; %d left a plan with some of its tasks\n",
                static_cast<long long>(whole.count()), kKills, with_some_tasks);
}

}  // namespace
}  // namespace zt
