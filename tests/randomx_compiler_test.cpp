// The compiled VM against the interpreter, and the rules its code memory
// keeps: random keys and inputs hashed by both back ends (every program's
// register file compared, with the interpreter confirming that every
// instruction, every rounding mode and taken and untaken branches occurred),
// and no mapping of the process ever writable and executable at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "randomx/code_memory.h"
#include "randomx/cpu.h"
#include "randomx/randomx.h"
#include "randomx/vm.h"
#include "tests/support/randomx_support.h"

namespace {

using zt::test::hex;
using zt::test::keyed_cache;

bool compiler_runs(rx::Variant variant) { return rx::make_compiler(variant) != nullptr; }

struct ScratchpadFree {
    void operator()(std::uint8_t* p) const { ::operator delete[](p, std::align_val_t{64}); }
};
using Scratchpad = std::unique_ptr<std::uint8_t, ScratchpadFree>;
Scratchpad scratchpad() {
    return Scratchpad(static_cast<std::uint8_t*>(::operator new[](rx::kScratchpadL3, std::align_val_t{64})));
}

// Every program's register file, in order.
class RegisterFiles : public rx::HashObserver {
public:
    void program_finished(unsigned, const rx::RegisterFile& registers, const std::uint8_t*) override {
        files.push_back(hex(&registers, sizeof registers));
    }
    std::vector<std::string> files;
};

// What the interpreter met on its way: instruction kinds, rounding modes in
// force after a program pass, and branches taken.
class Coverage : public RegisterFiles {
public:
    void program_started(unsigned, const std::uint8_t*, const rx::Program& program, const rx::VmState&) override {
        for (std::uint32_t i = 0; i < program.size; ++i) {
            ops.insert(static_cast<int>(program.code[i].op));
            types.insert(static_cast<int>(program.code[i].type));
            branches += program.code[i].op == rx::Op::CBRANCH ? rx::kProgramIterations : 0;
        }
    }
    void program_executed(std::uint32_t, const rx::VmState& state) override { modes.insert(state.fprc); }
    void branch_taken(std::uint32_t, std::uint32_t) override { ++taken; }

    std::set<int> ops;
    std::set<int> types;
    std::set<std::uint32_t> modes;
    std::uint64_t branches = 0;  // CBRANCH instructions passed at least once per iteration
    std::uint64_t taken = 0;
};

struct Differential {
    rx::Variant variant;
    int keys;
    int inputs_per_key;
};

void run_differential(const Differential& d) {
    if (!compiler_runs(d.variant)) {
        GTEST_SKIP() << "the compiler cannot run here";
    }
    const bool hard_aes = rx::cpu_has_aes();
    const Scratchpad pad_i = scratchpad();
    const Scratchpad pad_c = scratchpad();
    rx::Machine interpreter(d.variant, hard_aes, pad_i.get(), rx::make_interpreter(d.variant, hard_aes));
    rx::Machine compiler(d.variant, hard_aes, pad_c.get(), rx::make_compiler(d.variant));
    Coverage coverage;
    std::mt19937_64 rng(d.variant == rx::Variant::V1 ? 11 : 22);
    for (int k = 0; k < d.keys; ++k) {
        std::vector<std::uint8_t> key(32);
        for (std::uint8_t& b : key) b = static_cast<std::uint8_t>(rng());
        randomx_cache* cache = keyed_cache(key);
        interpreter.use_cache(cache);
        compiler.use_cache(cache);
        for (int n = 0; n < d.inputs_per_key; ++n) {
            std::vector<std::uint8_t> input(rng() % 120);
            for (std::uint8_t& b : input) b = static_cast<std::uint8_t>(rng());
            RegisterFiles compiled;
            coverage.files.clear();
            interpreter.set_observer(&coverage);
            compiler.set_observer(&compiled);
            std::uint8_t want[RANDOMX_HASH_SIZE];
            std::uint8_t got[RANDOMX_HASH_SIZE];
            interpreter.hash(input.data(), input.size(), want);
            compiler.hash(input.data(), input.size(), got);
            ASSERT_EQ(compiled.files, coverage.files) << "key " << hex(key) << ", input " << hex(input);
            ASSERT_EQ(hex(got, sizeof got), hex(want, sizeof want));
        }
    }
    // Random programs reach every instruction kind; the test is only as
    // good as that, so it says so.
    EXPECT_EQ(coverage.types.size(), rx::kInstructionTypeCount);
    EXPECT_EQ(coverage.modes, (std::set<std::uint32_t>{0, 1, 2, 3}));
    EXPECT_GT(coverage.taken, 0U);
    EXPECT_LT(coverage.taken, coverage.branches / 8) << "most branches are not taken";
}

TEST(VmCompiler, MatchesTheInterpreterV1) { run_differential({rx::Variant::V1, 2, 40}); }
TEST(VmCompiler, MatchesTheInterpreterV2) { run_differential({rx::Variant::V2, 2, 60}); }

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

TEST(SecureVm, NoMappingIsWritableAndExecutableWhileItHashes) {
    const auto flags = static_cast<randomx_flags>(randomx_get_flags() | RANDOMX_FLAG_V2 | RANDOMX_FLAG_SECURE);
    if ((flags & RANDOMX_FLAG_JIT) == 0) {
        GTEST_SKIP() << "no compiled code on this system";
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
    EXPECT_GE(code_views, 2) << "the VM's and the cache's code are mapped";
}

// Both mechanisms: code rewritten and run again, never writable and
// executable at once.
TEST(CodeMemory, RewrittenCodeRunsUnderBothMechanisms) {
    for (const auto mechanism : {rx::CodeMemory::Mechanism::DualView, rx::CodeMemory::Mechanism::Mprotect}) {
        rx::CodeMemory memory;
        ASSERT_TRUE(memory.allocate(100, mechanism));
        EXPECT_GE(memory.size(), 100U);
        for (std::uint8_t value : {7, 42}) {
            ASSERT_TRUE(memory.begin_write());
            const std::uint8_t probe[] = {0xB8, value, 0x00, 0x00, 0x00, 0xC3};  // mov eax, value; ret
            std::memcpy(memory.writable(), probe, sizeof probe);
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
