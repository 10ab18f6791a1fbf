// Cost of the RandomX cache and dataset on one thread.
//
//  - Cache initialisation (Argon2d fill plus SuperscalarHash generation) with
//    the portable Argon2d as the baseline and each SIMD implementation the
//    processor supports as a ratio to it. Each is the best of --repeat runs
//    on an already allocated cache (page faults are paid once, up front).
//  - Dataset items: one at a time (dataset_item, the light-mode path) and a
//    range at a time (randomx_init_dataset, the full-mode path), the single
//    item as the baseline; and from the range rate an estimate of the whole
//    dataset's initialisation on one thread.
//  - With --full-dataset, the whole dataset is really built on one thread.
//
// Times are the thread's CPU time, so that other load on the machine does
// not inflate them; wall time is printed beside for reference.
//
// Usage: randomx_cache_bench [--repeat N] [--items N] [--full-dataset]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "randomx/argon2d.h"
#include "randomx/cache.h"
#include "randomx/constants.h"
#include "randomx/dataset.h"
#include "randomx/randomx.h"

namespace {

struct Times {
    double cpu = 0;
    double wall = 0;
};

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

template <typename F>
Times timed(F&& f) {
    const double c0 = cpu_seconds();
    const double w0 = wall_seconds();
    f();
    return Times{cpu_seconds() - c0, wall_seconds() - w0};
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "randomx_cache_bench: %s\n", what);
    std::exit(1);
}

struct Options {
    int repeat = 3;
    std::uint64_t items = 20000;
    bool full_dataset = false;
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--full-dataset") {
            o.full_dataset = true;
        } else if (arg == "--repeat" && i + 1 < argc) {
            o.repeat = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--items" && i + 1 < argc) {
            o.items = std::max<std::uint64_t>(rx::kSuperscalarLanes, std::strtoull(argv[++i], nullptr, 10));
        } else {
            std::fprintf(stderr, "usage: randomx_cache_bench [--repeat N] [--items N] [--full-dataset]\n");
            std::exit(2);
        }
    }
    return o;
}

// Best of `repeat` initialisations with alternating keys (the same key twice
// would be a no-op).
Times cache_init(randomx_flags flags, int repeat) {
    randomx_cache* cache = randomx_alloc_cache(flags);
    if (cache == nullptr) {
        fail("cannot allocate a cache");
    }
    std::memset(randomx_get_cache_memory(cache), 0, rx::kCacheSize);  // fault the pages in
    Times best{1e30, 1e30};
    for (int i = 0; i < repeat; ++i) {
        const std::string key = "bench key " + std::to_string(i);
        const Times t = timed([&] { randomx_init_cache(cache, key.data(), key.size()); });
        best.cpu = std::min(best.cpu, t.cpu);
        best.wall = std::min(best.wall, t.wall);
    }
    randomx_release_cache(cache);
    return best;
}

void report_init(const char* name, const Times& t, const Times& baseline) {
    std::printf("  %-22s %7.3f s cpu  %7.3f s wall   x%.2f\n", name, t.cpu, t.wall,
                baseline.cpu / t.cpu);
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);

    std::printf("cache initialisation (Argon2d + SuperscalarHash), best of %d; xN = speed vs portable\n",
                options.repeat);
    const Times portable = cache_init(RANDOMX_FLAG_DEFAULT, options.repeat);
    report_init("portable", portable, portable);
    if (rx::argon2_impl_supported(rx::Argon2Impl::Ssse3)) {
        report_init("ssse3", cache_init(RANDOMX_FLAG_ARGON2_SSSE3, options.repeat), portable);
    }
    if (rx::argon2_impl_supported(rx::Argon2Impl::Avx2)) {
        report_init("avx2", cache_init(RANDOMX_FLAG_ARGON2_AVX2, options.repeat), portable);
    }

    randomx_cache* cache = randomx_alloc_cache(randomx_get_flags());
    if (cache == nullptr) {
        fail("cannot allocate a cache");
    }
    randomx_init_cache(cache, "bench key", 9);

    // Scattered item numbers, as a light-mode VM reads them.
    const std::uint64_t n = options.items;
    std::uint64_t sink = 0;
    const Times single = timed([&] {
        for (std::uint64_t i = 0; i < n; ++i) {
            std::uint64_t item[8];
            rx::dataset_item(*cache, (i * 2654435761u) % rx::kDatasetItemCount, item);
            sink ^= item[0];
        }
    });
    std::vector<std::uint8_t> buffer(n * rx::kCacheLineSize);
    const Times range = timed([&] { rx::dataset_items(*cache, buffer.data(), 1000, n); });
    sink ^= buffer[n];
    const double single_ns = single.cpu * 1e9 / static_cast<double>(n);
    const double range_ns = range.cpu * 1e9 / static_cast<double>(n);
    std::printf("\ndataset items (%llu each); xN = speed vs one item at a time\n",
                static_cast<unsigned long long>(n));
    std::printf("  %-22s %9.1f ns/item cpu  %9.1f ns/item wall   x1.00\n", "one at a time",
                single_ns, single.wall * 1e9 / static_cast<double>(n));
    std::printf("  %-22s %9.1f ns/item cpu  %9.1f ns/item wall   x%.2f\n", "range", range_ns,
                range.wall * 1e9 / static_cast<double>(n), single_ns / range_ns);
    std::printf("  whole dataset (%llu items) on one thread, estimated: %.1f s\n",
                static_cast<unsigned long long>(rx::kDatasetItemCount),
                range_ns * 1e-9 * static_cast<double>(rx::kDatasetItemCount));

    if (options.full_dataset) {
        randomx_dataset* dataset = randomx_alloc_dataset(RANDOMX_FLAG_DEFAULT);
        if (dataset == nullptr) {
            fail("cannot allocate a dataset");
        }
        const Times full = timed([&] {
            randomx_init_dataset(dataset, cache, 0, randomx_dataset_item_count());
        });
        std::printf("  whole dataset on one thread, measured: %.1f s cpu, %.1f s wall\n", full.cpu,
                    full.wall);
        randomx_release_dataset(dataset);
    }
    randomx_release_cache(cache);
    return sink == 0x5eed ? 3 : 0;  // keeps the work observable
}
