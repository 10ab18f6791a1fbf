// Where a v2 hash's time goes, compiled code, SECURE (the engine's flags),
// light mode and (with --full) full mode. Prints one table per mode: the
// share of a hash spent in each stage.
//
// Stages come from the machine's HashObserver seam, timed with the TSC
// between its events: the input's hash and the scratchpad fill
// (AesGenerator1R), program generation (the register hash, AesGenerator4R
// and decoding), the program runs, the final AesHash1R, and the rest (the
// final Blake2b, wiping). A program run is split further by running each of
// the hash's programs again on its own, from the same registers:
//  - compiling, and switching the code memory's protection (the run with
//    mprotect less the same compile written through a second view);
//  - the VM loop, and in it the dataset reads (the loop less the same code
//    with a fixed item instead, VmCodeOptions::dataset_reads);
//  - each instruction class: the loop less the same program with that
//    class's instructions replaced by NOP (an estimate: the out-of-order
//    core overlaps classes, so these need not add up to the loop);
//  - the iteration's fixed part: no instruction and no dataset read (the
//    scratchpad loads and stores, the F/E mix, the loop);
//  - what bounds the loop: the loop without the dataset prefetch, and the
//    loop and its computation each with the same multiplies added to every
//    iteration's chain of dependent work (VmCodeOptions). Where the loop
//    grows by the computation's growth, work is the bound and fewer
//    instructions pay in full; where it grows less, the dataset's latency
//    is, and they pay only that share. In full mode, last, the latency of
//    dependent random reads over 16 MiB, 256 MiB and the whole dataset, and
//    what a prefetch of a random line costs the pipeline by itself over the
//    same spans (nothing reads the line, so its latency is not waited for:
//    what is left is issuing it, its address translation included).
// Each stage is the median over the hashes, each re-run the minimum over
// --repeats runs, so that interference from elsewhere on the machine drops
// out (the re-runs therefore add up to less than the program runs).
//
// Usage: randomx_profile_bench [--full] [--hashes N] [--repeats N]
#include <x86intrin.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "randomx/arch.h"
#include "randomx/cache.h"
#include "randomx/code_memory.h"
#include "randomx/cpu.h"
#include "randomx/dataset.h"
#include "randomx/memory.h"
#include "randomx/program.h"
#include "randomx/randomx.h"
#include "randomx/vm.h"
#include "randomx/vm_rounding.h"
#include "randomx/x86_64/vm_compiler.h"

namespace {

using Clock = std::chrono::steady_clock;

enum Stage { kFill, kGenerate, kRun, kFinal, kRest, kStageCount };
const char* const kStageNames[kStageCount] = {"input hash + scratchpad fill (AesGenerator1R)",
                                              "program generation (Blake2b + AesGenerator4R + decode)",
                                              "program runs (compile + W^X + VM loop)",
                                              "final AesHash1R", "final Blake2b, wiping"};

// Records the TSC at each event of a hash, and the programs with the
// registers they started from.
class StageClock final : public rx::HashObserver {
public:
    void start() {
        std::fill(std::begin(ticks), std::end(ticks), 0);
        last_ = __rdtsc();
        programs_.clear();
    }
    void finish() { add(kRest); }
    void scratchpad_filled(const std::uint8_t*, const std::uint8_t*) override { add(kFill); }
    void program_started(unsigned, const std::uint8_t*, const rx::Program& program,
                         const rx::VmState& state) override {
        add(kGenerate);
        programs_.push_back({program, state});
        last_ = __rdtsc();
    }
    void program_finished(unsigned, const rx::RegisterFile&, const std::uint8_t*) override { add(kRun); }
    void hash_finished(const std::uint8_t*, const rx::RegisterFile&) override { add(kFinal); }

    struct Recorded {
        rx::Program program;
        rx::VmState state;
    };
    const std::vector<Recorded>& programs() const { return programs_; }
    std::uint64_t ticks[kStageCount] = {};

private:
    void add(Stage stage) {
        const std::uint64_t now = __rdtsc();
        ticks[stage] += now - last_;
        last_ = now;
    }
    std::uint64_t last_ = 0;
    std::vector<Recorded> programs_;
};

struct Class {
    const char* name;
    std::vector<rx::Op> ops;
};

const std::vector<Class>& classes() {
    using rx::Op;
    static const std::vector<Class> list = {
        {"integer register ops (add, sub, xor, neg, rotate, swap)",
         {Op::IADD_RS, Op::ISUB_R, Op::ISUB_I, Op::IXOR_R, Op::IXOR_I, Op::INEG_R, Op::IROR_R, Op::IROR_I,
          Op::IROL_R, Op::IROL_I, Op::ISWAP_R}},
        {"integer multiplies (IMUL, IMULH, ISMULH, IMUL_RCP)",
         {Op::IMUL_R, Op::IMUL_I, Op::IMULH_R, Op::ISMULH_R, Op::IMUL_RCP}},
        {"integer scratchpad reads (*_M)",
         {Op::IADD_M, Op::ISUB_M, Op::IMUL_M, Op::IMULH_M, Op::ISMULH_M, Op::IXOR_M}},
        {"float add, sub, scale, swap", {Op::FADD_R, Op::FADD_M, Op::FSUB_R, Op::FSUB_M, Op::FSCAL_R, Op::FSWAP_R}},
        {"float multiply, divide, square root", {Op::FMUL_R, Op::FDIV_M, Op::FSQRT_R}},
        {"CBRANCH", {Op::CBRANCH}},
        {"CFROUND", {Op::CFROUND}},
        {"ISTORE", {Op::ISTORE}},
    };
    return list;
}

rx::Program without(const rx::Program& program, const std::vector<rx::Op>& ops) {
    rx::Program copy = program;
    for (std::uint32_t i = 0; i < copy.size; ++i) {
        if (std::find(ops.begin(), ops.end(), copy.code[i].op) != ops.end()) copy.code[i].op = rx::Op::NOP;
    }
    return copy;
}

// Compiles and runs programs outside the machine, timing the parts.
class Rerun {
public:
    Rerun(const rx::DatasetSource& source, std::uint8_t* scratchpad) : source_(source), scratchpad_(scratchpad) {
        secure_.allocate(rx::kVmCodeCapacity, rx::CodeMemory::Mechanism::Mprotect);
        dual_.allocate(rx::kVmCodeCapacity, rx::CodeMemory::Mechanism::DualView);
    }

    // Seconds to compile `program` into `memory` and make it runnable.
    double compile(const rx::Program& program, rx::CodeMemory& memory) {
        const auto start = Clock::now();
        memory.begin_write();
        rx::compile_vm_program(program, rx::Variant::V2, reads(), memory.writable());
        memory.finish_write();
        return std::chrono::duration<double>(Clock::now() - start).count();
    }
    double compile_secure(const rx::Program& program) { return compile(program, secure_); }
    double compile_dual(const rx::Program& program) { return compile(program, dual_); }

    // Seconds for the loop of `program` (already modified as wanted) from `state`.
    double loop(const rx::Program& program, const rx::VmState& state, const rx::VmCodeOptions& options) {
        rx::VmState copy = state;
        return compile_and_loop(program, copy, options, dual_, false);
    }
    // The registers `program` leaves, the scratchpad left as it was.
    std::string result(const rx::Program& program, const rx::VmState& state, const rx::VmCodeOptions& options) {
        const std::vector<std::uint8_t> saved(scratchpad_, scratchpad_ + rx::kScratchpadL3);
        rx::VmState copy = state;
        compile_and_loop(program, copy, options, dual_, false);
        std::memcpy(scratchpad_, saved.data(), saved.size());
        return std::string(reinterpret_cast<const char*>(&copy.r), sizeof copy.r);
    }
    // Seconds to compile `program` into the SECURE code memory and run it.
    double secure_run(const rx::Program& program, const rx::VmState& state) {
        rx::VmState copy = state;
        return compile_and_loop(program, copy, rx::VmCodeOptions{}, secure_, true);
    }

private:
    rx::ItemReads reads() const { return rx::item_reads(source_, rx::Variant::V2); }
    double compile_and_loop(const rx::Program& program, rx::VmState& state, const rx::VmCodeOptions& options,
                            rx::CodeMemory& memory, bool time_compile) {
        const rx::RoundingGuard guard;
        rx::set_rounding(0);
        const auto compile_start = Clock::now();
        memory.begin_write();
        rx::compile_vm_program(program, rx::Variant::V2, reads(), memory.writable(), rx::kVmCodeCapacity, options);
        memory.finish_write();
        const auto run = reinterpret_cast<rx::CompiledVmProgram>(const_cast<std::uint8_t*>(memory.executable()));
        const auto start = Clock::now();
        run(&state, scratchpad_, source_.dataset);
        return std::chrono::duration<double>(Clock::now() - (time_compile ? compile_start : start)).count();
    }


    rx::DatasetSource source_;
    std::uint8_t* scratchpad_;
    rx::CodeMemory secure_;
    rx::CodeMemory dual_;
};

// The next of a sequence of random line numbers below `lines` (< 2^32) that
// `x` walks; `mix` joins the step to a value (0: the sequence alone).
std::uint64_t next_line(std::uint64_t& x, std::uint64_t lines, std::uint64_t mix) {
    x = x * 6364136223846793005ULL + 1442695040888963407ULL + mix;
    return ((x >> 32) * lines) >> 32;
}

// Nanoseconds per read of `memory`'s first `size` bytes where each read's
// address depends on the value read before: the latency the dataset's reads
// are up against.
double dependent_read_ns(const std::uint8_t* memory, std::size_t size) {
    constexpr unsigned kReads = 200000;
    const std::uint64_t lines = size / 64;
    std::uint64_t x = 1, value = 0;
    const auto start = Clock::now();
    for (unsigned i = 0; i < kReads; ++i) {
        std::memcpy(&value, memory + next_line(x, lines, value & 1) * 64, sizeof value);
    }
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kReads;
    asm volatile("" : : "r"(value));  // the reads are needed
    return ns;
}

// Nanoseconds that a prefetch of a random line of `memory`'s first `size`
// bytes adds to a step of fixed dependent work when nothing reads the line.
double prefetch_cost_ns(const std::uint8_t* memory, std::size_t size) {
    const auto run = [&](bool prefetch) {
        constexpr unsigned kSteps = 200000;
        const std::uint64_t lines = size / 64;
        std::uint64_t x = 1, chain = 1;
        const auto start = Clock::now();
        for (unsigned i = 0; i < kSteps; ++i) {
            for (unsigned k = 0; k < 50; ++k) {
                chain = chain * 0x9E3779B97F4A7C15ULL + k;
                asm volatile("" : "+r"(chain));
            }
            std::uint64_t line = next_line(x, lines, 0);
            asm volatile("" : "+r"(line) : "r"(chain));  // issued once the step's work is done
            if (prefetch) _mm_prefetch(reinterpret_cast<const char*>(memory + line * 64), _MM_HINT_T0);
        }
        asm volatile("" : : "r"(chain));
        return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kSteps;
    };
    double with = 1e30, without = 1e30;
    for (int i = 0; i < 5; ++i) {
        with = std::min(with, run(true));
        without = std::min(without, run(false));
    }
    return with - without;
}

double min_of(unsigned repeats, const std::function<double()>& f) {
    double best = 1e30;
    for (unsigned i = 0; i < repeats; ++i) best = std::min(best, f());
    return best;
}

void print_row(const char* name, double seconds, double total) {
    std::printf("| %-58s | %8.1f | %5.1f %% |\n", name, seconds * 1e6, 100.0 * seconds / total);
}

void profile(const char* mode, rx::Machine& machine, const rx::DatasetSource& source, std::uint8_t* scratchpad,
             unsigned hashes, unsigned repeats) {
    // 1. TSC ticks per second, against the steady clock.
    const auto calibrate_start = Clock::now();
    const std::uint64_t tsc_start = __rdtsc();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double tsc_hz = static_cast<double>(__rdtsc() - tsc_start) /
                          std::chrono::duration<double>(Clock::now() - calibrate_start).count();

    // 2. Whole hashes, stage by stage; the last hash's programs are kept.
    StageClock clock;
    machine.set_observer(&clock);
    std::uint8_t message[69] = {};
    std::uint8_t hash[32] = {};
    machine.hash(message, sizeof message, hash);  // warm-up: page faults, caches
    std::vector<double> per_hash[kStageCount];
    const auto start = Clock::now();
    for (unsigned h = 0; h < hashes; ++h) {
        clock.start();
        machine.hash(message, sizeof message, hash);
        clock.finish();
        std::memcpy(message, hash, sizeof hash);
        for (int s = 0; s < kStageCount; ++s) per_hash[s].push_back(static_cast<double>(clock.ticks[s]) / tsc_hz);
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count() / hashes;
    machine.set_observer(nullptr);
    // Each stage's median over the hashes: load from elsewhere inflates a few.
    double stage[kStageCount];
    double total = 0;
    for (int s = 0; s < kStageCount; ++s) {
        std::vector<double>& v = per_hash[s];
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
        stage[s] = v[v.size() / 2];
        total += stage[s];
    }

    // 3. The last hash's programs again, part by part (sums over the 8).
    Rerun rerun(source, scratchpad);
    double secure = 0, dual = 0, loop = 0, no_dataset = 0, fixed = 0, secure_runs = 0;
    double no_prefetch = 0, loop_more = 0, no_dataset_more = 0;
    std::vector<double> class_loop(classes().size(), 0.0);
    const rx::VmCodeOptions normal;
    rx::VmCodeOptions no_reads;
    no_reads.dataset_reads = false;
    rx::VmCodeOptions unprefetched;
    unprefetched.dataset_prefetch = false;
    constexpr unsigned kMultiplies = 40;
    rx::VmCodeOptions more = normal, no_reads_more = no_reads;
    more.chained_multiplies = no_reads_more.chained_multiplies = kMultiplies;
    for (const StageClock::Recorded& r : clock.programs()) {
        secure += min_of(repeats, [&] { return rerun.compile_secure(r.program); });
        dual += min_of(repeats, [&] { return rerun.compile_dual(r.program); });
        loop += min_of(repeats, [&] { return rerun.loop(r.program, r.state, normal); });
        secure_runs += min_of(repeats, [&] { return rerun.secure_run(r.program, r.state); });
        no_dataset += min_of(repeats, [&] { return rerun.loop(r.program, r.state, no_reads); });
        no_prefetch += min_of(repeats, [&] { return rerun.loop(r.program, r.state, unprefetched); });
        loop_more += min_of(repeats, [&] { return rerun.loop(r.program, r.state, more); });
        no_dataset_more += min_of(repeats, [&] { return rerun.loop(r.program, r.state, no_reads_more); });
        for (std::size_t c = 0; c < classes().size(); ++c) {
            const rx::Program reduced = without(r.program, classes()[c].ops);
            class_loop[c] += min_of(repeats, [&] { return rerun.loop(reduced, r.state, normal); });
        }
        rx::Program empty = r.program;
        for (std::uint32_t i = 0; i < empty.size; ++i) empty.code[i].op = rx::Op::NOP;
        fixed += min_of(repeats, [&] { return rerun.loop(empty, r.state, no_reads); });
    }
    // After the timing: a run repeated from the same scratchpad finds its
    // dataset items in the caches.
    for (const StageClock::Recorded& r : clock.programs()) {
        if (rerun.result(r.program, r.state, more) != rerun.result(r.program, r.state, normal)) {
            std::fprintf(stderr, "the added multiplies changed a program's result: the comparison is void\n");
            std::exit(1);
        }
    }

    // 4. The table, in microseconds per hash and shares of the staged total.
    std::printf("\n%s mode: %.2f H/s over %u hashes (%.0f us per hash; the stages' medians add up to %.0f us)\n", mode, 1.0 / wall,
                hashes, wall * 1e6, total * 1e6);
    std::printf("| %-58s | %8s | %7s |\n|---|---:|---:|\n", "stage", "us/hash", "share");
    for (int s = 0; s < kStageCount; ++s) print_row(kStageNames[s], stage[s], total);
    std::printf("| %-58s | %8s | %7s |\n", "program runs, re-run on their own:", "", "");
    print_row("  the runs again (compile + W^X + VM loop)", secure_runs, total);
    print_row("  compile", dual, total);
    print_row("  W^X switches (mprotect, SECURE)", secure - dual, total);
    print_row("  VM loop", loop, total);
    print_row("    dataset reads (light: items computed)", loop - no_dataset, total);
    print_row("    the loop without them (its computation)", no_dataset, total);
    for (std::size_t c = 0; c < classes().size(); ++c) {
        const std::string name = "    " + std::string(classes()[c].name);
        print_row(name.c_str(), loop - class_loop[c], total);
    }
    print_row("    fixed part (register loads/stores, F/E mix)", fixed, total);
    print_row("  VM loop without the dataset prefetch", no_prefetch, total);
    std::printf("%u multiplies more per iteration: the loop +%.1f us, its computation +%.1f us: "
                "%.0f %% of added work shows in this mode (100 %%: work is the bound)\n",
                kMultiplies, (loop_more - loop) * 1e6, (no_dataset_more - no_dataset) * 1e6,
                100.0 * (loop_more - loop) / (no_dataset_more - no_dataset));
}

}  // namespace

int main(int argc, char** argv) {
    bool full = false;
    unsigned hashes = 0;
    unsigned repeats = 5;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--full") {
            full = true;
        } else if (arg == "--hashes" && i + 1 < argc) {
            hashes = static_cast<unsigned>(std::stoul(argv[++i]));
        } else if (arg == "--repeats" && i + 1 < argc) {
            repeats = static_cast<unsigned>(std::stoul(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: %s [--full] [--hashes N] [--repeats N]\n", argv[0]);
            return 2;
        }
    }
    const randomx_flags flags = randomx_get_flags() | RANDOMX_FLAG_V2 | RANDOMX_FLAG_SECURE;
    static const char kKey[] = "profile: where a hash's time goes";
    randomx_cache* cache = randomx_alloc_cache(flags);
    randomx_init_cache(cache, kKey, sizeof kKey - 1);
    auto* scratchpad = static_cast<std::uint8_t*>(rx::alloc_large(rx::kScratchpadL3, false));
    const bool hard_aes = rx::cpu_has_aes();

    {
        rx::Machine light(rx::Variant::V2, hard_aes, scratchpad, rx::make_compiler(rx::Variant::V2, true));
        light.use_cache(cache);
        profile("Light", light, rx::DatasetSource{nullptr, cache}, scratchpad, hashes != 0 ? hashes : 30, repeats);
    }
    if (full) {
        randomx_dataset* dataset = randomx_alloc_dataset(flags | RANDOMX_FLAG_FULL_MEM);
        zt::bench::init_dataset_on_all_threads(dataset, cache);
        const auto* memory = static_cast<const std::uint8_t*>(randomx_get_dataset_memory(dataset));
        rx::Machine machine(rx::Variant::V2, hard_aes, scratchpad, rx::make_compiler(rx::Variant::V2, true));
        machine.use_dataset(memory);
        profile("Full", machine, rx::DatasetSource{memory, nullptr}, scratchpad, hashes != 0 ? hashes : 200, repeats);
        std::printf("dependent random reads, ns each: 16 MiB %.0f, 256 MiB %.0f, the dataset (%zu MiB) %.0f\n",
                    dependent_read_ns(memory, std::size_t{16} << 20), dependent_read_ns(memory, std::size_t{256} << 20),
                    rx::kDatasetSize >> 20, dependent_read_ns(memory, rx::kDatasetSize));
        std::printf("a prefetch's own cost (nothing reads the line), ns each: 16 MiB %.0f, 256 MiB %.0f, the dataset %.0f\n",
                    prefetch_cost_ns(memory, std::size_t{16} << 20), prefetch_cost_ns(memory, std::size_t{256} << 20),
                    prefetch_cost_ns(memory, rx::kDatasetSize));
        randomx_release_dataset(dataset);
    }
    rx::free_large(scratchpad, rx::kScratchpadL3);
    randomx_release_cache(cache);
    return 0;
}
