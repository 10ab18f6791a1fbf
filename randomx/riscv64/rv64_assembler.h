// A small RV64 assembler: the instruction forms the SuperscalarHash and VM
// compilers emit (RV64IMFD, the Zicsr access to frm, Zifencei, the Zba and Zbb
// forms the compilers use where the processor has them, and Zicbop's
// prefetch, a hint that runs as a no-op elsewhere), encoded into a
// caller-provided buffer of 32-bit words. No compressed forms.
//
// Operands are the integer registers X and the floating-point registers F,
// by number (x0 is the zero register). Branches take a Label: a position in
// the code, known for backward branches and patched by bind() for forward
// ones. Conditional branches reach 4 KiB and jumps 1 MiB; a compiler whose
// code may be farther uses branch_far(), which inverts the condition over a
// jump.
//
// Overflow is recorded, never written (word_code.h): a compiler checks once
// at the end and gives up (the interpreter then runs). Operands out of an
// encoding's range (an immediate, a branch too far) poison the code the same
// way. The buffer is never written past `capacity` bytes.
//
// Thread safety: an Assembler is used by one thread; it keeps no global state.
//
// Everything is defined inline here: compiling a program calls these for each
// of its instructions, and the calls would cost more than the encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "randomx/word_code.h"

namespace rx::rv64 {

enum X : std::uint8_t {
    x0, x1, x2, x3, x4, x5, x6, x7, x8, x9, x10, x11, x12, x13, x14, x15,
    x16, x17, x18, x19, x20, x21, x22, x23, x24, x25, x26, x27, x28, x29, x30, x31,
};
inline constexpr X zero = x0;
inline constexpr X ra = x1;
inline constexpr X sp = x2;

enum F : std::uint8_t {
    f0, f1, f2, f3, f4, f5, f6, f7, f8, f9, f10, f11, f12, f13, f14, f15,
    f16, f17, f18, f19, f20, f21, f22, f23, f24, f25, f26, f27, f28, f29, f30, f31,
};

enum class Cond : std::uint8_t { EQ = 0, NE = 1, LT = 4, GE = 5, LTU = 6, GEU = 7 };

inline constexpr Cond inverse(Cond c) { return static_cast<Cond>(static_cast<std::uint8_t>(c) ^ 1U); }

inline constexpr bool fits_signed(std::int64_t value, unsigned bits) {
    return value >= -(std::int64_t{1} << (bits - 1)) && value < (std::int64_t{1} << (bits - 1));
}

class Assembler : public WordCode<Assembler> {
public:
    static constexpr std::uint32_t kNop = 0x00000013U;  // addi x0, x0, 0

    Assembler(std::uint8_t* buffer, std::size_t capacity) : WordCode(buffer, capacity) {}

    void nop() { emit(kNop); }

    // ---- Integer register-register (RV64I, M, Zba, Zbb) ---------------------
    void add(X d, X a, X b) { r_type(0x00, b, a, 0, d, kOp); }
    void sub(X d, X a, X b) { r_type(0x20, b, a, 0, d, kOp); }
    void neg(X d, X a) { sub(d, x0, a); }
    void sll(X d, X a, X b) { r_type(0x00, b, a, 1, d, kOp); }
    void srl(X d, X a, X b) { r_type(0x00, b, a, 5, d, kOp); }
    void xor_(X d, X a, X b) { r_type(0x00, b, a, 4, d, kOp); }
    void or_(X d, X a, X b) { r_type(0x00, b, a, 6, d, kOp); }
    void and_(X d, X a, X b) { r_type(0x00, b, a, 7, d, kOp); }
    void mul(X d, X a, X b) { r_type(0x01, b, a, 0, d, kOp); }
    void mulh(X d, X a, X b) { r_type(0x01, b, a, 1, d, kOp); }
    void mulhu(X d, X a, X b) { r_type(0x01, b, a, 3, d, kOp); }
    void mv(X d, X a) { addi(d, a, 0); }
    // Zba: d = (a << n) + b, n = 1, 2, 3.
    void sh_add(unsigned n, X d, X a, X b) {
        if (n < 1 || n > 3) return fail();
        r_type(0x10, b, a, 2 * n, d, kOp);
    }
    void add_uw(X d, X a, X b) { r_type(0x04, b, a, 0, d, kOp32); }  // Zba: d = zext32(a) + b
    // Zbb rotations.
    void ror(X d, X a, X b) { r_type(0x30, b, a, 5, d, kOp); }
    void rol(X d, X a, X b) { r_type(0x30, b, a, 1, d, kOp); }
    void rori(X d, X a, unsigned shift) { shift_imm(0x18, shift, a, 5, d); }
    void zext_w(X d, X a) { add_uw(d, a, x0); }

    // ---- Integer immediates ---------------------------------------------------
    void addi(X d, X a, std::int32_t imm) { i_type(imm, a, 0, d, kOpImm); }
    void addiw(X d, X a, std::int32_t imm) { i_type(imm, a, 0, d, kOpImm32); }
    void xori(X d, X a, std::int32_t imm) { i_type(imm, a, 4, d, kOpImm); }
    void ori(X d, X a, std::int32_t imm) { i_type(imm, a, 6, d, kOpImm); }
    void andi(X d, X a, std::int32_t imm) { i_type(imm, a, 7, d, kOpImm); }
    void slli(X d, X a, unsigned shift) { shift_imm(0x00, shift, a, 1, d); }
    void srli(X d, X a, unsigned shift) { shift_imm(0x00, shift, a, 5, d); }
    void srai(X d, X a, unsigned shift) { shift_imm(0x10, shift, a, 5, d); }
    void lui(X d, std::int32_t imm20) {
        if (!fits_signed(imm20, 20)) return fail();
        emit((static_cast<std::uint32_t>(imm20) & 0xFFFFFU) << 12 | std::uint32_t{d} << 7 | kLui);
    }
    // The shortest LUI/ADDI(W)/SLLI sequence this assembler knows for
    // `value` (at most eight instructions).
    void li(X d, std::uint64_t value) { li_signed(d, static_cast<std::int64_t>(value)); }
    // d = a + value, through `tmp` where the value needs more than 12 bits.
    void add_imm(X d, X a, std::int64_t value, X tmp) {
        if (fits_signed(value, 12)) {
            addi(d, a, static_cast<std::int32_t>(value));
        } else {
            li_signed(tmp, value);
            add(d, a, tmp);
        }
    }

    // ---- Memory -----------------------------------------------------------
    void ld(X d, X base, std::int32_t offset) { i_type(offset, base, 3, d, kLoad); }
    void lw(X d, X base, std::int32_t offset) { i_type(offset, base, 2, d, kLoad); }
    void lwu(X d, X base, std::int32_t offset) { i_type(offset, base, 6, d, kLoad); }
    void sd(X s, X base, std::int32_t offset) { s_type(offset, s, base, 3, kStore); }
    void sw(X s, X base, std::int32_t offset) { s_type(offset, s, base, 2, kStore); }
    void fld(F d, X base, std::int32_t offset) { i_type(offset, static_cast<X>(base), 3, static_cast<X>(d), kLoadFp); }
    void fsd(F s, X base, std::int32_t offset) { s_type(offset, static_cast<X>(s), base, 3, kStoreFp); }
    // Zicbop: a hint to fetch the line at base + offset (a multiple of 32).
    void prefetch_r(X base, std::int32_t offset = 0) {
        if ((offset & 31) != 0) return fail();
        i_type(offset | 1, base, 6, x0, kOpImm);
    }

    // ---- Floating point (D; rounding by frm: the dynamic mode) ----------------
    void fadd_d(F d, F a, F b) { r_type(0x01, static_cast<X>(b), static_cast<X>(a), kDyn, static_cast<X>(d), kOpFp); }
    void fsub_d(F d, F a, F b) { r_type(0x05, static_cast<X>(b), static_cast<X>(a), kDyn, static_cast<X>(d), kOpFp); }
    void fmul_d(F d, F a, F b) { r_type(0x09, static_cast<X>(b), static_cast<X>(a), kDyn, static_cast<X>(d), kOpFp); }
    void fdiv_d(F d, F a, F b) { r_type(0x0D, static_cast<X>(b), static_cast<X>(a), kDyn, static_cast<X>(d), kOpFp); }
    void fsqrt_d(F d, F a) { r_type(0x2D, x0, static_cast<X>(a), kDyn, static_cast<X>(d), kOpFp); }
    void fmv_d(F d, F a) { r_type(0x11, static_cast<X>(a), static_cast<X>(a), 0, static_cast<X>(d), kOpFp); }
    // Exact: any 32-bit integer is a double (the rounding field is unused).
    void fcvt_d_w(F d, X a) { r_type(0x69, x0, a, 0, static_cast<X>(d), kOpFp); }
    void fmv_x_d(X d, F a) { r_type(0x71, x0, static_cast<X>(a), 0, d, kOpFp); }
    void fmv_d_x(F d, X a) { r_type(0x79, x0, a, 0, static_cast<X>(d), kOpFp); }
    // frm, the dynamic rounding mode: fsrm writes it, frrm reads it.
    void fsrm(X s) { i_type(kFrm, s, 1, x0, kSystem); }
    void frrm(X d) { i_type(kFrm, x0, 2, d, kSystem); }

    // ---- Control (Label and bind() in word_code.h) --------------------------
    // Within 4 KiB.
    void branch(Cond cond, X a, X b, Label& target) { refer(target, b_word(cond, a, b)); }
    // Anywhere within 1 MiB: a branch of the inverse condition over a jump.
    void branch_far(Cond cond, X a, X b, Label& target) {
        Label skip;
        branch(inverse(cond), a, b, skip);
        j(target);
        bind(skip);
    }
    // To an earlier position: one branch where it is near, else branch_far's pair.
    void branch_back(Cond cond, X a, X b, std::size_t position) {
        const std::int64_t distance = static_cast<std::int64_t>(position) - static_cast<std::int64_t>(size());
        if (fits_signed(distance, 13)) {
            emit(b_word(cond, a, b) | b_offset(distance));
        } else {
            emit(b_word(inverse(cond), a, b) | b_offset(8));
            emit(kJal | j_offset(distance - 4));
        }
    }
    void j(Label& target) { refer(target, kJal); }
    void jalr(X link, X target, std::int32_t offset = 0) { i_type(offset, target, 0, link, kJalr); }
    void ret() { jalr(x0, ra); }
    void fence_i() { emit(0x0000100FU); }

private:
    static constexpr std::uint32_t kLoad = 0x03, kLoadFp = 0x07, kOpImm = 0x13, kOpImm32 = 0x1B, kStore = 0x23,
                                   kStoreFp = 0x27, kOp = 0x33, kLui = 0x37, kOp32 = 0x3B, kOpFp = 0x53,
                                   kBranch = 0x63, kJalr = 0x67, kJal = 0x6F, kSystem = 0x73;
    static constexpr unsigned kDyn = 7;
    static constexpr std::int32_t kFrm = 0x002;

    void r_type(unsigned funct7, X rs2, X rs1, unsigned funct3, X rd, std::uint32_t opcode) {
        emit(funct7 << 25 | std::uint32_t{rs2} << 20 | std::uint32_t{rs1} << 15 | funct3 << 12 | std::uint32_t{rd} << 7 |
             opcode);
    }
    void i_type(std::int32_t imm, X rs1, unsigned funct3, X rd, std::uint32_t opcode) {
        if (!fits_signed(imm, 12)) return fail();
        emit((static_cast<std::uint32_t>(imm) & 0xFFFU) << 20 | std::uint32_t{rs1} << 15 | funct3 << 12 |
             std::uint32_t{rd} << 7 | opcode);
    }
    void s_type(std::int32_t imm, X rs2, X rs1, unsigned funct3, std::uint32_t opcode) {
        if (!fits_signed(imm, 12)) return fail();
        const auto u = static_cast<std::uint32_t>(imm);
        emit((u >> 5 & 0x7FU) << 25 | std::uint32_t{rs2} << 20 | std::uint32_t{rs1} << 15 | funct3 << 12 |
             (u & 0x1FU) << 7 | opcode);
    }
    void shift_imm(unsigned funct6, unsigned shift, X rs1, unsigned funct3, X rd) {
        if (shift > 63) return fail();
        emit(funct6 << 26 | shift << 20 | std::uint32_t{rs1} << 15 | funct3 << 12 | std::uint32_t{rd} << 7 | kOpImm);
    }
    static std::uint32_t b_word(Cond cond, X a, X b) {
        return std::uint32_t{b} << 20 | std::uint32_t{a} << 15 | static_cast<std::uint32_t>(cond) << 12 | kBranch;
    }
    static std::uint32_t b_offset(std::int64_t offset) {
        const auto u = static_cast<std::uint32_t>(offset);
        return (u >> 12 & 1U) << 31 | (u >> 5 & 0x3FU) << 25 | (u >> 1 & 0xFU) << 8 | (u >> 11 & 1U) << 7;
    }
    static std::uint32_t j_offset(std::int64_t offset) {
        const auto u = static_cast<std::uint32_t>(offset);
        return (u >> 20 & 1U) << 31 | (u >> 1 & 0x3FFU) << 21 | (u >> 11 & 1U) << 20 | (u >> 12 & 0xFFU) << 12;
    }
    void li_signed(X d, std::int64_t value);

public:
    // Fills the offset field of a branch (WordCode): JAL's 21 bits or a
    // conditional branch's 13.
    static bool fill_offset(std::uint32_t& word, std::int64_t offset) {
        const bool jump = (word & 0x7F) == kJal;
        if (!fits_signed(offset, jump ? 21 : 13)) return false;
        word |= jump ? j_offset(offset) : b_offset(offset);
        return true;
    }
};

// LUI + ADDIW for 32-bit values; above that, the value without its low 12
// bits (and trailing zeros) built first, shifted, and the low 12 bits added.
inline void Assembler::li_signed(X d, std::int64_t value) {
    if (fits_signed(value, 12)) {
        addi(d, x0, static_cast<std::int32_t>(value));
        return;
    }
    const std::int64_t low = (value & 0xFFF) - ((value & 0x800) << 1);  // the low 12 bits, sign-extended
    if (fits_signed(value, 32)) {
        // value - low is a multiple of 4096; its top may carry into bit 31,
        // which LUI sign-extends and ADDIW's 32-bit result corrects.
        const auto upper = static_cast<std::int32_t>(static_cast<std::uint32_t>((value - low) >> 12) & 0xFFFFFU);
        lui(d, upper >= 0x80000 ? upper - 0x100000 : upper);
        if (low != 0) addiw(d, d, static_cast<std::int32_t>(low));
        return;
    }
    // value - low modulo 2^64, as the machine adds: exact, or for values near
    // the top of the range the wrapped difference, which the final ADDI wraps
    // back (the shift is arithmetic).
    std::int64_t upper =
        static_cast<std::int64_t>(static_cast<std::uint64_t>(value) - static_cast<std::uint64_t>(low)) >> 12;
    unsigned shift = 12;
    while ((upper & 1) == 0) {
        upper >>= 1;
        ++shift;
    }
    li_signed(d, upper);
    slli(d, d, shift);
    if (low != 0) addi(d, d, static_cast<std::int32_t>(low));
}

}  // namespace rx::rv64
