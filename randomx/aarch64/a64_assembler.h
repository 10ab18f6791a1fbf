// A small AArch64 assembler: the instruction forms the SuperscalarHash and VM
// compilers emit, encoded into a caller-provided buffer of 32-bit words.
//
// Operands are the 64-bit general registers X (x31 is the zero register in
// data-processing forms and the stack pointer in address and ADD/SUB
// immediate forms, as in the architecture), the 32-bit views W of the same
// registers, and the 128-bit vector registers V. Branches take a Label: a
// position in the code, known for backward branches and patched by bind()
// for forward ones.
//
// Overflow is recorded, never written: once an instruction would not fit,
// nothing more is written and overflowed() stays true, so a compiler can
// check once at the end and give up (the interpreter then runs). The buffer
// is never written past `capacity` bytes.
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

namespace rx::a64 {

enum X : std::uint8_t {
    x0, x1, x2, x3, x4, x5, x6, x7, x8, x9, x10, x11, x12, x13, x14, x15,
    x16, x17, x18, x19, x20, x21, x22, x23, x24, x25, x26, x27, x28, x29, x30, x31,
};
inline constexpr X xzr = x31;  // in data-processing forms
inline constexpr X sp = x31;   // in address and ADD/SUB immediate forms

enum V : std::uint8_t {
    v0, v1, v2, v3, v4, v5, v6, v7, v8, v9, v10, v11, v12, v13, v14, v15,
    v16, v17, v18, v19, v20, v21, v22, v23, v24, v25, v26, v27, v28, v29, v30, v31,
};

enum class Cond : std::uint8_t { EQ, NE, HS, LO, MI, PL, VS, VC, HI, LS, GE, LT, GT, LE, AL };

enum class Shift : std::uint8_t { LSL, LSR, ASR, ROR };

// Encodes `value` as a logical-instruction immediate (N:immr:imms in bits
// 22, 21-16, 15-10) for a `width`-bit operation (32 or 64); false where it
// has no such encoding (0, all ones, or not a rotated run of ones repeated).
inline bool encode_bitmask(std::uint64_t value, unsigned width, std::uint32_t* fields) {
    if (width == 32) value = (value & 0xFFFFFFFFULL) | (value << 32);
    if (value == 0 || value == ~std::uint64_t{0}) return false;
    // The smallest element size whose repetition gives the value.
    unsigned size = 64;
    while (size > 2) {
        const unsigned half = size / 2;
        const std::uint64_t mask = (std::uint64_t{1} << half) - 1;
        if ((value & mask) != ((value >> half) & mask)) break;
        size = half;
    }
    const std::uint64_t element_mask = size == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << size) - 1;
    const std::uint64_t element = value & element_mask;
    // Rotate right until the run of ones starts at bit 0 with a zero on top.
    unsigned rotation = 0;
    std::uint64_t e = element;
    auto ror1 = [&](std::uint64_t x) { return ((x >> 1) | (x << (size - 1))) & element_mask; };
    while (rotation < size && !((e & 1) != 0 && (e >> (size - 1)) == 0)) {
        e = ror1(e);
        ++rotation;
    }
    if (rotation == size) return false;
    unsigned ones = 0;
    while ((e >> ones) & 1) ++ones;
    if ((e >> ones) != 0) return false;  // more than one run
    // e rotated right by `rotation` is the run; the instruction rotates the
    // run right by immr, so immr = (size - rotation) mod size.
    const unsigned immr = (size - rotation) % size;
    const unsigned n = size == 64 ? 1 : 0;
    const unsigned imms = ((~(size * 2 - 1)) & 0x3F) | (ones - 1);
    *fields = (n << 22) | (immr << 16) | ((imms & 0x3F) << 10);
    return true;
}

class Assembler : public WordCode<Assembler> {
public:
    static constexpr std::uint32_t kNop = 0xD503201FU;

    Assembler(std::uint8_t* buffer, std::size_t capacity) : WordCode(buffer, capacity) {}

    // ---- Raw words --------------------------------------------------------
    void u64(std::uint64_t value) {
        emit(static_cast<std::uint32_t>(value));
        emit(static_cast<std::uint32_t>(value >> 32));
    }
    void nop() { emit(kNop); }

    // ---- Moves --------------------------------------------------------------
    void mov(X d, X s) { emit(0xAA0003E0U | r(s) << 16 | r(d)); }  // ORR d, xzr, s
    void mov_from_sp(X d) { add_imm(d, sp, 0); }
    void mov_to_sp(X s) { add_imm(sp, s, 0); }
    void movz(X d, std::uint16_t imm, unsigned shift) { emit(0xD2800000U | hw(shift) | std::uint32_t{imm} << 5 | r(d)); }
    void movk(X d, std::uint16_t imm, unsigned shift) { emit(0xF2800000U | hw(shift) | std::uint32_t{imm} << 5 | r(d)); }
    void movn(X d, std::uint16_t imm, unsigned shift) { emit(0x92800000U | hw(shift) | std::uint32_t{imm} << 5 | r(d)); }
    // The shortest MOVZ/MOVN + MOVK sequence (or one ORR immediate).
    void mov_imm(X d, std::uint64_t value);

    // ---- Arithmetic and logic (64-bit; *32 forms on the W view) ------------
    void add(X d, X n, X m, Shift s = Shift::LSL, unsigned amount = 0) { shifted(0x8B000000U, d, n, m, s, amount); }
    void sub(X d, X n, X m, Shift s = Shift::LSL, unsigned amount = 0) { shifted(0xCB000000U, d, n, m, s, amount); }
    void neg(X d, X m) { sub(d, xzr, m); }
    void and_(X d, X n, X m) { shifted(0x8A000000U, d, n, m, Shift::LSL, 0); }
    void orr(X d, X n, X m, Shift s = Shift::LSL, unsigned amount = 0) { shifted(0xAA000000U, d, n, m, s, amount); }
    void eor(X d, X n, X m, Shift s = Shift::LSL, unsigned amount = 0) { shifted(0xCA000000U, d, n, m, s, amount); }
    void tst(X n, X m) { shifted(0xEA000000U, xzr, n, m, Shift::LSL, 0); }
    void mov32(X d, X s) { emit(0x2A0003E0U | r(s) << 16 | r(d)); }  // zero-extends
    void add32(X d, X n, X m) { emit(0x0B000000U | r(m) << 16 | r(n) << 5 | r(d)); }

    // ADD/SUB with a 12-bit immediate, optionally shifted left by 12. `imm`
    // must fit (fits_add_imm); SP is allowed as n and d.
    static bool fits_add_imm(std::uint64_t imm) { return imm < 4096 || ((imm & 0xFFF) == 0 && imm < (4096U << 12)); }
    void add_imm(X d, X n, std::uint64_t imm) { add_sub_imm(0x91000000U, d, n, imm); }
    void sub_imm(X d, X n, std::uint64_t imm) { add_sub_imm(0xD1000000U, d, n, imm); }
    void subs_imm(X d, X n, std::uint64_t imm) { add_sub_imm(0xF1000000U, d, n, imm); }
    // d = n + value (64-bit, any value), through `tmp` when no immediate form fits.
    void add_any(X d, X n, std::uint64_t value, X tmp);

    // Logical operations with a bitmask immediate; the value must be
    // encodable (encode_bitmask), which the callers' constant masks are.
    void and_imm(X d, X n, std::uint64_t value) { logical_imm(0x92000000U, d, n, value, 64); }
    void orr_imm(X d, X n, std::uint64_t value) { logical_imm(0xB2000000U, d, n, value, 64); }
    void eor_imm(X d, X n, std::uint64_t value) { logical_imm(0xD2000000U, d, n, value, 64); }
    void tst_imm(X n, std::uint64_t value) { logical_imm(0xF2000000U, xzr, n, value, 64); }
    void and_imm32(X d, X n, std::uint32_t value) { logical_imm(0x12000000U, d, n, value, 32); }
    void tst_imm32(X n, std::uint32_t value) { logical_imm(0x72000000U, xzr, n, value, 32); }

    void mul(X d, X n, X m) { emit(0x9B007C00U | r(m) << 16 | r(n) << 5 | r(d)); }
    void umulh(X d, X n, X m) { emit(0x9BC07C00U | r(m) << 16 | r(n) << 5 | r(d)); }
    void smulh(X d, X n, X m) { emit(0x9B407C00U | r(m) << 16 | r(n) << 5 | r(d)); }
    void rorv(X d, X n, X m) { emit(0x9AC02C00U | r(m) << 16 | r(n) << 5 | r(d)); }
    void rbit(X d, X n) { emit(0xDAC00000U | r(n) << 5 | r(d)); }
    // d = n rotated right by `amount` (EXTR d, n, n).
    void ror(X d, X n, unsigned amount) { emit(0x93C00000U | r(n) << 16 | (amount & 63) << 10 | r(n) << 5 | r(d)); }
    void lsr(X d, X n, unsigned amount) { ubfm(d, n, amount & 63, 63); }
    void lsl(X d, X n, unsigned amount) { ubfm(d, n, (64 - amount) & 63, 63 - (amount & 63)); }
    // d = bits [lsb, lsb + width) of n, at bit 0 / d = n's low `width` bits at bit lsb.
    void ubfx(X d, X n, unsigned lsb, unsigned width) { ubfm(d, n, lsb, lsb + width - 1); }
    void ubfiz(X d, X n, unsigned lsb, unsigned width) { ubfm(d, n, (64 - lsb) & 63, width - 1); }
    void ubfm(X d, X n, unsigned immr, unsigned imms) {
        emit(0xD3400000U | (immr & 63) << 16 | (imms & 63) << 10 | r(n) << 5 | r(d));
    }

    // ---- Loads and stores ---------------------------------------------------
    // [n + offset]: offset a multiple of the size below 4096 * size.
    void ldr(X t, X n, std::uint32_t offset) { emit(0xF9400000U | scaled(offset, 8) << 10 | r(n) << 5 | r(t)); }
    void str(X t, X n, std::uint32_t offset) { emit(0xF9000000U | scaled(offset, 8) << 10 | r(n) << 5 | r(t)); }
    void ldr32(X t, X n, std::uint32_t offset) { emit(0xB9400000U | scaled(offset, 4) << 10 | r(n) << 5 | r(t)); }
    void str32(X t, X n, std::uint32_t offset) { emit(0xB9000000U | scaled(offset, 4) << 10 | r(n) << 5 | r(t)); }
    // [n + m]
    void ldr(X t, X n, X m) { emit(0xF8606800U | r(m) << 16 | r(n) << 5 | r(t)); }
    void str(X t, X n, X m) { emit(0xF8206800U | r(m) << 16 | r(n) << 5 | r(t)); }
    // Pairs at [n + offset], offset a multiple of 8 in [-512, 504].
    void ldp(X t1, X t2, X n, std::int32_t offset) { pair(0xA9400000U, t1, t2, n, offset, 8); }
    void stp(X t1, X t2, X n, std::int32_t offset) { pair(0xA9000000U, t1, t2, n, offset, 8); }
    // STP pre-indexed ([n + offset]!) and LDP post-indexed ([n], offset).
    void stp_pre(X t1, X t2, X n, std::int32_t offset) { pair(0xA9800000U, t1, t2, n, offset, 8); }
    void ldp_post(X t1, X t2, X n, std::int32_t offset) { pair(0xA8C00000U, t1, t2, n, offset, 8); }
    // Prefetch for a load into L1: [n + m].
    void prfm_l1(X n, X m) { emit(0xF8A06800U | r(m) << 16 | r(n) << 5); }
    void prfm_l1(X n, std::uint32_t offset) { emit(0xF9800000U | scaled(offset, 8) << 10 | r(n) << 5); }

    // Vector registers: D (64-bit) and Q (128-bit) loads and stores.
    void ldr_d(V t, X n, X m) { emit(0xFC606800U | r(m) << 16 | r(n) << 5 | t); }
    void ldr_q(V t, X n, std::uint32_t offset) { emit(0x3DC00000U | scaled(offset, 16) << 10 | r(n) << 5 | t); }
    void str_q(V t, X n, std::uint32_t offset) { emit(0x3D800000U | scaled(offset, 16) << 10 | r(n) << 5 | t); }
    void ldp_q(V t1, V t2, X n, std::int32_t offset) { pair(0xAD400000U, static_cast<X>(t1), static_cast<X>(t2), n, offset, 16); }
    void stp_q(V t1, V t2, X n, std::int32_t offset) { pair(0xAD000000U, static_cast<X>(t1), static_cast<X>(t2), n, offset, 16); }
    void ldp_d(V t1, V t2, X n, std::int32_t offset) { pair(0x6D400000U, static_cast<X>(t1), static_cast<X>(t2), n, offset, 8); }
    void stp_d(V t1, V t2, X n, std::int32_t offset) { pair(0x6D000000U, static_cast<X>(t1), static_cast<X>(t2), n, offset, 8); }

    // ---- Vector (two doubles, or 16 bytes) ----------------------------------
    void fadd2d(V d, V n, V m) { emit(0x4E60D400U | three(d, n, m)); }
    void fsub2d(V d, V n, V m) { emit(0x4EE0D400U | three(d, n, m)); }
    void fmul2d(V d, V n, V m) { emit(0x6E60DC00U | three(d, n, m)); }
    void fdiv2d(V d, V n, V m) { emit(0x6E60FC00U | three(d, n, m)); }
    void fsqrt2d(V d, V n) { emit(0x6EE1F800U | two(d, n)); }
    void scvtf2d(V d, V n) { emit(0x4E61D800U | two(d, n)); }
    // Signed widening of the low / high two 32-bit lanes to 64 bits.
    void sxtl2d(V d, V n) { emit(0x0F20A400U | two(d, n)); }
    void sxtl2_2d(V d, V n) { emit(0x4F20A400U | two(d, n)); }
    void and16b(V d, V n, V m) { emit(0x4E201C00U | three(d, n, m)); }
    void orr16b(V d, V n, V m) { emit(0x4EA01C00U | three(d, n, m)); }
    void eor16b(V d, V n, V m) { emit(0x6E201C00U | three(d, n, m)); }
    // d = the bytes of n from `index` on, then those of m.
    void ext16b(V d, V n, V m, unsigned index) { emit(0x6E000000U | three(d, n, m) | (index & 15) << 11); }
    void dup2d(V d, X n) { emit(0x4E080C00U | r(n) << 5 | d); }
    void movi_zero(V d) { emit(0x6F00E400U | d); }
    void aese(V d, V n) { emit(0x4E284800U | two(d, n)); }
    void aesd(V d, V n) { emit(0x4E285800U | two(d, n)); }
    void aesmc(V d, V n) { emit(0x4E286800U | two(d, n)); }
    void aesimc(V d, V n) { emit(0x4E287800U | two(d, n)); }

    // ---- Floating-point control ---------------------------------------------
    void mrs_fpcr(X t) { emit(0xD53B4400U | r(t)); }
    void msr_fpcr(X t) { emit(0xD51B4400U | r(t)); }

    // ---- Control flow (Label and bind() in word_code.h) ---------------------
    void b(Label& target) { refer(target, 0x14000000U); }
    void b_cond(Cond cond, Label& target) { refer(target, 0x54000000U | static_cast<std::uint32_t>(cond)); }
    // A conditional branch to a known earlier (or current) position.
    void b_cond_to(Cond cond, std::size_t position) {
        std::uint32_t word = 0x54000000U | static_cast<std::uint32_t>(cond);
        if (!fill_offset(word, static_cast<std::int64_t>(position) - static_cast<std::int64_t>(size()))) fail();
        emit(word);
    }
    void cbnz(X t, Label& target) { refer(target, 0xB5000000U | r(t)); }
    void tbnz(X t, unsigned bit, Label& target) {
        refer(target, 0x37000000U | (bit & 32) << 26 | (bit & 31) << 19 | r(t));
    }
    void blr(X n) { emit(0xD63F0000U | r(n) << 5); }
    void ret() { emit(0xD65F03C0U); }

private:
    static std::uint32_t r(X reg) { return reg; }
    static std::uint32_t hw(unsigned shift) { return (shift / 16) << 21; }
    static std::uint32_t two(V d, V n) { return std::uint32_t{n} << 5 | d; }
    static std::uint32_t three(V d, V n, V m) { return std::uint32_t{m} << 16 | std::uint32_t{n} << 5 | d; }

    // Offsets the code generators compute are all in range; one that is not
    // (or misaligned) poisons the code the same way an overflow does.
    std::uint32_t scaled(std::uint32_t offset, std::uint32_t unit) {
        if (offset % unit != 0 || offset / unit >= 4096) fail();
        return (offset / unit) & 0xFFF;
    }
    void shifted(std::uint32_t op, X d, X n, X m, Shift s, unsigned amount) {
        emit(op | static_cast<std::uint32_t>(s) << 22 | r(m) << 16 | (amount & 63) << 10 | r(n) << 5 | r(d));
    }
    void add_sub_imm(std::uint32_t op, X d, X n, std::uint64_t imm) {
        if (!fits_add_imm(imm)) fail();
        const bool high = imm >= 4096;
        const auto field = static_cast<std::uint32_t>(high ? imm >> 12 : imm) & 0xFFF;
        emit(op | (high ? 1U << 22 : 0U) | field << 10 | r(n) << 5 | r(d));
    }
    void logical_imm(std::uint32_t op, X d, X n, std::uint64_t value, unsigned width) {
        std::uint32_t fields = 0;
        if (!encode_bitmask(value, width, &fields)) fail();
        emit(op | fields | r(n) << 5 | r(d));
    }
    void pair(std::uint32_t op, X t1, X t2, X n, std::int32_t offset, std::int32_t unit) {
        if (offset % unit != 0 || offset / unit < -64 || offset / unit > 63) fail();
        const auto imm7 = static_cast<std::uint32_t>(offset / unit) & 0x7F;
        emit(op | imm7 << 15 | r(t2) << 10 | r(n) << 5 | r(t1));
    }

public:
    // Fills the offset field of a branch (WordCode): imm26 (B, BL), imm14
    // (TBZ, TBNZ) or imm19 (B.cond, CBZ, CBNZ), in words.
    static bool fill_offset(std::uint32_t& word, std::int64_t offset) {
        const std::int64_t words = offset / 4;
        const unsigned bits = (word & 0x7C000000U) == 0x14000000U   ? 26
                              : (word & 0x7E000000U) == 0x36000000U ? 14
                                                                    : 19;
        if (words < -(std::int64_t{1} << (bits - 1)) || words >= (std::int64_t{1} << (bits - 1))) return false;
        const std::uint32_t field = static_cast<std::uint32_t>(words) & ((1U << bits) - 1);
        word |= bits == 26 ? field : field << 5;
        return true;
    }
};

inline void Assembler::mov_imm(X d, std::uint64_t value) {
    // Count the 16-bit chunks that differ from 0 and from 0xFFFF.
    unsigned zero_chunks = 0;
    unsigned ones_chunks = 0;
    for (unsigned i = 0; i < 64; i += 16) {
        const auto chunk = static_cast<std::uint16_t>(value >> i);
        zero_chunks += chunk == 0;
        ones_chunks += chunk == 0xFFFF;
    }
    std::uint32_t fields = 0;
    if (zero_chunks < 3 && ones_chunks < 3 && encode_bitmask(value, 64, &fields)) {
        emit(0xB2000000U | fields | 31U << 5 | r(d));  // ORR d, xzr, #value
        return;
    }
    const bool inverted = ones_chunks > zero_chunks;
    const std::uint16_t fill = inverted ? 0xFFFF : 0;
    bool first = true;
    for (unsigned i = 0; i < 64; i += 16) {
        const auto chunk = static_cast<std::uint16_t>(value >> i);
        if (chunk == fill) continue;
        if (first) {
            if (inverted) {
                movn(d, static_cast<std::uint16_t>(~chunk), i);
            } else {
                movz(d, chunk, i);
            }
            first = false;
        } else {
            movk(d, chunk, i);
        }
    }
    if (first) {  // 0 or all ones
        if (inverted) {
            movn(d, 0, 0);
        } else {
            movz(d, 0, 0);
        }
    }
}

inline void Assembler::add_any(X d, X n, std::uint64_t value, X tmp) {
    if (value == 0) {
        if (d != n) mov(d, n);
    } else if (fits_add_imm(value)) {
        add_imm(d, n, value);
    } else if (fits_add_imm(0 - value)) {
        sub_imm(d, n, 0 - value);
    } else {
        mov_imm(tmp, value);
        add(d, n, tmp);
    }
}

}  // namespace rx::a64
