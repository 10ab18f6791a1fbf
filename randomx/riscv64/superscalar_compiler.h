// The SuperscalarHash compiler (RV64): the cache's eight programs turned into
// machine code that keeps every item's r0-r7 in general registers, with
// three entry points:
//
//  - item: one dataset item, the eight programs one after another, each
//    cache block prefetched as soon as its address is known (light mode).
//    It uses only a0-a7 and t0-t4, registers the calling convention lets a
//    callee change, so compiled VM code keeps its own in the others.
//  - pair: two items of any numbers, their instructions interleaved (each
//    SuperscalarHash instruction is emitted for one item, then the other), so
//    the processor has two independent chains to overlap; a light-mode VM of
//    v2 knows two items ahead.
//  - range: units of range_unit() (two) consecutive items, interleaved the
//    same way. A third item does not fit: 24 registers of items, their three
//    block pointers, the cache and a temporary are more than the 28 general
//    registers the code may use (gp and tp stay the platform's).
//
// Rotations and shifted additions use Zbb and Zba where the processor has
// them (rv64_forms.h). The entries change no floating-point register.
// All compute exactly what the portable executors compute. This is RISC-V's
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

namespace rx::rv64 {

inline constexpr std::size_t kRangeItems = 2;

// The code memory the three entries need at most.
inline constexpr std::size_t kDatasetCodeBytes = 768 * 1024;


}  // namespace rx::rv64
