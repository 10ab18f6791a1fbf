#include "randomx/program.h"

#include "randomx/wipe.h"

#include <array>
#include <cstring>

#include "randomx/aes_generator.h"
#include "randomx/superscalar.h"

namespace rx {
namespace {

using T = InstructionType;

// Opcodes per instruction type, in table order; the counts add up to 256.
constexpr std::array<unsigned, kInstructionTypeCount> kFrequencies = {
    16, 7, 16, 7, 16, 4, 4, 1, 4, 1, 8, 2, 15, 5, 8, 2, 4,  // integer
    4, 16, 5, 16, 5, 6, 32, 4, 6,                            // floating point
    25, 1,                                                   // control
    16,                                                      // store
};

constexpr std::array<InstructionType, 256> make_opcode_table() {
    std::array<InstructionType, 256> table{};
    unsigned opcode = 0;
    for (unsigned type = 0; type < kInstructionTypeCount; ++type) {
        for (unsigned n = 0; n < kFrequencies[type]; ++n) {
            table[opcode++] = static_cast<InstructionType>(type);
        }
    }
    return table;
}

constexpr auto kOpcodeTable = make_opcode_table();
static_assert(kOpcodeTable[15] == T::IADD_RS && kOpcodeTable[16] == T::IADD_M);
static_assert(kOpcodeTable[239] == T::CFROUND && kOpcodeTable[240] == T::ISTORE);
static_assert(kOpcodeTable[255] == T::ISTORE);

constexpr const char* kTypeNames[kInstructionTypeCount] = {
    "IADD_RS", "IADD_M", "ISUB_R", "ISUB_M", "IMUL_R", "IMUL_M", "IMULH_R", "IMULH_M",
    "ISMULH_R", "ISMULH_M", "IMUL_RCP", "INEG_R", "IXOR_R", "IXOR_M", "IROR_R", "IROL_R",
    "ISWAP_R", "FSWAP_R", "FADD_R", "FADD_M", "FSUB_R", "FSUB_M", "FSCAL_R", "FMUL_R",
    "FDIV_M", "FSQRT_R", "CBRANCH", "CFROUND", "ISTORE",
};

constexpr std::uint64_t kFractionMask = (std::uint64_t{1} << 52) - 1;
constexpr std::uint64_t kExponentBias = 1023;
constexpr std::uint64_t kEMaskFractionBits = (std::uint64_t{1} << 22) - 1;
// Exponent of an E register: the top bits fixed to 011, then 4 bits from the
// configuration (the low 4 bits come from the converted value).
constexpr std::uint64_t kEMaskExponentBase = 0x300;
constexpr unsigned kJumpOffsetBits = kJumpOffset;

std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

std::uint64_t sign_extend(std::uint32_t imm32) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(imm32)));
}

// A group A value: +1.fraction * 2^exponent with the fraction from bits 0-51
// and the exponent (0-31) from bits 59-63.
double a_register_half(std::uint64_t word) {
    const std::uint64_t exponent = kExponentBias + (word >> 59);
    const std::uint64_t bits = (exponent << 52) | (word & kFractionMask);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::uint64_t e_mask(std::uint64_t word) {
    const std::uint64_t exponent = kEMaskExponentBase | ((word >> 60) << 4);
    return (exponent << 52) | (word & kEMaskFractionBits);
}

void decode_config(const std::uint64_t (&q)[16], ProgramConfig& config) {
    for (unsigned i = 0; i < 4; ++i) {
        config.a[i][0] = a_register_half(q[2 * i]);
        config.a[i][1] = a_register_half(q[2 * i + 1]);
    }
    // Only bits 6-30 of ma and mx are ever used (dataset reads mask the rest,
    // scratchpad addresses use fewer); ma starts item-aligned.
    config.ma = static_cast<std::uint32_t>(q[8]) & kDatasetAddressMask;
    config.mx = static_cast<std::uint32_t>(q[10]);
    for (unsigned i = 0; i < 4; ++i) {
        config.read_reg[i] = static_cast<std::uint8_t>(2 * i + ((q[12] >> i) & 1));
    }
    constexpr std::uint64_t kOffsetItems = kDatasetExtraSize / kCacheLineSize + 1;
    config.dataset_offset = (q[13] % kOffsetItems) * kCacheLineSize;
    config.e_mask[0] = e_mask(q[14]);
    config.e_mask[1] = e_mask(q[15]);
}

// How each instruction type decodes, as a table, so that decoding a random
// program costs few unpredictable branches (it runs eight times a hash):
// the op of the usual form and of the src == dst form, masks for the
// register fields, and which immediate, scratchpad mask and shift it takes.
// Only IMUL_RCP, ISWAP_R and CBRANCH, whose decoding depends on more than
// that, branch on their own.
enum ImmForm : std::uint8_t { kNoImm, kSignExtended, kRotation, kSignExtendedForR5 };
enum MaskForm : std::uint8_t { kNoMask, kLevel, kLevelOrL3IfSame, kStoreLevel };

struct TypeForm {
    Op op;               // src != dst
    Op same_op;          // src == dst
    std::uint8_t dst_mask;
    std::uint8_t src_mask;
    bool zero_if_same;   // src == dst reads L3 at the immediate (src = kZeroRegister)
    ImmForm imm;
    MaskForm mask;
    bool shift;          // IADD_RS: the shift from mod bits 2-3
    bool writes_dst;     // changes integer register dst (for CBRANCH targets)
    bool special;
};

constexpr TypeForm form(Op op, ImmForm imm = kNoImm, bool writes = true) {
    return TypeForm{op, op, 7, 7, false, imm, kNoMask, false, writes, false};
}
constexpr TypeForm reg_or_imm(Op reg_op, Op imm_op, ImmForm imm) {
    return TypeForm{reg_op, imm_op, 7, 7, false, imm, kNoMask, false, true, false};
}
constexpr TypeForm memory_source(Op op) {
    return TypeForm{op, op, 7, 7, true, kSignExtended, kLevelOrL3IfSame, false, true, false};
}
constexpr TypeForm float_form(Op op, std::uint8_t dst_mask, std::uint8_t src_mask, ImmForm imm = kNoImm,
                              MaskForm mask = kNoMask) {
    return TypeForm{op, op, dst_mask, src_mask, false, imm, mask, false, false, false};
}
constexpr TypeForm special(Op op) { return TypeForm{op, op, 7, 7, false, kNoImm, kNoMask, false, false, true}; }

constexpr std::array<TypeForm, kInstructionTypeCount> kForms = {
    TypeForm{Op::IADD_RS, Op::IADD_RS, 7, 7, false, kSignExtendedForR5, kNoMask, true, true, false},
    memory_source(Op::IADD_M),
    reg_or_imm(Op::ISUB_R, Op::ISUB_I, kSignExtended),
    memory_source(Op::ISUB_M),
    reg_or_imm(Op::IMUL_R, Op::IMUL_I, kSignExtended),
    memory_source(Op::IMUL_M),
    form(Op::IMULH_R),
    memory_source(Op::IMULH_M),
    form(Op::ISMULH_R),
    memory_source(Op::ISMULH_M),
    special(Op::IMUL_RCP),
    form(Op::INEG_R),
    reg_or_imm(Op::IXOR_R, Op::IXOR_I, kSignExtended),
    memory_source(Op::IXOR_M),
    reg_or_imm(Op::IROR_R, Op::IROR_I, kRotation),
    reg_or_imm(Op::IROL_R, Op::IROL_I, kRotation),
    special(Op::ISWAP_R),
    float_form(Op::FSWAP_R, 7, 7),  // dst 0-3: f0-f3, 4-7: e0-e3
    float_form(Op::FADD_R, 3, 3),
    float_form(Op::FADD_M, 3, 7, kSignExtended, kLevel),
    float_form(Op::FSUB_R, 3, 3),
    float_form(Op::FSUB_M, 3, 7, kSignExtended, kLevel),
    float_form(Op::FSCAL_R, 3, 7),
    float_form(Op::FMUL_R, 3, 3),
    float_form(Op::FDIV_M, 3, 7, kSignExtended, kLevel),
    float_form(Op::FSQRT_R, 3, 7),
    special(Op::CBRANCH),
    form(Op::CFROUND, kRotation, false),
    TypeForm{Op::ISTORE, Op::ISTORE, 7, 7, false, kSignExtended, kStoreLevel, false, false, false},
};
static_assert(kForms[static_cast<unsigned>(T::ISTORE)].op == Op::ISTORE);
static_assert(kForms[static_cast<unsigned>(T::FSQRT_R)].op == Op::FSQRT_R);

// Decodes one instruction word. `last_modified` holds, per integer register,
// the index of the instruction that last changed it (-1: none since the
// program start), the basis of CBRANCH's jump target.
Instruction decode(const std::uint8_t* word, int index, std::array<int, 8>& last_modified) {
    Instruction in;
    in.type = kOpcodeTable[word[0]];
    in.mod = word[3];
    std::memcpy(&in.imm32, word + 4, sizeof in.imm32);
    const TypeForm& f = kForms[static_cast<unsigned>(in.type)];
    const std::uint8_t dst = word[1] % 8;
    const std::uint8_t src = word[2] % 8;
    const bool same = src == dst;
    const unsigned cond = in.mod >> 4;
    const std::uint32_t level_mask = (in.mod & 3U) != 0 ? kMaskL1 : kMaskL2;
    const std::uint64_t imm = sign_extend(in.imm32);

    // Every field from the table, selected without branching.
    in.op = same ? f.same_op : f.op;
    in.dst = dst & f.dst_mask;
    in.src = f.zero_if_same && same ? kZeroRegister : static_cast<std::uint8_t>(src & f.src_mask);
    const std::uint64_t imms[4] = {0, imm, in.imm32 & 63U, dst == 5 ? imm : 0};
    in.imm = imms[f.imm];
    const std::uint32_t masks[4] = {0, level_mask, same ? kMaskL3 : level_mask, cond >= 14 ? kMaskL3 : level_mask};
    in.mask = masks[f.mask];
    in.shift = f.shift ? static_cast<std::uint8_t>((in.mod >> 2) & 3U) : 0;
    last_modified[dst] = f.writes_dst ? index : last_modified[dst];
    if (!f.special) return in;

    switch (in.type) {
    case T::IMUL_RCP:
        // By 0 or a power of 2 the instruction does nothing.
        in.op = Op::NOP;
        if (in.imm32 != 0 && (in.imm32 & (in.imm32 - 1)) != 0) {
            in.op = Op::IMUL_RCP;
            in.imm = superscalar_reciprocal(in.imm32);
            last_modified[dst] = index;
        }
        break;
    case T::ISWAP_R:
        in.op = Op::NOP;
        if (!same) {
            in.op = Op::ISWAP_R;
            last_modified[dst] = index;
            last_modified[src] = index;
        }
        break;
    case T::CBRANCH: {
        const unsigned b = cond + kJumpOffsetBits;
        in.shift = static_cast<std::uint8_t>(b);
        in.imm = (imm | (std::uint64_t{1} << b)) & ~(std::uint64_t{1} << (b - 1));
        in.target = static_cast<std::uint16_t>(last_modified[dst] + 1);
        // The branch counts as modifying every register: a later branch never
        // jumps back past this one.
        last_modified.fill(index);
        break;
    }
    default:
        break;
    }
    return in;
}

}  // namespace

void decode_program(const std::uint8_t* bytes, Variant variant, Program& program) {
    for (unsigned i = 0; i < 16; ++i) {
        program.entropy[i] = load64(bytes + 8 * i);
    }
    decode_config(program.entropy, program.config);
    program.size = program_size(variant);
    std::array<int, 8> last_modified;
    last_modified.fill(-1);
    const std::uint8_t* words = bytes + kConfigurationSize;
    for (std::uint32_t i = 0; i < program.size; ++i) {
        program.code[i] = decode(words + 8 * i, static_cast<int>(i), last_modified);
    }
}

void generate_program(bool hard_aes, std::uint8_t seed[64], Variant variant, Program& program) {
    alignas(64) std::uint8_t bytes[kMaxProgramBytes];
    aes_generator_4r(hard_aes, seed, bytes, program_bytes(variant));
    decode_program(bytes, variant, program);
    wipe(bytes, sizeof bytes);
}

const char* type_name(InstructionType type) { return kTypeNames[static_cast<unsigned>(type)]; }

}  // namespace rx
