// Light-mode hashes through the C API: every case of hashes.json (v1 and v2)
// and every chain of chains.json, with the compiler and with the interpreter,
// with AES-NI, and software AES on the first case of each variant and on the
// shortest chain of each key (the traces already follow software AES stage by
// stage).
//
// One test per key, because each test runs in its own process and
// initialising a cache costs about a second.
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
constexpr unsigned kJit = RANDOMX_FLAG_JIT;

unsigned base_flags() { return static_cast<unsigned>(randomx_get_flags()); }

// The compiler and the interpreter where both exist, else the interpreter
// once (hashing twice with the same back end proves nothing).
std::vector<unsigned> backends(unsigned flags) {
    if ((flags & kJit) == 0) return {flags};
    return {flags, flags & ~kJit};
}

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

// Runs the chain x(j+1) = H(step message(j, x(j))) and checks the first message, the listed states and the digest.
void check_chain(const Json& chain, const std::vector<std::uint8_t>& key, unsigned flags) {
    Vm vm(flags, key);
    ASSERT_TRUE(vm.ok());
    const auto epoch = static_cast<std::uint64_t>(chain["epoch"].num());
    const auto segment = static_cast<std::uint32_t>(chain["segment"].num());
    const auto iterations = static_cast<std::uint64_t>(chain["iterations"].num());
    const std::vector<std::uint8_t> seed = unhex(chain["seed_hex"].str());
    ASSERT_EQ(seed.size(), 32U);
    std::uint8_t state[RANDOMX_HASH_SIZE];
    std::copy(seed.begin(), seed.end(), state);
    for (std::uint64_t j = 0; j < iterations; ++j) {
        const std::vector<std::uint8_t> message = step_message(epoch, segment, j, state);
        if (j == 0) {
            EXPECT_EQ(hex(message), chain["first_message_hex"].str());
        }
        if (chain.has("states_hex")) {
            ASSERT_EQ(hex(state, sizeof state), chain["states_hex"].items().at(j).str()) << "state " << j;
        }
        vm.hash(message, state);
    }
    EXPECT_EQ(hex(state, sizeof state), chain["digest_hex"].str());
}

// The distinct keys of hashes.json, in file order.
std::vector<std::string> keys() {
    const Json vectors = load_vectors("randomx/hashes.json");
    std::vector<std::string> result;
    for (const Json& v : vectors.items()) {
        if (std::find(result.begin(), result.end(), v["key_hex"].str()) == result.end()) {
            result.push_back(v["key_hex"].str());
        }
    }
    return result;
}

class KeyVectors : public ::testing::TestWithParam<std::string> {};

TEST_P(KeyVectors, HashesAndChainsInLightMode) {
    const std::string& key_hex = GetParam();
    const std::vector<std::uint8_t> key = unhex(key_hex);
    const Json hashes = load_vectors("randomx/hashes.json");
    bool software_done[2] = {false, false};
    int count = 0;
    for (const Json& v : hashes.items()) {
        if (v["key_hex"].str() != key_hex) {
            continue;
        }
        const bool v2 = v["variant"].str() == "v2";
        const unsigned flags = base_flags() | (v2 ? RANDOMX_FLAG_V2 : 0U);
        const std::vector<std::uint8_t> input = unhex(v["input_hex"].str());
        for (const unsigned backend : backends(flags)) {
            Vm vm(backend, key);
            ASSERT_TRUE(vm.ok());
            EXPECT_EQ(vm.hash(input), v["hash_hex"].str())
                << v["variant"].str() << ", " << v["note"].str() << ((backend & kJit) != 0 ? ", compiler" : "");
        }
        if (!software_done[v2]) {
            Vm soft(flags & ~kHardAes, key);
            ASSERT_TRUE(soft.ok());
            EXPECT_EQ(soft.hash(input), v["hash_hex"].str()) << "software AES, " << v["note"].str();
            software_done[v2] = true;
        }
        ++count;
    }
    EXPECT_GT(count, 0);

    const Json chains = load_vectors("randomx/chains.json");
    const Json* shortest = nullptr;
    for (const Json& chain : chains.items()) {
        if (chain["key_hex"].str() != key_hex) {
            continue;
        }
        ASSERT_EQ(chain["variant"].str(), "v2");
        SCOPED_TRACE("chain of segment " + std::to_string(chain["segment"].num()));
        for (const unsigned backend : backends(base_flags() | RANDOMX_FLAG_V2)) {
            check_chain(chain, key, backend);
        }
        if (shortest == nullptr || chain["iterations"].num() < (*shortest)["iterations"].num()) {
            shortest = &chain;
        }
    }
    if (shortest != nullptr) {
        SCOPED_TRACE("software AES, chain of segment " + std::to_string((*shortest)["segment"].num()));
        check_chain(*shortest, key, (base_flags() & ~kHardAes) | RANDOMX_FLAG_V2);
    }
}

INSTANTIATE_TEST_SUITE_P(Keys, KeyVectors, ::testing::ValuesIn(keys()),
                         [](const auto& info) { return "key" + std::to_string(info.index); });

// Every chain's key is one of the keys above, so every chain runs.
TEST(ChainVectors, KeysAreAmongTheHashKeys) {
    const std::vector<std::string> all = keys();
    const Json chains = load_vectors("randomx/chains.json");
    ASSERT_FALSE(chains.items().empty());
    for (const Json& chain : chains.items()) {
        EXPECT_NE(std::find(all.begin(), all.end(), chain["key_hex"].str()), all.end());
    }
}

}  // namespace
