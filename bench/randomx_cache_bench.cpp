// Cost of the RandomX cache and dataset on one thread.
//
//  - Cache initialisation (Argon2d fill plus SuperscalarHash generation) with
//    the portable Argon2d as the baseline and each SIMD implementation the
//    processor supports as a ratio to it. Each is the best of --repeat runs
//    on an already allocated cache (page faults are paid once, up front).
//  - Dataset items: one at a time (the light-mode path) and a range at a
//    time (the full-mode path), each with the portable executors and with the
//    compiled SuperscalarHash, the portable single item as the baseline; and
//    from each rate an estimate of the whole dataset on one thread.
//  - With --full-dataset, the whole dataset is really built: on one thread
//    into fresh memory (page faults included), again on one thread, then in
//    disjoint ranges on every processor.
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
#include <memory>
#include <string>
#include <thread>
#include <utility>
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

    std::printf("  %-22s %7.3f s cpu (the engine's flags: best Argon2d, SuperscalarHash compiled)\n", "engine flags",
                cache_init(randomx_get_flags(), options.repeat).cpu);

    randomx_cache* cache = randomx_alloc_cache(randomx_get_flags());
    if (cache == nullptr) {
        fail("cannot allocate a cache");
    }
    randomx_init_cache(cache, "bench key", 9);
    const bool compiled = cache->code != nullptr && cache->code->ready();

    // Scattered item numbers, as a light-mode VM reads them.
    const std::uint64_t n = options.items;
    std::uint64_t sink = 0;
    auto single = [&](bool use_compiled) {
        return timed([&] {
            for (std::uint64_t i = 0; i < n; ++i) {
                std::uint64_t item[8];
                const std::uint64_t number = (i * 2654435761u) % rx::kDatasetItemCount;
                if (use_compiled) {
                    rx::dataset_item(*cache, number, item);
                } else {
                    rx::dataset_item_portable(*cache, number, item);
                }
                sink ^= item[0];
            }
        });
    };
    std::vector<std::uint8_t> buffer(n * rx::kCacheLineSize);
    auto range = [&](bool use_compiled) {
        // Without its code the cache computes ranges with the portable
        // many-item executor.
        std::unique_ptr<rx::DatasetCode> code;
        if (!use_compiled) code = std::move(cache->code);
        const Times t = timed([&] { rx::dataset_items(*cache, buffer.data(), 1000, n); });
        if (!use_compiled) cache->code = std::move(code);
        sink ^= buffer[n];
        return t;
    };
    struct Row {
        const char* name;
        Times t;
    };
    std::vector<Row> rows{{"one at a time, portable", single(false)}, {"range, portable", range(false)}};
    if (compiled) {
        rows.push_back({"one at a time, compiled", single(true)});
        rows.push_back({"range, compiled", range(true)});
    }
    const double base_ns = rows[0].t.cpu * 1e9 / static_cast<double>(n);
    std::printf("\ndataset items (%llu each); xN = speed vs one at a time, portable; whole = all %llu items\n",
                static_cast<unsigned long long>(n), static_cast<unsigned long long>(rx::kDatasetItemCount));
    for (const Row& row : rows) {
        const double ns = row.t.cpu * 1e9 / static_cast<double>(n);
        std::printf("  %-24s %8.1f ns/item cpu %8.1f ns/item wall  x%5.2f  whole on one thread: %5.1f s\n", row.name,
                    ns, row.t.wall * 1e9 / static_cast<double>(n), base_ns / ns,
                    ns * 1e-9 * static_cast<double>(rx::kDatasetItemCount));
    }

    if (options.full_dataset) {
        randomx_dataset* dataset = randomx_alloc_dataset(RANDOMX_FLAG_DEFAULT);
        if (dataset == nullptr) {
            fail("cannot allocate a dataset");
        }
        const unsigned long items = randomx_dataset_item_count();
        // The first build also takes the page faults of 2080 MiB of fresh
        // memory (with huge pages, the kernel may have to compact memory to
        // find them); the second runs on memory already mapped.
        const Times fresh = timed([&] { randomx_init_dataset(dataset, cache, 0, items); });
        std::printf("  whole dataset on one thread, first build (with its page faults): %.1f s cpu, %.1f s wall\n",
                    fresh.cpu, fresh.wall);
        const Times one = timed([&] { randomx_init_dataset(dataset, cache, 0, items); });
        std::printf("  whole dataset on one thread, memory already mapped: %.1f s cpu, %.1f s wall\n", one.cpu,
                    one.wall);
        const unsigned threads = std::max(1U, std::thread::hardware_concurrency());
        const Times all = timed([&] {
            std::vector<std::thread> workers;
            for (unsigned t = 0; t < threads; ++t) {
                workers.emplace_back([=] {
                    const unsigned long first = items * t / threads;
                    randomx_init_dataset(dataset, cache, first, items * (t + 1) / threads - first);
                });
            }
            for (std::thread& worker : workers) worker.join();
        });
        std::printf("  whole dataset on %u threads, disjoint ranges: %.1f s wall (x%.2f of one thread)\n", threads,
                    all.wall, all.wall / one.wall);
        randomx_release_dataset(dataset);
    }
    randomx_release_cache(cache);
    return sink == 0x5eed ? 3 : 0;  // keeps the work observable
}
