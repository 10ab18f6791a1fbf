// What the RandomX benchmarks share, through the library's C API alone so
// that randomx_compare_bench still compiles against any build of it.
#pragma once

#include <algorithm>
#include <ctime>
#include <thread>
#include <vector>

#include "randomx/randomx.h"

namespace zt::bench {

// CPU seconds this thread has used.
inline double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Every dataset item from `cache`, split evenly over all the processors;
// returns the number of threads used.
inline unsigned init_dataset_on_all_threads(randomx_dataset* dataset, randomx_cache* cache) {
    const unsigned long items = randomx_dataset_item_count();
    const unsigned threads = std::max(1U, std::thread::hardware_concurrency());
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) {
        const unsigned long first = items * t / threads;
        const unsigned long last = items * (t + 1) / threads;
        workers.emplace_back([=] { randomx_init_dataset(dataset, cache, first, last - first); });
    }
    for (std::thread& worker : workers) worker.join();
    return threads;
}

}  // namespace zt::bench
