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
// Each architecture with a SuperscalarHash compiler supplies the function
// that writes the entries' code (dataset_code_writer in arch.h); elsewhere
// there is none and the portable executors run. The entries
// follow the C calling convention and change no floating-point or vector
// register, so compiled VM code may call them keeping its own.
//
// The code is written once per key into one mapping switched by mprotect
// (code_memory.h): no writable alias of it ever exists. Code that would not
// fit its memory is never run (compile() returns false and the portable
// executors serve the cache).
//
// Thread safety: compile() needs exclusive use; compiled code is read-only
// afterwards and may run on any number of threads at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "randomx/code_memory.h"
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

    // Where a writer put each entry: byte offsets into the code; no_entry
    // where the architecture has no such entry.
    static constexpr std::size_t no_entry = SIZE_MAX;
    struct Entries {
        std::size_t item = no_entry;
        std::size_t range = no_entry;
        std::size_t pair = no_entry;
        std::size_t triple = no_entry;
        std::size_t range_unit = 1;
    };

    // An architecture's writer: writes the entries of `programs` into `code`
    // (`capacity` bytes, to run at address `runs_at`) and returns the size
    // written, or 0 where it did not fit (nothing past `capacity` is written).
    using Writer = std::size_t (*)(const std::array<SuperscalarProgram, kCacheAccesses>& programs,
                                   std::uint8_t* code, std::size_t capacity, const std::uint8_t* runs_at,
                                   Entries& entries);

    // `code_bytes`: the code memory `writer` needs at most (smaller only to
    // test that code that does not fit is given up).
    DatasetCode(std::size_t code_bytes, Writer writer) : code_bytes_(code_bytes), writer_(writer) {}

    // Compiles the programs, replacing earlier code. False if the code could
    // not be built (no compiled code here, no code memory, or it did not
    // fit): the code is then not ready and callers use the portable executors.
    bool compile(const std::array<SuperscalarProgram, kCacheAccesses>& programs) noexcept;

    bool ready() const { return item_ != nullptr; }
    ItemFunction item() const { return item_; }
    RangeFunction range() const { return range_; }
    // These two are null where the architecture has no such entry.
    PairFunction pair() const { return pair_; }
    TripleFunction triple() const { return triple_; }
    std::size_t range_unit() const { return range_unit_; }

private:
    std::size_t code_bytes_;
    Writer writer_;
    CodeMemory memory_;
    ItemFunction item_ = nullptr;
    RangeFunction range_ = nullptr;
    PairFunction pair_ = nullptr;
    TripleFunction triple_ = nullptr;
    std::size_t range_unit_ = 1;
};

// An empty SuperscalarHash compiler for a cache with the architecture's
// writer (dataset_code_writer in arch.h), or null where there is none.
std::unique_ptr<DatasetCode> make_dataset_code() noexcept;

}  // namespace rx
