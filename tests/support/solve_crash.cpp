#include "tests/support/solve_crash.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/signed_manifest.h"
#include "tests/support/solvable_puzzle.h"
#include "tests/support/subprocess.h"
#include "timelock/base/crypto.h"
#include "timelock/formats/checkpoint.h"
#include "timelock/formats/manifest.h"

namespace zt::test {
namespace {

std::vector<std::string> solve_args(const ScratchDir& dir, std::uint64_t interval) {
    return {"solve",
            "--manifest",
            dir / "manifest.json",
            "--service-public-key",
            kServicePublicKeyHex,
            "--checkpoint",
            dir / "progress.log",
            "--key-out",
            dir / "key.hex",
            "--checkpoint-interval",
            std::to_string(interval),
            "--mode",
            "light"};
}

// Every complete line of the whole log (not only its last 8192 bytes) is
// either empty or a true checkpoint of the puzzle.
void expect_every_line_true(const std::string& log, const SolvablePuzzle& puzzle) {
    std::size_t begin = 0;
    for (std::size_t end; (end = log.find('\n', begin)) != std::string::npos; begin = end + 1) {
        if (end == begin) continue;
        const std::string line = log.substr(begin, end - begin);
        auto parsed = parse_checkpoint(line);
        ASSERT_TRUE(parsed.ok()) << "unparseable complete line: " << line;
        ASSERT_TRUE(accept_checkpoint(*parsed, puzzle.manifest, puzzle.id).ok()) << line;
        EXPECT_EQ(line + "\n", puzzle.line(parsed->segment, parsed->iteration)) << "state off the chain";
    }
}

// Starts a first run and kills it as soon as it has appended, after Open
// log's line feed and its starting checkpoint, one checkpoint of its own;
// returns how long that took.
double pace(const ScratchDir& dir, const CrashDrill& drill) {
    const std::string log_path = dir / "progress.log";
    const auto lines = [&log_path] {
        std::error_code ignored;
        if (!std::filesystem::exists(log_path, ignored)) return std::size_t{0};
        const std::string log = read_file(log_path);
        return static_cast<std::size_t>(std::count(log.begin(), log.end(), '\n'));
    };
    const std::size_t before = lines();
    const auto start = std::chrono::steady_clock::now();
    ChildProcess child(ZT_BINARY, solve_args(dir, drill.interval), dir / "out");
    while (lines() < before + 3 && child.running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    child.send(SIGKILL);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(child.wait().status, 128 + SIGKILL);
    return seconds;
}

}  // namespace

std::uint64_t crash_drill_seed() {
    const char* given = std::getenv(kCrashSeedVariable);
    if (given == nullptr) return (std::uint64_t{std::random_device{}()} << 32) | std::random_device{}();
    char* end = nullptr;
    errno = 0;
    const unsigned long long seed = std::strtoull(given, &end, 10);
    EXPECT_TRUE(*given != '\0' && *end == '\0' && errno == 0) << kCrashSeedVariable << "=" << given << " is no seed";
    return seed;
}

void run_crash_drill(const CrashDrill& drill, std::uint64_t seed) {
    const std::string replay = std::string(kCrashSeedVariable) + "=" + std::to_string(seed);
    std::printf("crash drill seed %llu (replay with %s)\n", static_cast<unsigned long long>(seed), replay.c_str());
    SCOPED_TRACE("crash drill seed: replay with " + replay);
    std::mt19937_64 random(seed);

    const SolvablePuzzle puzzle = make_solvable_puzzle(drill.iterations);
    ScratchDir dir;
    dir.write("manifest.json", write_signed_manifest(puzzle.manifest));
    std::filesystem::create_directory(dir.path() / "out");
    const std::string log_path = dir / "progress.log";
    const std::string key_path = dir / "key.hex";
    const std::string key_hex = encode_hex(puzzle.epoch_key.span());

    const double paced = pace(dir, drill);
    std::printf("crash drill: first checkpoint after %.2f s; kills within %.2f s of each start\n", paced,
                drill.window * paced);
    std::uniform_real_distribution<double> delay(0.0, drill.window * paced);

    std::tuple<std::uint32_t, std::uint64_t> furthest{0, 0};
    int killed_mid_walk = 0;
    bool finished = false;
    for (int kill = 0; kill < drill.kills && !finished; ++kill) {
        SCOPED_TRACE("kill " + std::to_string(kill));
        ChildProcess child(ZT_BINARY, solve_args(dir, drill.interval), dir / "out");
        std::this_thread::sleep_for(std::chrono::duration<double>(delay(random)));
        child.send(SIGKILL);
        const ProcessResult result = child.wait();
        std::error_code ignored;
        if (result.status == 0 || std::filesystem::exists(key_path, ignored)) {
            // It got to the end before the kill (or was killed while
            // printing): the key is the puzzle's.
            ASSERT_TRUE(result.status == 0 || result.status == 128 + SIGKILL) << result.err;
            EXPECT_EQ(read_file(key_path), key_hex);
            finished = true;
            break;
        }
        ASSERT_EQ(result.status, 128 + SIGKILL) << result.err;

        auto loaded = load_latest_checkpoint(log_path);
        ASSERT_TRUE(loaded.ok()) << loaded.error().message();
        const std::string log = std::filesystem::exists(log_path, ignored) ? read_file(log_path) : "";
        expect_every_line_true(log, puzzle);
        if (!loaded->has_value()) continue;
        ASSERT_TRUE(accept_checkpoint(**loaded, puzzle.manifest, puzzle.id).ok());
        const std::tuple<std::uint32_t, std::uint64_t> position{(*loaded)->segment, (*loaded)->iteration};
        EXPECT_GE(position, furthest) << "resume position went backwards";
        if (position > furthest) ++killed_mid_walk;
        furthest = std::max(furthest, position);
        EXPECT_EQ(log.find(key_hex), std::string::npos) << "epoch key in the log";
    }
    std::printf("crash drill: furthest resume point (%u, %llu), %d kills after new progress\n",
                std::get<0>(furthest), static_cast<unsigned long long>(std::get<1>(furthest)), killed_mid_walk);

    if (!finished) {
        const ProcessResult last = run_program(ZT_BINARY, solve_args(dir, drill.interval));
        ASSERT_EQ(last.status, 0) << last.err;
        EXPECT_EQ(last.out, "Verified epoch 42 key commitment\n");
        EXPECT_EQ(read_file(key_path), key_hex);
    }
    const std::string log = read_file(log_path);
    expect_every_line_true(log, puzzle);
    EXPECT_EQ(log.find(key_hex), std::string::npos) << "epoch key in the log";
}

}  // namespace zt::test
