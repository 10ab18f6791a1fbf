// SuperscalarHash: decoding of generated programs and their execution.
#include "randomx/superscalar.h"

namespace rx {
namespace {

__extension__ typedef unsigned __int128 u128;
__extension__ typedef __int128 i128;

inline std::uint64_t rotr(std::uint64_t x, unsigned n) {
    return (x >> n) | (x << ((64 - n) & 63));
}

inline std::uint64_t sign_extend(std::uint32_t imm) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(imm)));
}

inline std::uint64_t mul_high(std::uint64_t a, std::uint64_t b) {
    return static_cast<std::uint64_t>((u128{a} * b) >> 64);
}

inline std::uint64_t signed_mul_high(std::uint64_t a, std::uint64_t b) {
    const i128 product = i128{static_cast<std::int64_t>(a)} * static_cast<std::int64_t>(b);
    return static_cast<std::uint64_t>(static_cast<u128>(product) >> 64);
}

}  // namespace

const char* superscalar_type_name(SuperscalarType type) {
    static constexpr const char* kNames[kSuperscalarTypeCount] = {
        "ISUB_R",  "IXOR_R",  "IADD_RS", "IMUL_R",  "IROR_C",  "IADD_C7",  "IXOR_C7",
        "IADD_C8", "IXOR_C8", "IADD_C9", "IXOR_C9", "IMULH_R", "ISMULH_R", "IMUL_RCP"};
    const auto index = static_cast<std::size_t>(type);
    return index < kSuperscalarTypeCount ? kNames[index] : "?";
}

std::uint64_t superscalar_reciprocal(std::uint32_t divisor) {
    // For 2^(b-1) < divisor < 2^b the largest exponent is 63 + b.
    const unsigned bits = 32u - static_cast<unsigned>(__builtin_clz(divisor));
    return static_cast<std::uint64_t>((u128{1} << (63 + bits)) / divisor);
}

void compile_superscalar(const SuperscalarProgram& program, CompiledSuperscalar& out) {
    using T = SuperscalarType;
    out.size = program.size;
    out.address_register = program.address_register;
    for (std::uint32_t i = 0; i < program.size; ++i) {
        const SuperscalarInstruction& ins = program.instructions[i];
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
        out.ops[i] = op;
    }
}

void execute_superscalar(const CompiledSuperscalar& program, std::uint64_t r[8]) {
    for (std::uint32_t i = 0; i < program.size; ++i) {
        const SuperscalarOp& op = program.ops[i];
        std::uint64_t& d = r[op.dst];
        const std::uint64_t s = r[op.src];
        switch (op.kind) {
            case SuperscalarOp::Sub:
                d -= s;
                break;
            case SuperscalarOp::Xor:
                d ^= s;
                break;
            case SuperscalarOp::AddShift:
                d += s << op.shift;
                break;
            case SuperscalarOp::Mul:
                d *= s;
                break;
            case SuperscalarOp::Ror:
                d = rotr(d, op.shift);
                break;
            case SuperscalarOp::AddConst:
                d += op.operand;
                break;
            case SuperscalarOp::XorConst:
                d ^= op.operand;
                break;
            case SuperscalarOp::MulHigh:
                d = mul_high(d, s);
                break;
            case SuperscalarOp::SignedMulHigh:
                d = signed_mul_high(d, s);
                break;
            case SuperscalarOp::MulConst:
                d *= op.operand;
                break;
        }
    }
}

}  // namespace rx
