// The order in which a SuperscalarHash compiler that keeps its items in
// general registers (aarch64/ and riscv64/ superscalar_compiler.cpp) computes
// one, two or three dataset items at once: every item's registers set up
// from its number; then for each of the eight programs, each instruction
// emitted for every item before the next one (independent chains the
// processor overlaps), then every item's cache block XORed in and its next
// block's address taken (and prefetched a whole program before it is read);
// finally the items stored. The architecture supplies the steps:
//
//   initial_registers(l, k)    item k's r0-r7 from its number (in its block
//                              register, which then takes its first block)
//   instruction(l, in)         one SuperscalarHash instruction, every item
//   xor_block(l, k)            item k's r0-r7 ^= the eight words of its block
//   block_address(block, index)  block = cache + (index mod items) * 64,
//                              prefetched
//   store(l, k, out)           item k's r0-r7 to out + 64 k
//
// Thread safety: code generation into the emitter's own buffer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "randomx/constants.h"
#include "randomx/superscalar.h"

namespace rx {

// A cache block's number is the low 22 bits of a register, its offset that
// number shifted by 6 (2^22 blocks of 64 bytes).
inline constexpr unsigned kCacheIndexBits = 22;
inline constexpr unsigned kCacheLineShift = 6;
static_assert(kCacheItemCount == std::uint64_t{1} << kCacheIndexBits &&
              std::size_t{1} << kCacheLineShift == kCacheLineSize);

// Where the items of one entry live: up to kMaxItems items' registers, their
// cache block pointers and a temporary.
template <class Reg, std::size_t kMaxItems>
struct ItemRegisters {
    unsigned items;
    Reg r[kMaxItems][8];
    Reg block[kMaxItems];
    Reg tmp;

    ItemRegisters with_items(unsigned n) const {
        ItemRegisters l = *this;
        l.items = n;
        return l;
    }
};

template <class Emitter, class Layout, class Reg>
void emit_superscalar_items(Emitter& e, const Layout& l,
                            const std::array<SuperscalarProgram, kCacheAccesses>& programs, Reg out) {
    for (unsigned k = 0; k < l.items; ++k) e.initial_registers(l, k);
    for (std::size_t p = 0; p < kCacheAccesses; ++p) {
        const SuperscalarProgram& program = programs[p];
        for (std::uint32_t i = 0; i < program.size; ++i) e.instruction(l, program.instructions[i]);
        for (unsigned k = 0; k < l.items; ++k) {
            e.xor_block(l, k);
            if (p + 1 < kCacheAccesses) e.block_address(l.block[k], l.r[k][program.address_register]);
        }
    }
    for (unsigned k = 0; k < l.items; ++k) e.store(l, k, out);
}

}  // namespace rx
