// The cache and dataset side of RandomX against the reference vectors: the
// Argon2d cache memory, the SuperscalarHash programs, dataset items step by
// step and whole, the dataset range API, and the interchangeable SIMD paths.
//
// An initialised cache costs about a second (256 MiB of Argon2d), so the
// tests of this file share one cache per key.
#include <gtest/gtest.h>
#include <sodium.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "randomx/argon2d.h"
#include "randomx/cache.h"
#include "randomx/dataset.h"
#include "randomx/memory.h"
#include "randomx/superscalar.h"
#include "randomx/dataset_code.h"
#include "randomx/superscalar_executor.h"
#include "tests/support/vector_json.h"

namespace {

using zt::test::Json;
using zt::test::load_vectors;
using zt::test::unhex;

std::string hex(const std::uint8_t* p, std::size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

// Trace numbers are written most significant digit first.
std::uint64_t number(const Json& field) {
    return std::stoull(field.str(), nullptr, 16);
}

std::vector<std::uint64_t> numbers(const Json& list) {
    std::vector<std::uint64_t> out;
    for (const Json& v : list.items()) {
        out.push_back(number(v));
    }
    return out;
}

std::vector<std::uint64_t> registers(const std::uint64_t r[8]) {
    return std::vector<std::uint64_t>(r, r + 8);
}

struct CacheDeleter {
    void operator()(randomx_cache* cache) const { randomx_release_cache(cache); }
};
using CachePtr = std::unique_ptr<randomx_cache, CacheDeleter>;

// One initialised cache per key for the whole file; the flags of the first
// request for a key choose its Argon2d implementation. Where the processor
// runs compiled code the cache has it, so that dataset_item (compiled) can be
// held against dataset_item_portable.
randomx_cache& shared_cache(const std::vector<std::uint8_t>& key, randomx_flags flags) {
    static std::map<std::vector<std::uint8_t>, CachePtr> caches;
    CachePtr& slot = caches[key];
    if (!slot) {
        slot.reset(randomx_alloc_cache(flags | (randomx_get_flags() & RANDOMX_FLAG_JIT)));
        if (!slot) {
            throw std::runtime_error("cannot allocate a cache");
        }
        randomx_init_cache(slot.get(), key.data(), key.size());
    }
    return *slot;
}

const std::vector<std::uint8_t>& trace_key() {
    static const std::vector<std::uint8_t> key = unhex(load_vectors("randomx/traces/trace-v1.json")["key_hex"].str());
    return key;
}

// ---- SuperscalarHash programs ---------------------------------------------

// Describes the first field in which a generated program differs from the
// trace, or returns "" when they agree.
std::string first_divergence(const rx::SuperscalarProgram& program, const Json& expected) {
    std::ostringstream why;
    if (program.size != expected["size"].num()) {
        why << "size " << program.size << " != " << expected["size"].num();
        return why.str();
    }
    const auto& instructions = expected["instructions"].items();
    for (std::size_t i = 0; i < instructions.size(); ++i) {
        const Json& want = instructions[i];
        const rx::SuperscalarInstruction& got = program.instructions[i];
        const auto mismatch = [&](const char* field, std::uint64_t a, std::uint64_t b) {
            why << "instruction " << i << " (" << want["name"].str() << "): " << field << " "
                << a << " != " << b;
        };
        if (static_cast<std::int64_t>(got.type) != want["opcode"].num() ||
            want["name"].str() != rx::superscalar_type_name(got.type)) {
            mismatch("type", static_cast<std::uint64_t>(got.type),
                     static_cast<std::uint64_t>(want["opcode"].num()));
        } else if (got.dst != want["dst"].num()) {
            mismatch("dst", got.dst, static_cast<std::uint64_t>(want["dst"].num()));
        } else if (got.src != want["src"].num()) {
            mismatch("src", got.src, static_cast<std::uint64_t>(want["src"].num()));
        } else if (got.mod != want["mod"].num()) {
            mismatch("mod", got.mod, static_cast<std::uint64_t>(want["mod"].num()));
        } else if (got.imm32 != number(want["imm32"])) {
            mismatch("imm32", got.imm32, number(want["imm32"]));
        } else if (want.has("shift") && got.shift() != want["shift"].num()) {
            mismatch("shift", got.shift(), static_cast<std::uint64_t>(want["shift"].num()));
        } else if (want.has("reciprocal") &&
                   rx::superscalar_reciprocal(got.imm32) != number(want["reciprocal"])) {
            mismatch("reciprocal", rx::superscalar_reciprocal(got.imm32), number(want["reciprocal"]));
        }
        if (!why.str().empty()) {
            return why.str();
        }
    }
    if (program.address_register != expected["address_register"].num()) {
        why << "address register " << int{program.address_register}
            << " != " << expected["address_register"].num();
    }
    return why.str();
}

TEST(SuperscalarHash, GeneratedProgramsMatchTheTrace) {
    const Json trace = load_vectors("randomx/traces/trace-v1.json");
    std::array<rx::SuperscalarProgram, rx::kCacheAccesses> programs;
    rx::generate_superscalar_programs(trace_key().data(), trace_key().size(), programs);
    const auto& expected = trace["superscalar_programs"].items();
    ASSERT_EQ(expected.size(), programs.size());
    for (std::size_t p = 0; p < programs.size(); ++p) {
        EXPECT_EQ(first_divergence(programs[p], expected[p]), "") << "program " << p;
    }
}

TEST(SuperscalarHash, ReciprocalIsTheLargestScaledQuotientBelow2To64) {
    struct Case {
        std::uint32_t divisor;
        std::uint64_t reciprocal;
    };
    const Case cases[] = {
        {3, 0xaaaaaaaaaaaaaaaaULL},          {5, 0xccccccccccccccccULL},
        {7, 0x9249249249249249ULL},          {10, 0xccccccccccccccccULL},
        {641, 0xcc7b01ff3384fe00ULL},        {0x80000001u, 0xfffffffe00000003ULL},
        {0xffffffffu, 0x8000000080000000ULL},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(rx::superscalar_reciprocal(c.divisor), c.reciprocal) << c.divisor;
    }
    // Any other divisor: the result is floor(2^x / d) with x as large as
    // possible, i.e. the quotient has its top bit set.
    __extension__ typedef unsigned __int128 u128;
    std::mt19937 rng(12345);
    for (int i = 0; i < 10000; ++i) {
        const std::uint32_t d = static_cast<std::uint32_t>(rng()) | 3u;  // never a power of 2
        const std::uint64_t rcp = rx::superscalar_reciprocal(d);
        const unsigned x = 63u + 32u - static_cast<unsigned>(__builtin_clz(d));
        const u128 power = u128{1} << x;
        ASSERT_GE(rcp, std::uint64_t{1} << 63) << d;
        ASSERT_TRUE(u128{rcp} * d <= power && power < (u128{rcp} + 1) * d) << d;
    }
}

TEST(SuperscalarHash, ManyItemExecutorAgreesWithSingleItemExecutor) {
    std::array<rx::SuperscalarProgram, rx::kCacheAccesses> programs;
    rx::generate_superscalar_programs(trace_key().data(), trace_key().size(), programs);
    std::mt19937_64 rng(7);
    for (const rx::SuperscalarProgram& program : programs) {
        auto compiled = std::make_unique<rx::CompiledSuperscalar>();
        rx::compile_superscalar(program, *compiled);
        auto lanes = std::make_unique<rx::SuperscalarLanes>();
        for (auto& reg : lanes->r) {
            for (std::uint64_t& v : reg) {
                v = rng();
            }
        }
        const rx::SuperscalarLanes before = *lanes;
        rx::execute_superscalar_lanes(*compiled, *lanes);
        for (std::size_t lane = 0; lane < rx::kSuperscalarLanes; ++lane) {
            std::uint64_t r[8];
            for (std::size_t j = 0; j < 8; ++j) {
                r[j] = before.r[j][lane];
            }
            rx::execute_superscalar(*compiled, r);
            for (std::size_t j = 0; j < 8; ++j) {
                ASSERT_EQ(lanes->r[j][lane], r[j]) << "lane " << lane << " r" << j;
            }
        }
    }
}

// A rotation count of 0 (never generated, but representable) leaves the
// register as it is on both executors; the many-item loop must not shift by 64.
TEST(SuperscalarHash, RotationByZeroIsIdentityOnBothExecutors) {
    rx::SuperscalarProgram program;
    program.size = 2;
    program.instructions[0] = {rx::SuperscalarType::IROR_C, 3, 3, 0, 0};
    program.instructions[1] = {rx::SuperscalarType::IROR_C, 4, 4, 0, 64};
    auto compiled = std::make_unique<rx::CompiledSuperscalar>();
    rx::compile_superscalar(program, *compiled);
    auto lanes = std::make_unique<rx::SuperscalarLanes>();
    for (std::size_t lane = 0; lane < rx::kSuperscalarLanes; ++lane) {
        for (std::size_t j = 0; j < 8; ++j) {
            lanes->r[j][lane] = 0x0123456789abcdefULL * (lane + 1) + j;
        }
    }
    const rx::SuperscalarLanes before = *lanes;
    rx::execute_superscalar_lanes(*compiled, *lanes);
    EXPECT_EQ(std::memcmp(lanes.get(), &before, sizeof before), 0);
    std::uint64_t r[8] = {1, 2, 3, 0x8000000000000001ULL, 5, 6, 7, 8};
    rx::execute_superscalar(*compiled, r);
    EXPECT_EQ(r[3], 0x8000000000000001ULL);
}

// ---- Argon2d --------------------------------------------------------------

TEST(Argon2d, SimdImplementationsFillTheSameMemoryAsPortable) {
    constexpr std::uint32_t kBlocks = 1024;  // 1 MiB: every code path, a fraction of the cost
    const std::vector<std::uint8_t> keys[] = {{}, {'k'}, std::vector<std::uint8_t>(60, 0xa5)};
    const rx::Argon2Impl impls[] = {rx::Argon2Impl::Ssse3, rx::Argon2Impl::Avx2};
    const std::size_t bytes = std::size_t{kBlocks} * rx::kArgonBlockSize;
    std::vector<std::uint8_t> want(bytes + 64);
    std::vector<std::uint8_t> got(bytes + 64);
    auto* want_mem = want.data() + (64 - reinterpret_cast<std::uintptr_t>(want.data()) % 64) % 64;
    auto* got_mem = got.data() + (64 - reinterpret_cast<std::uintptr_t>(got.data()) % 64) % 64;
    int compared = 0;
    for (const auto& key : keys) {
        rx::argon2d_fill(want_mem, kBlocks, rx::kArgonIterations, key.data(), key.size(),
                         rx::Argon2Impl::Portable);
        for (const rx::Argon2Impl impl : impls) {
            if (!rx::argon2_impl_supported(impl)) {
                continue;
            }
            std::memset(got_mem, 0, bytes);
            rx::argon2d_fill(got_mem, kBlocks, rx::kArgonIterations, key.data(), key.size(), impl);
            EXPECT_EQ(std::memcmp(want_mem, got_mem, bytes), 0)
                << "implementation " << static_cast<int>(impl) << ", key size " << key.size();
            ++compared;
        }
    }
    if (compared == 0) {
        GTEST_SKIP() << "this processor has neither SSSE3 nor AVX2";
    }
}

// ---- Whole cache and dataset items for every vector key ------------------

// Each key's cache is filled by a different Argon2d implementation, so the
// full-size vectors check all of them.
randomx_flags flags_for_key(std::size_t index) {
    static const randomx_flags kFlags[] = {RANDOMX_FLAG_DEFAULT, RANDOMX_FLAG_ARGON2_SSSE3,
                                           RANDOMX_FLAG_ARGON2_AVX2};
    return kFlags[index % 3];
}

class KeyVectors : public ::testing::TestWithParam<std::size_t> {};

TEST_P(KeyVectors, CacheMemoryAndDatasetItemsMatch) {
    const Json cache_case = load_vectors("randomx/cache.json").items().at(GetParam());
    const Json dataset_case = load_vectors("randomx/dataset.json").items().at(GetParam());
    ASSERT_EQ(cache_case["key_hex"].str(), dataset_case["key_hex"].str());
    const std::vector<std::uint8_t> key = unhex(cache_case["key_hex"].str());
    randomx_cache& cache = shared_cache(key, flags_for_key(GetParam()));

    const auto* memory = static_cast<const std::uint8_t*>(randomx_get_cache_memory(&cache));
    ASSERT_EQ(cache_case["size_bytes"].num(), static_cast<std::int64_t>(rx::kCacheSize));
    EXPECT_EQ(hex(memory, 64), cache_case["first64_hex"].str());
    EXPECT_EQ(hex(memory + rx::kCacheSize - 64, 64), cache_case["last64_hex"].str());
    std::uint8_t digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, memory, rx::kCacheSize);
    EXPECT_EQ(hex(digest, sizeof digest), cache_case["sha256_hex"].str());

    EXPECT_EQ(static_cast<std::int64_t>(randomx_dataset_item_count()),
              dataset_case["item_count"].num());
    for (const Json& item : dataset_case["items"].items()) {
        const auto n = static_cast<std::uint64_t>(item["item_number"].num());
        std::uint64_t r[8];
        rx::dataset_item(cache, n, r);
        EXPECT_EQ(hex(reinterpret_cast<const std::uint8_t*>(r), 64), item["item_hex"].str())
            << "item " << n << (cache.code != nullptr ? ", compiled" : "");
        rx::dataset_item_portable(cache, n, r);
        EXPECT_EQ(hex(reinterpret_cast<const std::uint8_t*>(r), 64), item["item_hex"].str())
            << "item " << n << ", portable";
    }
}

INSTANTIATE_TEST_SUITE_P(AllKeys, KeyVectors, ::testing::Values(0, 1, 2),
                         [](const auto& info) { return "key" + std::to_string(info.param); });

// ---- Dataset items step by step ------------------------------------------

TEST(DatasetItem, FollowsTheTraceStepByStep) {
    const Json trace = load_vectors("randomx/traces/trace-v1.json");
    const randomx_cache& cache = shared_cache(trace_key(), flags_for_key(0));
    for (const Json& traced : trace["dataset_item_traces"].items()) {
        const auto n = static_cast<std::uint64_t>(traced["item_number"].num());
        SCOPED_TRACE("item " + std::to_string(n));
        std::uint64_t r[8];
        rx::dataset_initial_registers(n, r);
        ASSERT_EQ(registers(r), numbers(traced["initial_registers"]));
        std::uint64_t register_value = n;
        const auto& steps = traced["steps"].items();
        ASSERT_EQ(steps.size(), rx::kCacheAccesses);
        for (std::size_t i = 0; i < steps.size(); ++i) {
            SCOPED_TRACE("step " + std::to_string(i));
            const Json& step = steps[i];
            const std::uint64_t block = register_value % rx::kCacheItemCount;
            ASSERT_EQ(block, static_cast<std::uint64_t>(step["cache_block_index"].num()));
            const std::uint8_t* bytes = cache.memory + block * rx::kCacheLineSize;
            ASSERT_EQ(hex(bytes, 64), step["cache_block_hex"].str());
            rx::execute_superscalar(cache.compiled[i], r);
            ASSERT_EQ(registers(r), numbers(step["after_superscalar"]));
            for (std::size_t j = 0; j < 8; ++j) {
                std::uint64_t word;
                std::memcpy(&word, bytes + 8 * j, 8);
                r[j] ^= word;
            }
            ASSERT_EQ(registers(r), numbers(step["after_xor_with_cache_block"]));
            register_value = r[cache.compiled[i].address_register];
            ASSERT_EQ(register_value, number(step["next_register_value"]));
        }
        std::uint64_t item[8];
        rx::dataset_item(cache, n, item);
        EXPECT_EQ(hex(reinterpret_cast<const std::uint8_t*>(item), 64), traced["item_hex"].str());
    }
}

// ---- The dataset API ------------------------------------------------------

struct DatasetDeleter {
    void operator()(randomx_dataset* d) const { randomx_release_dataset(d); }
};

TEST(Dataset, InitialisedRangesEqualSingleItems) {
    randomx_cache& cache = shared_cache(trace_key(), flags_for_key(0));
    std::unique_ptr<randomx_dataset, DatasetDeleter> dataset(randomx_alloc_dataset(RANDOMX_FLAG_DEFAULT));
    ASSERT_NE(dataset, nullptr);
    auto* memory = static_cast<std::uint8_t*>(randomx_get_dataset_memory(dataset.get()));
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(memory) % rx::kLargePageSize, 0u);
    const std::uint64_t last = rx::kDatasetItemCount - 1;

    struct Range {
        std::uint64_t start;
        std::uint64_t count;   // as requested
        std::uint64_t filled;  // as computed: nothing past the last item
    };
    // Whole groups of items plus a remainder, a remainder alone, a range
    // running past the end, and an empty range.
    const Range ranges[] = {
        {1000, rx::kSuperscalarLanes + 44, rx::kSuperscalarLanes + 44},
        {77, 3, 3},
        {last - 2, 10, 3},
        {5000, 0, 0},
    };
    for (const Range& range : ranges) {
        SCOPED_TRACE("start " + std::to_string(range.start));
        randomx_init_dataset(dataset.get(), &cache, static_cast<unsigned long>(range.start),
                             static_cast<unsigned long>(range.count));
        for (std::uint64_t n = range.start; n < range.start + range.filled; ++n) {
            std::uint64_t r[8];
            rx::dataset_item_portable(cache, n, r);
            ASSERT_EQ(std::memcmp(memory + n * 64, r, 64), 0) << "item " << n;
        }
        // Neighbouring items were not written.
        const std::uint8_t zero[64] = {};
        if (range.start > 0) {
            EXPECT_EQ(std::memcmp(memory + (range.start - 1) * 64, zero, 64), 0);
        }
        if (range.start + range.filled <= last) {
            EXPECT_EQ(std::memcmp(memory + (range.start + range.filled) * 64, zero, 64), 0);
        }
    }
}

TEST(Cache, ReinitialisingWithTheSameKeyKeepsTheMemory) {
    randomx_cache& cache = shared_cache(trace_key(), flags_for_key(0));
    auto* memory = static_cast<std::uint8_t*>(randomx_get_cache_memory(&cache));
    const std::uint8_t original = memory[12345];
    memory[12345] = static_cast<std::uint8_t>(original ^ 0xff);
    randomx_init_cache(&cache, trace_key().data(), trace_key().size());
    const std::uint8_t after = memory[12345];
    memory[12345] = original;
    EXPECT_EQ(after, static_cast<std::uint8_t>(original ^ 0xff)) << "the cache was refilled";
}

// ---- Memory ---------------------------------------------------------------

std::uint64_t free_huge_pages() {
    std::ifstream meminfo("/proc/meminfo");
    std::string line;
    while (std::getline(meminfo, line)) {
        if (line.rfind("HugePages_Free:", 0) == 0) {
            return std::stoull(line.substr(15));
        }
    }
    return 0;
}

TEST(LargeMemory, IsAlignedAndWritableToItsEnd) {
    const std::size_t size = 3 * rx::kLargePageSize + 1;
    auto* p = static_cast<std::uint8_t*>(rx::alloc_large(size, false));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % rx::kLargePageSize, 0u);
    EXPECT_EQ(p[0], 0);
    EXPECT_EQ(p[size - 1], 0);
    p[0] = 1;
    p[size - 1] = 1;
    rx::free_large(p, size);
    EXPECT_EQ(rx::alloc_large(0, false), nullptr);
}

// The page size the kernel maps `address` with, from /proc/self/smaps, in KiB.
std::uint64_t kernel_page_kib(const void* address) {
    std::ifstream smaps("/proc/self/smaps");
    const auto target = reinterpret_cast<std::uintptr_t>(address);
    bool inside = false;
    std::string line;
    while (std::getline(smaps, line)) {
        const std::size_t dash = line.find('-');
        if (dash != std::string::npos && dash > 0 && line.find(' ') > dash &&
            std::isxdigit(static_cast<unsigned char>(line[0])) != 0) {
            const std::uintptr_t begin = std::stoull(line.substr(0, dash), nullptr, 16);
            const std::uintptr_t end = std::stoull(line.substr(dash + 1), nullptr, 16);
            inside = begin <= target && target < end;
        } else if (inside && line.rfind("KernelPageSize:", 0) == 0) {
            return std::stoull(line.substr(15));
        }
    }
    return 0;
}

// Given up at the third of twelve Argon2d slices: 0, and no key kept.
TEST(CacheInit, AStoppedInitialisationKeepsNoKey) {
    static int asked = 0;
    const auto third = [](const void*) { return ++asked == 3 ? 1 : 0; };
    CachePtr cache(randomx_alloc_cache(randomx_get_flags()));
    EXPECT_EQ(randomx_init_cache_stoppable(cache.get(), "key", 3, third, nullptr), 0);
    EXPECT_EQ(randomx_init_cache_stoppable(cache.get(), "key", 3, third, nullptr), 1);
    EXPECT_EQ(asked, 3 + 12);  // the same key again: computed whole
}

// LARGE_PAGES: explicit huge pages where enough are reserved, and otherwise
// the ordinary memory (never a failure for want of huge pages).
TEST(LargeMemory, ExplicitHugePagesWhereReservedOrdinaryMemoryOtherwise) {
    const std::uint64_t pages_needed = rx::kCacheSize / rx::kLargePageSize;
    const bool reserved = free_huge_pages() >= pages_needed;
    CachePtr cache(randomx_alloc_cache(RANDOMX_FLAG_LARGE_PAGES));
    ASSERT_NE(cache, nullptr);
    const void* memory = randomx_get_cache_memory(cache.get());
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(memory) % rx::kLargePageSize, 0u);
    EXPECT_EQ(kernel_page_kib(memory), reserved ? rx::kLargePageSize / 1024 : 4u);
    randomx_init_cache(cache.get(), "key", 3);
    randomx_vm* vm = randomx_create_vm(randomx_get_flags() | RANDOMX_FLAG_V2 | RANDOMX_FLAG_LARGE_PAGES, cache.get(),
                                       nullptr);
    EXPECT_NE(vm, nullptr) << "the scratchpad as well";
    randomx_destroy_vm(vm);
}

}  // namespace
