// The work engine: step message layout, the flags and call sequence of
// setup, release order, the allocation failure paths (through the fake
// library), and real light-mode chains against the recorded vectors.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/fake_randomx.h"
#include "tests/support/vector_json.h"
#include "timelock/base/crypto.h"
#include "timelock/work/engine.h"

namespace zt {
namespace {

using test::ScopedFakeRandomx;
using Log = std::vector<std::string>;

Key32 key_from(std::string_view hex) {
    const auto bytes = test::unhex(hex);
    return Key32(std::span<const std::uint8_t, 32>(bytes.data(), 32));
}

Key32 counting_key() {
    Key32 k;
    for (std::size_t i = 0; i < k.size(); ++i) k[i] = static_cast<std::uint8_t>(i + 1);
    return k;
}

std::string message_hex(const StepMessage& m) { return encode_hex(m.span()); }

struct MessageCase {
    std::uint64_t epoch;
    std::uint32_t segment;
    std::uint64_t iteration;
    const char* numbers_hex;  // the 20 bytes between label and state
};

TEST(StepMessage, LabelNumbersBigEndianThenState) {
    const std::string label_hex = encode_hex(as_bytes("zanth-timelock-v1"));
    const MessageCase cases[] = {
        {7, 0, 0, "0000000000000007" "00000000" "0000000000000000"},
        {0, 95, 0, "0000000000000000" "0000005f" "0000000000000000"},
        {0, 0, 999'999'999'999, "0000000000000000" "00000000" "000000e8d4a50fff"},
        {0xffffffffffffffff, 0xfffffffe, 1, "ffffffffffffffff" "fffffffe" "0000000000000001"},
    };
    const Key32 state = counting_key();
    for (const auto& c : cases) {
        const StepMessage m = step_message(c.epoch, c.segment, c.iteration, state);
        ASSERT_EQ(m.size(), 69u);
        EXPECT_EQ(message_hex(m), label_hex + c.numbers_hex + encode_hex(state.span()))
            << "epoch " << c.epoch << " segment " << c.segment << " iteration " << c.iteration;
    }
}

TEST(StepMessage, MatchesTheFirstMessageOfEveryRecordedChain) {
    const auto chains = test::load_vectors("randomx/chains.json");
    for (const auto& chain : chains.items()) {
        const StepMessage m = step_message(static_cast<std::uint64_t>(chain["epoch"].num()),
                                           static_cast<std::uint32_t>(chain["segment"].num()), 0,
                                           key_from(chain["seed_hex"].str()));
        EXPECT_EQ(message_hex(m), chain["first_message_hex"].str());
    }
}

TEST(EngineSetup, LightModeKeysTheCacheAndNeverAllocatesADataset) {
    ScopedFakeRandomx fake;
    {
        auto engine = WorkEngine::setup(counting_key(), WorkMode::Light);
        ASSERT_TRUE(engine.ok());
        EXPECT_EQ(engine->vm_flags(), test::kFakeBaseFlags | 144u);
        auto vm = engine->create_vm();
        ASSERT_TRUE(vm.ok());
    }
    EXPECT_EQ(fake.log(), (Log{"alloc_cache 98", "init_cache 32", "create_vm 242", "destroy_vm", "release_cache"}));
    EXPECT_EQ(fake.live_caches(), 0);
}

// The log without its init_dataset calls, which must fill consecutive ranges
// from item 0, each at most kDatasetRangeItems; `filled`: the items filled.
Log without_dataset_ranges(const Log& log, unsigned long& filled) {
    Log rest;
    filled = 0;
    for (const std::string& entry : log) {
        unsigned long start = 0, count = 0;
        if (std::sscanf(entry.c_str(), "init_dataset %lu %lu", &start, &count) != 2) {
            rest.push_back(entry);
        } else {
            EXPECT_TRUE(start == filled && count <= kDatasetRangeItems) << entry;
            filled = start + count;
        }
    }
    return rest;
}

TEST(EngineSetup, FullModeFillsTheWholeDatasetInRangesAndReleasesItBeforeTheCache) {
    ScopedFakeRandomx fake;
    {
        auto engine = WorkEngine::setup(counting_key(), WorkMode::Full);
        ASSERT_TRUE(engine.ok());
        EXPECT_EQ(engine->vm_flags(), test::kFakeBaseFlags | 148u);
        ASSERT_TRUE(engine->create_vm().ok());
    }
    unsigned long filled = 0;
    EXPECT_EQ(without_dataset_ranges(fake.log(), filled),
              (Log{"alloc_cache 98", "init_cache 32", "alloc_dataset 0", "create_vm 246", "destroy_vm",
                   "release_dataset", "release_cache"}));
    EXPECT_EQ(filled, 34078719u);
    EXPECT_EQ(fake.live_caches(), 0);
    EXPECT_EQ(fake.live_datasets(), 0);
}

// A stop: no engine, everything released, no range after the one under way.
TEST(EngineSetup, AStopEndsTheSetupAfterTheRangeUnderWay) {
    const Log cache_only = {"alloc_cache 98", "init_cache 32", "release_cache"};
    const Log with_dataset = {"alloc_cache 98", "init_cache 32", "alloc_dataset 0", "release_dataset", "release_cache"};
    for (const auto& [mode, ranges, log] : {std::tuple{WorkMode::Light, 0, cache_only},
                                            {WorkMode::Full, 0, cache_only}, {WorkMode::Full, 300, with_dataset}}) {
        ScopedFakeRandomx fake;
        std::atomic<int> stop{ranges == 0 ? SIGINT : 0};
        int done = 0;
        fake.after_init_dataset([&, ranges = ranges] { stop = ++done == ranges ? SIGTERM : stop.load(); });
        const auto engine = WorkEngine::setup_unless_stopped(counting_key(), mode, stop);
        ASSERT_TRUE(engine.ok());
        EXPECT_FALSE(engine->has_value());
        unsigned long filled = 0;
        EXPECT_EQ(without_dataset_ranges(fake.log(), filled), log);
        EXPECT_EQ(filled, static_cast<unsigned long>(ranges) * kDatasetRangeItems);
    }
}

TEST(EngineSetup, CacheAllocationFailureLeavesNothing) {
    for (WorkMode mode : {WorkMode::Light, WorkMode::Full}) {
        ScopedFakeRandomx fake;
        fake.fail_cache_allocation();
        auto engine = WorkEngine::setup(counting_key(), mode);
        ASSERT_FALSE(engine.ok());
        EXPECT_EQ(engine.error().message(), "RandomX cache allocation failed (256 MiB required)");
        EXPECT_EQ(fake.log(), (Log{"alloc_cache 98"}));
    }
}

TEST(EngineSetup, DatasetAllocationFailureReleasesTheCache) {
    ScopedFakeRandomx fake;
    fake.fail_dataset_allocation();
    auto engine = WorkEngine::setup(counting_key(), WorkMode::Full);
    ASSERT_FALSE(engine.ok());
    EXPECT_EQ(engine.error().message(), "RandomX dataset allocation failed (2080 MiB required)");
    EXPECT_EQ(fake.log(), (Log{"alloc_cache 98", "init_cache 32", "alloc_dataset 0", "release_cache"}));
    EXPECT_EQ(fake.live_caches(), 0);
}

TEST(EngineSetup, VmAllocationFailureLeavesTheEngineUsable) {
    ScopedFakeRandomx fake;
    auto engine = WorkEngine::setup(counting_key(), WorkMode::Light);
    ASSERT_TRUE(engine.ok());
    test::fail_vm_on_this_thread();
    auto failed = engine->create_vm();
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().message(), "RandomX VM allocation failed");
    EXPECT_TRUE(engine->create_vm().ok());
}

TEST(EngineSetup, MovingTransfersOwnershipSoReleaseHappensOnce) {
    ScopedFakeRandomx fake;
    {
        auto engine = WorkEngine::setup(counting_key(), WorkMode::Full);
        ASSERT_TRUE(engine.ok());
        WorkEngine moved = std::move(engine).value();
        moved.release();
        EXPECT_TRUE(moved.released());
        moved.release();
    }
    const Log log = fake.log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "release_cache"), 1);
    EXPECT_EQ(std::count(log.begin(), log.end(), "release_dataset"), 1);
}

TEST(Step, HashesTheStepMessageAndChainsTheResult) {
    ScopedFakeRandomx fake;
    const Key32 key = counting_key();
    auto engine = WorkEngine::setup(key, WorkMode::Light);
    ASSERT_TRUE(engine.ok());
    auto vm = engine->create_vm();
    ASSERT_TRUE(vm.ok());

    Key32 seed;
    seed[0] = 0xab;
    Key32 expected = seed;
    for (std::uint64_t j = 0; j < 5; ++j) {
        expected = test::fake_hash(key.span(), step_message(9, 3, j, expected).span());
    }
    std::atomic<std::uint64_t> steps{0};
    EXPECT_EQ(segment_chain(*vm, 9, 3, 5, seed, &steps), expected);
    EXPECT_EQ(steps.load(), 5u);
    EXPECT_EQ(step(*vm, 9, 3, 0, seed), test::fake_hash(key.span(), step_message(9, 3, 0, seed).span()));
    EXPECT_EQ(segment_chain(*vm, 9, 3, 0, seed), seed);  // zero steps: the seed itself
}

// The real library, light mode: every recorded v2 chain of the step message.
// Chains are taken key by key so each cache is built once.
TEST(RealLightSegmentChain, ReproducesTheRecordedChains) {
    const auto chains = test::load_vectors("randomx/chains.json");
    std::vector<const test::Json*> ordered;
    for (const auto& chain : chains.items()) ordered.push_back(&chain);
    std::stable_sort(ordered.begin(), ordered.end(), [](const test::Json* a, const test::Json* b) {
        return (*a)["key_hex"].str() < (*b)["key_hex"].str();
    });

    std::string engine_key;
    std::optional<WorkEngine> engine;
    for (const test::Json* entry : ordered) {
        const test::Json& chain = *entry;
        if (chain["key_hex"].str() != engine_key) {
            engine.reset();
            auto ready = WorkEngine::setup(key_from(chain["key_hex"].str()), WorkMode::Light);
            ASSERT_TRUE(ready.ok());
            engine.emplace(std::move(ready).value());
            engine_key = chain["key_hex"].str();
        }
        auto vm = engine->create_vm();
        ASSERT_TRUE(vm.ok());
        const auto epoch = static_cast<std::uint64_t>(chain["epoch"].num());
        const auto segment = static_cast<std::uint32_t>(chain["segment"].num());
        const Key32 seed = key_from(chain["seed_hex"].str());
        if (chain.has("states_hex")) {
            const auto& states = chain["states_hex"].items();
            Key32 state = seed;
            for (std::size_t j = 0; j + 1 < states.size(); ++j) {
                state = step(*vm, epoch, segment, j, state);
                ASSERT_EQ(encode_hex(state.span()), states[j + 1].str()) << "step " << j;
            }
        }
        const auto iterations = static_cast<std::uint64_t>(chain["iterations"].num());
        const Key32 digest = segment_chain(*vm, epoch, segment, iterations, seed);
        EXPECT_EQ(encode_hex(digest.span()), chain["digest_hex"].str()) << "segment " << segment;
    }
}

}  // namespace
}  // namespace zt
