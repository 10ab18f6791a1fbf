// VM programming: the 128 configuration bytes and the program buffer that
// AesGenerator4R produces for each of the eight programs of a hash, decoded
// once into a form that an interpreter (vm.h) or a machine-code compiler can
// run without looking at the raw bytes again.
//
// Decoding resolves everything that depends only on the program: the operand
// form (register, immediate, or absolute L3 address when a memory operand's
// source register equals its destination), the scratchpad level mask, the
// sign-extended immediates, IMUL_RCP's reciprocal, CBRANCH's constant and jump
// target, and which instructions do nothing (IMUL_RCP by 0 or a power of 2,
// ISWAP_R of a register with itself).
//
// Thread safety: a Program is a plain value; decode into it from one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "randomx/constants.h"

namespace rx {

enum class Variant : std::uint8_t { V1, V2 };

inline constexpr std::uint32_t program_size(Variant variant) {
    return variant == Variant::V1 ? kProgramSizeV1 : kProgramSizeV2;
}

inline constexpr std::size_t kConfigurationSize = 128;
inline constexpr std::size_t kMaxProgramBytes = kConfigurationSize + 8 * std::size_t{kProgramSizeV2};

inline constexpr std::size_t program_bytes(Variant variant) {
    return kConfigurationSize + 8 * std::size_t{program_size(variant)};
}

// The 29 instruction types, in opcode order: each owns a run of consecutive
// opcodes whose length is its frequency out of 256.
enum class InstructionType : std::uint8_t {
    IADD_RS, IADD_M, ISUB_R, ISUB_M, IMUL_R, IMUL_M, IMULH_R, IMULH_M, ISMULH_R, ISMULH_M,
    IMUL_RCP, INEG_R, IXOR_R, IXOR_M, IROR_R, IROL_R, ISWAP_R,
    FSWAP_R, FADD_R, FADD_M, FSUB_R, FSUB_M, FSCAL_R, FMUL_R, FDIV_M, FSQRT_R,
    CBRANCH, CFROUND, ISTORE,
};
inline constexpr unsigned kInstructionTypeCount = 29;

// What the interpreter executes: the instruction type with its operand form
// resolved. `_I` forms take the immediate where the type would read its
// source register (src == dst); NOP stands for instructions with no effect.
enum class Op : std::uint8_t {
    IADD_RS, IADD_M, ISUB_R, ISUB_I, ISUB_M, IMUL_R, IMUL_I, IMUL_M, IMULH_R, IMULH_M,
    ISMULH_R, ISMULH_M, IMUL_RCP, INEG_R, IXOR_R, IXOR_I, IXOR_M, IROR_R, IROR_I, IROL_R,
    IROL_I, ISWAP_R, FSWAP_R, FADD_R, FADD_M, FSUB_R, FSUB_M, FSCAL_R, FMUL_R, FDIV_M,
    FSQRT_R, CBRANCH, CFROUND, ISTORE, NOP,
};

// Index of the always-zero integer register that memory operands use as their
// base when they address L3 with the immediate alone.
inline constexpr std::uint8_t kZeroRegister = 8;

// Scratchpad address masks, 8-byte aligned, per level.
inline constexpr std::uint32_t kMaskL1 = (kScratchpadL1 - 1) & ~7U;
inline constexpr std::uint32_t kMaskL2 = (kScratchpadL2 - 1) & ~7U;
inline constexpr std::uint32_t kMaskL3 = (kScratchpadL3 - 1) & ~7U;
// 64-byte aligned L3 mask for the per-iteration register loads and stores.
inline constexpr std::uint32_t kMaskL3Line = (kScratchpadL3 - 1) & ~63U;
// Dataset address mask applied to ma/mx: an item-aligned offset below the base size.
inline constexpr std::uint32_t kDatasetAddressMask =
    static_cast<std::uint32_t>((kDatasetBaseSize - 1) & ~(kCacheLineSize - 1));

// FSCAL_R negates and multiplies by 2^x for an odd x in [-15, 15], which is
// flipping the sign bit and the low 4 exponent bits.
inline constexpr std::uint64_t kScaleMask = 0x80F0000000000000ULL;
// Group E conversion keeps the fraction and the low 4 exponent bits of the
// converted value and takes everything above from the program's E mask.
inline constexpr std::uint64_t kEKeepMask = 0x00FFFFFFFFFFFFFFULL;

struct Instruction {
    Op op = Op::NOP;
    InstructionType type = InstructionType::IADD_RS;
    // Register indices within their group: integer 0-7 (or kZeroRegister);
    // FSWAP_R's dst is 0-7 over f0-f3 then e0-e3; other float dst/src 0-3.
    std::uint8_t dst = 0;
    std::uint8_t src = 0;
    // IADD_RS: the shift (mod bits 2-3). CBRANCH: the lowest tested bit b.
    std::uint8_t shift = 0;
    std::uint8_t mod = 0;     // the raw mod byte
    std::uint16_t target = 0; // CBRANCH: index of the instruction to jump to
    std::uint32_t mask = 0;   // memory operands: the scratchpad level mask
    std::uint32_t imm32 = 0;  // the raw immediate
    // The operand the op uses: the sign-extended immediate (IADD_RS: added
    // only for r5, else 0), the 6-bit rotation count, IMUL_RCP's reciprocal,
    // or CBRANCH's cimm.
    std::uint64_t imm = 0;
};

// Configuration words, as the VM uses them.
struct ProgramConfig {
    alignas(16) double a[4][2] = {};     // group A registers (low, high)
    std::uint32_t ma = 0;                // initial ma (unmasked)
    std::uint32_t mx = 0;                // initial mx (unmasked)
    std::uint8_t read_reg[4] = {};       // readReg0..3
    std::uint64_t dataset_offset = 0;    // bytes
    std::uint64_t e_mask[2] = {};        // OR masks for group E conversion (low, high)
};

struct Program {
    std::uint64_t entropy[16] = {};      // the configuration words as generated
    ProgramConfig config;
    std::uint32_t size = 0;
    Instruction code[kProgramSizeV2];
};

// Decodes `program_bytes(variant)` bytes (configuration then program buffer).
void decode_program(const std::uint8_t* bytes, Variant variant, Program& program);

// Runs AesGenerator4R from `seed` (updated in place to the generator's final
// state) to produce the program bytes, then decodes them.
void generate_program(bool hard_aes, std::uint8_t seed[64], Variant variant, Program& program);

// A readable rendering of one instruction, e.g. "IADD_M r5, L1[r4-2140959926]",
// "IMUL_M r7, L3[134776]", "CBRANCH r0, 1324884751, COND 7".
std::string to_string(const Instruction& instruction);

const char* type_name(InstructionType type);

}  // namespace rx
