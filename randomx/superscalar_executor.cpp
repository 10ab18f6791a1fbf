#include "randomx/superscalar_executor.h"

#include <utility>

namespace rx {
namespace {

__extension__ typedef unsigned __int128 u128;
__extension__ typedef __int128 i128;

using Kind = SuperscalarOp::Kind;

inline std::uint64_t sign_extend(std::uint32_t imm) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(imm)));
}

template <Kind K>
inline void apply(const SuperscalarOp& op, std::uint64_t* r) {
    std::uint64_t& d = r[op.dst];
    const std::uint64_t s = r[op.src];
    if constexpr (K == SuperscalarOp::Sub) {
        d -= s;
    } else if constexpr (K == SuperscalarOp::Xor) {
        d ^= s;
    } else if constexpr (K == SuperscalarOp::AddShift) {
        d += s << op.shift;
    } else if constexpr (K == SuperscalarOp::Mul) {
        d *= s;
    } else if constexpr (K == SuperscalarOp::Ror) {
        d = (d >> op.shift) | (d << ((64 - op.shift) & 63));
    } else if constexpr (K == SuperscalarOp::AddConst) {
        d += op.operand;
    } else if constexpr (K == SuperscalarOp::XorConst) {
        d ^= op.operand;
    } else if constexpr (K == SuperscalarOp::MulHigh) {
        d = static_cast<std::uint64_t>((u128{d} * s) >> 64);
    } else if constexpr (K == SuperscalarOp::SignedMulHigh) {
        const i128 product = i128{static_cast<std::int64_t>(d)} * static_cast<std::int64_t>(s);
        d = static_cast<std::uint64_t>(static_cast<u128>(product) >> 64);
    } else {
        d *= op.operand;
    }
}

// The chain of handlers: each returns by calling the next one last, which the
// compiler turns into a jump.
template <Kind A, Kind B>
void run_pair(const SuperscalarOp* op, std::uint64_t* r) {
    apply<A>(op[0], r);
    apply<B>(op[1], r);
    return op[2].run(op + 2, r);
}

template <Kind A>
void run_last(const SuperscalarOp* op, std::uint64_t* r) {
    apply<A>(op[0], r);
    return op[1].run(op + 1, r);
}

void run_end(const SuperscalarOp*, std::uint64_t*) {}

constexpr std::size_t kKinds = SuperscalarOp::kKindCount;

template <std::size_t... I>
constexpr std::array<SuperscalarHandler, sizeof...(I)> pair_handlers(std::index_sequence<I...>) {
    return {&run_pair<static_cast<Kind>(I / kKinds), static_cast<Kind>(I % kKinds)>...};
}

template <std::size_t... I>
constexpr std::array<SuperscalarHandler, sizeof...(I)> last_handlers(std::index_sequence<I...>) {
    return {&run_last<static_cast<Kind>(I)>...};
}

constexpr auto kPairHandlers = pair_handlers(std::make_index_sequence<kKinds * kKinds>());
constexpr auto kLastHandlers = last_handlers(std::make_index_sequence<kKinds>());

SuperscalarOp decode(const SuperscalarInstruction& ins) {
    using T = SuperscalarType;
    SuperscalarOp op;
    op.dst = ins.dst;
    op.src = ins.src;
    switch (ins.type) {
        case T::ISUB_R:
            op.kind = SuperscalarOp::Sub;
            break;
        case T::IXOR_R:
            op.kind = SuperscalarOp::Xor;
            break;
        case T::IADD_RS:
            op.kind = SuperscalarOp::AddShift;
            op.shift = static_cast<std::uint8_t>(ins.shift());
            break;
        case T::IMUL_R:
            op.kind = SuperscalarOp::Mul;
            break;
        case T::IROR_C:
            op.kind = SuperscalarOp::Ror;
            op.shift = static_cast<std::uint8_t>(ins.imm32 & 63);
            break;
        case T::IADD_C7:
        case T::IADD_C8:
        case T::IADD_C9:
            op.kind = SuperscalarOp::AddConst;
            op.operand = sign_extend(ins.imm32);
            break;
        case T::IXOR_C7:
        case T::IXOR_C8:
        case T::IXOR_C9:
            op.kind = SuperscalarOp::XorConst;
            op.operand = sign_extend(ins.imm32);
            break;
        case T::IMULH_R:
            op.kind = SuperscalarOp::MulHigh;
            break;
        case T::ISMULH_R:
            op.kind = SuperscalarOp::SignedMulHigh;
            break;
        case T::IMUL_RCP:
            op.kind = SuperscalarOp::MulConst;
            op.operand = superscalar_reciprocal(ins.imm32);
            break;
    }
    return op;
}

}  // namespace

void compile_superscalar(const SuperscalarProgram& program, CompiledSuperscalar& out) {
    const std::uint32_t size = program.size;
    out.size = size;
    out.address_register = program.address_register;
    for (std::uint32_t i = 0; i < size; ++i) {
        out.ops[i] = decode(program.instructions[i]);
    }
    for (std::uint32_t i = 0; i < size; i += 2) {
        out.ops[i].run = i + 1 < size
                             ? kPairHandlers[out.ops[i].kind * kKinds + out.ops[i + 1].kind]
                             : kLastHandlers[out.ops[i].kind];
    }
    out.ops[size] = SuperscalarOp{};
    out.ops[size].run = run_end;
}

void execute_superscalar(const CompiledSuperscalar& program, std::uint64_t r[8]) {
    program.ops[0].run(program.ops.data(), r);
}

}  // namespace rx
