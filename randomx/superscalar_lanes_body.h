// Internal to the many-item SuperscalarHash executor: its loop body, compiled
// once for the baseline instruction set (superscalar_lanes.cpp) and by an
// architecture's folder for wider ones (superscalar_lanes_function in
// arch.h). Every build computes the same values.
#pragma once

#include <cstddef>
#include <cstdint>

#include "randomx/superscalar_executor.h"

namespace rx::superscalar_lanes {

__extension__ typedef unsigned __int128 u128;
__extension__ typedef __int128 i128;

constexpr std::size_t kLanes = kSuperscalarLanes;

// Source and destination are distinct registers for every operation with a
// register source except the high multiplications, which take the aliasing
// path below.
__attribute__((always_inline)) inline void run(const CompiledSuperscalar& program,
                                               SuperscalarLanes& lanes) {
    for (std::uint32_t k = 0; k < program.size; ++k) {
        const SuperscalarOp& op = program.ops[k];
        std::uint64_t* __restrict d = lanes.r[op.dst];
        const std::uint64_t* __restrict s = lanes.r[op.src];
        const std::uint64_t c = op.operand;
        const unsigned shift = op.shift;
        switch (op.kind) {
            case SuperscalarOp::Sub:
                for (std::size_t i = 0; i < kLanes; ++i) d[i] -= s[i];
                break;
            case SuperscalarOp::Xor:
                for (std::size_t i = 0; i < kLanes; ++i) d[i] ^= s[i];
                break;
            case SuperscalarOp::AddShift:
                for (std::size_t i = 0; i < kLanes; ++i) d[i] += s[i] << shift;
                break;
            case SuperscalarOp::Mul:
                for (std::size_t i = 0; i < kLanes; ++i) d[i] *= s[i];
                break;
            case SuperscalarOp::Ror:
                // The generator draws counts 1..63; masking keeps a count of 0
                // defined (a plain shift by 64 is not).
                for (std::size_t i = 0; i < kLanes; ++i) d[i] = (d[i] >> shift) | (d[i] << ((64 - shift) & 63));
                break;
            case SuperscalarOp::AddConst:
                for (std::size_t i = 0; i < kLanes; ++i) d[i] += c;
                break;
            case SuperscalarOp::XorConst:
                for (std::size_t i = 0; i < kLanes; ++i) d[i] ^= c;
                break;
            case SuperscalarOp::MulConst:
                for (std::size_t i = 0; i < kLanes; ++i) d[i] *= c;
                break;
            case SuperscalarOp::MulHigh: {
                std::uint64_t* dst = lanes.r[op.dst];
                const std::uint64_t* src = lanes.r[op.src];
                for (std::size_t i = 0; i < kLanes; ++i) {
                    dst[i] = static_cast<std::uint64_t>((u128{dst[i]} * src[i]) >> 64);
                }
                break;
            }
            case SuperscalarOp::SignedMulHigh: {
                std::uint64_t* dst = lanes.r[op.dst];
                const std::uint64_t* src = lanes.r[op.src];
                for (std::size_t i = 0; i < kLanes; ++i) {
                    const i128 product = i128{static_cast<std::int64_t>(dst[i])} *
                                         static_cast<std::int64_t>(src[i]);
                    dst[i] = static_cast<std::uint64_t>(static_cast<u128>(product) >> 64);
                }
                break;
            }
        }
    }
}

}  // namespace rx::superscalar_lanes
