// The cache's compiled SuperscalarHash code: its item, pair, triple and range
// entries against the portable executor, and code that does not fit its
// memory given up rather than run.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "randomx/arch.h"
#include "randomx/cache.h"
#include "randomx/constants.h"
#include "randomx/dataset.h"
#include "randomx/dataset_code.h"
#include "randomx/randomx.h"
#include "randomx/superscalar.h"
#include "tests/support/randomx_support.h"

namespace {

using zt::test::keyed_cache;

std::vector<std::uint64_t> registers(const std::uint64_t r[8]) { return std::vector<std::uint64_t>(r, r + 8); }

// Random keys and item numbers: the compiled item, pair, triple and range entries
// (groups and a remainder, at random starts) against the portable
// single-item executor.
TEST(CompiledSuperscalar, ItemsAndRangesMatchThePortableExecutor) {
    if ((randomx_get_flags() & RANDOMX_FLAG_JIT) == 0) {
        GTEST_SKIP() << "no compiled code on this system";
    }
    std::mt19937_64 rng(20261207);
    for (int k = 0; k < 2; ++k) {
        std::vector<std::uint8_t> key(32);
        for (std::uint8_t& b : key) {
            b = static_cast<std::uint8_t>(rng());
        }
        const randomx_cache& cache = *keyed_cache(key);
        ASSERT_TRUE(cache.code != nullptr && cache.code->ready());
        for (int i = 0; i < 1500; ++i) {
            const std::uint64_t n = rng() % rx::kDatasetItemCount;
            std::uint64_t compiled[8];
            std::uint64_t portable[8];
            rx::dataset_item(cache, n, compiled);
            rx::dataset_item_portable(cache, n, portable);
            ASSERT_EQ(registers(compiled), registers(portable)) << "key " << k << ", item " << n;
            const std::uint64_t other = rng() % rx::kDatasetItemCount;
            std::uint64_t pair[16];
            cache.code->pair()(cache.memory, n, other, pair);
            ASSERT_EQ(registers(pair), registers(portable)) << "pair, item " << n;
            rx::dataset_item_portable(cache, other, portable);
            ASSERT_EQ(registers(pair + 8), registers(portable)) << "pair, item " << other;
            if (cache.code->triple() != nullptr) {
                // Items in any order, equal ones included.
                const std::uint64_t numbers[3] = {other, rng() % rx::kDatasetItemCount, i % 7 == 0 ? other : n};
                std::uint64_t triple[24];
                cache.code->triple()(cache.memory, numbers[0], numbers[1], numbers[2], triple);
                for (int j = 0; j < 3; ++j) {
                    rx::dataset_item_portable(cache, numbers[j], portable);
                    ASSERT_EQ(registers(triple + 8 * j), registers(portable)) << "triple, item " << numbers[j];
                }
            }
        }
        for (int i = 0; i < 20; ++i) {
            const std::uint64_t count = 1 + rng() % (3 * cache.code->range_unit());
            const std::uint64_t start = rng() % (rx::kDatasetItemCount - count);
            std::vector<std::uint64_t> range(8 * count);
            rx::dataset_items(cache, reinterpret_cast<std::uint8_t*>(range.data()), start, count);
            for (std::uint64_t j = 0; j < count; ++j) {
                std::uint64_t portable[8];
                rx::dataset_item_portable(cache, start + j, portable);
                ASSERT_EQ(registers(&range[8 * j]), registers(portable)) << "item " << start + j;
            }
        }
    }
}

// The cache's SuperscalarHash code in too little memory: compile fails and
// the code is not ready (the portable executors run); in enough, it is.
TEST(DatasetCodeBuffer, CodeThatDoesNotFitIsNotReady) {
    if (!rx::compiled_code_runs()) {
        GTEST_SKIP() << "no compiled code on this system";
    }
    const std::string key = "test key 000";
    std::array<rx::SuperscalarProgram, rx::kCacheAccesses> programs;
    rx::generate_superscalar_programs(key.data(), key.size(), programs);
    for (const std::size_t bytes : {std::size_t{4096}, std::size_t{16384}}) {
        rx::DatasetCode code(bytes, rx::dataset_code_writer().write);
        EXPECT_FALSE(code.compile(programs)) << bytes << " bytes";
        EXPECT_FALSE(code.ready());
    }
    rx::DatasetCode code(rx::dataset_code_writer().code_bytes, rx::dataset_code_writer().write);
    EXPECT_TRUE(code.compile(programs));
    EXPECT_TRUE(code.ready());
}

}  // namespace
