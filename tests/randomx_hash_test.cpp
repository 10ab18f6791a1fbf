// Light-mode hashes through the C API: every case of hashes.json (v1 and v2)
// and every chain of chains.json, with AES-NI; software AES on the first case
// of each variant and on a two-step chain (each light hash costs a large
// share of a second, and the traces already follow software AES stage by
// stage).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
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

constexpr unsigned kHardAes = RANDOMX_FLAG_HARD_AES;

unsigned base_flags() { return static_cast<unsigned>(randomx_get_flags()); }

// A VM for one key, destroyed at scope exit.
class Vm {
public:
    Vm(unsigned flags, const std::vector<std::uint8_t>& key)
        : vm_(randomx_create_vm(static_cast<randomx_flags>(flags), keyed_cache(key), nullptr)) {}
    ~Vm() { randomx_destroy_vm(vm_); }
    Vm(const Vm&) = delete;
    Vm& operator=(const Vm&) = delete;

    bool ok() const { return vm_ != nullptr; }
    std::string hash(const std::vector<std::uint8_t>& input) {
        std::uint8_t out[RANDOMX_HASH_SIZE];
        randomx_calculate_hash(vm_, input.data(), input.size(), out);
        return hex(out, sizeof out);
    }
    void hash(const std::vector<std::uint8_t>& input, std::uint8_t out[RANDOMX_HASH_SIZE]) {
        randomx_calculate_hash(vm_, input.data(), input.size(), out);
    }

private:
    randomx_vm* vm_;
};

struct HashCase {
    std::string name;
    bool v2;
    std::vector<std::uint8_t> key;
    std::vector<std::uint8_t> input;
    std::string expected;
    bool also_software;  // the first case of its variant
};

// The cases grouped by key, so that the shared cache is re-keyed once per key.
std::vector<HashCase> hash_cases() {
    const Json vectors = load_vectors("randomx/hashes.json");
    std::vector<HashCase> cases;
    for (const Json& v : vectors.items()) {
        HashCase c;
        c.name = v["variant"].str() + "_case" + std::to_string(cases.size());
        c.v2 = v["variant"].str() == "v2";
        c.key = unhex(v["key_hex"].str());
        c.input = unhex(v["input_hex"].str());
        c.expected = v["hash_hex"].str();
        c.also_software = std::none_of(cases.begin(), cases.end(), [&](const HashCase& other) {
            return other.v2 == c.v2;
        });
        cases.push_back(std::move(c));
    }
    std::stable_sort(cases.begin(), cases.end(), [](const HashCase& a, const HashCase& b) { return a.key < b.key; });
    return cases;
}

class HashVectors : public ::testing::TestWithParam<HashCase> {};

TEST_P(HashVectors, LightModeHash) {
    const HashCase& c = GetParam();
    const unsigned variant = c.v2 ? RANDOMX_FLAG_V2 : 0U;
    Vm vm(base_flags() | variant, c.key);
    ASSERT_TRUE(vm.ok());
    EXPECT_EQ(vm.hash(c.input), c.expected);
    if (c.also_software) {
        Vm soft((base_flags() & ~kHardAes) | variant, c.key);
        ASSERT_TRUE(soft.ok());
        EXPECT_EQ(soft.hash(c.input), c.expected) << "software AES";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, HashVectors, ::testing::ValuesIn(hash_cases()),
                         [](const auto& info) { return info.param.name; });

struct ChainCase {
    std::string name;
    std::vector<std::uint8_t> key;
    std::uint64_t epoch;
    std::uint32_t segment;
    std::uint64_t iterations;
    std::vector<std::uint8_t> seed;
    std::string digest;
    std::string first_message;
    std::vector<std::string> states;  // x(0)..x(N) where listed
};

std::vector<ChainCase> chain_cases() {
    const Json vectors = load_vectors("randomx/chains.json");
    std::vector<ChainCase> cases;
    for (const Json& v : vectors.items()) {
        ChainCase c;
        c.name = "chain" + std::to_string(cases.size());
        c.key = unhex(v["key_hex"].str());
        c.epoch = static_cast<std::uint64_t>(v["epoch"].num());
        c.segment = static_cast<std::uint32_t>(v["segment"].num());
        c.iterations = static_cast<std::uint64_t>(v["iterations"].num());
        c.seed = unhex(v["seed_hex"].str());
        c.digest = v["digest_hex"].str();
        c.first_message = v["first_message_hex"].str();
        if (v.has("states_hex")) {
            for (const Json& s : v["states_hex"].items()) {
                c.states.push_back(s.str());
            }
        }
        cases.push_back(std::move(c));
    }
    std::stable_sort(cases.begin(), cases.end(), [](const ChainCase& a, const ChainCase& b) { return a.key < b.key; });
    return cases;
}

// Runs the chain x(j+1) = H(message(j, x(j))) and checks the states on the way.
void check_chain(const ChainCase& c, unsigned flags) {
    Vm vm(flags, c.key);
    ASSERT_TRUE(vm.ok());
    ASSERT_EQ(c.seed.size(), 32U);
    std::uint8_t state[RANDOMX_HASH_SIZE];
    std::copy(c.seed.begin(), c.seed.end(), state);
    for (std::uint64_t j = 0; j < c.iterations; ++j) {
        const std::vector<std::uint8_t> message = step_message(c.epoch, c.segment, j, state);
        if (j == 0) {
            EXPECT_EQ(hex(message), c.first_message);
        }
        if (j < c.states.size()) {
            ASSERT_EQ(hex(state, sizeof state), c.states[j]) << "state " << j;
        }
        vm.hash(message, state);
    }
    EXPECT_EQ(hex(state, sizeof state), c.digest);
}

class ChainVectors : public ::testing::TestWithParam<ChainCase> {};

TEST_P(ChainVectors, LightModeChainReachesTheDigest) { check_chain(GetParam(), base_flags() | RANDOMX_FLAG_V2); }

INSTANTIATE_TEST_SUITE_P(Chains, ChainVectors, ::testing::ValuesIn(chain_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(ChainSoftwareAes, SameDigestAsAesNi) {
    const std::vector<ChainCase> cases = chain_cases();
    const auto two_steps = std::find_if(cases.begin(), cases.end(), [](const ChainCase& c) { return c.iterations == 2; });
    ASSERT_NE(two_steps, cases.end());
    check_chain(*two_steps, (base_flags() & ~kHardAes) | RANDOMX_FLAG_V2);
}

}  // namespace
