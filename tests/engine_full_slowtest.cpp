// The engine in full mode: setup fills the 2080 MiB dataset on one thread
// (minutes), and the chains it computes equal the recorded light-mode
// vectors, so a puzzle generated in one mode is solved in the other.
#include <gtest/gtest.h>

#include "tests/support/vector_json.h"
#include "timelock/base/crypto.h"
#include "timelock/work/engine.h"

namespace zt {
namespace {

Key32 key_from(std::string_view hex) {
    const auto bytes = test::unhex(hex);
    return Key32(std::span<const std::uint8_t, 32>(bytes.data(), 32));
}

TEST(FullModeEngine, ReproducesTheRecordedChainsOfItsKey) {
    const auto chains = test::load_vectors("randomx/chains.json");
    const std::string key_hex = chains.items().front()["key_hex"].str();
    auto engine = WorkEngine::setup(key_from(key_hex), WorkMode::Full);
    ASSERT_TRUE(engine.ok()) << engine.error().message();
    EXPECT_EQ(engine->vm_flags(), static_cast<std::uint32_t>(randomx_get_flags()) | 148u);
    auto vm = engine->create_vm();
    ASSERT_TRUE(vm.ok());
    int checked = 0;
    for (const auto& chain : chains.items()) {
        if (chain["key_hex"].str() != key_hex) continue;
        const Key32 digest = segment_chain(*vm, static_cast<std::uint64_t>(chain["epoch"].num()),
                                           static_cast<std::uint32_t>(chain["segment"].num()),
                                           static_cast<std::uint64_t>(chain["iterations"].num()),
                                           key_from(chain["seed_hex"].str()));
        EXPECT_EQ(encode_hex(digest.span()), chain["digest_hex"].str());
        ++checked;
    }
    EXPECT_GE(checked, 2);
}

}  // namespace
}  // namespace zt
