// The compiled VM against the interpreter, and the rules its code memory
// keeps: random keys and inputs hashed by both back ends (every program's
// register file compared, with the interpreter confirming that every
// instruction, every rounding mode and taken and untaken branches occurred);
// no mapping of the process ever writable and executable at once, and with
// RANDOMX_FLAG_SECURE no writable mapping of code that can run; and code
// that does not fit its buffer given up rather than written past it.
#include <gtest/gtest.h>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/compiled_code_warning.h"
#include "randomx/arch.h"
#include "randomx/code_memory.h"
#include "randomx/constants.h"
#include "randomx/cpu.h"
#include "randomx/dataset.h"
#include "randomx/randomx.h"
#include "randomx/vm.h"
#include "tests/support/randomx_differential.h"
#include "tests/support/randomx_support.h"
#include "randomx/cache.h"
#include "randomx/compiled_vm.h"

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
    if (!rx::compiled_code_runs()) {
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
    int compiled = 0;
    for (const auto& c : cases) {
        for (const bool mprotect_only : {false, true}) {
            std::unique_ptr<rx::ProgramRunner> runner = rx::make_compiler(c.variant, mprotect_only);
            if (runner == nullptr) continue;  // v2 without hardware AES on x86-64
            ++compiled;
            rx::Machine machine(c.variant, rx::cpu_has_aes(), pad.get(), std::move(runner));
            machine.use_cache(cache.get());
            std::uint8_t hash[RANDOMX_HASH_SIZE];
            machine.hash(input.data(), input.size(), hash);
            EXPECT_EQ(zt::test::hex(hash, sizeof hash), c.hash) << (mprotect_only ? "mprotect" : "two views");
        }
    }
    EXPECT_GE(compiled, 2) << "v1 compiles wherever compiled code runs";
}

// The portable item, returning with every floating-point and vector register
// that the calling convention lets a callee change overwritten, as any C++
// function may leave them.
void clobbering_item(const randomx_cache* cache, std::uint64_t number, std::uint64_t out[8]) {
    rx::dataset_item_portable(*cache, number, out);
#if defined(__aarch64__)
#define ZT_CLOBBER(n) "movi v" #n ".16b, #0xa5\n"
    asm volatile(ZT_CLOBBER(0) ZT_CLOBBER(1) ZT_CLOBBER(2) ZT_CLOBBER(3) ZT_CLOBBER(4) ZT_CLOBBER(5) ZT_CLOBBER(6)
                 ZT_CLOBBER(7) ZT_CLOBBER(16) ZT_CLOBBER(17) ZT_CLOBBER(18) ZT_CLOBBER(19) ZT_CLOBBER(20)
                 ZT_CLOBBER(21) ZT_CLOBBER(22) ZT_CLOBBER(23) ZT_CLOBBER(24) ZT_CLOBBER(25) ZT_CLOBBER(26)
                 ZT_CLOBBER(27) ZT_CLOBBER(28) ZT_CLOBBER(29) ZT_CLOBBER(30) ZT_CLOBBER(31)
                 ::: "v0", "v1", "v2", "v3", "v4", "v5", "v6", "v7", "v16", "v17", "v18", "v19", "v20", "v21",
                 "v22", "v23", "v24", "v25", "v26", "v27", "v28", "v29", "v30", "v31");
#elif defined(__x86_64__)
#define ZT_CLOBBER(n) "pcmpeqd %%xmm" #n ", %%xmm" #n "\n"
    asm volatile(ZT_CLOBBER(0) ZT_CLOBBER(1) ZT_CLOBBER(2) ZT_CLOBBER(3) ZT_CLOBBER(4) ZT_CLOBBER(5) ZT_CLOBBER(6)
                 ZT_CLOBBER(7) ZT_CLOBBER(8) ZT_CLOBBER(9) ZT_CLOBBER(10) ZT_CLOBBER(11) ZT_CLOBBER(12)
                 ZT_CLOBBER(13) ZT_CLOBBER(14) ZT_CLOBBER(15)
                 ::: "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10",
                 "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
#elif defined(__riscv)
#define ZT_CLOBBER(f) "fmv.d.x " #f ", %0\n"
    asm volatile(ZT_CLOBBER(ft0) ZT_CLOBBER(ft1) ZT_CLOBBER(ft2) ZT_CLOBBER(ft3) ZT_CLOBBER(ft4) ZT_CLOBBER(ft5)
                 ZT_CLOBBER(ft6) ZT_CLOBBER(ft7) ZT_CLOBBER(ft8) ZT_CLOBBER(ft9) ZT_CLOBBER(ft10) ZT_CLOBBER(ft11)
                 ZT_CLOBBER(fa0) ZT_CLOBBER(fa1) ZT_CLOBBER(fa2) ZT_CLOBBER(fa3) ZT_CLOBBER(fa4) ZT_CLOBBER(fa5)
                 ZT_CLOBBER(fa6) ZT_CLOBBER(fa7)
                 :: "r"(~std::uint64_t{0})
                 : "ft0", "ft1", "ft2", "ft3", "ft4", "ft5", "ft6", "ft7", "ft8", "ft9", "ft10", "ft11", "fa0",
                 "fa1", "fa2", "fa3", "fa4", "fa5", "fa6", "fa7");
#endif
}

// The compiled VM whose light-mode items come from clobbering_item.
class ClobberedItemCalls final : public rx::ProgramRunner {
public:
    explicit ClobberedItemCalls(rx::Variant variant) : variant_(variant) {
        code_.allocate(rx::kVmCodeCapacity, rx::CodeMemory::Mechanism::Mprotect);
    }
    void run(const rx::Program& program, rx::VmState& state, std::uint8_t* scratchpad,
             const rx::DatasetSource& source, rx::HashObserver*) override {
        rx::ItemReads reads;
        reads.cache_memory = source.cache->memory;
        reads.item = reinterpret_cast<std::uintptr_t>(&clobbering_item);
        reads.item_argument = reinterpret_cast<std::uintptr_t>(source.cache);
        ASSERT_TRUE(code_.begin_write());
        const std::size_t size =
            rx::vm_code_writer(variant_)(program, variant_, reads, code_.writable(), rx::kVmCodeCapacity);
        ASSERT_TRUE(size != 0 && code_.finish_write(size));
        reinterpret_cast<rx::CompiledVmProgram>(const_cast<std::uint8_t*>(code_.executable()))(&state, scratchpad,
                                                                                             nullptr);
    }

private:
    rx::Variant variant_;
    rx::CodeMemory code_;
};

// Light-mode items by calls that change every register a callee may change:
// the compiled VM keeps nothing there across the call (the official first
// cases, v1 and v2).
TEST(VmCompiler, KeepsNothingInCallerSavedRegistersAcrossItemCalls) {
    if (!rx::compiled_code_runs()) GTEST_SKIP() << "the compiler cannot run here";
    const std::string key = "test key 000";
    randomx_cache* cache = keyed_cache(std::vector<std::uint8_t>(key.begin(), key.end()));
    const std::string input = "This is a test";
    const Scratchpad pad = scratchpad();
    int compiled = 0;
    for (const auto& [variant, want] :
         {std::pair{rx::Variant::V1, "639183aae1bf4c9a35884cb46b09cad9175f04efd7684e7262a0ac1c2f0b4e3f"},
          std::pair{rx::Variant::V2, "22ec6b861b3eb23686b2efbad69513c967ecfce80983df66c9c5b4fbfb4cdb6f"}}) {
        if (rx::vm_code_writer(variant) == nullptr) continue;  // v2 without AES-NI
        ++compiled;
        rx::Machine machine(variant, rx::cpu_has_aes(), pad.get(), std::make_unique<ClobberedItemCalls>(variant));
        machine.use_cache(cache);
        std::uint8_t hash[RANDOMX_HASH_SIZE];
        machine.hash(input.data(), input.size(), hash);
        EXPECT_EQ(zt::test::hex(hash, sizeof hash), want) << (variant == rx::Variant::V1 ? "v1" : "v2");
    }
    EXPECT_GE(compiled, 1);
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

// The memory objects of generated code ("randomx-code"), by inode: how many
// have an executable mapping, and how many of those also a writable one at
// the same moment. Fails the test for every mapping that is writable and
// executable itself.
struct CodeObjects {
    int executable = 0;
    int writable_and_executable = 0;
};

CodeObjects code_objects() {
    std::map<std::string, std::pair<bool, bool>> objects;  // inode: (writable, executable)
    for (const Mapping& m : mappings()) {
        EXPECT_FALSE(m.writable && m.executable) << m.line;
        if (m.line.find("randomx-code") == std::string::npos) continue;
        std::istringstream fields(m.line);
        std::string range, perms, offset, device, inode;
        fields >> range >> perms >> offset >> device >> inode;
        auto& [writable, executable] = objects[inode];
        writable = writable || m.writable;
        executable = executable || m.executable;
    }
    CodeObjects counts;
    for (const auto& [inode, access] : objects) {
        counts.executable += access.second ? 1 : 0;
        counts.writable_and_executable += access.first && access.second ? 1 : 0;
    }
    return counts;
}

// Whether this process writes code through the dual view (its probe ran
// rewritten code) rather than switching one mapping by mprotect.
bool dual_view_in_use() {
    rx::CodeMemory probe;
    return probe.allocate(64) && probe.mechanism() == rx::CodeMemory::Mechanism::DualView;
}

// Looks at the mappings again and again while a VM with `flags` hashes on
// another thread; the most code objects seen at one look.
CodeObjects watch_mappings_while_hashing(randomx_flags flags) {
    randomx_vm* vm = randomx_create_vm(flags, keyed_cache({'w', '^', 'x'}), nullptr);
    EXPECT_NE(vm, nullptr);
    if (vm == nullptr) return {};
    std::atomic<bool> done{false};
    const int hashes = zt::test::running_under_emulation() ? 3 : 10;
    std::thread hashing([&] {
        std::uint8_t state[RANDOMX_HASH_SIZE] = {};
        for (int i = 0; i < hashes; ++i) randomx_calculate_hash(vm, state, sizeof state, state);
        done = true;
    });
    int looks = 0;
    CodeObjects most;
    while (!done) {
        const CodeObjects now = code_objects();
        most.executable = std::max(most.executable, now.executable);
        most.writable_and_executable = std::max(most.writable_and_executable, now.writable_and_executable);
        ++looks;
    }
    hashing.join();
    randomx_destroy_vm(vm);
    EXPECT_GT(looks, 10);
    return most;
}

// SECURE: no writable mapping of any code that can run, at any moment;
// without it the VM's code has its writable second view where the dual view
// is in use (the check sees the difference), and none where this process
// switches by mprotect anyway (user-mode emulation).
TEST(SecureVm, NoWritableMappingOfRunnableCodeWhileItHashes) {
    const auto flags = randomx_get_flags() | RANDOMX_FLAG_V2;
    if ((flags & RANDOMX_FLAG_JIT) == 0 || rx::make_compiler(rx::Variant::V2) == nullptr) {
        GTEST_SKIP() << "no compiled code on this system";
    }
    const CodeObjects secure = watch_mappings_while_hashing(flags | RANDOMX_FLAG_SECURE);
    EXPECT_EQ(secure.writable_and_executable, 0);
    EXPECT_GE(secure.executable, 2) << "the VM's and the cache's code are mapped";
    const CodeObjects unsecured = watch_mappings_while_hashing(flags);
    if (dual_view_in_use()) {
        EXPECT_GE(unsecured.writable_and_executable, 1) << "without SECURE the VM's code has a writable view";
    } else {
        EXPECT_EQ(unsecured.writable_and_executable, 0) << "the dual view failed its probe, yet is mapped";
    }
}

// The same rules on one thread, for both variants with and without SECURE:
// the mappings looked at whenever a program starts or has finished (the
// VM's code of the program is mapped and runnable).
class MappingCheck : public rx::HashObserver {
public:
    void program_started(unsigned, const std::uint8_t*, const rx::Program&, const rx::VmState&) override { look(); }
    void program_finished(unsigned, const rx::RegisterFile&, const std::uint8_t*) override { look(); }
    int looks = 0;
    CodeObjects most;

private:
    void look() {
        const CodeObjects now = code_objects();
        most.executable = std::max(most.executable, now.executable);
        most.writable_and_executable = std::max(most.writable_and_executable, now.writable_and_executable);
        ++looks;
    }
};

TEST(SecureVm, NoWritableMappingOfRunnableCodeAtProgramBoundaries) {
    if (!rx::compiled_code_runs()) {
        GTEST_SKIP() << "no compiled code on this system";
    }
    randomx_cache* cache = keyed_cache({'w', '^', 'x'});
    const Scratchpad pad = scratchpad();
    const bool dual_view = dual_view_in_use();
    int compiled = 0;
    for (const rx::Variant variant : {rx::Variant::V1, rx::Variant::V2}) {
        for (const bool secure : {false, true}) {
            std::unique_ptr<rx::ProgramRunner> runner = rx::make_compiler(variant, secure);
            if (runner == nullptr) continue;  // v2 without hardware AES on x86-64
            ++compiled;
            rx::Machine machine(variant, rx::cpu_has_aes(), pad.get(), std::move(runner));
            machine.use_cache(cache);
            MappingCheck check;
            machine.set_observer(&check);
            std::uint8_t hash[RANDOMX_HASH_SIZE];
            machine.hash("w^x", 3, hash);
            EXPECT_EQ(check.looks, 2 * static_cast<int>(rx::kProgramCount));
            EXPECT_GE(check.most.executable, 2) << "the VM's and the cache's code are mapped";
            if (secure || !dual_view) {
                EXPECT_EQ(check.most.writable_and_executable, 0) << (secure ? "SECURE" : "mprotect only");
            } else {
                EXPECT_GE(check.most.writable_and_executable, 1) << "without SECURE the VM's code has a writable view";
            }
        }
    }
    EXPECT_GE(compiled, 2);
}

// A SECURE process maps no code executable as it is mapped: every code
// memory, and the probe that tells whether code runs at all, switch one
// writable mapping by mprotect. In a child whose every mmap with PROT_EXEC
// ends the process (a seccomp filter), the flags are read (the probe), a
// SECURE VM is made and hashes. Where seccomp cannot be installed (qemu-user
// refuses it) this skips.
TEST(SecureVm, NeverMapsCodeExecutableDirectlyNotEvenInTheProbe) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_mmap, 0, 3),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
            BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, PROT_EXEC, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
            _exit(77);
        }
        const randomx_flags flags = randomx_get_flags() | RANDOMX_FLAG_V2 | RANDOMX_FLAG_SECURE;
        randomx_vm* vm = randomx_create_vm(flags, keyed_cache({'p', 'r', 'o', 'b', 'e'}), nullptr);
        if (vm == nullptr) _exit(1);
        std::uint8_t hash[RANDOMX_HASH_SIZE];
        randomx_calculate_hash(vm, "probe", 5, hash);
        randomx_destroy_vm(vm);
        _exit((flags & RANDOMX_FLAG_JIT) != 0 ? 0 : 78);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "seccomp cannot be installed here";
    if (WIFEXITED(status) && WEXITSTATUS(status) == 78) GTEST_SKIP() << "no compiled code on this system";
    EXPECT_FALSE(WIFSIGNALED(status)) << "ended by signal " << WTERMSIG(status) << ": code mapped executable";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Both mechanisms: code rewritten and run again, never writable and
// executable at once; the mprotect mechanism also never with a writable
// alias, the dual view always with one.
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
            const CodeObjects objects = code_objects();
            EXPECT_GE(objects.executable, 1);
            if (memory.mechanism() == rx::CodeMemory::Mechanism::Mprotect) {
                EXPECT_EQ(objects.writable_and_executable, 0);
            } else {
                EXPECT_GE(objects.writable_and_executable, 1);
            }
            const auto run = reinterpret_cast<int (*)()>(const_cast<std::uint8_t*>(memory.executable()));
            EXPECT_EQ(run(), value);
        }
        if (memory.mechanism() == rx::CodeMemory::Mechanism::DualView) {
            EXPECT_NE(memory.writable(), memory.executable());
        }
    }
}

// calibrate's summary and generate --iterations-from warn exactly where the
// engine's v2 programs run in the interpreter (on x86-64, the no-AES run).
TEST(CompiledCodeWarning, ShownExactlyWhereProgramsAreInterpreted) {
    const bool compiled = rx::make_compiler(rx::Variant::V2) != nullptr;
    const std::string warning = zt::cli::compiled_code_summary_warning();
    EXPECT_EQ(warning.empty(), compiled);
    if (!compiled) {
        EXPECT_NE(warning.find("opens several times early for anyone with compiled code"), std::string::npos);
    }
#if defined(__x86_64__)
    EXPECT_EQ(compiled, rx::cpu_has_aes()) << "x86-64 compiles v2 programs wherever AES-NI is";
#elif defined(__aarch64__) || defined(__riscv)
    EXPECT_EQ(compiled, rx::compiled_code_runs()) << "ARM64 and RISC-V compile v2 programs with or without AES";
#endif
}

// ---- Code that does not fit -------------------------------------------------

// The architecture's VM code writer.
namespace native {
std::size_t compile_vm_program(const rx::Program& program, const rx::DatasetSource& source, std::uint8_t* code,
                               std::size_t capacity) {
    const rx::VmCodeWriter writer = rx::vm_code_writer(rx::Variant::V2);
    return writer(program, rx::Variant::V2, rx::item_reads(source, rx::Variant::V2), code, capacity);
}
}  // namespace native

// A program's code into buffers too small for it: compile_vm_program gives
// up (size 0) and writes nothing past the buffer; the full buffer holds it.
TEST(VmCompilerBuffer, CodeThatDoesNotFitIsGivenUpWithoutWritingPastTheBuffer) {
    if (rx::vm_code_writer(rx::Variant::V2) == nullptr) GTEST_SKIP() << "no v2 code writer on this processor";
    std::uint8_t seed[64] = {1, 2, 3};
    rx::Program program;
    rx::generate_program(false, seed, rx::Variant::V2, program);
    const rx::DatasetSource source{nullptr, keyed_cache({'w', '^', 'x'})};
    constexpr std::uint8_t kGuard = 0xA5;
    std::vector<std::uint8_t> buffer(rx::kVmCodeCapacity + 64, kGuard);
    const std::size_t size = native::compile_vm_program(program, source, buffer.data(), rx::kVmCodeCapacity);
    ASSERT_GT(size, 0U);
    for (const std::size_t capacity : {std::size_t{0}, std::size_t{1}, std::size_t{100}, size / 2, size - 1}) {
        std::fill(buffer.begin(), buffer.end(), kGuard);
        EXPECT_EQ(native::compile_vm_program(program, source, buffer.data(), capacity), 0U) << "capacity " << capacity;
        EXPECT_TRUE(std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(capacity), buffer.end(),
                                [](std::uint8_t b) { return b == kGuard; }))
            << "written past a capacity of " << capacity;
    }
    EXPECT_EQ(native::compile_vm_program(program, source, buffer.data(), size), size);
}

// A compiler whose buffer is too small for any program: every program runs
// in the interpreter (its iterations reach the observer), with the right hash.
TEST(VmCompilerBuffer, ACompilerThatCannotFitAProgramLeavesItToTheInterpreter) {
    if (rx::make_compiler(rx::Variant::V2) == nullptr) {
        GTEST_SKIP() << "the compiler cannot run here";
    }
    struct Iterations : rx::HashObserver {
        void iteration_finished(std::uint32_t, const rx::VmState&, const std::uint8_t*) override { ++count; }
        std::uint64_t count = 0;
    } iterations;
    const Scratchpad pad = scratchpad();
    rx::Machine machine(rx::Variant::V2, rx::cpu_has_aes(), pad.get(),
                        rx::make_vm_compiler(rx::Variant::V2, rx::CodeMemory::Mechanism::DualView, 512));
    const std::string key = "test key 000";
    machine.use_cache(keyed_cache(std::vector<std::uint8_t>(key.begin(), key.end())));
    machine.set_observer(&iterations);
    const std::string input = "This is a test";
    std::uint8_t hash[RANDOMX_HASH_SIZE];
    machine.hash(input.data(), input.size(), hash);
    EXPECT_EQ(zt::test::hex(hash, sizeof hash), "22ec6b861b3eb23686b2efbad69513c967ecfce80983df66c9c5b4fbfb4cdb6f");
    EXPECT_EQ(iterations.count, std::uint64_t{rx::kProgramCount} * rx::kProgramIterations);
}

}  // namespace
