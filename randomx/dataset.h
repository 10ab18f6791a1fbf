// Dataset items: each 64-byte item is computed from the cache with the eight
// SuperscalarHash programs. Light-mode VMs call dataset_item for every read;
// full mode precomputes all items into a randomx_dataset.
//
// Thread safety: the cache is only read; any number of threads may compute
// items at once.
#pragma once

#include <cstdint>

#include "randomx/randomx.h"

struct randomx_dataset {
    std::uint8_t* memory = nullptr;  // kDatasetItemCount * 64 bytes, 2 MiB aligned
    bool large_pages = false;
};

namespace rx {

// Item registers start as r0 = (item_number + 1) * kDatasetItemMultiplier and
// ri = r0 ^ kDatasetRegisterXor[i].
inline constexpr std::uint64_t kDatasetItemMultiplier = 6364136223846793005ULL;
inline constexpr std::uint64_t kDatasetRegisterXor[8] = {
    0, 9298411001130361340ULL, 12065312585734608966ULL, 9306329213124626780ULL,
    5281919268842080866ULL, 10536153434571861004ULL, 3398623926847679864ULL, 9549104520008361294ULL};

// The registers r0..r7 with which the computation of item `item_number`
// starts: r0 = (item_number + 1) * 6364136223846793005, r1..r7 = r0 XOR
// fixed constants.
void dataset_initial_registers(std::uint64_t item_number, std::uint64_t r[8]);

// Computes dataset item `item_number` from an initialised cache into
// registers r0..r7 (the item is their little-endian concatenation), with the
// cache's compiled code when it has some, else with the portable executor.
void dataset_item(const randomx_cache& cache, std::uint64_t item_number, std::uint64_t out[8]);

// The same with the portable executor, whatever the cache holds.
void dataset_item_portable(const randomx_cache& cache, std::uint64_t item_number, std::uint64_t out[8]);

// Computes items [start, start + count) into `memory` (which points at item
// `start`). With the cache's compiled code, whole units of its range_unit()
// items run through its range entry; without it, groups of
// kSuperscalarLanes items run through the many-item executor. Either is
// several times faster per item than dataset_item; the remainder is computed
// one by one.
void dataset_items(const randomx_cache& cache, std::uint8_t* memory, std::uint64_t start,
                   std::uint64_t count);

}  // namespace rx
