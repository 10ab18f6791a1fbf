// The SuperscalarHash compiler (x86-64): the cache's eight programs turned
// into machine code that keeps r0-r7 in the processor's registers r8-r15,
// with two entry points:
//
//  - item: one dataset item, the eight programs one after another, each
//    cache block prefetched as soon as its address is known (light mode).
//  - range: units of range_unit() consecutive items. Each program runs on
//    every item of the unit before the next program starts, so an item's
//    next cache block is prefetched a whole pass before it is read, and the
//    processor overlaps the independent items' instructions. With AVX2 a
//    unit is two groups of five items, one in the general registers and four
//    in the lanes of the vector registers, their instructions interleaved so
//    that the integer and the vector units work at once; without it, eight
//    items in the general registers one after another. Items are written with
//    non-temporal stores (the dataset is not read back while it is built).
//  - pair and triple: two or three items of any numbers, interleaved the
//    same way (a light-mode VM of v2 knows three items at once).
//
// The entries follow the C calling convention and use no SSE register, so
// compiled VM code may call them keeping its floating-point registers.
//
// All compute exactly what the portable executors compute. This is x86-64's
// DatasetCode writer (dataset_code.h), found by dataset_code_writer (arch.h).
//
// Thread safety: compiled code is read-only once built and may run on any
// number of threads at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "randomx/constants.h"
#include "randomx/dataset_code.h"
#include "randomx/superscalar.h"

namespace rx {

inline constexpr std::size_t kDatasetCodeGroup = 8;

// The code memory a cache's programs need at most.
inline constexpr std::size_t kDatasetCodeBytes = 1280 * 1024;


}  // namespace rx
