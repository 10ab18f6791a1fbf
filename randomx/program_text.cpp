// Rendering of decoded instructions for traces, tests and debugging.
#include <string>

#include "randomx/program.h"

namespace rx {
namespace {

using T = InstructionType;

std::string signed_imm(std::uint32_t imm32) {
    return std::to_string(static_cast<std::int32_t>(imm32));
}

// "+123" / "-123": an immediate added to an address register.
std::string offset(std::uint32_t imm32) {
    const auto value = static_cast<std::int32_t>(imm32);
    std::string text = value < 0 ? "" : "+";
    return text.append(std::to_string(value));
}

std::string reg(char group, unsigned index) { return std::string(1, group) + std::to_string(index); }

std::string level(std::uint32_t mask) {
    return mask == kMaskL1 ? "L1" : mask == kMaskL2 ? "L2" : "L3";
}

// "L1[r4-2140959926]", or "L3[1625376]" for an absolute address.
std::string memory(const Instruction& in, unsigned base) {
    if (base == kZeroRegister) {
        return "L3[" + std::to_string(in.imm32 & kMaskL3) + "]";
    }
    return level(in.mask) + "[" + reg('r', base) + offset(in.imm32) + "]";
}

std::string fe_register(unsigned index) { return index < 4 ? reg('f', index) : reg('e', index - 4); }

}  // namespace

std::string to_string(const Instruction& in) {
    std::string text = std::string(type_name(in.type)) + " ";
    switch (in.type) {
    case T::IADD_RS:
        text += reg('r', in.dst) + ", " + reg('r', in.src) + ", ";
        if (in.dst == 5) {
            text += signed_imm(in.imm32) + ", ";
        }
        return text + "SHFT " + std::to_string((in.mod >> 2) & 3U);
    case T::IADD_M:
    case T::ISUB_M:
    case T::IMUL_M:
    case T::IMULH_M:
    case T::ISMULH_M:
    case T::IXOR_M:
        return text + reg('r', in.dst) + ", " + memory(in, in.src);
    case T::ISUB_R:
    case T::IMUL_R:
    case T::IXOR_R:
        return text + reg('r', in.dst) + ", " + (in.dst != in.src ? reg('r', in.src) : signed_imm(in.imm32));
    case T::IROR_R:
    case T::IROL_R:
        return text + reg('r', in.dst) + ", " +
               (in.dst != in.src ? reg('r', in.src) : std::to_string(in.imm32 & 63U));
    case T::IMULH_R:
    case T::ISMULH_R:
    case T::ISWAP_R:
        return text + reg('r', in.dst) + ", " + reg('r', in.src);
    case T::IMUL_RCP:
        return text + reg('r', in.dst) + ", " + std::to_string(in.imm32);
    case T::INEG_R:
        return text + reg('r', in.dst);
    case T::FSWAP_R:
        return text + fe_register(in.dst);
    case T::FADD_R:
    case T::FSUB_R:
        return text + reg('f', in.dst) + ", " + reg('a', in.src);
    case T::FADD_M:
    case T::FSUB_M:
        return text + reg('f', in.dst) + ", " + memory(in, in.src);
    case T::FSCAL_R:
        return text + reg('f', in.dst);
    case T::FMUL_R:
        return text + reg('e', in.dst) + ", " + reg('a', in.src);
    case T::FDIV_M:
        return text + reg('e', in.dst) + ", " + memory(in, in.src);
    case T::FSQRT_R:
        return text + reg('e', in.dst);
    case T::CBRANCH:
        return text + reg('r', in.dst) + ", " + signed_imm(in.imm32) + ", COND " +
               std::to_string(in.mod >> 4);
    case T::CFROUND:
        return text + reg('r', in.src) + ", " + std::to_string(in.imm32 & 63U);
    case T::ISTORE:
        return text + memory(in, in.dst) + ", " + reg('r', in.src);
    }
    return text;
}

}  // namespace rx
