// Single-thread RandomX v2 hash rate for the work engine's unit of serial
// work: chained hashes of 69-byte step messages, each state the previous hash,
// with the engine's flags (base | V2 | SECURE, and FULL_MEM in full mode).
//
// In one run, light mode:
//  - the interpreter on a cache without compiled code (the baseline: the
//    library before its compilers), the interpreter on compiled dataset items
//    and the compiler, through the C API;
//  - the compiler through the C API switches its code memory by mprotect
//    around every compilation (SECURE); the same compiler writing through a
//    second view instead (without SECURE) shows what SECURE costs;
//  - the compiler's own cost: compiling one program, and its share of a hash.
// With --full the dataset is built (on all cores: the bench's own set-up) and
// full mode is measured with the interpreter, the compiler and the compiler
// writing through a second view; before that, in a
// child process with transparent huge pages disabled (PR_SET_THP_DISABLE),
// the compiler again on 4 KiB pages.
//
// Rounds of the configurations alternate, so that load from elsewhere hits
// all of them alike; each figure is the median over its rounds, as hashes per
// second of wall-clock time and per CPU second of the hashing thread.
//
// With --no-aes the processor's AES rounds are hidden first (the path of a
// processor without them: software rounds, and no compiled v2 where the
// compiler needs hardware AES for its register mixing).
//
// Usage: randomx_hash_bench [--full] [--no-aes] [--rounds N] [--seconds S]
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench_support.h"
#include "randomx/arch.h"
#include "randomx/code_memory.h"
#include "randomx/compiled_vm.h"
#include "randomx/cpu.h"
#include "randomx/memory.h"
#include "randomx/program.h"
#include "randomx/randomx.h"
#include "randomx/vm.h"
#include "timelock/base/bytes.h"
#include "timelock/base/crypto.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kLightFlags = RANDOMX_FLAG_V2 | RANDOMX_FLAG_SECURE;  // 144
constexpr unsigned kFullFlags = kLightFlags | RANDOMX_FLAG_FULL_MEM;     // 148

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

using zt::bench::thread_cpu_seconds;

using HashFunction = std::function<void(const std::uint8_t* in, std::size_t size, std::uint8_t out[32])>;

struct Rate {
    double wall = 0;  // hashes per second
    double cpu = 0;   // hashes per CPU second
};

// A chain of step messages for about `seconds` (at least 3 hashes).
Rate chain(const HashFunction& hash, double seconds, std::uint64_t& position) {
    const std::string_view label = zt::labels::step;
    std::uint8_t message[69] = {};
    std::memcpy(message, label.data(), label.size());
    zt::store_be64(std::span<std::uint8_t, 8>(message + 17, 8), 7);
    std::uint8_t state[32] = {};
    const Clock::time_point start = Clock::now();
    const double cpu_start = thread_cpu_seconds();
    std::uint64_t count = 0;
    while (count < 3 || seconds_since(start) < seconds) {
        zt::store_be64(std::span<std::uint8_t, 8>(message + 29, 8), position++);
        std::memcpy(message + 37, state, sizeof state);
        hash(message, sizeof message, state);
        ++count;
    }
    const auto n = static_cast<double>(count);
    return Rate{n / seconds_since(start), n / (thread_cpu_seconds() - cpu_start)};
}

struct Config {
    std::string name;
    HashFunction hash;
    std::vector<Rate> rounds;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The median over a configuration's rounds of one of its rates.
double median_of(const Config& c, double Rate::*which) {
    std::vector<double> v;
    for (const Rate& rate : c.rounds) v.push_back(rate.*which);
    return median(std::move(v));
}

// Runs every configuration for `rounds` alternating rounds and prints each
// one's medians, with its ratio to the first.
void compare(std::vector<Config>& configs, int rounds, double seconds) {
    std::uint64_t position = 0;
    for (int r = 0; r < rounds; ++r) {
        for (Config& c : configs) c.rounds.push_back(chain(c.hash, seconds, position));
    }
    std::vector<double> wall;
    std::vector<double> cpu;
    for (const Config& c : configs) {
        wall.push_back(median_of(c, &Rate::wall));
        cpu.push_back(median_of(c, &Rate::cpu));
    }
    for (std::size_t i = 0; i < configs.size(); ++i) {
        std::printf("  %-40s %8.1f H/s  x%5.2f   %8.1f H/CPU-s  x%5.2f\n", configs[i].name.c_str(), wall[i],
                    wall[i] / wall[0], cpu[i], cpu[i] / cpu[0]);
    }
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "randomx_hash_bench: %s\n", what);
    std::exit(1);
}

struct VmDestroy {
    void operator()(randomx_vm* vm) const { randomx_destroy_vm(vm); }
};
using VmPtr = std::unique_ptr<randomx_vm, VmDestroy>;

VmPtr create(unsigned flags, randomx_cache* cache, randomx_dataset* dataset) {
    VmPtr vm(randomx_create_vm(static_cast<randomx_flags>(flags), cache, dataset));
    if (!vm) fail("randomx_create_vm failed");
    return vm;
}

HashFunction api_hash(randomx_vm* vm) {
    return [vm](const std::uint8_t* in, std::size_t size, std::uint8_t out[32]) {
        randomx_calculate_hash(vm, in, size, out);
    };
}

// A machine on its own scratchpad with a compiler whose code is written
// through a second view (a VM without SECURE; the interpreter where the
// compiler declines, as randomx_create_vm does).
struct DualViewMachine {
    static std::unique_ptr<rx::ProgramRunner> dual_view_compiler() {
        std::unique_ptr<rx::ProgramRunner> runner = rx::make_compiler(rx::Variant::V2, false);
        return runner != nullptr ? std::move(runner) : rx::make_interpreter(rx::Variant::V2, rx::cpu_has_aes());
    }
    DualViewMachine(randomx_cache* cache, randomx_dataset* dataset)
        : scratchpad(static_cast<std::uint8_t*>(rx::alloc_large(rx::kScratchpadL3, false))),
          machine(rx::Variant::V2, rx::cpu_has_aes(), scratchpad, dual_view_compiler()) {
        if (dataset != nullptr) {
            machine.use_dataset(static_cast<const std::uint8_t*>(randomx_get_dataset_memory(dataset)));
        } else {
            machine.use_cache(cache);
        }
    }
    HashFunction hash() {
        return [this](const std::uint8_t* in, std::size_t size, std::uint8_t out[32]) { machine.hash(in, size, out); };
    }
    ~DualViewMachine() { rx::free_large(scratchpad, rx::kScratchpadL3); }
    std::uint8_t* scratchpad;
    rx::Machine machine;
};

// Compiling one program (generated from a fixed seed), in microseconds.
double compile_microseconds(randomx_cache* cache) {
    auto program = std::make_unique<rx::Program>();
    std::uint8_t seed[64] = {1, 2, 3};
    rx::generate_program(rx::cpu_has_aes(), seed, rx::Variant::V2, *program);
    rx::DatasetSource source;
    source.cache = cache;
    constexpr int kTimes = 2000;
    const rx::VmCodeWriter writer = rx::vm_code_writer(rx::Variant::V2);
    if (writer == nullptr) return 0;
    const rx::ItemReads reads = rx::item_reads(source, rx::Variant::V2);
    std::vector<std::uint8_t> code(rx::kVmCodeCapacity);
    const auto compile = [&] { writer(*program, rx::Variant::V2, reads, code.data(), code.size()); };
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < kTimes; ++i) compile();
    return seconds_since(start) * 1e6 / kTimes;
}

randomx_dataset* build_dataset(randomx_cache* cache) {
    randomx_dataset* dataset = randomx_alloc_dataset(RANDOMX_FLAG_DEFAULT);
    if (dataset == nullptr) fail("randomx_alloc_dataset failed");
    const Clock::time_point start = Clock::now();
    const unsigned threads = zt::bench::init_dataset_on_all_threads(dataset, cache);
    std::printf("  (dataset built in %.1f s on %u threads)\n", seconds_since(start), threads);
    return dataset;
}

randomx_cache* keyed_cache(unsigned flags) {
    randomx_cache* cache = randomx_alloc_cache(static_cast<randomx_flags>(flags));
    if (cache == nullptr) fail("randomx_alloc_cache failed");
    const std::uint8_t key[32] = {'z', 't', '-', 'b', 'e', 'n', 'c', 'h'};
    randomx_init_cache(cache, key, sizeof key);
    return cache;
}

// Full mode on 4 KiB pages, in a child process: the THP switch is per process.
void full_without_thp(unsigned base, int rounds, double seconds) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child < 0) fail("fork failed");
    if (child == 0) {
        if (prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) != 0) fail("PR_SET_THP_DISABLE failed");
        std::printf("\nfull mode, transparent huge pages disabled (4 KiB pages)\n");
        randomx_cache* cache = keyed_cache(base);
        randomx_dataset* dataset = build_dataset(cache);
        VmPtr compiled = create(base | kFullFlags, nullptr, dataset);
        std::vector<Config> configs{{"compiler, 4 KiB pages", api_hash(compiled.get()), {}}};
        compare(configs, rounds, seconds);
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
}

}  // namespace

int main(int argc, char** argv) {
    bool full = false;
    int rounds = 5;
    double seconds = 2;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--full") {
            full = true;
        } else if (arg == "--no-aes") {
            rx::CpuFeatures hidden;
            hidden.aes = true;
            if (!rx::mask_cpu_features(hidden)) fail("the CPU features were read before --no-aes");
        } else if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--full] [--no-aes] [--rounds N] [--seconds S]\n", argv[0]);
            return 2;
        }
    }

    const unsigned base = randomx_get_flags();
    std::printf("flags: base %u (hardware AES %s, JIT %s); %d rounds of %.1f s per configuration\n", base,
                (base & RANDOMX_FLAG_HARD_AES) != 0 ? "yes" : "no", (base & RANDOMX_FLAG_JIT) != 0 ? "yes" : "no",
                rounds, seconds);
    if ((base & RANDOMX_FLAG_JIT) == 0) fail("no compiled code on this system");
    if (!rx::CodeMemory::runs_rewritten_code(rx::CodeMemory::Mechanism::DualView)) {
        std::printf("code memory: the two views run stale code here (user-mode emulation): every compiler "
                    "switches one mapping by mprotect, the two-view configuration too\n");
    }
    const unsigned interpreted = base & ~static_cast<unsigned>(RANDOMX_FLAG_JIT);
    if (full) full_without_thp(base, rounds, seconds);

    randomx_cache* cache = keyed_cache(base);
    {
        std::printf("\nlight mode\n");
        // The library before its compilers: a cache without compiled code.
        randomx_cache* portable_cache = keyed_cache(interpreted);
        VmPtr portable = create(interpreted | kLightFlags, portable_cache, nullptr);
        VmPtr interpreter = create(interpreted | kLightFlags, cache, nullptr);
        VmPtr compiler = create(base | kLightFlags, cache, nullptr);
        DualViewMachine dual_view(cache, nullptr);
        std::vector<Config> configs{
            {"interpreter, portable items (baseline)", api_hash(portable.get()), {}},
            {"interpreter, compiled items", api_hash(interpreter.get()), {}},
            {"compiler (SECURE: mprotect)", api_hash(compiler.get()), {}},
            {"compiler, two views (no SECURE)", dual_view.hash(), {}},
        };
        compare(configs, rounds, seconds);
        portable.reset();
        randomx_release_cache(portable_cache);
        const double compile = compile_microseconds(cache);
        const double hash_us = 1e6 / median_of(configs[2], &Rate::cpu);
        std::printf("  compiling one program: %.1f us; 8 per hash: %.2f%% of a light-mode hash\n", compile,
                    100.0 * 8 * compile / hash_us);
    }

    if (full) {
        std::printf("\nfull mode, transparent huge pages advised\n");
        randomx_dataset* dataset = build_dataset(cache);
        VmPtr interpreter = create(interpreted | kFullFlags, nullptr, dataset);
        VmPtr compiler = create(base | kFullFlags, nullptr, dataset);
        DualViewMachine dual_view(nullptr, dataset);
        std::vector<Config> configs{
            {"interpreter (baseline)", api_hash(interpreter.get()), {}},
            {"compiler (SECURE: mprotect)", api_hash(compiler.get()), {}},
            {"compiler, two views (no SECURE)", dual_view.hash(), {}},
        };
        compare(configs, rounds, seconds);
        std::printf("  compiling: 8 programs are %.2f%% of a full-mode hash\n",
                    100.0 * 8 * compile_microseconds(cache) * median_of(configs[1], &Rate::cpu) / 1e6);
        interpreter.reset();
        compiler.reset();
        randomx_release_dataset(dataset);
    }
    randomx_release_cache(cache);
    return 0;
}
