// The operator's commands through the built program: keygen and pubkey,
// status on fresh, half-solved and finished logs (text and JSON, never
// creating the log), on a key output and on a split generation, generate
// --iterations-from, SIGUSR1 during a solve, and help that describes every
// command and option.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <unistd.h>
#include <string>
#include <vector>

#include "cli/parse/grammar.h"
#include "tests/support/opened.h"
#include "tests/support/child_process.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/signed_manifest.h"
#include "tests/support/solvable_puzzle.h"
#include "tests/support/subprocess.h"
#include "timelock/base/crypto.h"
#include "timelock/base/protocol.h"
#include "timelock/ed25519/ed25519.h"
#include "timelock/formats/checkpoint.h"
#include "timelock/formats/manifest.h"
#include "timelock/formats/manifest_signing.h"
#include "timelock/split/assembly.h"
#include "timelock/split/state_dir.h"
#include "timelock/work/calibration.h"

namespace zt {
namespace {

using test::read_file;
using test::ScratchDir;

test::ProcessResult run(const std::vector<std::string>& args) { return test::run_program(ZT_BINARY, args); }

using test::file_mode;

const std::regex kHex64("[0-9a-f]{64}");

// ---- keygen and pubkey -------------------------------------------------------

TEST(Keygen, PublishesAnOwnerOnlySeedWhosePinItPrintsAndPubkeyRepeats) {
    ScratchDir dir;
    const auto made = run({"keygen", "--signing-key-out", dir / "service.key"});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(made.err, "");
    ASSERT_EQ(made.out.size(), 65u);
    EXPECT_TRUE(std::regex_match(made.out.substr(0, 64), kHex64));

    // 64 lowercase digits, no line end, 0600, and no staged name left behind.
    const std::string seed_hex = read_file(dir / "service.key");
    EXPECT_TRUE(std::regex_match(seed_hex, kHex64)) << seed_hex;
    EXPECT_EQ(file_mode(dir / "service.key"), 0600u);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"service.key"});

    // The printed pin is the public key of the seed written (the library's
    // own derivation), and pubkey prints the same line.
    Key32 seed;
    ASSERT_TRUE(decode_hex_fixed_into(seed_hex, seed.span()).ok());
    EXPECT_EQ(made.out, encode_hex(ed25519_from_seed(seed).public_key) + "\n");
    const auto again = run({"pubkey", "--signing-key", dir / "service.key"});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out, made.out);

    // Two runs draw two different keys.
    const auto other = run({"keygen", "--signing-key-out", dir / "other.key"});
    ASSERT_EQ(other.status, 0);
    EXPECT_NE(other.out, made.out);
}

TEST(Keygen, NeverReplacesAFile) {
    ScratchDir dir;
    dir.write("service.key", "precious");
    const auto refused = run({"keygen", "--signing-key-out", dir / "service.key"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "Error: --signing-key-out " + (dir / "service.key") +
                               " already exists; nothing is ever replaced: move it away, or name another file\n");
    EXPECT_EQ(read_file(dir / "service.key"), "precious");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"service.key"});

    // So is a dangling link, before anything is drawn or staged.
    std::filesystem::create_symlink(dir / "nowhere", dir / "link.key");
    EXPECT_EQ(run({"keygen", "--signing-key-out", dir / "link.key"}).status, 1);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"link.key", "service.key"}));
}

TEST(Pubkey, KnownSeedAndBadKeyFiles) {
    ScratchDir dir;
    struct Case {
        std::string content;
        int status;
        std::string out;
        std::string err;
    };
    const std::string upper = [] {
        std::string s = test::kServiceSeedHex;
        for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return s;
    }();
    const std::vector<Case> cases = {
        {test::kServiceSeedHex, 0, std::string(test::kServicePublicKeyHex) + "\n", ""},
        {"  " + upper + "\r\n", 0, std::string(test::kServicePublicKeyHex) + "\n", ""},
        {std::string(63, 'a'), 1, "", "key must contain 64 hex digits"},
        {"abcdeg" + std::string(58, '0'), 1, "", "Invalid character 'g' at position 5"},
    };
    for (const Case& c : cases) {
        dir.write("seed.hex", c.content);
        const auto result = run({"pubkey", "--signing-key", dir / "seed.hex"});
        EXPECT_EQ(result.status, c.status) << c.content;
        EXPECT_EQ(result.out, c.out) << c.content;
        // The file named, and the reader's own message as the cause.
        EXPECT_EQ(result.err, c.err.empty() ? "" : "Error: --signing-key " + (dir / "seed.hex") +
                                                        " is not a key file; give the service's signing key file "
                                                        "that keygen wrote\n\nCaused by:\n    " + c.err + "\n")
            << c.content;
    }
    const auto missing = run({"pubkey", "--signing-key", dir / "none.hex"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "Error: --signing-key " + (dir / "none.hex") +
                               " is not there; give the service's signing key file that keygen wrote\n");
}

// ---- status -----------------------------------------------------------------

constexpr std::uint64_t kIterations = 10;

class Status : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(random_bytes(epoch_key_.span()).ok());
        manifest_ = test::make_signed_manifest(
            {.segments = 7, .epoch = 42, .iterations = kIterations, .epoch_key = epoch_key_});
        id_ = manifest_id(manifest_).value();
        dir_.write("manifest.json", write_signed_manifest(manifest_));
    }

    // The line solve would write at (segment, iteration); at (0, 0) the state is seed_1.
    std::string line(std::uint32_t segment, std::uint64_t iteration) const {
        Key32 state;
        if (segment == 0 && iteration == 0) {
            EXPECT_TRUE(decode_hex_fixed_into(manifest_.puzzle.seed_1, state.span()).ok());
        } else {
            state[0] = static_cast<std::uint8_t>(segment + 1);
        }
        return checkpoint_line(new_checkpoint(id_, segment, iteration, state).value());
    }

    test::ProcessResult status(std::vector<std::string> extra) {
        std::vector<std::string> args = {"status", "--manifest", dir_ / "manifest.json"};
        args.insert(args.end(), extra.begin(), extra.end());
        return run(args);
    }

    ScratchDir dir_;
    Key32 epoch_key_;
    SignedManifest manifest_;
    std::string id_;
};

TEST_F(Status, JsonAtEachStageOfASolve) {
    struct Case {
        const char* name;
        std::string log;  // written when not empty
        std::string fields;
    };
    const std::vector<Case> cases = {
        {"no log", "",
         "\"state\":\"not_started\",\"segment\":1,\"iteration\":0,\"steps_done\":0,\"steps_total\":70,"
         "\"steps_left\":70,\"fraction_done\":0.0,\"rate\":5.0,\"seconds_left\":14.0,"},
        {"only the fresh checkpoint", "\n" + line(0, 0),
         "\"state\":\"in_progress\",\"segment\":1,\"iteration\":0,\"steps_done\":0,\"steps_total\":70,"
         "\"steps_left\":70,\"fraction_done\":0.0,\"rate\":5.0,\"seconds_left\":14.0,"},
        {"half way, a torn line after the last one", "\n" + line(0, 0) + line(3, 4) + line(3, 5) + "{\"vers",
         "\"state\":\"in_progress\",\"segment\":4,\"iteration\":5,\"steps_done\":35,\"steps_total\":70,"
         "\"steps_left\":35,\"fraction_done\":0.5,\"rate\":5.0,\"seconds_left\":7.0,"},
        {"finished", line(5, 10) + line(6, 0) + line(6, 10),
         "\"state\":\"work_done\",\"segment\":7,\"iteration\":10,\"steps_done\":70,\"steps_total\":70,"
         "\"steps_left\":0,\"fraction_done\":1.0,\"rate\":5.0,\"seconds_left\":0.0,"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(dir_ / "progress.log");
        if (!c.log.empty()) dir_.write("progress.log", c.log);
        const auto result = status({"--checkpoint", dir_ / "progress.log", "--rate", "5", "--json"});
        ASSERT_EQ(result.status, 0) << c.name << ": " << result.err;
        EXPECT_EQ(result.err, "");
        const std::string head = "{\"manifest_id\":\"" + id_ +
                                 "\",\"epoch\":42,\"segments\":7,\"iterations\":10,\"verified\":null,"
                                 "\"verification_error\":null,";
        EXPECT_TRUE(std::regex_match(result.out, std::regex(std::regex_replace(head + c.fields, std::regex(R"([\[\]{}().*+?^$|\\])"), R"(\$&)") +
                                                           "\"finish_utc\":\"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z\"\\}\n")))
            << c.name << ": " << result.out;
        // Reading never creates, extends or changes the log.
        EXPECT_EQ(std::filesystem::exists(dir_ / "progress.log"), !c.log.empty()) << c.name;
        if (!c.log.empty()) EXPECT_EQ(read_file(dir_ / "progress.log"), c.log) << c.name;
    }
}

TEST_F(Status, TextNamesThePositionAsTheSolveLineDoes) {
    dir_.write("progress.log", "\n" + line(0, 0) + line(3, 4));
    const auto result = status({"--checkpoint", dir_ / "progress.log", "--service-public-key",
                                test::kServicePublicKeyHex});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "manifest id: " + id_ +
                              "\n"
                              "epoch:       42\n"
                              "segments:    7\n"
                              "iterations:  10 steps per segment\n"
                              "verified:    yes, signed by the pinned service key\n"
                              "position:    segment 4 of 7, step 4 of 10\n"
                              "done:        48.6% (34 of 70 steps)\n"
                              "steps left:  36\n"
                              "time left:   unknown (give --rate or --calibration)\n");
}

TEST_F(Status, VerificationAndRateSources) {
    // Another service's key: shown as not verified, with the reason; not an error.
    const auto wrong = status({"--service-public-key", std::string(64, '0'), "--json"});
    EXPECT_EQ(wrong.status, 0) << wrong.err;
    EXPECT_NE(wrong.out.find("\"verified\":false,\"verification_error\":\"service signer does not match "
                             "attestation pin\""),
              std::string::npos)
        << wrong.out;
    // A malformed pin is an error, as everywhere else.
    const auto malformed = status({"--service-public-key", "abc"});
    EXPECT_EQ(malformed.status, 1);
    EXPECT_EQ(malformed.err, "Error: --service-public-key is not a public key; give the service's 64 hex digits, as "
                             "keygen or pubkey printed them\n\nCaused by:\n    key must contain 64 hex digits\n");

    // The rate of a calibration report is its fastest worker's.
    const CalibrationReport report = make_calibration_report(100, WorkMode::Full, 1.0, 20.0, {10.0, 20.0});
    dir_.write("calibration.json", write_calibration_report(report) + "\n");
    const auto calibrated = status({"--calibration", dir_ / "calibration.json"});
    ASSERT_EQ(calibrated.status, 0) << calibrated.err;
    EXPECT_NE(calibrated.out.find("time left:       7s at 10.0 H/s (Full-mode calibration)\n"), std::string::npos)
        << calibrated.out;
    EXPECT_NE(calibrated.out.find("expected finish: "), std::string::npos);

    // --rate and --calibration exclude each other; a rate must be a positive number.
    EXPECT_EQ(status({"--rate", "1", "--calibration", "c.json"}).status, 2);
    for (const char* bad : {"0", "-1", "1e3", "abc", "1.", ".5", "nan"}) {
        EXPECT_EQ(status({"--rate", bad}).status, 2) << bad;
    }
    dir_.write("bad.json", "{}");
    const auto bad_report = status({"--calibration", dir_ / "bad.json"});
    EXPECT_EQ(bad_report.status, 1);
    EXPECT_EQ(bad_report.err, "Error: --calibration " + (dir_ / "bad.json") +
                                  " is not a calibration report; give a calibration report that calibrate wrote\n\n"
                                  "Caused by:\n    missing field `randomx` at line 1 column 2\n");
}

TEST_F(Status, ALogSolveWouldRefuseIsAnError) {
    const SignedManifest other = test::make_signed_manifest({.segments = 7});
    Key32 state;
    dir_.write("progress.log", checkpoint_line(new_checkpoint(manifest_id(other).value(), 1, 1, state).value()));
    const auto result = status({"--checkpoint", dir_ / "progress.log"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error: checkpoint belongs to another puzzle\n");
}

// A solve whose key output holds the puzzle's key is finished, whatever its
// log shows; one whose key output holds another key is not.
TEST_F(Status, AKeyOutputMatchingTheCommitmentMeansFinished) {
    dir_.write("solved.key", encode_hex(epoch_key_.span()));
    dir_.write("wrong.key", std::string(64, '1'));
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
        const auto json = status({"--key-out", dir_ / c.key, "--json"});
        EXPECT_EQ(json.status, 0) << json.err;
        EXPECT_NE(json.out.find(c.state), std::string::npos) << c.key << ": " << json.out;
        const auto text = status({"--key-out", dir_ / c.key});
        EXPECT_EQ(text.status, 0) << text.err;
        EXPECT_EQ(text.out.find("finished:") != std::string::npos, !c.finished_row.empty()) << text.out;
        if (!c.finished_row.empty()) EXPECT_NE(text.out.find(c.finished_row), std::string::npos) << text.out;
    }
}

// A split generation shows each segment's state and the time left, counted from 1.
// Every segment from 1, runs that read the same in one line.
TEST(SplitStatus, ShowsEverySegmentFromOne) {
    ScratchDir dir;
    ASSERT_EQ(run({"plan", "--epoch", "2", "--iterations", "1000", "--state", dir / "st"}).status, 0);
    std::filesystem::create_directory(dir.path() / "res");
    // Segment index 3 (the fourth) is done: a result with a valid MAC.
    const SegmentTask task = tasks_of(read_plan_file(test::dir_at(dir / "st")).value())[3];
    std::vector<Key32> states(result_intervals(task.iterations));
    ASSERT_TRUE(publish_result(test::target_at(in_dir(dir / "res", result_file_name(3))), seal_result(task, states)).ok());

    const auto shown = run({"status", "--state", dir / "st", "--results", dir / "res", "--rate", "10"});
    ASSERT_EQ(shown.status, 0) << shown.err;
    for (const char* row : {"segments done: 1 of 96\n", "\nsegments 1-3: not started\nsegment 4: done\n"
                            "segments 5-96: not started\n",
                            // 1000 steps at 10 H/s with every segment at once; 95000 one after another.
                            "time left:     1m 40s with every segment at once, 2h 38m on one thread"}) {
        EXPECT_NE(shown.out.find(row), std::string::npos) << row << shown.out;
    }
    const auto json = run({"status", "--state", dir / "st", "--results", dir / "res", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_NE(json.out.find("\"segments_done\":1,\"segments_total\":96,\"steps_left\":95000"), std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("{\"segment\":4,\"done\":true,\"steps\":1000}"), std::string::npos) << json.out;

    // Without --results the state directory is where the results are looked for.
    const auto own = run({"status", "--state", dir / "st"});
    EXPECT_NE(own.out.find("segments done: 0 of 96\n"), std::string::npos) << own.out;
    // --results alone has nothing to read the plan from: a usage error.
    EXPECT_EQ(run({"status", "--results", dir / "res"}).status, 2);
}

// ---- generate --iterations-from ---------------------------------------------

TEST(GenerateIterationsFrom, TakesTheReportsCountAndRefusesALightFigureForAFullPuzzle) {
    ScratchDir dir;
    dir.write("service.key", test::kServiceSeedHex);
    // A report of an impossibly fast machine (10^15 H/s): its count for a day is
    // past 10^12, and generate's own check shows the count was taken from it,
    // before any work (generate refuses such a count).
    CalibrationReport report = make_calibration_report(1'000'000'000'000, WorkMode::Light, 0.5, 1e-3, {1e-3});
    dir.write("light.json", write_calibration_report(report) + "\n");
    report.mode = WorkMode::Full;
    dir.write("full.json", write_calibration_report(report) + "\n");
    auto generate = [&](const std::string& report_file, const std::string& mode) {
        return run({"generate", "--epoch", "1", "--iterations-from", dir / report_file, "--signing-key",
                    dir / "service.key", "--manifest-out", dir / "m.json", "--epoch-key-out", dir / "e.key",
                    "--mode", mode});
    };
    struct Case {
        std::string report;
        std::string mode;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"light.json", "full",
         "Error: the calibration report was measured in light mode; a full-mode puzzle needs a full-mode "
         "calibration (or generate with --mode light)\n"},
        {"light.json", "light", "Error: invalid iterations\n"},
        {"full.json", "full", "Error: invalid iterations\n"},
        {"full.json", "light", "Error: invalid iterations\n"},
    };
    for (const Case& c : cases) {
        const auto result = generate(c.report, c.mode);
        EXPECT_EQ(result.status, 1) << c.report << " " << c.mode;
        EXPECT_EQ(result.err, c.err) << c.report << " " << c.mode;
    }
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"full.json", "light.json", "service.key"}));
    // Not both, and not neither.
    EXPECT_EQ(run({"generate", "--epoch", "1", "--iterations", "1", "--iterations-from", "r", "--signing-key", "k",
                   "--manifest-out", "m", "--epoch-key-out", "e"})
                  .status,
              2);
}

// ---- SIGUSR1 ------------------------------------------------------------------

TEST(RealLightStatusRequest, SigusrOneWritesAStatusLineAndTheSolveGoesOn) {
    const test::SolvablePuzzle puzzle = test::make_solvable_puzzle(kIterations);
    ScratchDir dir;
    dir.write("manifest.json", write_signed_manifest(puzzle.manifest));
    std::filesystem::create_directory(dir.path() / "out");
    const std::vector<std::string> args = {"solve", "--manifest", dir / "manifest.json", "--service-public-key",
                                           test::kServicePublicKeyHex, "--checkpoint", dir / "progress.log",
                                           "--key-out", dir / "key.hex", "--mode", "light",
                                           "--checkpoint-interval", "1"};
    test::ChildProcess child(ZT_BINARY, args, dir / "out");
    // Caught from the start; a request during the setup is answered at once.
    ASSERT_TRUE(child.wait_until_catching(SIGUSR1, std::chrono::minutes(1)));
    child.send(SIGUSR1);
    ASSERT_TRUE(test::wait_for_text((dir.path() / "out" / "stderr").string(), "\n", child));
    ASSERT_TRUE(test::wait_for_text(dir / "progress.log", "\"segment\":2,\"iteration\":0,", child));
    child.send(SIGUSR1);
    const test::ProcessResult finished = child.wait();
    EXPECT_EQ(finished.status, 0) << finished.err;
    EXPECT_EQ(finished.out, "Verified epoch 42 key commitment\n");
    const std::string status_line = R"(solve: segment [1-7] of 7, step [0-9]+ of 10 \([0-9.]+%\), [^\n]* left\n)";
    // The first request may come while RandomX is being set up: that line says so.
    const std::string setup_line = R"(solve: setting up RandomX \(light mode\), [0-9]+s so far\n)";
    EXPECT_TRUE(std::regex_match(finished.err, std::regex("(" + status_line + "|" + setup_line + ")" + status_line)))
        << finished.err;
    EXPECT_EQ(read_file(dir / "key.hex"), encode_hex(puzzle.epoch_key.span()));
}

// A request in the program's first instant, before any library has been
// initialised, neither ends it nor is answered by a command that does not
// answer requests.
TEST(StatusRequest, ARequestBeforeAnyInitialisationIsCaught) {
    if (std::string(ZT_RAISE_STATUS_REQUEST).empty()) GTEST_SKIP() << "a statically linked program preloads nothing";
    for (const std::vector<std::string> command : {std::vector<std::string>{"--help"},
                                                    std::vector<std::string>{"pubkey", "--signing-key", "none"}}) {
        std::vector<std::string> args = {std::string("LD_PRELOAD=") + ZT_RAISE_STATUS_REQUEST,
                                         "ASAN_OPTIONS=verify_asan_link_order=0", ZT_BINARY};
        args.insert(args.end(), command.begin(), command.end());
        const test::ProcessResult run = test::run_program("/usr/bin/env", args);
        EXPECT_LT(run.status, 128) << command[0] << ": ended by a signal";
        EXPECT_EQ(run.status, command[0] == "--help" ? 0 : 1) << run.err;
    }
}

// ---- help and version ----------------------------------------------------------

TEST(Help, EveryCommandAndOptionIsDescribed) {
    for (const auto& command : cli::grammar::commands()) {
        EXPECT_FALSE(command.about.empty()) << command.name;
        const std::string help = cli::grammar::command_help(command);
        for (const auto& option : command.options) {
            EXPECT_FALSE(option.help.empty()) << command.name << " " << option.name;
            EXPECT_NE(help.find(option.help), std::string::npos) << command.name << " " << option.name;
        }
    }
}

TEST(Help, NamesTheGeneratedSegmentCountExitStatusesAndSignals) {
    const auto help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    const std::string segments = std::to_string(protocol::kGeneratedSegments);
    EXPECT_NE(help.out.find(segments + "-segment timelock generator"), std::string::npos);
    EXPECT_NE(help.out.find("Generate " + segments + " segments"), std::string::npos);
    EXPECT_EQ(help.out.find("84"), std::string::npos);
    for (const char* word : {"\n  0 ", "\n  1 ", "\n  2 ", "\n  101 ", "130", "143", "129", "SIGUSR1", "SIGHUP"}) {
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
    }
}

TEST(Version, NamesTheProgramAndTheRandomxItImplements) {
    const auto version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.err, "");
    EXPECT_TRUE(std::regex_match(version.out, std::regex("zanth-timelock [0-9]+\\.[0-9]+\\.[0-9]+\n.*\n")));
    for (std::string_view part : {protocol::kRandomxRelease, protocol::kRandomxCommit, protocol::kRandomxAlgorithm}) {
        EXPECT_NE(version.out.find(part), std::string::npos) << part;
    }
    EXPECT_EQ(run({"--version", "extra"}).status, 2);
}

}  // namespace
}  // namespace zt
