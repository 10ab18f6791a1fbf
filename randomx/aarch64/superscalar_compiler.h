// The SuperscalarHash compiler (AArch64): the cache's eight programs turned
// into machine code that keeps every item's r0-r7 in general registers, with
// three entry points:
//
//  - item: one dataset item, the eight programs one after another, each
//    cache block prefetched as soon as its address is known (light mode).
//  - pair: two items of any numbers, their instructions interleaved (each
//    SuperscalarHash instruction is emitted for one item, then the other), so
//    the processor has two independent chains to overlap; a light-mode VM of
//    v2 knows two items ahead.
//  - range: units of range_unit() (three) consecutive items, interleaved the
//    same way: 24 registers of items, three cache block pointers, the cache
//    and the output in the 31 general registers, nothing spilled. An item's
//    next block is prefetched a whole program (of three items) before it is
//    read.
//
// The entries follow the procedure call standard and change no vector
// register (item changes only x0-x17), so compiled VM code may call them
// keeping its floating-point registers. Constants shared by the interleaved
// items (reciprocals, immediates) are loaded once.
//
// All compute exactly what the portable executors compute. This is ARM64's
// DatasetCode writer (dataset_code.h, which keeps its code memory), found by
// dataset_code_writer (arch.h).
//
// Thread safety: compiled code is read-only once built and may run on any
// number of threads at once.
#pragma once

#include <array>

#include "randomx/constants.h"
#include "randomx/dataset_code.h"
#include "randomx/superscalar.h"

namespace rx::a64 {

inline constexpr std::size_t kRangeItems = 3;

// The code memory the three entries need at most.
inline constexpr std::size_t kDatasetCodeBytes = 400 * 1024;


}  // namespace rx::a64
