// The cache's SuperscalarHash programs as machine code, behind entry points
// that compute exactly what the portable executors compute:
//
//  - item: one dataset item (light mode);
//  - range: units of range_unit() consecutive items (building the dataset);
//  - pair: two items of any numbers at once;
//  - triple: three (a light-mode VM of v2 knows, once an iteration's program
//    has run, the addresses of its own item and the next two: computed
//    together, their cache reads overlap).
//
// Each architecture with a SuperscalarHash compiler derives from this class
// (make_dataset_code in arch.h); elsewhere there is none and the portable
// executors run.
//
// Thread safety: compile() needs exclusive use; compiled code is read-only
// afterwards and may run on any number of threads at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "randomx/constants.h"
#include "randomx/superscalar.h"

namespace rx {

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
    // Writes items `first`, `second` and `third` to out[0..7], out[8..15], out[16..23].
    using TripleFunction = void (*)(const std::uint8_t* cache_memory, std::uint64_t first, std::uint64_t second,
                                    std::uint64_t third, std::uint64_t out[24]);

    virtual ~DatasetCode() = default;

    // Compiles the programs, replacing earlier code. False if the code could
    // not be built (no code memory, or it did not fit): the code is then not
    // ready and callers use the portable executors.
    virtual bool compile(const std::array<SuperscalarProgram, kCacheAccesses>& programs) noexcept = 0;

    bool ready() const { return item_ != nullptr; }
    ItemFunction item() const { return item_; }
    RangeFunction range() const { return range_; }
    PairFunction pair() const { return pair_; }
    // Null where the architecture has no such entry.
    TripleFunction triple() const { return triple_; }
    std::size_t range_unit() const { return range_unit_; }

protected:
    DatasetCode() = default;

    ItemFunction item_ = nullptr;
    RangeFunction range_ = nullptr;
    PairFunction pair_ = nullptr;
    TripleFunction triple_ = nullptr;
    std::size_t range_unit_ = 1;
};

}  // namespace rx
