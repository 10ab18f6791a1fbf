#include "tests/support/randomx_differential.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "randomx/arch.h"
#include "randomx/cpu.h"
#include "randomx/randomx.h"
#include "randomx/vm.h"
#include "tests/support/randomx_support.h"

namespace zt::test {
namespace {

bool compiler_runs(rx::Variant variant) { return rx::make_compiler(variant) != nullptr; }

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
            types.insert(static_cast<int>(program.code[i].type));
            branches += program.code[i].op == rx::Op::CBRANCH ? rx::kProgramIterations : 0;
        }
    }
    void program_executed(std::uint32_t, const rx::VmState& state) override { modes.insert(state.fprc); }
    void branch_taken(std::uint32_t, std::uint32_t) override { ++taken; }

    std::set<int> types;
    std::set<std::uint32_t> modes;
    std::uint64_t branches = 0;  // CBRANCH instructions passed at least once per iteration
    std::uint64_t taken = 0;
};

}  // namespace

void compiler_against_interpreter(rx::Variant variant, int keys, int inputs_per_key, std::uint64_t seed) {
    if (!compiler_runs(variant)) {
        GTEST_SKIP() << "the compiler cannot run here";
    }
    const bool hard_aes = rx::cpu_has_aes();
    const Scratchpad pad_i = scratchpad();
    const Scratchpad pad_c = scratchpad();
    rx::Machine interpreter(variant, hard_aes, pad_i.get(), rx::make_interpreter(variant, hard_aes));
    rx::Machine compiler(variant, hard_aes, pad_c.get(), rx::make_compiler(variant));
    Coverage coverage;
    std::mt19937_64 rng(seed);
    for (int k = 0; k < keys; ++k) {
        std::vector<std::uint8_t> key(32);
        for (std::uint8_t& b : key) b = static_cast<std::uint8_t>(rng());
        randomx_cache* cache = keyed_cache(key);
        interpreter.use_cache(cache);
        compiler.use_cache(cache);
        for (int n = 0; n < inputs_per_key; ++n) {
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

bool running_under_emulation() {
#if defined(__aarch64__) || defined(__riscv)
#if defined(__aarch64__)
    const std::string native_line = "CPU implementer";
#else
    const std::string native_line = "isa";
#endif
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind(native_line, 0) == 0) return false;
    }
    return true;
#else
    return false;
#endif
}

}  // namespace zt::test
