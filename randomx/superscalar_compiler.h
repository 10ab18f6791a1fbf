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
//  - pair: two items of any numbers, interleaved the same way (a light-mode
//    VM of v2 knows two items ahead).
//
// The entries follow the C calling convention and use no SSE register, so
// compiled VM code may call them keeping its floating-point registers.
//
// Both compute exactly what the portable executors compute.
//
// Thread safety: compiled code is read-only once built and may run on any
// number of threads at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "randomx/code_memory.h"
#include "randomx/constants.h"
#include "randomx/superscalar.h"

namespace rx {

inline constexpr std::size_t kDatasetCodeGroup = 8;

class DatasetCode {
public:
    // Writes item `item_number` (r0..r7) to `out`.
    using ItemFunction = void (*)(const std::uint8_t* cache_memory, std::uint64_t item_number,
                                  std::uint64_t out[8]);
    // Writes `units * range_unit()` items from `first_item` on to `out`.
    using RangeFunction = void (*)(const std::uint8_t* cache_memory, std::uint8_t* out,
                                   std::uint64_t first_item, std::uint64_t units);
    // Writes items `first` and `second` to out[0..7] and out[8..15].
    using PairFunction = void (*)(const std::uint8_t* cache_memory, std::uint64_t first, std::uint64_t second,
                                  std::uint64_t out[16]);

    // Compiles the programs; false if code memory cannot be obtained.
    bool compile(const std::array<SuperscalarProgram, kCacheAccesses>& programs) noexcept;

    bool ready() const { return item_ != nullptr; }
    ItemFunction item() const { return item_; }
    RangeFunction range() const { return range_; }
    PairFunction pair() const { return pair_; }
    std::size_t range_unit() const { return range_unit_; }

private:
    CodeMemory memory_;
    ItemFunction item_ = nullptr;
    RangeFunction range_ = nullptr;
    PairFunction pair_ = nullptr;
    std::size_t range_unit_ = kDatasetCodeGroup;
};

}  // namespace rx
