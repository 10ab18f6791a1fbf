// One side of a comparison between two builds of the RandomX library: this
// file uses the C API alone, so it compiles against any build of it (the
// current tree, or an older commit built elsewhere), and
// bench/compare_builds.py runs two such binaries side by side.
//
// It sets up once (cache, and in full mode the dataset on all cores), with the
// engine's flags: randomx_get_flags() | V2 | SECURE, | FULL_MEM with --full,
// | LARGE_PAGES with --large-pages. Then it answers commands on standard
// input, one per line:
//   run SECONDS   hash a chain of 69-byte step-like messages (each starting
//                 with the previous hash) for about SECONDS; print
//                 "rate WALL CPU COUNT FIRST QUIET" (hashes per wall-clock and
//                 per thread-CPU second, how many, the chain's first hash, so
//                 that both sides can be checked to agree, and the rate of the
//                 quietest tenth: one over the 10th percentile of the single
//                 hashes' times, which load from elsewhere on the machine
//                 disturbs least).
//   quit
// "ready" is printed once set-up is done.
//
// Built in this tree (ZT_COMPARE_CPU_MASK), the environment variable
// ZT_CPU_MASK (the names aes, avx2, bmi2, any separator: "avx2+bmi2") hides
// those CPU features first, as on a processor without them; an older build
// needs its own way.
//
// Usage: randomx_compare_bench [--full] [--large-pages] [--v1]
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "randomx/randomx.h"
#if defined(ZT_COMPARE_CPU_MASK)
#include <cstdlib>

#include "randomx/cpu.h"
#endif

namespace {

using zt::bench::thread_cpu_seconds;

}  // namespace

int main(int argc, char** argv) {
#if defined(ZT_COMPARE_CPU_MASK)
    if (const char* mask = std::getenv("ZT_CPU_MASK")) {
        const std::string hide = mask;
        rx::CpuFeatures hidden;
        hidden.aes = hide.find("aes") != std::string::npos;
        hidden.avx2 = hide.find("avx2") != std::string::npos;
        hidden.bmi2 = hide.find("bmi2") != std::string::npos;
        rx::mask_cpu_features(hidden);
    }
#endif
    bool full = false;
    bool large_pages = false;
    bool v1 = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--full") {
            full = true;
        } else if (arg == "--large-pages") {
            large_pages = true;
        } else if (arg == "--v1") {
            v1 = true;
        } else {
            std::fprintf(stderr, "usage: %s [--full] [--large-pages] [--v1]\n", argv[0]);
            return 2;
        }
    }
    randomx_flags flags = randomx_get_flags() | RANDOMX_FLAG_SECURE;
    if (!v1) flags |= RANDOMX_FLAG_V2;
    if (large_pages) flags |= RANDOMX_FLAG_LARGE_PAGES;

    static const char kKey[] = "compare builds: one key for both";
    randomx_cache* cache = randomx_alloc_cache(flags);
    if (cache == nullptr) {
        std::fprintf(stderr, "cache allocation failed (huge pages reserved?)\n");
        return 1;
    }
    randomx_init_cache(cache, kKey, sizeof kKey - 1);
    randomx_dataset* dataset = nullptr;
    if (full) {
        flags |= RANDOMX_FLAG_FULL_MEM;
        dataset = randomx_alloc_dataset(flags);
        if (dataset == nullptr) {
            std::fprintf(stderr, "dataset allocation failed (huge pages reserved?)\n");
            return 1;
        }
        zt::bench::init_dataset_on_all_threads(dataset, cache);
    }
    randomx_vm* vm = randomx_create_vm(flags, full ? nullptr : cache, dataset);
    if (vm == nullptr) {
        std::fprintf(stderr, "VM creation failed\n");
        return 1;
    }
    std::printf("ready flags %u\n", static_cast<unsigned>(flags));
    std::fflush(stdout);

    std::uint8_t message[69] = {};
    std::memcpy(message + 32, "compare builds step", 19);
    std::uint8_t hash[32] = {};
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.rfind("run ", 0) != 0) break;
        // Every run starts the chain afresh, so that both sides hash the same inputs.
        std::memset(message, 0, 32);
        const double seconds = std::stod(line.substr(4));
        const auto start = std::chrono::steady_clock::now();
        const double cpu_start = thread_cpu_seconds();
        std::uint64_t count = 0;
        double elapsed = 0;
        std::uint8_t first[32] = {};
        std::vector<double> times;
        do {
            randomx_calculate_hash(vm, message, sizeof message, hash);
            std::memcpy(message, hash, 32);
            if (count == 0) std::memcpy(first, hash, 32);
            ++count;
            const double now = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            times.push_back(now - elapsed);
            elapsed = now;
        } while (elapsed < seconds || count < 3);
        const auto tenth = times.begin() + static_cast<std::ptrdiff_t>(times.size() / 10);
        std::nth_element(times.begin(), tenth, times.end());
        const double cpu = thread_cpu_seconds() - cpu_start;
        std::printf("rate %.3f %.3f %llu ", static_cast<double>(count) / elapsed, static_cast<double>(count) / cpu,
                    static_cast<unsigned long long>(count));
        for (std::uint8_t b : first) std::printf("%02x", b);
        std::printf(" %.3f\n", 1.0 / *tenth);
        std::fflush(stdout);
    }
    randomx_destroy_vm(vm);
    if (dataset != nullptr) randomx_release_dataset(dataset);
    randomx_release_cache(cache);
    return 0;
}
