// The crash sweep: every command that writes files is run on a small puzzle,
// its calls into the file-system seam are counted, and then, for every call
// k, it is run again from the same inputs and ended right before call k
// (_exit from the seam's hook, as a SIGKILL would end it), run once more to
// its end, and what it leaves is checked:
//   - the outputs equal an uninterrupted run's where the inputs fix them
//     (the same epoch key, result, outcome, manifest), and are whole and
//     valid everywhere (the manifest verifies, solve recovers its key);
//   - no file has a second name, and nothing lies under a staged name;
//   - nothing is left beyond the files the command documents.
// The commands run in forked children of this process on the fake RandomX
// (fast, deterministic), in a memory file system where there is one.
#include <fcntl.h>
#include <sched.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cli/driver.h"
#include "tests/support/fake_randomx.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/signed_manifest.h"
#include "timelock/base/crypto.h"
#include "timelock/base/file_io.h"
#include "timelock/base/publish.h"
#include "timelock/formats/input_files.h"
#include "timelock/formats/manifest_signing.h"
#include "timelock/formats/generation_plan.h"
#include "timelock/formats/record.h"
#include "timelock/formats/segment_task.h"
#include "timelock/split/state_dir.h"

namespace zt {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

constexpr int kCrashed = 97;
const std::string kPlaintext = "sealed for the sweep\n";

// Runs the program's driver on `args` in a forked child whose current
// directory is `dir`, standard output and error discarded, on one processor
// (so its calls come in the same order in every run). With `crash_at`, the
// child ends right before its crash_at-th call into the seam. Returns the
// exit status (kCrashed when it was ended) and the calls it made, in order.
struct CommandRun {
    int status = -1;
    std::vector<file_io::Op> calls;
};

CommandRun run_command(const fs::path& dir, const Args& args, long crash_at = 0) {
    int pipe_ends[2];
    EXPECT_EQ(::pipe(pipe_ends), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipe_ends[0]);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        cpu_set_t cpus;
        if (::sched_getaffinity(0, sizeof cpus, &cpus) != 0 || ::chdir(dir.c_str()) != 0) ::_exit(120);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (!CPU_ISSET(cpu, &cpus)) continue;
            CPU_ZERO(&cpus);
            CPU_SET(cpu, &cpus);
            break;
        }
        if (::sched_setaffinity(0, sizeof cpus, &cpus) != 0) ::_exit(121);
        std::vector<file_io::Op> calls;
        calls.reserve(1 << 16);
        std::mutex calls_mutex;
        const file_io::ScopedFaultHook hook([&](file_io::Op op) -> std::optional<int> {
            const std::lock_guard lock(calls_mutex);
            if (static_cast<long>(calls.size()) + 1 == crash_at) ::_exit(kCrashed);
            calls.push_back(op);
            return std::nullopt;
        });
        const int status = cli::run_main(args);
        const std::lock_guard lock(calls_mutex);
        static_cast<void>(::write(pipe_ends[1], calls.data(), calls.size() * sizeof(file_io::Op)));
        ::_exit(status);
    }
    ::close(pipe_ends[1]);
    CommandRun run;
    file_io::Op op{};
    while (::read(pipe_ends[0], &op, sizeof op) == sizeof op) run.calls.push_back(op);
    ::close(pipe_ends[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

// Whether a call leaves the files as they were (to a process that is ended
// and not to the disk under it, a flush changes nothing either).
bool changes_nothing(file_io::Op op) {
    using file_io::Op;
    switch (op) {
        case Op::OpenExclusive: case Op::OpenAppend: case Op::Write: case Op::Link: case Op::Unlink:
        case Op::MakeDirectory: case Op::ChangeMode:
            return false;
        default:
            return true;
    }
}

std::string text_of(const fs::path& path) { return fs::exists(path) ? test::read_file(path.string()) : ""; }

// Every entry under `dir` (relative, sorted); a file with a second name or a
// staged name fails the test.
std::set<std::string> entries_checked(const fs::path& dir, const std::string& where) {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        const std::string name = fs::relative(entry.path(), dir).string();
        names.insert(name);
        EXPECT_FALSE(entry.path().filename().string().starts_with(kStagedPrefix)) << where << ": " << name;
        if (entry.is_regular_file()) EXPECT_EQ(fs::hard_link_count(entry.path()), 1u) << where << ": " << name;
    }
    return names;
}

// What a directory holds, by name, kind, size and mode.
std::string fingerprint(const fs::path& dir) {
    std::string out;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        struct stat info {};
        ::lstat(entry.path().c_str(), &info);
        out += fs::relative(entry.path(), dir).string() + " " + std::to_string(info.st_mode) + " " +
               std::to_string(info.st_size) + "\n";
    }
    return out;
}

// What a crash left, as the checks need it.
struct Crash {
    long at = 0;
    bool crashed = false;            // false: the run got through before call `at`
    std::string plan_before;         // st/plan.json as the crash left it
    std::map<std::string, std::string> outputs_before;  // the outputs that were there
    int rerun_status = -1;
    std::string where() const { return "crash before call " + std::to_string(at); }
};

struct Sweep;
using Check = std::function<void(const Sweep&, const fs::path&, const Crash&)>;

struct Sweep {
    std::string name;
    std::function<void(const fs::path&)> prepare;  // the inputs, in a new directory
    Args args;
    std::vector<std::string> outputs;  // files the command publishes
    std::set<std::string> left;        // every entry a finished run leaves
    Check check;                       // what else must hold after the second run
    // Run again with all its outputs there, it refuses to replace them (exit
    // 1), unless its state directory still holds a plan to finish from.
    bool refuses_when_published = true;
    fs::path reference;                // an uninterrupted run's directory
};

void PrintTo(const Sweep& s, std::ostream* os) { *os << s.name; }

// ---- Inputs ------------------------------------------------------------------

void write(const fs::path& path, const std::string& text, unsigned mode = 0600) {
    fs::create_directories(path.parent_path());
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    ::chmod(path.c_str(), mode);
}

void signing_key(const fs::path& dir) { write(dir / "signing.key", test::kServiceSeedHex); }

void must_run(const fs::path& dir, const Args& args) { ASSERT_EQ(run_command(dir, args).status, 0) << args[0]; }

Args generate_args() {
    return {"generate", "--epoch", "3", "--iterations", "2", "--mode", "light", "--signing-key", "signing.key",
            "--manifest-out", "m.json", "--epoch-key-out", "e.hex"};
}

void a_plan(const fs::path& dir) {
    must_run(dir, {"plan", "--epoch", "3", "--iterations", "4", "--state", "st"});
    fs::create_directory(dir / "res");
}

Args work_args(const std::string& segment) {
    return {"work", "--task", "st/task-" + segment + ".json", "--result", "res/result-" + segment + ".json",
            "--mode", "light", "--checkpoint-interval", "1"};
}

void a_worked_plan(const fs::path& dir) {
    a_plan(dir);
    signing_key(dir);
    for (int i = 0; i < 96; ++i) {
        char segment[8];
        std::snprintf(segment, sizeof segment, "%02d", i);
        must_run(dir, work_args(segment));
    }
}

void a_puzzle(const fs::path& dir) {
    signing_key(dir);
    must_run(dir, generate_args());
    write(dir / "plaintext", kPlaintext);
}

// ---- Checks ------------------------------------------------------------------

// The manifest verifies under the test service's pin, the epoch key is its,
// and a solve of it recovers that key.
void expect_solvable(const fs::path& dir, const std::string& where) {
    const auto manifest = read_manifest_file((dir / "m.json").string());
    ASSERT_TRUE(manifest.ok()) << where;
    EXPECT_TRUE(verify_manifest(*manifest, test::service_pin()).ok()) << where;
    const auto key = read_key_file((dir / "e.hex").string());
    ASSERT_TRUE(key.ok()) << where;
    EXPECT_EQ(key_commitment(*key), manifest->puzzle.key_commitment) << where;
    // Solved once per manifest: most crash points end in the same puzzle.
    static std::map<std::string, std::string> solved;
    const std::string text = text_of(dir / "m.json");
    if (!solved.contains(text)) {
        test::ScratchDir solving(test::memory_temp_directory());
        fs::copy(dir / "m.json", solving.path() / "m.json");
        must_run(solving.path(), {"solve", "--manifest", "m.json", "--service-public-key", test::kServicePublicKeyHex,
                                  "--checkpoint", "log", "--key-out", "k.hex", "--mode", "light"});
        solved[text] = text_of(solving.path() / "k.hex");
    }
    EXPECT_EQ(solved[text], text_of(dir / "e.hex")) << where;
}

// The outputs are byte for byte an uninterrupted run's.
void expect_reference_outputs(const Sweep& s, const fs::path& dir, const Crash& c) {
    for (const std::string& output : s.outputs) {
        EXPECT_EQ(text_of(dir / output), text_of(s.reference / output)) << c.where() << ": " << output;
    }
}

// Where the plan was durable before the crash, the key is the plan's (a
// plan being wiped, zeros from its start, was published already).
void expect_plans_key(const fs::path& dir, const Crash& c) {
    if (c.plan_before.empty() || c.plan_before.front() == '\0') return;
    const std::string key = "\"epoch_key\": \"";
    const std::size_t at = c.plan_before.find(key);
    ASSERT_NE(at, std::string::npos) << c.where() << ": the plan left is whole";
    EXPECT_EQ(text_of(dir / "e.hex"), c.plan_before.substr(at + key.size(), 64)) << c.where();
}

std::vector<Sweep> sweeps() {
    std::vector<Sweep> all;
    all.push_back({"keygen", [](const fs::path&) {}, {"keygen", "--signing-key-out", "k.key"}, {"k.key"}, {"k.key"},
                   [](const Sweep&, const fs::path& dir, const Crash& c) {
                       EXPECT_TRUE(read_key_file((dir / "k.key").string()).ok()) << c.where();
                   }});
    // A crash between the two publications leaves the epoch key of a puzzle
    // never published: the documents say to remove it and run again.
    all.push_back({"generate", signing_key, generate_args(), {"e.hex", "m.json"}, {"signing.key", "e.hex", "m.json"},
                   [](const Sweep&, const fs::path& dir, const Crash& c) { expect_solvable(dir, c.where()); }});
    Args generate_state = generate_args();
    generate_state.insert(generate_state.end(), {"--state", "st"});
    all.push_back({"generate --state", signing_key, generate_state, {"e.hex", "m.json"},
                   {"signing.key", "e.hex", "m.json", "st"},
                   [](const Sweep&, const fs::path& dir, const Crash& c) {
                       expect_solvable(dir, c.where());
                       expect_plans_key(dir, c);
                   }});
    std::set<std::string> plan_files = {"st", "st/plan.json", "res"};
    for (int i = 0; i < 96; ++i) {
        char n[8];
        std::snprintf(n, sizeof n, "%02d", i);
        plan_files.insert(std::string("st/task-") + n + ".json");
        plan_files.insert(std::string("st/verify-") + n + ".json");
    }
    all.push_back({"plan", [](const fs::path& dir) { fs::create_directory(dir / "res"); },
                   {"plan", "--epoch", "3", "--iterations", "4", "--state", "st"}, {}, plan_files,
                   [](const Sweep&, const fs::path& dir, const Crash& c) {
                       if (!c.plan_before.empty()) EXPECT_EQ(text_of(dir / "st/plan.json"), c.plan_before) << c.where();
                       // Every task file is the plan's own, whichever run wrote it.
                       const auto plan = read_plan_document(text_of(dir / "st/plan.json"));
                       ASSERT_TRUE(plan.ok()) << c.where();
                       for (std::uint32_t i = 0; i < 96; ++i) {
                           EXPECT_EQ(text_of(dir / "st" / task_file_name(i)), as_text(write_task_document(task_of(*plan, i))))
                               << c.where();
                           EXPECT_EQ(text_of(dir / "st" / verification_file_name(i)),
                                     as_text(write_verification_task_document(verification_task_of(*plan, i))))
                               << c.where();
                       }
                   },
                   false});
    std::set<std::string> with_plan = plan_files;
    with_plan.insert("res/result-05.json");
    all.push_back({"work", a_plan, work_args("05"), {"res/result-05.json"}, with_plan, expect_reference_outputs, false});
    std::set<std::string> with_outcome = with_plan;
    with_outcome.insert("res/result-05.json.verified");
    all.push_back({"verify-result",
                   [](const fs::path& dir) {
                       a_plan(dir);
                       must_run(dir, work_args("05"));
                   },
                   {"verify-result", "--task", "st/verify-05.json", "--result", "res/result-05.json", "--mode", "light"},
                   {"res/result-05.json.verified"}, with_outcome, expect_reference_outputs, false});
    all.push_back({"assemble", a_worked_plan,
                   {"assemble", "--state", "st", "--results", "res", "--signing-key", "signing.key", "--manifest-out",
                    "m.json", "--epoch-key-out", "e.hex", "--mode", "light"},
                   {"e.hex", "m.json"}, {"signing.key", "e.hex", "m.json", "st", "res"},
                   [](const Sweep& s, const fs::path& dir, const Crash& c) {
                       expect_reference_outputs(s, dir, c);
                       expect_solvable(dir, c.where());
                   }});
    all.push_back({"solve", a_puzzle,
                   {"solve", "--manifest", "m.json", "--service-public-key", test::kServicePublicKeyHex, "--checkpoint",
                    "log", "--key-out", "k.hex", "--mode", "light", "--checkpoint-interval", "1"},
                   {"k.hex"}, {"signing.key", "e.hex", "m.json", "plaintext", "log", "k.hex"},
                   [](const Sweep&, const fs::path& dir, const Crash& c) {
                       EXPECT_EQ(text_of(dir / "k.hex"), text_of(dir / "e.hex")) << c.where();
                   }});
    all.push_back({"seal-record", a_puzzle,
                   {"seal-record", "--manifest", "m.json", "--service-public-key", test::kServicePublicKeyHex,
                    "--epoch-key", "e.hex", "--plaintext", "plaintext", "--sequence", "1", "--record-out", "r.json"},
                   {"r.json"}, {"signing.key", "e.hex", "m.json", "plaintext", "r.json"},
                   [](const Sweep&, const fs::path& dir, const Crash& c) {
                       const auto record = read_encrypted_record(text_of(dir / "r.json"));
                       ASSERT_TRUE(record.ok()) << c.where();
                       const auto manifest = read_manifest_file((dir / "m.json").string()).value();
                       const auto opened =
                           open_record(manifest, read_key_file((dir / "e.hex").string()).value(), *record);
                       ASSERT_TRUE(opened.ok()) << c.where();
                       EXPECT_EQ(std::string(opened->begin(), opened->end()), kPlaintext) << c.where();
                   }});
    return all;
}

class CrashSweep : public testing::TestWithParam<Sweep> {};

TEST_P(CrashSweep, EveryCallCrashedThenRunAgainLeavesWhatAnUninterruptedRunLeaves) {
    test::ScopedFakeRandomx fake;
    Sweep sweep = GetParam();
    test::ScratchDir scratch(test::memory_temp_directory());
    const fs::path fixture = scratch.path() / "fixture";
    fs::create_directory(fixture);
    sweep.prepare(fixture);
    sweep.reference = scratch.path() / "reference";
    fs::copy(fixture, sweep.reference, fs::copy_options::recursive);
    const CommandRun whole = run_command(sweep.reference, sweep.args);
    ASSERT_EQ(whole.status, 0);
    ASSERT_FALSE(whole.calls.empty());
    const std::set<std::string> left = sweep.left;
    EXPECT_EQ(entries_checked(sweep.reference, "uninterrupted"), left);

    // Every call is crashed. A crash right after a call that changes nothing
    // leaves what a crash right before it left (its files are compared to
    // make sure); only the others are run again and checked.
    const long calls = static_cast<long>(whole.calls.size());
    long crashed = 0;
    long checked = 0;
    std::string previous;
    for (long at = 1; at <= calls; ++at) {
        const fs::path dir = scratch.path() / "run";
        fs::remove_all(dir);
        fs::copy(fixture, dir, fs::copy_options::recursive);
        Crash c;
        c.at = at;
        const CommandRun run = run_command(dir, sweep.args, at);
        ASSERT_EQ(run.status, kCrashed) << c.where() << ": the calls come in another order than counted";
        ASSERT_TRUE(std::equal(run.calls.begin(), run.calls.end(), whole.calls.begin())) << c.where();
        ++crashed;
        const std::string now = fingerprint(dir);
        if (at > 1 && changes_nothing(whole.calls[static_cast<std::size_t>(at - 2)])) {
            EXPECT_EQ(now, previous) << c.where();
            continue;
        }
        previous = now;
        ++checked;
        c.plan_before = text_of(dir / "st/plan.json");
        // A lone epoch key of a puzzle never published: removed, as the
        // documents say, before running again.
        if (sweep.name == "generate" && fs::exists(dir / "e.hex") && !fs::exists(dir / "m.json")) {
            fs::remove(dir / "e.hex");
        }
        for (const std::string& output : sweep.outputs) {
            if (fs::exists(dir / output)) c.outputs_before[output] = text_of(dir / output);
        }
        c.rerun_status = run_command(dir, sweep.args).status;
        // Run again, the command finishes; one whose outputs were all
        // published already refuses to replace them.
        const bool all_there = !sweep.outputs.empty() && c.outputs_before.size() == sweep.outputs.size();
        EXPECT_EQ(c.rerun_status, all_there && sweep.refuses_when_published && c.plan_before.empty() ? 1 : 0)
            << c.where();
        for (const auto& [output, text] : c.outputs_before) {
            EXPECT_EQ(text_of(dir / output), text) << c.where() << ": a published " << output << " is never replaced";
        }
        EXPECT_EQ(entries_checked(dir, c.where()), left) << c.where();
        sweep.check(sweep, dir, c);
        if (testing::Test::HasFailure()) break;
    }
    std::printf("crash sweep: %s: %ld crash points, %ld of them leaving files no earlier one left, run again and "
                "checked\n", sweep.name.c_str(), crashed, checked);
    EXPECT_EQ(crashed, calls);
}

INSTANTIATE_TEST_SUITE_P(Commands, CrashSweep, testing::ValuesIn(sweeps()), [](const auto& info) {
    std::string name = info.param.name;
    for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    }
    return name;
});

}  // namespace
}  // namespace zt
