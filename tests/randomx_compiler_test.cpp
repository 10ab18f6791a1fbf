// The compiled VM against the interpreter, and the rules its code memory
// keeps: random keys and inputs hashed by both back ends (every program's
// register file compared, with the interpreter confirming that every
// instruction, every rounding mode and taken and untaken branches occurred),
// and no mapping of the process ever writable and executable at once.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "randomx/arch.h"
#include "randomx/code_memory.h"
#include "randomx/constants.h"
#include "randomx/cpu.h"
#include "randomx/randomx.h"
#include "randomx/vm.h"
#include "tests/support/randomx_differential.h"
#include "tests/support/randomx_support.h"

namespace {

using zt::test::keyed_cache;

// Every program's register file, in order.
class RegisterFiles : public rx::HashObserver {
public:
    void program_finished(unsigned, const rx::RegisterFile& registers, const std::uint8_t*) override {
        files.push_back(zt::test::hex(&registers, sizeof registers));
    }
    std::vector<std::string> files;
};

using zt::test::CachePtr;
using zt::test::Scratchpad;
using zt::test::scratchpad;

// Under emulation (a hash costs a hundred times more) one key and a few
// inputs, which still reach every instruction, rounding mode and branch
// outcome.
TEST(VmCompiler, MatchesTheInterpreterV1) {
    const bool small = zt::test::running_under_emulation();
    zt::test::compiler_against_interpreter(rx::Variant::V1, small ? 1 : 2, small ? 4 : 40, 11);
}
TEST(VmCompiler, MatchesTheInterpreterV2) {
    const bool small = zt::test::running_under_emulation();
    zt::test::compiler_against_interpreter(rx::Variant::V2, small ? 1 : 2, small ? 6 : 60, 22);
}

// A stand-in dataset for full mode: any bytes serve to hold the compiler
// against the interpreter, so a 64 MiB memory object of a pattern (each word
// its own offset, mixed) is mapped over and over across the dataset's size.
// Reads at any address cost no more than 64 MiB of memory.
class PatternDataset {
public:
    static constexpr std::size_t kTile = std::size_t{64} << 20;

    PatternDataset() {
        const std::size_t tiles = (rx::kDatasetSize + kTile - 1) / kTile;
        size_ = tiles * kTile;
        void* reserved = mmap(nullptr, size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        const int fd = memfd_create("dataset-pattern", MFD_CLOEXEC);
        if (reserved == MAP_FAILED || fd < 0 || ftruncate(fd, static_cast<off_t>(kTile)) != 0) return;
        base_ = static_cast<std::uint8_t*>(reserved);
        auto* tile = static_cast<std::uint64_t*>(mmap(base_, kTile, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0));
        for (std::size_t i = 0; i < kTile / 8; ++i) tile[i] = (i + 1) * 0x9E3779B97F4A7C15ULL ^ (i << 29);
        for (std::size_t t = 1; t < tiles; ++t) {
            if (mmap(base_ + t * kTile, kTile, PROT_READ, MAP_SHARED | MAP_FIXED, fd, 0) == MAP_FAILED) base_ = nullptr;
        }
        close(fd);
    }
    ~PatternDataset() {
        if (base_ != nullptr) munmap(base_, size_);
    }
    PatternDataset(const PatternDataset&) = delete;
    PatternDataset& operator=(const PatternDataset&) = delete;

    const std::uint8_t* memory() const { return base_; }

private:
    std::uint8_t* base_ = nullptr;
    std::size_t size_ = 0;
};

// Full mode: both back ends on the same (stand-in) dataset, every program's
// register file and the hash compared, v1 and v2.
TEST(VmCompiler, MatchesTheInterpreterInFullMode) {
    PatternDataset dataset;
    ASSERT_NE(dataset.memory(), nullptr);
    const bool hard_aes = rx::cpu_has_aes();
    const int inputs = zt::test::running_under_emulation() ? 2 : 10;
    const Scratchpad pad_i = scratchpad();
    const Scratchpad pad_c = scratchpad();
    int compiled = 0;
    for (const rx::Variant variant : {rx::Variant::V1, rx::Variant::V2}) {
        std::unique_ptr<rx::ProgramRunner> runner = rx::make_compiler(variant);
        if (runner == nullptr) continue;  // no compiled code, or v2 without hardware AES
        ++compiled;
        rx::Machine interpreter(variant, hard_aes, pad_i.get(), rx::make_interpreter(variant, hard_aes));
        rx::Machine compiler(variant, hard_aes, pad_c.get(), std::move(runner));
        interpreter.use_dataset(dataset.memory());
        compiler.use_dataset(dataset.memory());
        for (int n = 0; n < inputs; ++n) {
            const std::string input = "full mode " + std::to_string(n);
            RegisterFiles want;
            RegisterFiles got;
            interpreter.set_observer(&want);
            compiler.set_observer(&got);
            std::uint8_t want_hash[RANDOMX_HASH_SIZE];
            std::uint8_t got_hash[RANDOMX_HASH_SIZE];
            interpreter.hash(input.data(), input.size(), want_hash);
            compiler.hash(input.data(), input.size(), got_hash);
            ASSERT_EQ(got.files, want.files) << input;
            ASSERT_EQ(zt::test::hex(got_hash, sizeof got_hash), zt::test::hex(want_hash, sizeof want_hash)) << input;
        }
    }
    if (compiled == 0) GTEST_SKIP() << "the compiler cannot run here";
}

// The compiled VM where the cache has no compiled code (its items come from
// the portable executor through a call that keeps the floating-point
// registers), and with its code switched by mprotect instead of two views:
// the official first cases, v1 and v2.
TEST(VmCompiler, RunsOnACacheWithoutCodeAndWithMprotect) {
    if (!rx::compiled_code_runs() || !rx::cpu_has_aes()) {
        GTEST_SKIP() << "the compiler cannot run here";
    }
    const auto flags = static_cast<unsigned>(randomx_get_flags());
    const CachePtr cache(
        randomx_alloc_cache(static_cast<randomx_flags>(flags & ~static_cast<unsigned>(RANDOMX_FLAG_JIT))));
    ASSERT_NE(cache, nullptr);
    const std::string key = "test key 000";
    randomx_init_cache(cache.get(), key.data(), key.size());
    const std::string input = "This is a test";
    const struct {
        rx::Variant variant;
        const char* hash;
    } cases[] = {
        {rx::Variant::V1, "639183aae1bf4c9a35884cb46b09cad9175f04efd7684e7262a0ac1c2f0b4e3f"},
        {rx::Variant::V2, "22ec6b861b3eb23686b2efbad69513c967ecfce80983df66c9c5b4fbfb4cdb6f"},
    };
    const Scratchpad pad = scratchpad();
    for (const auto& c : cases) {
        for (const bool mprotect_only : {false, true}) {
            rx::Machine machine(c.variant, true, pad.get(), rx::make_compiler(c.variant, mprotect_only));
            machine.use_cache(cache.get());
            std::uint8_t hash[RANDOMX_HASH_SIZE];
            machine.hash(input.data(), input.size(), hash);
            EXPECT_EQ(zt::test::hex(hash, sizeof hash), c.hash) << (mprotect_only ? "mprotect" : "two views");
        }
    }
}

// ---- W^X ------------------------------------------------------------------

struct Mapping {
    std::string line;
    bool writable;
    bool executable;
};

std::vector<Mapping> mappings() {
    std::ifstream maps("/proc/self/maps");
    std::vector<Mapping> result;
    std::string line;
    while (std::getline(maps, line)) {
        const std::string perms = line.substr(line.find(' ') + 1, 4);
        result.push_back({line, perms[1] == 'w', perms[2] == 'x'});
    }
    return result;
}

// Fails the test for every mapping that is writable and executable; returns
// how many executable mappings of generated code exist.
int check_no_writable_executable_mapping() {
    int code_views = 0;
    for (const Mapping& m : mappings()) {
        EXPECT_FALSE(m.writable && m.executable) << m.line;
        if (m.executable && m.line.find("randomx-code") != std::string::npos) ++code_views;
    }
    return code_views;
}

// Whether the dual view is in use (named mappings) rather than mprotect.
bool dual_view_in_use() {
    rx::CodeMemory probe;
    return probe.allocate(64) && probe.mechanism() == rx::CodeMemory::Mechanism::DualView;
}

TEST(SecureVm, NoMappingIsWritableAndExecutableWhileItHashes) {
    const auto flags = static_cast<randomx_flags>(randomx_get_flags() | RANDOMX_FLAG_V2 | RANDOMX_FLAG_SECURE);
    if ((flags & RANDOMX_FLAG_JIT) == 0) {
        GTEST_SKIP() << "no compiled code on this system";
    }
    if (zt::test::running_under_emulation()) {
        GTEST_SKIP() << "threads hang under this emulator; ProgramBoundaries below checks W^X single-threaded";
    }
    randomx_cache* cache = keyed_cache({'w', '^', 'x'});
    randomx_vm* vm = randomx_create_vm(flags, cache, nullptr);
    ASSERT_NE(vm, nullptr);
    std::atomic<bool> done{false};
    std::thread hashing([&] {
        std::uint8_t state[RANDOMX_HASH_SIZE] = {};
        for (int i = 0; i < 10; ++i) randomx_calculate_hash(vm, state, sizeof state, state);
        done = true;
    });
    int looks = 0;
    int code_views = 0;
    while (!done) {
        code_views = std::max(code_views, check_no_writable_executable_mapping());
        ++looks;
    }
    hashing.join();
    randomx_destroy_vm(vm);
    EXPECT_GT(looks, 10);
    // The dual view's mappings are named; code switched by mprotect (where
    // the dual view fails its probe) is anonymous.
    if (dual_view_in_use()) {
        EXPECT_GE(code_views, 2) << "the VM's and the cache's code are mapped";
    }
}

// The same rule on one thread: the mappings checked whenever a program
// starts or has finished (the VM's code of the last program is mapped), for
// both mechanisms and both variants.
class MappingCheck : public rx::HashObserver {
public:
    void program_started(unsigned, const std::uint8_t*, const rx::Program&, const rx::VmState&) override { look(); }
    void program_finished(unsigned, const rx::RegisterFile&, const std::uint8_t*) override { look(); }
    int looks = 0;
    int code_views = 0;

private:
    void look() {
        code_views = std::max(code_views, check_no_writable_executable_mapping());
        ++looks;
    }
};

TEST(SecureVm, NoMappingIsWritableAndExecutableAtProgramBoundaries) {
    if (!rx::compiled_code_runs()) {
        GTEST_SKIP() << "no compiled code on this system";
    }
    randomx_cache* cache = keyed_cache({'w', '^', 'x'});
    const Scratchpad pad = scratchpad();
    int compiled = 0;
    for (const rx::Variant variant : {rx::Variant::V1, rx::Variant::V2}) {
        for (const bool mprotect_only : {false, true}) {
            std::unique_ptr<rx::ProgramRunner> runner = rx::make_compiler(variant, mprotect_only);
            if (runner == nullptr) continue;  // v2 without hardware AES
            ++compiled;
            rx::Machine machine(variant, rx::cpu_has_aes(), pad.get(), std::move(runner));
            machine.use_cache(cache);
            MappingCheck check;
            machine.set_observer(&check);
            std::uint8_t hash[RANDOMX_HASH_SIZE];
            machine.hash("w^x", 3, hash);
            EXPECT_EQ(check.looks, 2 * static_cast<int>(rx::kProgramCount));
            if (dual_view_in_use() && !mprotect_only) {
                EXPECT_GE(check.code_views, 2) << "the VM's and the cache's code are mapped";
            }
        }
    }
    EXPECT_GE(compiled, 2);
}

// Both mechanisms: code rewritten and run again, never writable and
// executable at once.
TEST(CodeMemory, RewrittenCodeRunsUnderBothMechanisms) {
    std::uint8_t scratch[64];
    if (rx::write_return_constant(scratch, 0) == 0) {
        GTEST_SKIP() << "this library generates no code for this processor";
    }
    for (const auto mechanism : {rx::CodeMemory::Mechanism::DualView, rx::CodeMemory::Mechanism::Mprotect}) {
        rx::CodeMemory memory;
        ASSERT_TRUE(memory.allocate(100, mechanism));
        EXPECT_GE(memory.size(), 100U);
        for (std::uint8_t value : {7, 42}) {
            ASSERT_TRUE(memory.begin_write());
            ASSERT_NE(rx::write_return_constant(memory.writable(), value), 0U);
            ASSERT_TRUE(memory.finish_write());
            check_no_writable_executable_mapping();
            const auto run = reinterpret_cast<int (*)()>(const_cast<std::uint8_t*>(memory.executable()));
            EXPECT_EQ(run(), value);
        }
        if (memory.mechanism() == rx::CodeMemory::Mechanism::DualView) {
            EXPECT_NE(memory.writable(), memory.executable());
        }
    }
}

}  // namespace
