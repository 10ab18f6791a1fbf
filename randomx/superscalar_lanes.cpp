// SuperscalarHash on many items at once. Every operation is dispatched once
// and applied to all kSuperscalarLanes items, so the dispatch cost is spread
// thin and the per-item loops vectorise. The same loop body is compiled for
// the baseline instruction set, AVX2 and AVX-512 (for its 64-bit multiply);
// the best one the processor supports is chosen on first use.
#include "randomx/superscalar_executor.h"

namespace rx {
namespace {

__extension__ typedef unsigned __int128 u128;
__extension__ typedef __int128 i128;

constexpr std::size_t kLanes = kSuperscalarLanes;

// Source and destination are distinct registers for every operation with a
// register source except the high multiplications, which take the aliasing
// path below.
__attribute__((always_inline)) inline void run_lanes(const CompiledSuperscalar& program,
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

void run_lanes_baseline(const CompiledSuperscalar& program, SuperscalarLanes& lanes) {
    run_lanes(program, lanes);
}

__attribute__((target("avx2"))) void run_lanes_avx2(const CompiledSuperscalar& program,
                                                    SuperscalarLanes& lanes) {
    run_lanes(program, lanes);
}

__attribute__((target("avx512f,avx512dq,avx512vl"))) void run_lanes_avx512(
    const CompiledSuperscalar& program, SuperscalarLanes& lanes) {
    run_lanes(program, lanes);
}

using LanesFn = void (*)(const CompiledSuperscalar&, SuperscalarLanes&);

LanesFn select_lanes_fn() {
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512vl")) {
        return run_lanes_avx512;
    }
    if (__builtin_cpu_supports("avx2")) {
        return run_lanes_avx2;
    }
    return run_lanes_baseline;
}

}  // namespace

void execute_superscalar_lanes(const CompiledSuperscalar& program, SuperscalarLanes& lanes) {
    static const LanesFn fn = select_lanes_fn();
    fn(program, lanes);
}

}  // namespace rx
