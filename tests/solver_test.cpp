// The solver on a 7-segment puzzle of 10 iterations: the exact log a run
// writes for several intervals, resuming mid-segment and at a segment's end,
// the order of the checks, failures that must not reach the key, and
// stopping on SIGINT/SIGTERM, in-process and through the program.
//
// The walk's bookkeeping does not depend on what the hash is, so most tests
// run on the fake library (a SHA-256 stand-in, milliseconds per run). The
// RealLight suites repeat the essentials on the real light-mode RandomX:
// one in-process run with its exact log, and the program stopped by a
// signal and resumed.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/fake_randomx.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/signed_manifest.h"
#include "tests/support/solvable_puzzle.h"
#include "tests/support/subprocess.h"
#include "timelock/base/crypto.h"
#include "timelock/formats/checkpoint.h"
#include "timelock/formats/manifest_signing.h"
#include "timelock/work/generation.h"
#include "timelock/work/randomx_calls.h"
#include "timelock/work/solver.h"

namespace zt {
namespace {

using test::ScratchDir;
using test::SolvablePuzzle;
using test::read_file;

constexpr std::uint64_t kIterations = 10;
constexpr std::uint32_t kLast = 6;

// Built and solved on the fake library unless a test says otherwise.
const SolvablePuzzle& puzzle() {
    static const SolvablePuzzle p = [] {
        const test::ScopedFakeRandomx fake;
        return test::make_solvable_puzzle(kIterations);
    }();
    return p;
}

// Built with the real light-mode library (70 real hashes).
const SolvablePuzzle& real_puzzle() {
    static const SolvablePuzzle p = test::make_solvable_puzzle(kIterations);
    return p;
}

// The hash of the table in use, counted; optionally raising a signal in this process
// right after the n-th hash, as if it had arrived during that step.
std::atomic<int> g_hashes{0};
int g_raise_after = 0;
int g_raise_signal = 0;

// raise_after -1: the signal is raised while the cache is initialised,
// as if it had arrived during the engine setup.
constexpr int kDuringSetup = -1;

void (*g_inner_hash)(randomx_vm*, const void*, std::size_t, void*) = nullptr;
decltype(detail::RandomxCalls::init_cache) g_inner_init_cache = nullptr;

void counting_hash(randomx_vm* vm, const void* input, std::size_t size, void* output) {
    g_inner_hash(vm, input, size, output);
    if (++g_hashes == g_raise_after) ::raise(g_raise_signal);
}

int signalling_init_cache(randomx_cache* cache, const void* key, std::size_t size, int (*stop)(const void*),
                          const void* context) {
    const int done = g_inner_init_cache(cache, key, size, stop, context);
    if (g_raise_after == kDuringSetup) ::raise(g_raise_signal);
    return done;
}

class CountingRandomx {
public:
    explicit CountingRandomx(int raise_after = 0, int signal_number = 0) {
        g_hashes = 0;
        g_raise_after = raise_after;
        g_raise_signal = signal_number;
    }
    int hashes() const { return g_hashes; }

private:
    detail::RandomxCalls calls_ = [] {
        detail::RandomxCalls calls = detail::randomx_calls();
        g_inner_hash = calls.calculate_hash;  // before this table replaces it
        g_inner_init_cache = calls.init_cache;
        calls.calculate_hash = counting_hash;
        calls.init_cache = signalling_init_cache;
        return calls;
    }();
    detail::ScopedRandomxCalls install_{calls_};
};

struct SolveRun {
    Result<SolveOutcome> outcome = Error("not run");
    std::string log;  // everything the run wrote after Open log's line feed
    int hashes = 0;
};

enum class Library { Fake, Real };

SolveRun run(const SignedManifest& manifest, const std::optional<Checkpoint>& resume, std::uint64_t interval,
        const Bytes32& pin = test::service_pin(), const SolveOptions& options = {}, int raise_after = 0,
        int signal_number = 0, Library library = Library::Fake) {
    ScratchDir dir;
    auto log = open_checkpoint_log(dir / "progress.log");
    EXPECT_TRUE(log.ok());
    std::optional<test::ScopedFakeRandomx> fake;
    if (library == Library::Fake) fake.emplace();
    const CountingRandomx counting(raise_after, signal_number);
    SolveRun r;
    r.outcome = solve(manifest, pin, WorkMode::Light, resume, interval, log->get(), options);
    r.hashes = counting.hashes();
    const std::string all = read_file(dir / "progress.log");
    EXPECT_EQ(all.substr(0, 1), "\n");
    r.log = all.substr(1);
    return r;
}

Checkpoint at(std::uint32_t segment, std::uint64_t iteration, const SolvablePuzzle& p = puzzle()) {
    return new_checkpoint(p.id, segment, iteration, p.states[segment][iteration]).value();
}

std::string lines(const std::vector<std::pair<std::uint32_t, std::uint64_t>>& coordinates,
                  const SolvablePuzzle& p = puzzle()) {
    std::string out;
    for (const auto& [s, j] : coordinates) out += p.line(s, j);
    return out;
}

// The last line of a log that ends with a line feed.
Checkpoint last_checkpoint(const std::string& log) {
    const std::size_t end = log.size() - 1;
    const std::size_t feed = log.rfind('\n', end - 1);
    const std::size_t begin = feed == std::string::npos ? 0 : feed + 1;
    return parse_checkpoint(log.substr(begin, end - begin)).value();
}

void expect_key(const SolveRun& r, const SolvablePuzzle& p = puzzle()) {
    ASSERT_TRUE(r.outcome.ok()) << r.outcome.error().message();
    ASSERT_TRUE(std::holds_alternative<Key32>(*r.outcome));
    EXPECT_TRUE(std::get<Key32>(*r.outcome) == p.epoch_key);
}

void expect_error(const SolveRun& r, const std::string& message) {
    ASSERT_FALSE(r.outcome.ok());
    EXPECT_EQ(r.outcome.error().message(), message);
}

// ---- Whole runs: the exact log ---------------------------------------------

struct CadenceCase {
    const char* name;
    std::uint64_t interval;
    std::vector<std::uint64_t> within_segment;  // interval checkpoints of every segment
};

class Cadence : public testing::TestWithParam<CadenceCase> {};

void expect_fresh_run(const CadenceCase& c, Library library, const SolvablePuzzle& p) {
    const SolveRun r = run(p.manifest, std::nullopt, c.interval, test::service_pin(), {}, 0, 0, library);
    expect_key(r, p);
    std::vector<std::pair<std::uint32_t, std::uint64_t>> expected{{0, 0}};
    for (std::uint32_t s = 0; s <= kLast; ++s) {
        for (std::uint64_t j : c.within_segment) expected.emplace_back(s, j);
        if (s < kLast) expected.emplace_back(s + 1, 0);
    }
    EXPECT_EQ(r.log, lines(expected, p));
    EXPECT_EQ(r.hashes, 70);
    // The epoch key never reaches the log.
    EXPECT_EQ(r.log.find(encode_hex(p.epoch_key.span())), std::string::npos);
}

TEST_P(Cadence, FreshRunWritesExactlyTheseLines) { expect_fresh_run(GetParam(), Library::Fake, puzzle()); }

INSTANTIATE_TEST_SUITE_P(Intervals, Cadence,
                         testing::Values(CadenceCase{"Interval4", 4, {4, 8}}, CadenceCase{"Interval5", 5, {5, 10}},
                                         CadenceCase{"IntervalAboveIterations", 11, {}}),
                         [](const testing::TestParamInfo<CadenceCase>& param_info) { return param_info.param.name; });

TEST(RealLightSolve, FreshRunWritesTheExactLogAndReachesTheKey) {
    expect_fresh_run(CadenceCase{"Interval4", 4, {4, 8}}, Library::Real, real_puzzle());
}

// ---- Resuming ---------------------------------------------------------------

TEST(Resume, MidSegmentCheckpointsAtTheNextMultipleOfTheInterval) {
    const SolveRun r = run(puzzle().manifest, at(5, 6), 4);
    expect_key(r);
    EXPECT_EQ(r.log, lines({{5, 6}, {5, 8}, {6, 0}, {6, 4}, {6, 8}}));
    EXPECT_EQ(r.hashes, 14);
}

TEST(Resume, AtTheEndOfASegmentGoesStraightToTheUnwrap) {
    const SolveRun r = run(puzzle().manifest, at(kLast, kIterations), 4);
    expect_key(r);
    EXPECT_EQ(r.log, lines({{kLast, kIterations}}));
    EXPECT_EQ(r.hashes, 0);
}

TEST(Resume, ACheckpointWithAWrongStateFailsTheUnwrap) {
    // A digest-correct line whose state is not the chain's: the work goes on
    // from it and the unwrap of that segment refuses.
    Checkpoint wrong = new_checkpoint(puzzle().id, 3, kIterations, puzzle().states[2][kIterations]).value();
    const SolveRun r = run(puzzle().manifest, wrong, 4);
    expect_error(r, "segment 4 authentication failed (bad checkpoint or manifest)");
    EXPECT_EQ(r.log, checkpoint_line(wrong));
}

// ---- Checks before the walk ----------------------------------------------------

TEST(Checks, VerificationComesBeforeTheZeroInterval) {
    Bytes32 other_pin = test::service_pin();
    other_pin[0] ^= 1;
    const SolveRun wrong_pin = run(puzzle().manifest, std::nullopt, 0, other_pin);
    expect_error(wrong_pin, "service signer does not match attestation pin");

    SignedManifest tampered = puzzle().manifest;
    tampered.puzzle.iterations += 1;
    const SolveRun bad_signature = run(tampered, std::nullopt, 0);
    expect_error(bad_signature, "signature error: Verification equation was not satisfied");

    const SolveRun zero = run(puzzle().manifest, std::nullopt, 0);
    expect_error(zero, "zero checkpoint interval");
    for (const SolveRun* r : {&wrong_pin, &bad_signature, &zero}) {
        EXPECT_EQ(r->log, "");
        EXPECT_EQ(r->hashes, 0);
    }
}

TEST(Checks, ARefusedStartingCheckpointAppendsNothing) {
    Checkpoint corrupted = at(2, 3);
    corrupted.digest[0] = corrupted.digest[0] == '0' ? '1' : '0';
    const SolveRun r = run(puzzle().manifest, corrupted, 4);
    expect_error(r, "checkpoint corrupted");
    EXPECT_EQ(r.log, "");
    EXPECT_EQ(r.hashes, 0);
}

TEST(Checks, AManifestResignedWithAnotherEpochFailsTheFirstUnwrap) {
    const SignedManifest resigned = test::resigned_with_epoch(puzzle().manifest, 43);
    const std::string id = manifest_id(resigned).value();
    const SolveRun r = run(resigned, std::nullopt, 4);
    expect_error(r, "segment 1 authentication failed (bad checkpoint or manifest)");
    EXPECT_EQ(r.hashes, 10);
    // Segment 0 was worked under the new epoch and new id: (0, 0), (0, 4), (0, 8).
    std::vector<Checkpoint> written;
    std::size_t begin = 0;
    for (std::size_t end; (end = r.log.find('\n', begin)) != std::string::npos; begin = end + 1) {
        written.push_back(parse_checkpoint(r.log.substr(begin, end - begin)).value());
    }
    ASSERT_EQ(written.size(), 3u);
    const std::uint64_t expected_iterations[] = {0, 4, 8};
    for (std::size_t i = 0; i < written.size(); ++i) {
        EXPECT_EQ(written[i].manifest_id, id);
        EXPECT_EQ(written[i].segment, 0u);
        EXPECT_EQ(written[i].iteration, expected_iterations[i]);
        EXPECT_TRUE(accept_checkpoint(written[i], resigned, id).ok());
    }
    EXPECT_NE(written[1].x, at(0, 4).x);
}

TEST(Checks, AWrongFinalKeyIsACommitmentMismatch) {
    // The last wrapped key hides another value than the committed key.
    Manifest m = puzzle().manifest.puzzle;
    Key32 other;
    other[0] = 1;
    m.wrapped_keys[kLast] =
        wrap_segment_key(m, kLast, puzzle().states[kLast][kIterations], WrapNonce{}, other).value();
    const SignedManifest resigned = sign_manifest(m, test::service_keys()).value();
    const std::string id = manifest_id(resigned).value();
    const Checkpoint end = new_checkpoint(id, kLast, kIterations, puzzle().states[kLast][kIterations]).value();
    const SolveRun r = run(resigned, end, 4);
    expect_error(r, "epoch key commitment mismatch");
}

// ---- Stopping on request, in-process -----------------------------------------

struct sigaction disposition(int signal_number) {
    struct sigaction current {};
    sigaction(signal_number, nullptr, &current);
    return current;
}

TEST(Stop, ASignalDuringAStepSavesThePositionAndTheRunResumesFromIt) {
    const SolveOptions options{.stop_on_signals = true};
    const SolveRun stopped = run(puzzle().manifest, at(kLast, 0), 4, test::service_pin(), options, 3, SIGINT);
    ASSERT_TRUE(stopped.outcome.ok()) << stopped.outcome.error().message();
    ASSERT_TRUE(std::holds_alternative<SolveStopped>(*stopped.outcome));
    const auto& where = std::get<SolveStopped>(*stopped.outcome);
    EXPECT_EQ(where.segment, kLast);
    EXPECT_EQ(where.iteration, 3u);
    EXPECT_EQ(where.signal, SIGINT);
    EXPECT_EQ(stopped.hashes, 3);
    EXPECT_EQ(stopped.log, lines({{kLast, 0}, {kLast, 3}}));
    // The run's handlers are gone again.
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) EXPECT_EQ(disposition(signal_number).sa_handler, SIG_DFL);

    // The stop line is an ordinary checkpoint; the next multiple of the
    // interval comes next.
    const Checkpoint loaded = last_checkpoint(stopped.log);
    EXPECT_TRUE(accept_checkpoint(loaded, puzzle().manifest, puzzle().id).ok());
    const SolveRun resumed = run(puzzle().manifest, loaded, 4);
    expect_key(resumed);
    EXPECT_EQ(resumed.log, lines({{kLast, 3}, {kLast, 4}, {kLast, 8}}));
}

// A stop requested while the engine is set up ends the run at the position
// it started from, already saved, without a step or a second line.
TEST(Stop, ASignalDuringTheSetupStopsAtTheStartingPosition) {
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        const SolveRun stopped = run(puzzle().manifest, at(3, 6), 4, test::service_pin(),
                                     SolveOptions{.stop_on_signals = true}, kDuringSetup, signal_number);
        ASSERT_TRUE(stopped.outcome.ok()) << stopped.outcome.error().message();
        ASSERT_TRUE(std::holds_alternative<SolveStopped>(*stopped.outcome)) << signal_number;
        const auto& where = std::get<SolveStopped>(*stopped.outcome);
        EXPECT_EQ(std::make_tuple(where.segment, where.iteration, where.signal), std::make_tuple(3u, 6u, signal_number));
        EXPECT_EQ(stopped.hashes, 0);
        EXPECT_EQ(stopped.log, lines({{3, 6}}));
        EXPECT_EQ(disposition(signal_number).sa_handler, SIG_DFL);
    }
}

TEST(Stop, APositionJustCheckpointedIsNotWrittenTwice) {
    const SolveOptions options{.stop_on_signals = true};
    const SolveRun stopped = run(puzzle().manifest, at(kLast, 0), 4, test::service_pin(), options, 4, SIGTERM);
    ASSERT_TRUE(stopped.outcome.ok());
    const auto& where = std::get<SolveStopped>(*stopped.outcome);
    EXPECT_EQ(where.iteration, 4u);
    EXPECT_EQ(where.signal, SIGTERM);
    EXPECT_EQ(stopped.log, lines({{kLast, 0}, {kLast, 4}}));
}

TEST(Stop, ASignalIgnoredWhenTheRunStartsStaysIgnored) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    sigaction(SIGINT, &ignore, &previous);
    const SolveOptions options{.stop_on_signals = true};
    const SolveRun r = run(puzzle().manifest, at(kLast, 7), 4, test::service_pin(), options, 1, SIGINT);
    sigaction(SIGINT, &previous, nullptr);
    expect_key(r);
    EXPECT_EQ(r.log, lines({{kLast, 7}, {kLast, 8}}));
}

// ---- Stopping on request, through the program -------------------------------------

std::vector<std::string> solve_args(const ScratchDir& dir) {
    return {"solve",           "--manifest",         dir / "manifest.json",
            "--service-public-key", test::kServicePublicKeyHex, "--checkpoint",
            dir / "progress.log", "--key-out",         dir / "key.hex",
            "--checkpoint-interval", "1000",            "--mode",
            "light"};
}

class RealLightStopProgram : public testing::TestWithParam<int> {};

TEST_P(RealLightStopProgram, ExitsWithTheSignalsStatusAndTheNextRunFinishes) {
    const int signal_number = GetParam();
    ScratchDir dir;
    dir.write("manifest.json", write_signed_manifest(real_puzzle().manifest));
    const std::string log_path = dir / "progress.log";
    std::filesystem::create_directory(dir.path() / "out");
    {
        test::ChildProcess child(ZT_BINARY, solve_args(dir), dir / "out");
        ASSERT_TRUE(test::wait_for_text(log_path, "\"segment\":1,\"iteration\":0,", child));
        child.send(signal_number);
        const test::ProcessResult stopped = child.wait();
        EXPECT_EQ(stopped.status, 128 + signal_number);
        EXPECT_EQ(stopped.out, "");
        std::smatch match;
        ASSERT_TRUE(std::regex_match(stopped.err, match,
                                     std::regex("Stopped at segment 2 of 7, step ([0-9]+) of 10; run the same "
                                                "command to resume\n")))
            << stopped.err;
        const std::uint64_t step = std::stoull(match[1]);
        auto loaded = load_latest_checkpoint(log_path);
        ASSERT_TRUE(loaded.ok() && loaded->has_value());
        EXPECT_EQ(**loaded, at(1, step, real_puzzle()));
        // Nothing published, no staged file.
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"manifest.json", "out", "progress.log"}));
    }
    const test::ProcessResult finished = test::run_program(ZT_BINARY, solve_args(dir));
    EXPECT_EQ(finished.status, 0) << finished.err;
    EXPECT_EQ(finished.out, "Verified epoch 42 key commitment\n");
    EXPECT_EQ(finished.err, "");
    EXPECT_EQ(read_file(dir / "key.hex"), encode_hex(real_puzzle().epoch_key.span()));
    EXPECT_EQ(read_file(log_path).find(encode_hex(real_puzzle().epoch_key.span())), std::string::npos);
}

// A second solve on a log that a running solve holds fails at once, before
// its line feed, and leaves the log as it was.
TEST(LockedLog, ASecondSolveIsRefusedAndLeavesTheLogUnchanged) {
    ScratchDir dir;
    dir.write("manifest.json", write_signed_manifest(puzzle().manifest));
    const std::string log_path = dir / "progress.log";
    auto held = open_checkpoint_log(log_path);  // what the first solve holds
    ASSERT_TRUE(held.ok());
    ASSERT_TRUE(append_checkpoint(held->get(), at(2, 4)).ok());
    const std::string before = read_file(log_path);

    const test::ProcessResult refused = test::run_program(ZT_BINARY, solve_args(dir));
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "Error: checkpoint log is in use by another solve: " + log_path + " is locked by process " +
                               std::to_string(::getpid()) + " (solver_test); wait until it ends, or stop it\n");
    EXPECT_EQ(read_file(log_path), before);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"manifest.json", "progress.log"}));
}

INSTANTIATE_TEST_SUITE_P(Signals, RealLightStopProgram, testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const testing::TestParamInfo<int>& param_info) {
                             return std::string(param_info.param == SIGINT ? "Sigint" : param_info.param == SIGTERM ? "Sigterm" : "Sighup");
                         });

// A signal sent as soon as the program catches it, right after the starting
// line is saved, arrives during the RandomX setup (light mode: the 256 MiB
// cache). The run stops with the usual message at the position it loaded,
// and the log ends with that position.
// The run never steps, so the fake library's puzzle serves (its checkpoints
// are well formed; only their states differ from the real library's).
TEST(RealLightStopSetup, ASignalDuringTheSetupStopsAtTheLoadedPosition) {
    ScratchDir dir;
    dir.write("manifest.json", write_signed_manifest(puzzle().manifest));
    const std::string log_path = dir / "progress.log";
    dir.write("progress.log", puzzle().line(4, 7));
    std::filesystem::create_directory(dir.path() / "out");
    test::ChildProcess child(ZT_BINARY, solve_args(dir), dir / "out");
    ASSERT_TRUE(child.wait_until_catching(SIGHUP, std::chrono::minutes(1)));
    child.send(SIGHUP);
    const test::ProcessResult stopped = child.wait();
    EXPECT_EQ(stopped.status, 128 + SIGHUP);
    EXPECT_EQ(stopped.err, "Stopped at segment 5 of 7, step 7 of 10; run the same command to resume\n");
    EXPECT_EQ(read_file(log_path), puzzle().line(4, 7) + "\n" + puzzle().line(4, 7));
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"manifest.json", "out", "progress.log"}));
}

}  // namespace
}  // namespace zt
