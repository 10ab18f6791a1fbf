// The virtual machine against the traced hashes (every stage, the register
// states of five iterations of every program), the hash vectors and chains in
// light mode, and the VM part of the C API.
#include <gtest/gtest.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cfenv>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "randomx/blake2b.h"
#include "randomx/arch.h"
#include "randomx/code_memory.h"
#include "randomx/constants.h"
#include "randomx/cpu.h"
#include "randomx/randomx.h"
#include "randomx/vm.h"
#include "tests/support/randomx_support.h"

namespace {

using zt::test::hex;
using zt::test::Json;
using zt::test::keyed_cache;
using zt::test::load_vectors;
using zt::test::sha256_hex;
using zt::test::unhex;
using zt::test::word;
using zt::test::word_hex;

using Lines = std::vector<std::string>;

std::string half_hex(const rx::FloatRegister& value, unsigned half) {
    return word_hex(std::bit_cast<std::uint64_t>(half == 0 ? value.lo : value.hi));
}

std::string u32_hex(std::uint32_t value) {
    return word_hex(value).substr(8);
}

// Labelled register values, so that a mismatch names the register.
Lines integer_registers(const std::uint64_t* r) {
    Lines lines;
    for (unsigned i = 0; i < 8; ++i) {
        lines.push_back("r" + std::to_string(i) + "=" + word_hex(r[i]));
    }
    return lines;
}

Lines float_registers(char group, const rx::FloatRegister* regs) {
    Lines lines;
    for (unsigned i = 0; i < 4; ++i) {
        lines.push_back(group + std::to_string(i) + "=" + half_hex(regs[i], 0) + "," + half_hex(regs[i], 1));
    }
    return lines;
}

Lines integer_registers(const Json& values) {
    Lines lines;
    for (std::size_t i = 0; i < values.items().size(); ++i) {
        lines.push_back("r" + std::to_string(i) + "=" + values.items()[i].str());
    }
    return lines;
}

Lines float_registers(char group, const Json& values) {
    Lines lines;
    for (std::size_t i = 0; i < values.items().size(); ++i) {
        const Json& pair = values.items()[i];
        lines.push_back(group + std::to_string(i) + "=" + pair.items()[0].str() + "," + pair.items()[1].str());
    }
    return lines;
}

// Compares every stage of a hash with a trace file as the hash runs.
class TraceChecker : public rx::HashObserver {
public:
    explicit TraceChecker(const Json& trace) : trace_(trace) {}

    void scratchpad_filled(const std::uint8_t* scratchpad, const std::uint8_t* state) override {
        EXPECT_EQ(sha256_hex(scratchpad, rx::kScratchpadL3), trace_["scratchpad_sha256_after_fill"].str());
        EXPECT_EQ(hex(state, 64), trace_["generator_state_after_fill"].str());
    }

    void program_started(unsigned index, const std::uint8_t* seed, const rx::Program&,
                         const rx::VmState& state) override {
        program_ = &trace_["programs"].items().at(index);
        where_ = "program " + std::to_string(index);
        const Json& start = (*program_)["before_iteration_0"];
        EXPECT_EQ(hex(seed, 64), (*program_)["seed_hex"].str()) << where_;
        EXPECT_EQ(integer_registers(state.r), integer_registers(start["r"])) << where_;
        EXPECT_EQ(float_registers('a', state.a), float_registers('a', start["a"])) << where_;
        EXPECT_EQ(u32_hex(state.ma), start["ma"].str()) << where_;
        EXPECT_EQ(u32_hex(state.mx), start["mx"].str()) << where_;
        EXPECT_EQ(state.fprc, start["fprc"].num()) << where_;
        ++programs_seen_;
    }

    void iteration_loaded(std::uint32_t iteration, const rx::VmState& state) override {
        const Json* it = traced(iteration);
        if (it == nullptr) {
            return;
        }
        const Json& loaded = (*it)["after_load"];
        EXPECT_EQ(state.sp_addr0, (*it)["spAddr0"].num()) << where_;
        EXPECT_EQ(state.sp_addr1, (*it)["spAddr1"].num()) << where_;
        EXPECT_EQ(integer_registers(state.r), integer_registers(loaded["r"])) << where_;
        EXPECT_EQ(float_registers('f', state.fe), float_registers('f', loaded["f"])) << where_;
        EXPECT_EQ(float_registers('e', state.fe + 4), float_registers('e', loaded["e"])) << where_;
    }

    void program_executed(std::uint32_t iteration, const rx::VmState& state) override {
        const Json* it = traced(iteration);
        if (it == nullptr) {
            return;
        }
        const Json& after = (*it)["after_program"];
        EXPECT_EQ(integer_registers(state.r), integer_registers(after["r"])) << where_;
        EXPECT_EQ(float_registers('f', state.fe), float_registers('f', after["f"])) << where_;
        EXPECT_EQ(float_registers('e', state.fe + 4), float_registers('e', after["e"])) << where_;
        EXPECT_EQ(state.fprc, after["fprc"].num()) << where_;
    }

    void dataset_read(std::uint32_t iteration, std::uint64_t address, const std::uint64_t* item) override {
        const Json* it = traced(iteration);
        if (it == nullptr) {
            return;
        }
        const Json& read = (*it)["dataset_read"];
        EXPECT_EQ(address, static_cast<std::uint64_t>(read["address"].num())) << where_;
        EXPECT_EQ(hex(item, 64), read["item_hex"].str()) << where_;
    }

    void iteration_finished(std::uint32_t iteration, const rx::VmState& state,
                            const std::uint8_t* scratchpad) override {
        const Json* it = traced(iteration);
        if (it == nullptr) {
            return;
        }
        const Json& after = (*it)["after_iteration"];
        EXPECT_EQ(integer_registers(state.r), integer_registers(after["r"])) << where_;
        EXPECT_EQ(float_registers('f', state.fe), float_registers('f', after["f"])) << where_;
        EXPECT_EQ(float_registers('e', state.fe + 4), float_registers('e', after["e"])) << where_;
        EXPECT_EQ(float_registers('a', state.a), float_registers('a', after["a"])) << where_;
        EXPECT_EQ(u32_hex(state.ma), after["ma"].str()) << where_;
        EXPECT_EQ(u32_hex(state.mx), after["mx"].str()) << where_;
        EXPECT_EQ(state.fprc, after["fprc"].num()) << where_;
        EXPECT_EQ(sha256_hex(scratchpad, rx::kScratchpadL3), (*it)["scratchpad_sha256"].str()) << where_;
        ++iterations_seen_;
    }

    void program_finished(unsigned, const rx::RegisterFile& registers, const std::uint8_t* scratchpad) override {
        EXPECT_EQ(hex(&registers, sizeof registers), (*program_)["register_file_hex"].str()) << where_;
        EXPECT_EQ(sha256_hex(scratchpad, rx::kScratchpadL3), (*program_)["scratchpad_sha256_end"].str()) << where_;
        if (program_->has("register_file_blake2b512")) {
            std::uint8_t next_seed[64];
            rx::hash512(next_seed, &registers, sizeof registers);
            EXPECT_EQ(hex(next_seed, 64), (*program_)["register_file_blake2b512"].str()) << where_;
        }
    }

    void hash_finished(const std::uint8_t* aes_hash, const rx::RegisterFile& registers) override {
        EXPECT_EQ(hex(aes_hash, 64), trace_["final_aeshash1r_hex"].str());
        EXPECT_EQ(hex(&registers, sizeof registers), trace_["final_register_file_hex"].str());
    }

    int programs_seen() const { return programs_seen_; }
    int iterations_seen() const { return iterations_seen_; }

private:
    // The trace entry of `iteration` in the current program, or null; sets the
    // failure context.
    const Json* traced(std::uint32_t iteration) {
        for (const Json& it : (*program_)["iterations"].items()) {
            if (it["iteration"].num() == iteration) {
                where_ = "program " + std::to_string((*program_)["index"].num()) + ", iteration " +
                         std::to_string(iteration);
                return &it;
            }
        }
        return nullptr;
    }

    const Json& trace_;
    const Json* program_ = nullptr;
    std::string where_;
    int programs_seen_ = 0;
    int iterations_seen_ = 0;
};

struct TraceCase {
    const char* path;
    rx::Variant variant;
    rx::Backend backend;
};

std::unique_ptr<rx::ProgramRunner> runner(const TraceCase& c, bool hard_aes) {
    return c.backend == rx::Backend::Compiler ? rx::make_compiler(c.variant) : rx::make_interpreter(c.variant, hard_aes);
}

class VmTrace : public ::testing::TestWithParam<TraceCase> {};

// Both AES implementations in one test: the cache is initialised once per
// test process. The compiler is checked at every stage around its programs
// (seeds, register files, scratchpads); only the interpreter reports the
// iterations inside them.
TEST_P(VmTrace, EveryStageMatches) {
    const TraceCase& c = GetParam();
    if (runner(c, false) == nullptr) {
        GTEST_SKIP() << "the compiler cannot run here";
    }
    const Json trace = load_vectors(c.path);
    const zt::test::Scratchpad scratchpad = zt::test::scratchpad();
    const std::vector<std::uint8_t> input = unhex(trace["input_hex"].str());
    randomx_cache* cache = keyed_cache(unhex(trace["key_hex"].str()));
    for (const bool hard_aes : {false, true}) {
        if (hard_aes && !rx::cpu_has_aes()) {
            continue;
        }
        SCOPED_TRACE(hard_aes ? "AES-NI" : "software AES");
        rx::Machine machine(c.variant, hard_aes, scratchpad.get(), runner(c, hard_aes));
        machine.use_cache(cache);
        TraceChecker checker(trace);
        machine.set_observer(&checker);
        std::uint8_t hash[32];
        machine.hash(input.data(), input.size(), hash);
        EXPECT_EQ(hex(hash, sizeof hash), trace["hash_hex"].str());
        EXPECT_EQ(checker.programs_seen(), 8);
        EXPECT_EQ(checker.iterations_seen(), c.backend == rx::Backend::Interpreter ? 8 * 5 : 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Variants, VmTrace,
    ::testing::Values(TraceCase{"randomx/traces/trace-v1.json", rx::Variant::V1, rx::Backend::Interpreter},
                      TraceCase{"randomx/traces/trace-v2.json", rx::Variant::V2, rx::Backend::Interpreter},
                      TraceCase{"randomx/traces/trace-v1.json", rx::Variant::V1, rx::Backend::Compiler},
                      TraceCase{"randomx/traces/trace-v2.json", rx::Variant::V2, rx::Backend::Compiler}),
    [](const auto& info) {
        return std::string(info.param.variant == rx::Variant::V1 ? "v1" : "v2") +
               (info.param.backend == rx::Backend::Compiler ? "_compiler" : "_interpreter");
    });

// The C API of the VM.

const std::string kKey0 = "test key 000";
const std::string kKey1 = "test key 001";

std::vector<std::uint8_t> bytes(const std::string& text) { return {text.begin(), text.end()}; }

// Official cases: (key 000, "This is a test") and (key 001, "sed do ...").
struct Official {
    std::vector<std::uint8_t> input;
    std::string v2_hash;
};

Official official(const std::string& key, const std::string& note_start) {
    const Json vectors = load_vectors("randomx/hashes.json");
    for (const Json& v : vectors.items()) {
        if (v["variant"].str() == "v2" && v["key_hex"].str() == hex(bytes(key)) &&
            v["note"].str().rfind(note_start, 0) == 0) {
            return {unhex(v["input_hex"].str()), v["hash_hex"].str()};
        }
    }
    throw std::runtime_error("no official case " + note_start);
}

std::string api_hash(randomx_vm* vm, const std::vector<std::uint8_t>& input) {
    std::uint8_t out[RANDOMX_HASH_SIZE];
    randomx_calculate_hash(vm, input.data(), input.size(), out);
    return hex(out, sizeof out);
}

struct VmDestroy {
    void operator()(randomx_vm* vm) const { randomx_destroy_vm(vm); }
};
using VmPtr = std::unique_ptr<randomx_vm, VmDestroy>;

VmPtr create_vm(unsigned flags, randomx_cache* cache, randomx_dataset* dataset) {
    return VmPtr(randomx_create_vm(static_cast<randomx_flags>(flags), cache, dataset));
}

TEST(VmApi, FlagsFollowTheProcessor) {
    const auto flags = static_cast<unsigned>(randomx_get_flags());
    EXPECT_EQ((flags & RANDOMX_FLAG_HARD_AES) != 0, rx::cpu_has_aes());
    EXPECT_EQ((flags & RANDOMX_FLAG_ARGON2_SSSE3) != 0, rx::cpu_features().ssse3);
    EXPECT_EQ((flags & RANDOMX_FLAG_ARGON2_AVX2) != 0, rx::cpu_features().avx2);
    EXPECT_EQ((flags & RANDOMX_FLAG_JIT) != 0, rx::compiled_code_runs());
#if defined(__x86_64__) && defined(__linux__)
    EXPECT_NE(flags & RANDOMX_FLAG_JIT, 0U) << "x86-64 Linux runs compiled code";
#endif
    const unsigned offered = RANDOMX_FLAG_HARD_AES | RANDOMX_FLAG_ARGON2 | RANDOMX_FLAG_JIT;
    EXPECT_EQ(flags & ~offered, 0U) << "no mode or variant flag";
}

// C++ callers combine flags as the enum type, as with the standard header.
TEST(VmApi, FlagsCombineAsTheirOwnType) {
    static_assert((RANDOMX_FLAG_V2 | RANDOMX_FLAG_SECURE) == 144);
    static_assert(((RANDOMX_FLAG_V2 | RANDOMX_FLAG_JIT) & RANDOMX_FLAG_JIT) == RANDOMX_FLAG_JIT);
    randomx_flags flags = randomx_get_flags() | RANDOMX_FLAG_SECURE;
    flags |= RANDOMX_FLAG_FULL_MEM;
    EXPECT_EQ(static_cast<unsigned>(flags),
              static_cast<unsigned>(randomx_get_flags()) | RANDOMX_FLAG_SECURE | RANDOMX_FLAG_FULL_MEM);
}

TEST(VmApi, CreationNeedsTheDataSourceOfItsMode) {
    EXPECT_EQ(create_vm(RANDOMX_FLAG_V2, nullptr, nullptr), nullptr);
    EXPECT_EQ(create_vm(RANDOMX_FLAG_V2 | RANDOMX_FLAG_FULL_MEM, keyed_cache(bytes(kKey0)), nullptr), nullptr);
    const zt::test::CachePtr uninitialised(randomx_alloc_cache(RANDOMX_FLAG_DEFAULT));
    ASSERT_NE(uninitialised, nullptr);
    EXPECT_EQ(create_vm(RANDOMX_FLAG_V2, uninitialised.get(), nullptr), nullptr);
    EXPECT_NE(create_vm(RANDOMX_FLAG_V2, keyed_cache(bytes(kKey0)), nullptr), nullptr);
    randomx_destroy_vm(nullptr);
}

// The hash sets its own rounding mode and restores the caller's, whatever
// rounding, flush-to-zero and denormals-are-zero settings the caller had.
// Flags that the interpreter accepts without effect give the same hash, and
// so do large pages where the system has them (without them creation fails
// cleanly). One test, so that the cache is initialised once.
TEST(VmApi, HashIgnoresCallerFloatingPointModeAndAcceptedFlags) {
    const Official a = official(kKey0, "official test case a");
    randomx_cache* cache = keyed_cache(bytes(kKey0));
    const unsigned base = static_cast<unsigned>(randomx_get_flags()) | RANDOMX_FLAG_V2;
    {
        const VmPtr vm = create_vm(base, cache, nullptr);
        ASSERT_NE(vm, nullptr);
#if defined(__x86_64__)
        const std::uint32_t saved = _mm_getcsr();
        const std::uint32_t caller = 0x1F80 | 0x6000 /* toward zero */ | 0x8000 /* FTZ */ | 0x0040 /* DAZ */;
        _mm_setcsr(caller);
        const std::string hash = api_hash(vm.get(), a.input);
        const std::uint32_t after = _mm_getcsr() & ~0x3FU;  // ignore the sticky exception flags
        _mm_setcsr(saved);
        EXPECT_EQ(hash, a.v2_hash) << "caller rounds toward zero with FTZ and DAZ";
        EXPECT_EQ(after, caller);
#else
        const int saved = std::fegetround();
        std::fesetround(FE_TOWARDZERO);
        const std::string hash = api_hash(vm.get(), a.input);
        const int after = std::fegetround();
        std::fesetround(saved);
        EXPECT_EQ(hash, a.v2_hash) << "caller rounds toward zero";
        EXPECT_EQ(after, FE_TOWARDZERO);
#endif
    }
    const VmPtr accepted = create_vm(base | RANDOMX_FLAG_SECURE | RANDOMX_FLAG_JIT, cache, nullptr);
    ASSERT_NE(accepted, nullptr);
    EXPECT_EQ(api_hash(accepted.get(), a.input), a.v2_hash) << "SECURE and JIT";
    const VmPtr large = create_vm(base | RANDOMX_FLAG_LARGE_PAGES, cache, nullptr);
    if (large != nullptr) {
        EXPECT_EQ(api_hash(large.get(), a.input), a.v2_hash) << "LARGE_PAGES";
    }
}

// A cache that was never initialised has no programs; rebinding to it would
// make the next hash run none. It is refused like at creation, and the VM
// keeps hashing with its cache.
TEST(VmApi, SetCacheRefusesAnUninitialisedCache) {
    const Official a = official(kKey0, "official test case a");
    const VmPtr vm = create_vm(static_cast<unsigned>(randomx_get_flags()) | RANDOMX_FLAG_V2, keyed_cache(bytes(kKey0)),
                               nullptr);
    ASSERT_NE(vm, nullptr);
    const zt::test::CachePtr uninitialised(randomx_alloc_cache(randomx_get_flags()));
    ASSERT_NE(uninitialised, nullptr);
    randomx_vm_set_cache(vm.get(), uninitialised.get());
    EXPECT_EQ(api_hash(vm.get(), a.input), a.v2_hash);
}

// What a hash leaves in the machine: nothing. The registers and the last
// program are derived from the input's way to the hash.
TEST(VmApi, MachineWipesItsRegistersAndProgramAfterEveryHash) {
    const Official a = official(kKey0, "official test case a");
    const zt::test::Scratchpad scratchpad = zt::test::scratchpad();
    for (const rx::Backend backend : {rx::Backend::Interpreter, rx::Backend::Compiler}) {
        auto run = backend == rx::Backend::Compiler ? rx::make_compiler(rx::Variant::V2)
                                                    : rx::make_interpreter(rx::Variant::V2, rx::cpu_has_aes());
        if (run == nullptr) {
            continue;
        }
        rx::Machine machine(rx::Variant::V2, rx::cpu_has_aes(), scratchpad.get(), std::move(run));
        machine.use_cache(keyed_cache(bytes(kKey0)));
        std::uint8_t hash[RANDOMX_HASH_SIZE];
        machine.hash(a.input.data(), a.input.size(), hash);
        EXPECT_EQ(hex(hash, sizeof hash), a.v2_hash);
        const auto zero = [](const void* p, std::size_t n) {
            const auto* bytes = static_cast<const std::uint8_t*>(p);
            return std::all_of(bytes, bytes + n, [](std::uint8_t b) { return b == 0; });
        };
        EXPECT_TRUE(zero(&machine.state(), sizeof(rx::VmState))) << static_cast<int>(backend);
        EXPECT_TRUE(zero(&machine.program(), sizeof(rx::Program))) << static_cast<int>(backend);
    }
}

TEST(VmApi, SetCacheRebindsALightVm) {
    const Official a = official(kKey0, "official test case a");
    const Official d = official(kKey1, "official test case d");
    randomx_cache* first = keyed_cache(bytes(kKey0));
    const VmPtr vm = create_vm(static_cast<unsigned>(randomx_get_flags()) | RANDOMX_FLAG_V2, first, nullptr);
    ASSERT_NE(vm, nullptr);
    const zt::test::CachePtr second(randomx_alloc_cache(randomx_get_flags()));
    ASSERT_NE(second, nullptr);
    randomx_init_cache(second.get(), kKey1.data(), kKey1.size());
    randomx_vm_set_cache(vm.get(), second.get());
    EXPECT_EQ(api_hash(vm.get(), d.input), d.v2_hash);
    randomx_vm_set_cache(vm.get(), first);
    EXPECT_EQ(api_hash(vm.get(), a.input), a.v2_hash);
}

}  // namespace
