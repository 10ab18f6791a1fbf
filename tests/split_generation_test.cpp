// Generation split into plan, work and assemble, on the fake RandomX library
// (96 segments in milliseconds): the split path gives the very manifest the
// one-process generate gives for the same draws, whatever order and however
// often interrupted the segments are worked in; a walk cut at any byte of its
// progress file resumes to the uninterrupted result; the sampled
// recomputation catches a wrong state; and assemble refuses a missing,
// foreign, tampered or wrong result without publishing anything.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <csignal>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "cli/commands/commands.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_randomx.h"
#include "tests/support/opened.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/signed_manifest.h"
#include "timelock/base/crypto.h"
#include "timelock/formats/manifest.h"
#include "timelock/formats/manifest_signing.h"
#include "timelock/base/private_files.h"
#include "timelock/split/assembly.h"
#include "timelock/split/segment_job.h"
#include "timelock/split/segment_verify.h"
#include "timelock/split/segment_walk.h"
#include "timelock/split/state_dir.h"
#include "timelock/work/generation.h"

namespace zt {
namespace {

constexpr std::uint64_t kEpoch = 31;

// A reproducible stand-in for the OS random source: the same sequence of
// bytes for every source made with the same salt.
RandomSource counting_source(std::uint8_t salt) {
    auto counter = std::make_shared<std::uint32_t>(0);
    return [counter, salt](std::span<std::uint8_t> out) -> Result<void> {
        for (auto& b : out) b = static_cast<std::uint8_t>(salt ^ (++*counter * 2654435761u >> 13));
        return success();
    };
}

WorkEngine fake_engine(const GenerationPlan& plan) {
    return std::move(WorkEngine::setup(plan.dataset_key, WorkMode::Light)).value();
}

// Works one task to its end through the job that `work` runs, with its files in `dir`.
SegmentResult work_to_end(const SegmentTask& task, const WorkEngine& engine, const std::string& dir,
                          std::uint64_t interval = 1) {
    const std::string result_path = dir + "/" + zt::result_file_name(task.segment);
    const OutputTarget target = test::target_at(result_path);
    auto job = zt::SegmentJob::open(task, target);
    EXPECT_TRUE(job.ok()) << job.error().message();
    if (job->done()) return *job->done();
    RandomxVm vm = std::move(engine.create_vm()).value();
    auto result = job->run(vm, WalkOptions{.checkpoint_interval = interval});
    EXPECT_TRUE(result.ok() && result->has_value()) << (result.ok() ? "stopped" : result.error().message());
    return **result;
}

// ---- One code path -----------------------------------------------------------

TEST(SplitGeneration, WorkedInAnyOrderGivesTheManifestOfOneProcessGenerate) {
    test::ScopedFakeRandomx fake;
    constexpr std::uint64_t kIterations = 7;
    auto whole = detail::generate(kEpoch, kIterations, test::service_keys(), WorkMode::Light, {},
                                  detail::GenerationSeams{counting_source(9)});
    ASSERT_TRUE(whole.ok() && std::holds_alternative<GeneratedPuzzle>(*whole));
    const GeneratedPuzzle& expected = std::get<GeneratedPuzzle>(*whole);

    const GenerationPlan plan = draw_plan(kEpoch, kIterations, counting_source(9)).value();
    const std::vector<SegmentTask> tasks = zt::tasks_of(plan);
    const WorkEngine engine = fake_engine(plan);
    for (std::uint64_t shuffle_seed : {1u, 2u}) {
        std::vector<std::uint32_t> order(96);
        for (std::uint32_t i = 0; i < 96; ++i) order[i] = i;
        std::shuffle(order.begin(), order.end(), std::mt19937_64(shuffle_seed));
        test::ScratchDir dir(test::memory_temp_directory());
        std::vector<SegmentResult> results(96);
        // Every task goes through its document, as it would to another machine.
        for (std::uint32_t i : order) {
            const SecureBytes text = write_task_document(tasks[i]);
            const SegmentTask copied = read_task_document(as_text(text)).value();
            results[i] = work_to_end(copied, engine, dir.path().string(), shuffle_seed);
        }
        auto assembled =
            zt::verify_and_assemble(engine, plan, tasks, results, {.fraction = 1.0}, {}, test::service_keys());
        ASSERT_TRUE(assembled.ok()) << assembled.error().message();
        EXPECT_EQ(write_signed_manifest(assembled->puzzle.manifest), write_signed_manifest(expected.manifest));
        EXPECT_EQ(assembled->puzzle.epoch_key, expected.epoch_key);
        EXPECT_EQ(assembled->report.intervals_recomputed, assembled->report.intervals_total);
        EXPECT_EQ(assembled->report.miss_probability, 0.0);
    }
}

TEST(SplitGeneration, PlanDrawsWhatGenerateDrawsInTheSameOrder) {
    std::vector<std::size_t> sizes;
    const RandomSource recording = [&sizes](std::span<std::uint8_t> out) -> Result<void> {
        sizes.push_back(out.size());
        return success();
    };
    ASSERT_TRUE(draw_plan(1, 2, recording).ok());
    std::vector<std::size_t> expected(1 + 96 + 1, 32);
    expected.insert(expected.end(), 96, 12);
    EXPECT_EQ(sizes, expected);
    sizes.clear();
    EXPECT_EQ(draw_plan(1, 0, recording).error().message(), "invalid iterations");
    EXPECT_TRUE(sizes.empty());
}

// ---- Resuming ----------------------------------------------------------------

// A kill can stop a walk between any two bytes it writes: cut the progress
// file of a finished walk at every length, resume, and the result is the
// uninterrupted one.
TEST(SplitGeneration, AWalkCutAtAnyByteOfItsProgressResumesToTheSameResult) {
    test::ScopedFakeRandomx fake;
    const GenerationPlan plan = draw_plan(kEpoch, 5, counting_source(3)).value();
    const SegmentTask task = task_of(plan, 17);
    const WorkEngine engine = fake_engine(plan);
    RandomxVm vm = std::move(engine.create_vm()).value();

    test::ScratchDir dir(test::memory_temp_directory());
    const std::string log = dir / "full.progress";
    std::optional<SegmentResult> reference;
    {
        file_io::Fd fd = open_progress_file(test::dir_at(dir.path().string()), "full.progress").value();
        reference = *walk_segment(task, vm, fresh_progress(task), fd.get(), {.checkpoint_interval = 2}).value();
    }
    const std::string written = test::read_file(log);
    const std::uint64_t hashes_for_one_walk = fake.hashes();
    for (std::size_t cut = 0; cut <= written.size(); ++cut) {
        SCOPED_TRACE("cut at byte " + std::to_string(cut));
        const std::string path = dir / ("cut-" + std::to_string(cut));
        dir.write("cut-" + std::to_string(cut), written.substr(0, cut));
        const SegmentProgress loaded = load_progress(path, task).value();
        file_io::Fd fd = open_progress_file(test::dir_at(dir.path().string()), "cut-" + std::to_string(cut)).value();
        auto resumed = walk_segment(task, vm, loaded, fd.get(), {.checkpoint_interval = 2});
        ASSERT_TRUE(resumed.ok() && resumed->has_value());
        EXPECT_EQ(write_result_document(**resumed), write_result_document(*reference));
    }
    EXPECT_GT(fake.hashes(), hashes_for_one_walk);
}

TEST(SplitGeneration, AStoppedWalkSavesItsPositionAndAJobIsDoneOnceItsResultExists) {
    test::ScopedFakeRandomx fake;
    const GenerationPlan plan = draw_plan(kEpoch, 3000, counting_source(4)).value();
    const SegmentTask task = task_of(plan, 2);
    const WorkEngine engine = fake_engine(plan);
    RandomxVm vm = std::move(engine.create_vm()).value();
    test::ScratchDir dir(test::memory_temp_directory());
    const std::string result_path = dir / "result-02.json";
    const OutputTarget target = test::target_at(result_path);
    const file_io::Dir& in = target.dir();

    std::atomic<int> stop{0};
    std::atomic<std::uint64_t> steps{0};
    {
        auto job = zt::SegmentJob::open(task, target).value();
        stop = SIGTERM;  // before the first step: nothing to save
        EXPECT_FALSE(job.run(vm, {.checkpoint_interval = 1000, .stop = &stop}).value().has_value());
    }
    EXPECT_EQ(load_progress(zt::progress_path(result_path), task).value().iteration, 0u);
    EXPECT_EQ(zt::kept_steps(task, in, "result-02.json"), 0u);
    {
        // A second worker on the same task meanwhile is refused at once.
        auto first = zt::SegmentJob::open(task, target);
        ASSERT_TRUE(first.ok());
        auto second = zt::SegmentJob::open(task, target);
        ASSERT_FALSE(second.ok());
        EXPECT_TRUE(second.error().message().starts_with(
            "progress file is in use by another worker: " + zt::progress_path(result_path) + " is locked by process"))
            << second.error().message();
    }
    {
        // A walk cut half-way: its position is what a resumed run counts as done.
        const std::string full = dir / "full.progress";
        {
            file_io::Fd fd = open_progress_file(in, "full.progress").value();
            ASSERT_TRUE(walk_segment(task, vm, fresh_progress(task), fd.get(), {}).value().has_value());
        }
        const std::string written = test::read_file(full);
        std::filesystem::remove(full);
        dir.write("result-02.json.progress", written.substr(0, written.find('\n', written.size() / 2) + 1));
        const std::uint64_t saved = load_progress(zt::progress_path(result_path), task).value().iteration;
        EXPECT_GT(saved, 1000u);
        EXPECT_LT(saved, 3000u);
        EXPECT_EQ(zt::kept_steps(task, in, "result-02.json"), saved);
    }
    auto job = zt::SegmentJob::open(task, target).value();
    auto result = job.run(vm, {.checkpoint_interval = 1000});
    ASSERT_TRUE(result.ok() && result->has_value());
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"result-02.json"}) << "progress wiped and removed";
    struct stat st {};
    ASSERT_EQ(::stat(result_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const std::uint64_t hashes = fake.hashes();
    auto again = zt::SegmentJob::open(task, target);
    ASSERT_TRUE(again.ok() && again->done().has_value());
    EXPECT_EQ(write_result_document(*again->done()), write_result_document(**result));
    EXPECT_EQ(zt::kept_steps(task, in, "result-02.json"), 3000u);
    EXPECT_EQ(fake.hashes(), hashes) << "no work for a finished task";

    // Another task's job never takes this result, nor touches it.
    const SegmentTask other = task_of(plan, 3);
    auto foreign = zt::SegmentJob::open(other, target);
    ASSERT_FALSE(foreign.ok());
    EXPECT_EQ(foreign.error().causes(), std::vector<std::string>{"result of segment 4 holds segment 3"});
}

// ---- Checking results ----------------------------------------------------------

struct Assembly {
    test::ScopedFakeRandomx fake;
    test::ScratchDir dir{test::memory_temp_directory()};
    GenerationPlan plan;
    std::vector<SegmentTask> tasks;

    explicit Assembly(std::uint64_t iterations) {
        std::filesystem::create_directory(dir.path() / "results");
        plan = draw_plan(kEpoch, iterations, counting_source(5)).value();
        EXPECT_TRUE(zt::write_state(test::state_at(dir / "state"), plan, StateFiles::with_verification).ok());
        tasks = zt::tasks_of(plan);
        const WorkEngine engine = fake_engine(plan);
        for (const SegmentTask& task : tasks) work_to_end(task, engine, dir / "results");
        dir.write("signing.key", test::kServiceSeedHex);
    }
    std::string result(std::uint32_t segment) const { return dir / ("results/" + zt::result_file_name(segment)); }
    void replace(std::uint32_t segment, const SegmentResult& result) const {
        std::filesystem::remove(this->result(segment));
        EXPECT_TRUE(zt::publish_result(test::target_at(this->result(segment)), result).ok());
    }
    Result<void> assemble(double fraction = 1.0) const {
        return cli::run_assemble({dir / "state", dir / "results", dir / "signing.key", dir / "m.json", dir / "e.key",
                                  fraction, false, WorkMode::Light});
    }
};

TEST(SplitGeneration, AssembleRefusesABadResultNamingItsSegmentAndPublishesNothing) {
    struct Case {
        const char* what;
        std::function<void(const Assembly&)> spoil;
        std::string message;
    };
    const Case cases[] = {
        {"missing", [](const Assembly& a) { std::filesystem::remove(a.result(40)); },
         "result of segment 41 is missing"},
        {"of another plan",
         [](const Assembly& a) {
             const GenerationPlan other = draw_plan(kEpoch, a.plan.iterations, counting_source(6)).value();
             SegmentTask task = task_of(other, 12);
             a.replace(12, seal_result(task, std::vector<Key32>(result_intervals(task.iterations))));
         },
         "result of segment 13 belongs to another plan"},
        {"of another segment",
         [](const Assembly& a) {
             std::filesystem::remove(a.result(7));
             std::filesystem::copy_file(a.result(8), a.result(7));
         },
         "result of segment 8 holds segment 9"},
        {"one digit changed",
         [](const Assembly& a) {
             std::string text = test::read_file(a.result(95));
             const std::size_t at = text.find("\"states\": [\n    \"") + 17;
             text[at] = text[at] == '0' ? '1' : '0';
             std::filesystem::remove(a.result(95));
             a.dir.write("results/" + zt::result_file_name(95), text);
         },
         "result of segment 96 is damaged or was not written by its worker"},
        {"a wrong state its worker sealed",
         [](const Assembly& a) {
             SegmentResult forged = zt::read_result_file(test::dir_at(a.dir / "results"), zt::result_file_name(33)).value().value();
             forged.states[1][0] ^= 1;
             a.replace(33, seal_result(a.tasks[33], forged.states));
         },
         "result of segment 34 failed verification: the state after step 2 is not the chain's"},
        {"unreadable",
         [](const Assembly& a) {
             std::filesystem::remove(a.result(3));
             a.dir.write("results/" + zt::result_file_name(3), "{}");
         },
         "result of segment 4 is unreadable"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Assembly a(4);
        c.spoil(a);
        testing::internal::CaptureStdout();
        const auto done = a.assemble();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        ASSERT_FALSE(done.ok());
        EXPECT_EQ(done.error().message(), c.message);
        EXPECT_FALSE(std::filesystem::exists(a.dir / "m.json"));
        EXPECT_FALSE(std::filesystem::exists(a.dir / "e.key"));
        EXPECT_TRUE(std::filesystem::exists(a.dir / "state/plan.json")) << "state kept for another try";
    }
}

TEST(SplitGeneration, AssemblePublishesThenWipesTheState) {
    const Assembly a(3);
    EXPECT_EQ(a.assemble(0.0).error().message(), "verify fraction must be above 0 and at most 1");
    EXPECT_EQ(a.assemble(1.5).error().message(), "verify fraction must be above 0 and at most 1");
    // What a worker killed while publishing leaves: a staged copy of its result.
    a.dir.write("results/.zanth-timelock-staged-0123456789abcdef0123456789abcdef", "a result");
    a.dir.write("state/.zanth-timelock-staged-fedcba9876543210fedcba9876543210", "a task");
    testing::internal::CaptureStdout();
    const auto done = a.assemble(0.5);
    const std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(done.ok()) << done.error().message();
    const SignedManifest manifest = read_signed_manifest(test::read_file(a.dir / "m.json")).value();
    EXPECT_EQ(printed, manifest_id(manifest).value() + "\n");
    EXPECT_EQ(manifest.puzzle.key_commitment, key_commitment(a.plan.epoch_key));
    EXPECT_EQ(test::read_file(a.dir / "e.key"), encode_hex(a.plan.epoch_key.span()));
    EXPECT_TRUE(a.dir.entries("state").empty());
    EXPECT_TRUE(a.dir.entries("results").empty());
}

TEST(SplitGeneration, ARunStoppedAfterPublishingIsFinishedByRunningItAgain) {
    // The outputs and id of one whole run, to compare with.
    std::string manifest_text, key_text, id;
    {
        const Assembly whole(3);
        testing::internal::CaptureStdout();
        ASSERT_TRUE(whole.assemble().ok());
        id = testing::internal::GetCapturedStdout();
        manifest_text = test::read_file(whole.dir / "m.json");
        key_text = test::read_file(whole.dir / "e.key");
    }
    struct Case {
        const char* left;  // at the outputs when the state was not yet removed
        std::function<void(const Assembly&)> leave;
        bool finished;
        const char* refused = "";  // the output named when not finished, and why
    };
    const std::string other_key = encode_hex(std::vector<std::uint8_t>(32, 7));
    const Case cases[] = {
        {"both outputs", [&](const Assembly& a) { a.dir.write("m.json", manifest_text), a.dir.write("e.key", key_text); },
         true},
        {"the epoch key alone", [&](const Assembly& a) { a.dir.write("e.key", key_text); }, true},
        {"another epoch key", [&](const Assembly& a) { a.dir.write("e.key", other_key); }, false,
         "--epoch-key-out * already exists (not this plan's epoch key)"},
        {"another key beside the manifest",
         [&](const Assembly& a) { a.dir.write("m.json", manifest_text), a.dir.write("e.key", other_key); }, false,
         "--epoch-key-out * already exists (not this plan's epoch key)"},
        {"the manifest alone", [&](const Assembly& a) { a.dir.write("m.json", manifest_text); }, false,
         "--manifest-out * already exists (and the epoch key of this plan is not beside it)"},
        {"the key beside another manifest",
         [&](const Assembly& a) {
             std::string text = manifest_text;
             text.replace(text.find("\"epoch\": 31"), 12, "\"epoch\": 32");
             a.dir.write("m.json", text), a.dir.write("e.key", key_text);
         },
         false, "--manifest-out * already exists (not this plan's manifest)"},
        {"the key as a link",
         [&](const Assembly& a) {
             a.dir.write("elsewhere.key", key_text);
             std::filesystem::create_symlink(a.dir / "elsewhere.key", a.dir / "e.key");
         },
         false, "--epoch-key-out * already exists (not this plan's epoch key)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.left);
        const Assembly a(3);  // the same draws as the whole run
        c.leave(a);
        const auto read_key = [&] {
            return std::filesystem::exists(a.dir / "e.key") ? test::read_file(a.dir / "e.key") : "(none)";
        };
        const std::string key_before = read_key();
        testing::internal::CaptureStdout();
        const auto done = a.assemble();
        const std::string printed = testing::internal::GetCapturedStdout();
        if (!c.finished) {
            ASSERT_FALSE(done.ok());
            const std::string refused = c.refused;
            const std::size_t path = refused.find('*');
            EXPECT_EQ(done.error().message().substr(0, path), refused.substr(0, path));
            EXPECT_NE(done.error().message().find(refused.substr(path + 1) + "; nothing is ever replaced"),
                      std::string::npos)
                << done.error().message();
            EXPECT_EQ(printed, "");
            EXPECT_EQ(read_key(), key_before) << "nothing replaced";
            EXPECT_TRUE(std::filesystem::exists(a.dir / "state/plan.json")) << "state kept";
            continue;
        }
        ASSERT_TRUE(done.ok()) << done.error().message();
        EXPECT_EQ(printed, id);
        EXPECT_EQ(test::read_file(a.dir / "m.json"), manifest_text);
        EXPECT_EQ(test::read_file(a.dir / "e.key"), key_text);
        EXPECT_TRUE(a.dir.entries("state").empty());
        EXPECT_TRUE(a.dir.entries("results").empty());
    }
}

// What another user plants in a shared results directory while a long
// verification runs (here a directory under two names the removal wipes)
// holds nothing of ours: the removal after publishing leaves it and
// finishes, where failing would stop every later run at the same name.
TEST(SplitGeneration, RemovalAfterPublishingLeavesWhatOthersPlanted) {
    const Assembly a(3);
    for (const char* name : {"result-00.json.verified", ".zanth-timelock-staged-0123456789abcdef0123456789abcdef"}) {
        std::filesystem::create_directory(a.dir.path() / "results" / name);
    }
    // (Another user's file under such a name is left as well: the hostile
    // files test plants one before assemble and generate --state.)
    const auto removed = remove_state(test::state_at(a.dir / "state"), test::dir_at(a.dir / "results"));
    ASSERT_TRUE(removed.ok()) << removed.error().message();
    EXPECT_TRUE(a.dir.entries("state").empty());
    EXPECT_EQ(a.dir.entries("results").size(), 2u);
}

// Runs `body` in a child as a user other than root when the test runs as
// root (root writes into a read-only file anyway), inside `dir` made that
// user's; the child's exit status is returned.
int as_ordinary_user(const test::ScratchDir& dir, const std::function<int()>& body) {
    constexpr uid_t kUser = 4321;
    const bool root = ::geteuid() == 0;
    if (root) {
        std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all | std::filesystem::perms::others_exec);
        if (::chown(dir.path().c_str(), kUser, kUser) != 0) return 200;
    }
    return test::run_in_child([&] {
        if (root && (::setresgid(kUser, kUser, kUser) != 0 || ::setresuid(kUser, kUser, kUser) != 0)) return 201;
        return body();
    });
}

// A secret file of ours is overwritten with zeros before its name goes, a
// read-only one too (made writable through the descriptor that was
// checked); a file of ours that has a second name (another user may have
// hard-linked it there) and the target of a symbolic link are never
// written, nor their mode changed: only the name goes.
TEST(StateRemoval, ZeroesOurOwnFilesReadOnlyOnesIncludedAndNoOtherFile) {
    struct Case {
        const char* name;
        unsigned mode;
        enum { plain, second_name, symlink } shape;
        bool zeroed;
    };
    const Case cases[] = {
        {"owner-only", 0600, Case::plain, true},
        {"read-only", 0400, Case::plain, true},
        {"read-only with a second name", 0400, Case::second_name, false},
        {"link to a read-only file", 0400, Case::symlink, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::ScratchDir dir;
        const int status = as_ordinary_user(dir, [&] {
            const std::string secret(5000, 's');  // more than one block of zeros
            const std::string file = dir / "secret";
            dir.write("secret", secret);
            if (c.shape == Case::second_name) std::filesystem::create_hard_link(file, dir / "other-name");
            const std::string wiped = c.shape == Case::symlink ? dir / "link" : file;
            if (c.shape == Case::symlink) std::filesystem::create_symlink(file, wiped);
            ::chmod(file.c_str(), c.mode);
            const int held = ::open(file.c_str(), O_RDONLY);
            if (!wipe_and_remove(test::dir_at(dir.path().string()), c.shape == Case::symlink ? "link" : "secret").ok()) {
                return 1;
            }
            if (std::filesystem::exists(std::filesystem::symlink_status(wiped))) return 2;
            // The other name, or the link's target, as it was.
            const std::string kept = c.shape == Case::second_name ? dir / "other-name" : file;
            if (c.shape != Case::plain && (test::read_file(kept) != secret || test::file_mode(kept) != c.mode)) {
                return 3;
            }
            if (held >= 0) {
                std::string after(secret.size(), 'x');
                const bool zeroed = ::pread(held, after.data(), after.size(), 0) == static_cast<ssize_t>(after.size()) &&
                                    after == std::string(secret.size(), '\0');
                if (zeroed != c.zeroed) return 4;
            }
            return 0;
        });
        EXPECT_EQ(status, 0);
    }
}

// ---- The sample ----------------------------------------------------------------

TEST(IntervalChecks, TheReportSaysWhatItCoveredInWordsThatAgreeWithTheCounts) {
    const struct {
        VerificationReport report;
        const char* text;
    } cases[] = {
        {{192, 192, 0, 0.0},
         "Checked 192 of 192 intervals here (the first and last of every segment and a random share of the rest); "
         "one wrong interval would have passed unnoticed with probability 0%"},
        {{288, 288, 1, 0.0}, "Checked 288 of 288 intervals here (the first and last of every segment and a random "
                             "share of the rest), and the other intervals of 1 segment verified in full by "
                             "verify-result; one wrong interval would have passed unnoticed with probability 0%"},
        {{1140, 96000, 2, 0.967}, "Checked 1140 of 96000 intervals here (the first and last of every segment and a "
                                  "random share of the rest), and the other intervals of 2 segments verified in full "
                                  "by verify-result; one wrong interval would have passed unnoticed with probability "
                                  "96.7%"},
    };
    for (const auto& c : cases) EXPECT_EQ(describe_verification(c.report), c.text);
}

TEST(IntervalChecks, EachSegmentGetsItsFirstAndLastAndItsShareOfTheOthers) {
    struct Case {
        std::uint64_t iterations;
        double fraction;
        std::size_t per_segment;
    };
    for (const Case& c : {Case{1, 0.01, 1}, Case{2, 0.01, 2}, Case{3, 0.01, 3}, Case{5000, 0.01, 12},
                          Case{5000, 0.0001, 3}, Case{7, 1.0, 7}, Case{1000, 0.0015, 4}}) {
        const auto checks = choose_interval_checks(96, c.iterations, c.fraction).value();
        ASSERT_EQ(checks.size(), 96 * c.per_segment) << c.iterations << " " << c.fraction;
        const std::uint64_t k = result_intervals(c.iterations);
        for (std::size_t i = 0; i < checks.size(); ++i) {
            EXPECT_EQ(checks[i].segment, i / c.per_segment);
            if (i % c.per_segment == 0) EXPECT_EQ(checks[i].interval, 1u);
            if (i % c.per_segment == c.per_segment - 1) EXPECT_EQ(checks[i].interval, k);
            if (i % c.per_segment != 0) EXPECT_LT(checks[i - 1].interval, checks[i].interval);
        }
        EXPECT_DOUBLE_EQ(miss_probability(checks, 96, c.iterations),
                         1.0 - static_cast<double>(c.per_segment) / static_cast<double>(k));
    }
    // Every middle interval can be drawn: over many draws of one in 1000, all turn up.
    std::vector<bool> seen(1000);
    for (int round = 0; round < 400; ++round) {
        const std::vector<IntervalCheck> checks = choose_interval_checks(96, 1000, 0.001).value();
        for (const IntervalCheck& c : checks) seen[c.interval - 1] = true;
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 1000);
    // The library refuses what the command line would: no undefined cast of a NaN.
    for (const double bad : {0.0, -0.5, 1.5, std::nan(""), std::numeric_limits<double>::infinity()}) {
        const auto refused = choose_interval_checks(96, 1000, bad);
        ASSERT_FALSE(refused.ok()) << bad;
        EXPECT_EQ(refused.error().message(), kBadVerifyFraction);
    }
}

}  // namespace
}  // namespace zt
