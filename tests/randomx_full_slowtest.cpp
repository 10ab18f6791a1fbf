// Full mode: a dataset built from the cache on one thread gives the same
// hashes as light mode, with the compiler and with the interpreter; and a
// dataset built in parallel ranges is the same memory as the one-thread one. One key is used, the key of the chain in
// chains.json that lists all its states: every v2 case of hashes.json under
// that key and that chain are hashed in both modes.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "randomx/randomx.h"
#include "tests/support/randomx_support.h"

namespace {

using zt::test::hex;
using zt::test::Json;
using zt::test::keyed_cache;
using zt::test::load_vectors;
using zt::test::step_message;
using zt::test::unhex;

struct DatasetRelease {
    void operator()(randomx_dataset* dataset) const { randomx_release_dataset(dataset); }
};
struct VmDestroy {
    void operator()(randomx_vm* vm) const { randomx_destroy_vm(vm); }
};
using VmPtr = std::unique_ptr<randomx_vm, VmDestroy>;

const Json& chain_with_states() {
    static const Json chains = load_vectors("randomx/chains.json");
    for (const Json& chain : chains.items()) {
        if (chain.has("states_hex")) {
            return chain;
        }
    }
    throw std::runtime_error("chains.json lists no chain with states");
}

class FullMode : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        key_ = unhex(chain_with_states()["key_hex"].str());
        dataset_.reset(randomx_alloc_dataset(randomx_get_flags()));
        ASSERT_NE(dataset_, nullptr);
        randomx_init_dataset(dataset_.get(), keyed_cache(key_), 0, randomx_dataset_item_count());
    }
    static void TearDownTestSuite() { dataset_.reset(); }

    static VmPtr full_vm(unsigned flags) {
        return VmPtr(randomx_create_vm(static_cast<randomx_flags>(flags | RANDOMX_FLAG_FULL_MEM | RANDOMX_FLAG_V2),
                                       nullptr, dataset_.get()));
    }
    static VmPtr light_vm(unsigned flags) {
        return VmPtr(randomx_create_vm(static_cast<randomx_flags>(flags | RANDOMX_FLAG_V2), keyed_cache(key_),
                                       nullptr));
    }

    static std::vector<std::uint8_t> key_;
    static std::unique_ptr<randomx_dataset, DatasetRelease> dataset_;
};

std::vector<std::uint8_t> FullMode::key_;
std::unique_ptr<randomx_dataset, DatasetRelease> FullMode::dataset_;

std::string hash_of(randomx_vm* vm, const std::vector<std::uint8_t>& input) {
    std::uint8_t out[RANDOMX_HASH_SIZE];
    randomx_calculate_hash(vm, input.data(), input.size(), out);
    return hex(out, sizeof out);
}

TEST_F(FullMode, HashVectorsMatchLightMode) {
    const auto base = static_cast<unsigned>(randomx_get_flags());
    const VmPtr full = full_vm(base);
    const VmPtr full_interpreted = full_vm(base & ~static_cast<unsigned>(RANDOMX_FLAG_JIT));
    const VmPtr full_soft = full_vm(base & ~static_cast<unsigned>(RANDOMX_FLAG_HARD_AES));
    const VmPtr light = light_vm(base);
    ASSERT_TRUE(full && full_interpreted && full_soft && light);
    int cases = 0;
    const Json vectors = load_vectors("randomx/hashes.json");
    for (const Json& v : vectors.items()) {
        if (v["variant"].str() != "v2" || unhex(v["key_hex"].str()) != key_) {
            continue;
        }
        const std::vector<std::uint8_t> input = unhex(v["input_hex"].str());
        const std::string expected = v["hash_hex"].str();
        EXPECT_EQ(hash_of(full.get(), input), expected) << v["note"].str();
        EXPECT_EQ(hash_of(full_interpreted.get(), input), expected) << "interpreter, " << v["note"].str();
        EXPECT_EQ(hash_of(light.get(), input), expected) << v["note"].str();
        if (cases == 0) {
            EXPECT_EQ(hash_of(full_soft.get(), input), expected) << "software AES, " << v["note"].str();
        }
        ++cases;
    }
    EXPECT_GE(cases, 5);
}

TEST_F(FullMode, ChainStatesMatchLightMode) {
    const Json& chain = chain_with_states();
    const auto base = static_cast<unsigned>(randomx_get_flags());
    const VmPtr full = full_vm(base);
    const VmPtr light = light_vm(base);
    ASSERT_TRUE(full && light);
    const auto epoch = static_cast<std::uint64_t>(chain["epoch"].num());
    const auto segment = static_cast<std::uint32_t>(chain["segment"].num());
    const auto& states = chain["states_hex"].items();
    std::vector<std::uint8_t> state = unhex(chain["seed_hex"].str());
    for (std::size_t j = 0; j + 1 < states.size(); ++j) {
        const std::vector<std::uint8_t> message = step_message(epoch, segment, j, state.data());
        const std::string full_hash = hash_of(full.get(), message);
        ASSERT_EQ(full_hash, states[j + 1].str()) << "full mode, step " << j;
        ASSERT_EQ(hash_of(light.get(), message), full_hash) << "light mode, step " << j;
        state = unhex(full_hash);
    }
    EXPECT_EQ(hex(state), chain["digest_hex"].str());
}

// The same dataset built on two threads in disjoint ranges (split off a
// group boundary) by a cache without compiled code: identical memory.
TEST_F(FullMode, ParallelPortableBuildEqualsTheOneThreadBuild) {
    const auto portable_flags =
        static_cast<randomx_flags>(static_cast<unsigned>(randomx_get_flags()) & ~static_cast<unsigned>(RANDOMX_FLAG_JIT));
    const zt::test::CachePtr portable(randomx_alloc_cache(portable_flags));
    ASSERT_NE(portable, nullptr);
    randomx_init_cache(portable.get(), key_.data(), key_.size());
    const std::unique_ptr<randomx_dataset, DatasetRelease> parallel(randomx_alloc_dataset(RANDOMX_FLAG_DEFAULT));
    ASSERT_NE(parallel, nullptr);
    const unsigned long items = randomx_dataset_item_count();
    const unsigned long split = items / 2 + 3;
    std::thread second([&] { randomx_init_dataset(parallel.get(), portable.get(), split, items - split); });
    randomx_init_dataset(parallel.get(), portable.get(), 0, split);
    second.join();
    const auto digest = [&](randomx_dataset* dataset) {
        return zt::test::sha256_hex(randomx_get_dataset_memory(dataset), items * 64);
    };
    EXPECT_EQ(digest(parallel.get()), digest(dataset_.get()));
}

}  // namespace
