// Single-thread RandomX v2 hash rate for the work engine's unit of serial
// work: chained hashes of 69-byte step messages, each state the previous hash.
//
// Light mode (flags base|144: V2 and SECURE) with AES-NI is the baseline; the
// same chain with software AES is reported as a ratio to it. With --full the
// dataset is built (minutes, on all cores) and full mode (base|148) is
// measured as well, with its ratio to light mode.
//
// Usage: randomx_hash_bench [--full] [--seconds N]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "randomx/randomx.h"
#include "timelock/crypto.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kLightFlags = RANDOMX_FLAG_V2 | RANDOMX_FLAG_SECURE;  // 144
constexpr unsigned kFullFlags = kLightFlags | RANDOMX_FLAG_FULL_MEM;     // 148

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void put_be(std::uint8_t* out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * (bytes - 1 - i)));
    }
}

// CPU time of this thread: on a shared machine the wall-clock rate depends on
// the other load, the rate per CPU second much less.
double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Rate {
    double hashes_per_second = 0;      // wall clock
    double hashes_per_cpu_second = 0;
};

// Runs the chain for about `seconds` (at least 3 hashes) and returns the rate.
Rate chain(randomx_vm* vm, double seconds) {
    const std::string_view label = zt::labels::step;
    std::uint8_t message[69] = {};
    std::memcpy(message, label.data(), label.size());
    put_be(message + 17, 7, 8);   // epoch
    put_be(message + 25, 0, 4);   // segment
    std::uint8_t state[RANDOMX_HASH_SIZE] = {};
    const Clock::time_point start = Clock::now();
    const double cpu_start = thread_cpu_seconds();
    std::uint64_t count = 0;
    while (count < 3 || seconds_since(start) < seconds) {
        put_be(message + 29, count, 8);
        std::memcpy(message + 37, state, sizeof state);
        randomx_calculate_hash(vm, message, sizeof message, state);
        ++count;
    }
    const auto hashes = static_cast<double>(count);
    return Rate{hashes / seconds_since(start), hashes / (thread_cpu_seconds() - cpu_start)};
}

Rate measure(unsigned flags, randomx_cache* cache, randomx_dataset* dataset, double seconds) {
    randomx_vm* vm = randomx_create_vm(static_cast<randomx_flags>(flags), cache, dataset);
    if (vm == nullptr) {
        std::fprintf(stderr, "randomx_create_vm(%u) failed\n", flags);
        std::exit(1);
    }
    const Rate rate = chain(vm, seconds);
    randomx_destroy_vm(vm);
    return rate;
}

void report(const char* name, const Rate& rate, const Rate& baseline) {
    std::printf("%-30s %8.2f H/s  x%.3f   %8.2f H/CPU-s  x%.3f\n", name, rate.hashes_per_second,
                rate.hashes_per_second / baseline.hashes_per_second, rate.hashes_per_cpu_second,
                rate.hashes_per_cpu_second / baseline.hashes_per_cpu_second);
}

}  // namespace

int main(int argc, char** argv) {
    bool full = false;
    double seconds = 10;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--full") {
            full = true;
        } else if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--full] [--seconds N]\n", argv[0]);
            return 2;
        }
    }

    const unsigned base = randomx_get_flags();
    const unsigned soft = base & ~static_cast<unsigned>(RANDOMX_FLAG_HARD_AES);
    std::printf("flags: base %u (AES-NI %s)\n", base, (base & RANDOMX_FLAG_HARD_AES) != 0 ? "yes" : "no");

    const std::uint8_t key[32] = {'z', 't', '-', 'b', 'e', 'n', 'c', 'h'};
    randomx_cache* cache = randomx_alloc_cache(static_cast<randomx_flags>(base));
    if (cache == nullptr) {
        std::fprintf(stderr, "randomx_alloc_cache failed\n");
        return 1;
    }
    Clock::time_point start = Clock::now();
    randomx_init_cache(cache, key, sizeof key);
    std::printf("cache init: %.2f s\n", seconds_since(start));

    const Rate light = measure(base | kLightFlags, cache, nullptr, seconds);
    report("light, AES-NI (baseline)", light, light);
    report("light, software AES", measure(soft | kLightFlags, cache, nullptr, seconds), light);

    if (full) {
        randomx_dataset* dataset = randomx_alloc_dataset(static_cast<randomx_flags>(base));
        if (dataset == nullptr) {
            std::fprintf(stderr, "randomx_alloc_dataset failed\n");
            return 1;
        }
        const unsigned long items = randomx_dataset_item_count();
        const unsigned threads = std::max(1U, std::thread::hardware_concurrency());
        start = Clock::now();
        std::vector<std::thread> workers;
        for (unsigned t = 0; t < threads; ++t) {
            const unsigned long first = items * t / threads;
            const unsigned long last = items * (t + 1) / threads;
            workers.emplace_back([=] { randomx_init_dataset(dataset, cache, first, last - first); });
        }
        for (std::thread& worker : workers) {
            worker.join();
        }
        std::printf("dataset init: %.1f s on %u threads\n", seconds_since(start), threads);
        const Rate full_rate = measure(base | kFullFlags, nullptr, dataset, seconds);
        report("full, AES-NI (vs light)", full_rate, light);
        report("full, software AES (vs full)", measure(soft | kFullFlags, nullptr, dataset, seconds), full_rate);
        randomx_release_dataset(dataset);
    }
    randomx_release_cache(cache);
    return 0;
}
