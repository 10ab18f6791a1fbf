#include "randomx/dataset.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "randomx/cache.h"
#include "randomx/constants.h"
#include "randomx/memory.h"
#include "randomx/superscalar_executor.h"

namespace rx {
namespace {

inline const std::uint8_t* cache_block(const randomx_cache& cache, std::uint64_t index) {
    return cache.memory + (index % kCacheItemCount) * kCacheLineSize;
}

inline std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);  // the host is little-endian, like the format
    return v;
}

// Computes kSuperscalarLanes consecutive items from `first` into `out`.
// Each step prefetches every item's cache block before running the program,
// so the loads overlap the computation.
void dataset_lanes(const randomx_cache& cache, std::uint64_t first, std::uint8_t* out) {
    constexpr std::size_t kLanes = kSuperscalarLanes;
    SuperscalarLanes lanes;
    std::uint64_t register_value[kLanes];
    const std::uint8_t* blocks[kLanes];
    for (std::size_t l = 0; l < kLanes; ++l) {
        std::uint64_t r[8];
        dataset_initial_registers(first + l, r);
        for (std::size_t j = 0; j < 8; ++j) {
            lanes.r[j][l] = r[j];
        }
        register_value[l] = first + l;
    }
    for (std::size_t step = 0; step < kCacheAccesses; ++step) {
        for (std::size_t l = 0; l < kLanes; ++l) {
            blocks[l] = cache_block(cache, register_value[l]);
            __builtin_prefetch(blocks[l]);
        }
        const CompiledSuperscalar& program = cache.compiled[step];
        execute_superscalar_lanes(program, lanes);
        for (std::size_t l = 0; l < kLanes; ++l) {
            for (std::size_t j = 0; j < 8; ++j) {
                lanes.r[j][l] ^= load64(blocks[l] + 8 * j);
            }
            register_value[l] = lanes.r[program.address_register][l];
        }
    }
    for (std::size_t l = 0; l < kLanes; ++l) {
        for (std::size_t j = 0; j < 8; ++j) {
            std::memcpy(out + l * kCacheLineSize + 8 * j, &lanes.r[j][l], 8);
        }
    }
}

}  // namespace

void dataset_initial_registers(std::uint64_t item_number, std::uint64_t r[8]) {
    const std::uint64_t r0 = (item_number + 1) * kDatasetItemMultiplier;
    for (std::size_t i = 0; i < 8; ++i) {
        r[i] = r0 ^ kDatasetRegisterXor[i];
    }
}

void dataset_item(const randomx_cache& cache, std::uint64_t item_number, std::uint64_t out[8]) {
    if (cache.code != nullptr && cache.code->ready()) {
        cache.code->item()(cache.memory, item_number, out);
    } else {
        dataset_item_portable(cache, item_number, out);
    }
}

void dataset_item_portable(const randomx_cache& cache, std::uint64_t item_number, std::uint64_t out[8]) {
    std::uint64_t r[8];
    dataset_initial_registers(item_number, r);
    std::uint64_t register_value = item_number;
    for (std::size_t step = 0; step < kCacheAccesses; ++step) {
        const std::uint8_t* block = cache_block(cache, register_value);
        __builtin_prefetch(block);
        const CompiledSuperscalar& program = cache.compiled[step];
        execute_superscalar(program, r);
        for (std::size_t i = 0; i < 8; ++i) {
            r[i] ^= load64(block + 8 * i);
        }
        register_value = r[program.address_register];
    }
    std::memcpy(out, r, sizeof r);
}

void dataset_items(const randomx_cache& cache, std::uint8_t* memory, std::uint64_t start,
                   std::uint64_t count) {
    std::uint64_t done = 0;
    if (cache.code != nullptr && cache.code->ready()) {
        const std::uint64_t unit = cache.code->range_unit();
        const std::uint64_t units = count / unit;
        if (units != 0) cache.code->range()(cache.memory, memory, start, units);
        done = units * unit;
    }
    for (; count - done >= kSuperscalarLanes; done += kSuperscalarLanes) {
        dataset_lanes(cache, start + done, memory + done * kCacheLineSize);
    }
    for (; done < count; ++done) {
        std::uint64_t item[8];
        dataset_item(cache, start + done, item);  // compiled or portable, as the groups above
        std::memcpy(memory + done * kCacheLineSize, item, sizeof item);
    }
}

}  // namespace rx

extern "C" {

randomx_dataset* randomx_alloc_dataset(randomx_flags flags) {
    auto* dataset = new (std::nothrow) randomx_dataset;
    if (dataset == nullptr) {
        return nullptr;
    }
    dataset->large_pages = (flags & RANDOMX_FLAG_LARGE_PAGES) != 0;
    dataset->memory =
        static_cast<std::uint8_t*>(rx::alloc_large(rx::kDatasetSize, dataset->large_pages));
    if (dataset->memory == nullptr) {
        delete dataset;
        return nullptr;
    }
    return dataset;
}

unsigned long randomx_dataset_item_count(void) {
    return static_cast<unsigned long>(rx::kDatasetItemCount);
}

void randomx_init_dataset(randomx_dataset* dataset, randomx_cache* cache, unsigned long startItem,
                          unsigned long itemCount) {
    if (dataset == nullptr || cache == nullptr || startItem >= rx::kDatasetItemCount) {
        return;
    }
    // Items past the end of the dataset are not computed.
    const std::uint64_t count =
        std::min<std::uint64_t>(itemCount, rx::kDatasetItemCount - startItem);
    rx::dataset_items(*cache, dataset->memory + startItem * rx::kCacheLineSize, startItem, count);
}

void* randomx_get_dataset_memory(randomx_dataset* dataset) {
    return dataset == nullptr ? nullptr : dataset->memory;
}

void randomx_release_dataset(randomx_dataset* dataset) {
    if (dataset == nullptr) {
        return;
    }
    rx::free_large(dataset->memory, rx::kDatasetSize);
    delete dataset;
}

}  // extern "C"
