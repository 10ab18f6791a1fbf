// A small x86-64 assembler: the instruction forms the SuperscalarHash and
// VM compilers emit, encoded into a caller-provided byte buffer.
//
// Operands are 64-bit general registers (Reg), SSE registers (Xmm) and
// memory operands [base + index * 2^scale + disp] (Mem; no RIP-relative or
// absolute forms, the compilers always address through a register). Jumps
// take a Label: a position in the buffer, known for backward jumps and
// patched by bind() for forward ones.
//
// Nothing here allocates. Callers size the buffer from a bound on their
// instruction count (see kMaxInstruction), but the assembler never writes
// past it whatever they emit: a write that does not fit (or a label with too
// many pending jumps) marks the code as overflowed and stops all further
// writes. Code that overflowed is incomplete; its compiler gives up and the
// portable path runs instead.
//
// Thread safety: an Assembler is used by one thread; it keeps no global state.
//
// Everything is defined inline here: compiling a program calls these for each
// of its instructions, and the calls would cost more than the encoding.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>

namespace rx::x86 {

enum Reg : std::uint8_t { rax, rcx, rdx, rbx, rsp, rbp, rsi, rdi, r8, r9, r10, r11, r12, r13, r14, r15 };
enum Xmm : std::uint8_t {
    xmm0, xmm1, xmm2, xmm3, xmm4, xmm5, xmm6, xmm7,
    xmm8, xmm9, xmm10, xmm11, xmm12, xmm13, xmm14, xmm15,
};

// AVX2 registers, 256 bits.
enum Ymm : std::uint8_t {
    ymm0, ymm1, ymm2, ymm3, ymm4, ymm5, ymm6, ymm7,
    ymm8, ymm9, ymm10, ymm11, ymm12, ymm13, ymm14, ymm15,
};

inline constexpr std::uint8_t kNoIndex = 0xFF;

struct Mem {
    std::uint8_t base;
    std::uint8_t index = kNoIndex;
    std::uint8_t scale = 0;  // log2 of the index factor: 0-3
    std::int32_t disp = 0;
};

inline Mem ptr(Reg base, std::int32_t disp = 0) { return Mem{base, kNoIndex, 0, disp}; }
inline Mem ptr(Reg base, Reg index, std::int32_t disp = 0, unsigned scale = 0) {
    return Mem{base, index, static_cast<std::uint8_t>(scale), disp};
}

// Condition codes of Jcc.
enum class Cond : std::uint8_t { O, NO, B, AE, E, NE, BE, A, S, NS, P, NP, L, GE, LE, G };

// The longest instruction any emitter below produces, in bytes.
inline constexpr std::size_t kMaxInstruction = 15;

inline bool fits_i8(std::int64_t v) { return v >= -128 && v <= 127; }

class Assembler {
public:
    Assembler(std::uint8_t* buffer, std::size_t capacity) : code_(buffer), capacity_(capacity) {}

    std::size_t size() const { return size_; }
    std::uint8_t* data() const { return code_; }
    // True once something did not fit: the code is incomplete, never run it.
    bool overflowed() const { return overflowed_; }

    // ---- Raw bytes --------------------------------------------------------
    void u8(std::uint8_t b) {
        if (size_ >= capacity_) {
            overflow();
            return;
        }
        code_[size_++] = b;
    }
    void u32(std::uint32_t v) { raw(&v, 4); }
    void u64(std::uint64_t v) { raw(&v, 8); }
    void raw(const void* bytes, std::size_t n) {
        if (n > capacity_ - size_) {
            overflow();
            return;
        }
        std::memcpy(code_ + size_, bytes, n);
        size_ += n;
    }
    // Pads with multi-byte NOPs to a multiple of `alignment` (a power of 2).
    void align(std::size_t alignment);

    // ---- Integer ----------------------------------------------------------
    // Two-operand ALU operations on 64-bit operands (32-bit with the *32 forms).
    enum class Alu : std::uint8_t { Add = 0, Or = 1, And = 4, Sub = 5, Xor = 6, Cmp = 7 };
    void alu(Alu op, Reg dst, Reg src) { rm_op(alu_opcode(op, 0x01), true, src, dst); }
    void alu(Alu op, Reg dst, const Mem& src) { mem_op(alu_opcode(op, 0x03), true, dst, src); }
    void alu(Alu op, Reg dst, std::int32_t imm) { alu_imm(op, true, dst, imm); }
    void alu(Alu op, const Mem& dst, Reg src) { mem_op(alu_opcode(op, 0x01), true, src, dst); }
    void alu32(Alu op, Reg dst, std::int32_t imm) { alu_imm(op, false, dst, imm); }
    void alu32(Alu op, Reg dst, Reg src) { rm_op(alu_opcode(op, 0x01), false, src, dst); }

    static std::uint8_t alu_opcode(Alu op, unsigned base) {
        return static_cast<std::uint8_t>(base + 8 * static_cast<unsigned>(op));
    }
    void add(Reg d, Reg s) { alu(Alu::Add, d, s); }
    void sub(Reg d, Reg s) { alu(Alu::Sub, d, s); }
    void xor_(Reg d, Reg s) { alu(Alu::Xor, d, s); }

    void mov(Reg dst, Reg src) { rm_op(0x89, true, src, dst); }
    void mov32(Reg dst, Reg src) { rm_op(0x89, false, src, dst); }  // zero-extends
    void mov(Reg dst, const Mem& src) { mem_op(0x8B, true, dst, src); }
    void mov(const Mem& dst, Reg src) { mem_op(0x89, true, src, dst); }
    void mov32(Reg dst, const Mem& src) { mem_op(0x8B, false, dst, src); }
    void mov32(const Mem& dst, Reg src) { mem_op(0x89, false, src, dst); }
    void mov_imm64(Reg dst, std::uint64_t imm);  // the shortest exact encoding
    void movnti(const Mem& dst, Reg src) { mem_op2(0x0F, 0xC3, true, src, dst); }
    void lea(Reg dst, const Mem& src) { mem_op(0x8D, true, dst, src); }
    void lea32(Reg dst, const Mem& src) { mem_op(0x8D, false, dst, src); }
    void test(Reg r, std::int32_t imm);        // 64-bit TEST with a sign-extended immediate
    void test32(Reg r, std::uint32_t imm);

    void imul(Reg dst, Reg src) { rm_op2(0x0F, 0xAF, true, dst, src); }
    void imul(Reg dst, const Mem& src) { mem_op2(0x0F, 0xAF, true, dst, src); }
    void imul(Reg dst, Reg src, std::int32_t imm);
    // RDX:RAX = RAX * operand, unsigned (mul) or signed (imul1).
    void mul(Reg src) { rm_group(0xF7, 4, true, src); }
    void mul(const Mem& src) { mem_group(0xF7, 4, true, src); }
    void imul1(Reg src) { rm_group(0xF7, 5, true, src); }
    void imul1(const Mem& src) { mem_group(0xF7, 5, true, src); }
    // BMI2: hi:lo = RDX * src, unsigned, flags untouched.
    void mulx(Reg hi, Reg lo, Reg src);
    void neg(Reg r) { rm_group(0xF7, 3, true, r); }
    void xchg(Reg a, Reg b) { rm_op(0x87, true, a, b); }

    enum class Shift : std::uint8_t { Rol = 0, Ror = 1, Shl = 4, Shr = 5 };
    void shift(Shift op, Reg r, std::uint8_t count);  // count 0-63; 0 emits nothing
    void shift_cl(Shift op, Reg r) { rm_group(0xD3, static_cast<unsigned>(op), true, r); }
    void shift32(Shift op, Reg r, std::uint8_t count);

    void push(Reg r);
    void pop(Reg r);
    void ret() { u8(0xC3); }
    void call(Reg target) { rm_group(0xFF, 2, false, target); }

    // ---- Memory hints and floating-point control --------------------------
    void prefetcht0(const Mem& m) { mem_op2(0x0F, 0x18, false, 1, m); }
    void prefetchnta(const Mem& m) { mem_op2(0x0F, 0x18, false, 0, m); }
    void ldmxcsr(const Mem& m) { mem_op2(0x0F, 0xAE, false, 2, m); }
    void stmxcsr(const Mem& m) { mem_op2(0x0F, 0xAE, false, 3, m); }
    void sfence() {
        u8(0x0F);
        u8(0xAE);
        u8(0xF8);
    }

    // ---- SSE2 / AES-NI ----------------------------------------------------
    // Packed double operations: dst = dst op src.
    enum class Sse : std::uint8_t {
        Sqrtpd = 0x51, Andpd = 0x54, Orpd = 0x56, Xorpd = 0x57,
        Addpd = 0x58, Mulpd = 0x59, Subpd = 0x5C, Divpd = 0x5E, Movapd = 0x28,
    };
    void sse(Sse op, Xmm dst, Xmm src) { xmm_op(0x66, {0x0F, static_cast<std::uint8_t>(op)}, dst, src); }
    void sse(Sse op, Xmm dst, const Mem& src) { xmm_mem(0x66, {0x0F, static_cast<std::uint8_t>(op)}, dst, src); }
    void movapd(const Mem& dst, Xmm src) { xmm_mem(0x66, {0x0F, 0x29}, src, dst); }
    void movupd(Xmm dst, const Mem& src) { xmm_mem(0x66, {0x0F, 0x10}, dst, src); }
    void movupd(const Mem& dst, Xmm src) { xmm_mem(0x66, {0x0F, 0x11}, src, dst); }
    // Two signed 32-bit integers from memory to two doubles.
    void cvtdq2pd(Xmm dst, const Mem& src) { xmm_mem(0xF3, {0x0F, 0xE6}, dst, src); }
    void shufpd(Xmm dst, Xmm src, std::uint8_t imm) {
        xmm_op(0x66, {0x0F, 0xC6}, dst, src);
        u8(imm);
    }
    void aesenc(Xmm dst, Xmm key) { xmm_op(0x66, {0x0F, 0x38, 0xDC}, dst, key); }
    void aesdec(Xmm dst, Xmm key) { xmm_op(0x66, {0x0F, 0x38, 0xDE}, dst, key); }
    void pxor(Xmm dst, Xmm src) { xmm_op(0x66, {0x0F, 0xEF}, dst, src); }

    // ---- AVX2: four 64-bit lanes ------------------------------------------
    // dst = a op b, lane by lane (Pmuludq: the low 32 bits of each lane,
    // multiplied to 64 bits).
    enum class Vop : std::uint8_t { Paddq = 0xD4, Psubq = 0xFB, Pxor = 0xEF, Por = 0xEB, Pand = 0xDB, Pmuludq = 0xF4 };
    void vop(Vop op, Ymm dst, Ymm a, Ymm b) {
        vex(1, 1, false, true, dst, a, b);
        u8(static_cast<std::uint8_t>(op));
        u8(static_cast<std::uint8_t>(0xC0 | (dst & 7U) << 3 | (b & 7U)));
    }
    void vop(Vop op, Ymm dst, Ymm a, const Mem& b) {
        vex_mem(1, 1, false, true, dst, a, b);
        u8(static_cast<std::uint8_t>(op));
        modrm_mem(dst, b);
    }
    void vpsllq(Ymm dst, Ymm src, std::uint8_t count) { vshift(6, dst, src, count); }
    void vpsrlq(Ymm dst, Ymm src, std::uint8_t count) { vshift(2, dst, src, count); }
    // Lanes of a greater than lanes of b (signed): all ones, else zero.
    void vpcmpgtq(Ymm dst, Ymm a, Ymm b) {
        vex(2, 1, false, true, dst, a, b);
        u8(0x37);
        u8(static_cast<std::uint8_t>(0xC0 | (dst & 7U) << 3 | (b & 7U)));
    }
    void vmovdqu(Ymm dst, const Mem& m) {
        vex_mem(1, 2, false, true, dst, 0, m);
        u8(0x6F);
        modrm_mem(dst, m);
    }
    void vmovdqu(const Mem& m, Ymm src) {
        vex_mem(1, 2, false, true, src, 0, m);
        u8(0x7F);
        modrm_mem(src, m);
    }
    void vzeroupper() {
        u8(0xC5);
        u8(0xF8);
        u8(0x77);
    }

    // ---- Control flow -----------------------------------------------------
    // A position in the code. A label used before bind() collects the jumps
    // to patch (up to kMaxFixups of them).
    struct Label {
        static constexpr int kMaxFixups = 4;
        std::int64_t position = -1;
        std::uint32_t fixups[kMaxFixups] = {};
        int fixup_count = 0;
    };
    void bind(Label& label);
    void jmp(Label& target) { jump({0xE9}, target); }
    void jcc(Cond cond, Label& target) { jump({0x0F, static_cast<std::uint8_t>(0x80 + static_cast<unsigned>(cond))}, target); }
    // A jump to a known code offset (backward).
    void jcc_to(Cond cond, std::size_t offset);
    void jmp_to(std::size_t offset);

private:
    struct Opcode {
        std::uint8_t bytes[3];
        std::uint8_t count;
        Opcode(std::initializer_list<std::uint8_t> list) : bytes{}, count(0) {
            for (std::uint8_t b : list) bytes[count++] = b;
        }
    };

    void rex(bool w, unsigned reg, unsigned index, unsigned base, bool force = false);
    // The three-byte VEX prefix: opcode map (1: 0F, 2: 0F38, 3: 0F3A), implied
    // prefix (0 none, 1 66, 2 F3, 3 F2), W, L (256 bits), ModRM.reg, VEX.vvvv
    // and the register in ModRM.rm (or the memory operand's base and index).
    void vex(unsigned map, unsigned pp, bool w, bool l, unsigned reg, unsigned vvvv, unsigned rm);
    void vex_mem(unsigned map, unsigned pp, bool w, bool l, unsigned reg, unsigned vvvv, const Mem& m);
    void vshift(unsigned digit, Ymm dst, Ymm src, std::uint8_t count) {
        vex(1, 1, false, true, digit, dst, src);
        u8(0x73);
        u8(static_cast<std::uint8_t>(0xC0 | digit << 3 | (src & 7U)));
        u8(count);
    }
    void modrm_mem(unsigned reg, const Mem& m);
    void rm_op(std::uint8_t opcode, bool w, unsigned reg, unsigned rm);
    void rm_op2(std::uint8_t op0, std::uint8_t op1, bool w, unsigned reg, unsigned rm);
    void rm_group(std::uint8_t opcode, unsigned digit, bool w, unsigned rm) { rm_op(opcode, w, digit, rm); }
    void mem_op(std::uint8_t opcode, bool w, unsigned reg, const Mem& m);
    void mem_op2(std::uint8_t op0, std::uint8_t op1, bool w, unsigned reg, const Mem& m);
    void mem_group(std::uint8_t opcode, unsigned digit, bool w, const Mem& m) { mem_op(opcode, w, digit, m); }
    void alu_imm(Alu op, bool w, Reg dst, std::int32_t imm);
    void xmm_op(std::uint8_t prefix, Opcode op, unsigned reg, unsigned rm);
    void xmm_mem(std::uint8_t prefix, Opcode op, unsigned reg, const Mem& m);
    void jump(Opcode op, Label& target);

    // Nothing more fits once anything did not.
    void overflow() {
        overflowed_ = true;
        size_ = capacity_;
    }

    std::uint8_t* code_;
    std::size_t capacity_;
    std::size_t size_ = 0;
    bool overflowed_ = false;
};

// ---- Sequences both compilers emit ----------------------------------------

// d = high 64 bits of the 128-bit product d * s (signed or not), through
// rax and rdx (both clobbered); MULX where BMI2 has it, for the unsigned one.
inline void emit_high_multiply(Assembler& a, Reg d, Reg s, bool is_signed, bool bmi2) {
    if (!is_signed && bmi2) {
        a.mov(rdx, d);
        a.mulx(d, rax, s);
        return;
    }
    a.mov(rax, d);
    if (is_signed) {
        a.imul1(s);
    } else {
        a.mul(s);
    }
    a.mov(d, rdx);
}

// The registers the C calling convention asks a function to preserve.
inline constexpr Reg kCalleeSaved[] = {rbx, rbp, r12, r13, r14, r15};

inline void push_callee_saved(Assembler& a) {
    for (Reg r : kCalleeSaved) a.push(r);
}

inline void pop_callee_saved(Assembler& a) {
    for (std::size_t i = std::size(kCalleeSaved); i-- > 0;) a.pop(kCalleeSaved[i]);
}

// ---- Definitions (inline: the compilers call these for every instruction) ----


inline void Assembler::rex(bool w, unsigned reg, unsigned index, unsigned base, bool force) {
    const unsigned bits = (w ? 8U : 0U) | ((reg >> 3) & 1U) << 2 | ((index >> 3) & 1U) << 1 | ((base >> 3) & 1U);
    if (bits != 0 || force) u8(static_cast<std::uint8_t>(0x40 | bits));
}

inline void Assembler::vex(unsigned map, unsigned pp, bool w, bool l, unsigned reg, unsigned vvvv, unsigned rm) {
    u8(0xC4);
    u8(static_cast<std::uint8_t>((~reg >> 3 & 1U) << 7 | 1U << 6 | (~rm >> 3 & 1U) << 5 | map));
    u8(static_cast<std::uint8_t>((w ? 1U : 0U) << 7 | (~vvvv & 15U) << 3 | (l ? 1U : 0U) << 2 | pp));
}

inline void Assembler::vex_mem(unsigned map, unsigned pp, bool w, bool l, unsigned reg, unsigned vvvv, const Mem& m) {
    const unsigned index = m.index == kNoIndex ? 0U : m.index;
    u8(0xC4);
    u8(static_cast<std::uint8_t>((~reg >> 3 & 1U) << 7 | (~index >> 3 & 1U) << 6 | (~static_cast<unsigned>(m.base) >> 3 & 1U) << 5 | map));
    u8(static_cast<std::uint8_t>((w ? 1U : 0U) << 7 | (~vvvv & 15U) << 3 | (l ? 1U : 0U) << 2 | pp));
}

inline void Assembler::modrm_mem(unsigned reg, const Mem& m) {
    const unsigned base = m.base & 7U;
    const bool sib = m.index != kNoIndex || base == rsp;
    // [rbp]/[r13] without displacement would mean RIP-relative or no base.
    const unsigned mod = (m.disp == 0 && base != rbp) ? 0U : fits_i8(m.disp) ? 1U : 2U;
    u8(static_cast<std::uint8_t>(mod << 6 | (reg & 7U) << 3 | (sib ? 4U : base)));
    if (sib) {
        assert(m.index != rsp);
        const unsigned index = m.index == kNoIndex ? 4U : (m.index & 7U);
        u8(static_cast<std::uint8_t>(static_cast<unsigned>(m.scale) << 6 | index << 3 | base));
    }
    if (mod == 1) u8(static_cast<std::uint8_t>(m.disp));
    if (mod == 2) u32(static_cast<std::uint32_t>(m.disp));
}

inline void Assembler::rm_op(std::uint8_t opcode, bool w, unsigned reg, unsigned rm) {
    rex(w, reg, 0, rm);
    u8(opcode);
    u8(static_cast<std::uint8_t>(0xC0 | (reg & 7U) << 3 | (rm & 7U)));
}

inline void Assembler::rm_op2(std::uint8_t op0, std::uint8_t op1, bool w, unsigned reg, unsigned rm) {
    rex(w, reg, 0, rm);
    u8(op0);
    u8(op1);
    u8(static_cast<std::uint8_t>(0xC0 | (reg & 7U) << 3 | (rm & 7U)));
}

inline void Assembler::mem_op(std::uint8_t opcode, bool w, unsigned reg, const Mem& m) {
    rex(w, reg, m.index == kNoIndex ? 0U : m.index, m.base);
    u8(opcode);
    modrm_mem(reg, m);
}

inline void Assembler::mem_op2(std::uint8_t op0, std::uint8_t op1, bool w, unsigned reg, const Mem& m) {
    rex(w, reg, m.index == kNoIndex ? 0U : m.index, m.base);
    u8(op0);
    u8(op1);
    modrm_mem(reg, m);
}

inline void Assembler::alu_imm(Alu op, bool w, Reg dst, std::int32_t imm) {
    rex(w, 0, 0, dst);
    const bool short_form = fits_i8(imm);
    u8(short_form ? 0x83 : 0x81);
    u8(static_cast<std::uint8_t>(0xC0 | static_cast<unsigned>(op) << 3 | (dst & 7U)));
    if (short_form) {
        u8(static_cast<std::uint8_t>(imm));
    } else {
        u32(static_cast<std::uint32_t>(imm));
    }
}

inline void Assembler::mov_imm64(Reg dst, std::uint64_t imm) {
    if (imm <= 0xFFFFFFFFULL) {
        rex(false, 0, 0, dst);
        u8(static_cast<std::uint8_t>(0xB8 + (dst & 7U)));
        u32(static_cast<std::uint32_t>(imm));
    } else if (static_cast<std::int64_t>(imm) == static_cast<std::int32_t>(imm)) {
        rex(true, 0, 0, dst);
        u8(0xC7);
        u8(static_cast<std::uint8_t>(0xC0 | (dst & 7U)));
        u32(static_cast<std::uint32_t>(imm));
    } else {
        rex(true, 0, 0, dst);
        u8(static_cast<std::uint8_t>(0xB8 + (dst & 7U)));
        u64(imm);
    }
}

inline void Assembler::test(Reg r, std::int32_t imm) {
    rm_group(0xF7, 0, true, r);
    u32(static_cast<std::uint32_t>(imm));
}

inline void Assembler::test32(Reg r, std::uint32_t imm) {
    rm_group(0xF7, 0, false, r);
    u32(imm);
}

inline void Assembler::imul(Reg dst, Reg src, std::int32_t imm) {
    const bool short_form = fits_i8(imm);
    rm_op(short_form ? 0x6B : 0x69, true, dst, src);
    if (short_form) {
        u8(static_cast<std::uint8_t>(imm));
    } else {
        u32(static_cast<std::uint32_t>(imm));
    }
}

inline void Assembler::mulx(Reg hi, Reg lo, Reg src) {
    // VEX.LZ.F2.0F38.W1 F6 /r: ModRM.reg = hi, VEX.vvvv = lo, ModRM.rm = src.
    u8(0xC4);
    u8(static_cast<std::uint8_t>((((hi >> 3) & 1U) ^ 1U) << 7 | 1U << 6 | (((src >> 3) & 1U) ^ 1U) << 5 | 0x02));
    u8(static_cast<std::uint8_t>(0x80 | ((~static_cast<unsigned>(lo) & 15U) << 3) | 0x03));
    u8(0xF6);
    u8(static_cast<std::uint8_t>(0xC0 | (hi & 7U) << 3 | (src & 7U)));
}

inline void Assembler::shift(Shift op, Reg r, std::uint8_t count) {
    count &= 63U;
    if (count == 0) return;
    if (count == 1) {
        rm_group(0xD1, static_cast<unsigned>(op), true, r);
    } else {
        rm_group(0xC1, static_cast<unsigned>(op), true, r);
        u8(count);
    }
}

inline void Assembler::shift32(Shift op, Reg r, std::uint8_t count) {
    count &= 31U;
    if (count == 0) return;
    rm_group(0xC1, static_cast<unsigned>(op), false, r);
    u8(count);
}

inline void Assembler::push(Reg r) {
    rex(false, 0, 0, r);
    u8(static_cast<std::uint8_t>(0x50 + (r & 7U)));
}

inline void Assembler::pop(Reg r) {
    rex(false, 0, 0, r);
    u8(static_cast<std::uint8_t>(0x58 + (r & 7U)));
}

inline void Assembler::xmm_op(std::uint8_t prefix, Opcode op, unsigned reg, unsigned rm) {
    if (prefix != 0) u8(prefix);
    rex(false, reg, 0, rm);
    raw(op.bytes, op.count);
    u8(static_cast<std::uint8_t>(0xC0 | (reg & 7U) << 3 | (rm & 7U)));
}

inline void Assembler::xmm_mem(std::uint8_t prefix, Opcode op, unsigned reg, const Mem& m) {
    if (prefix != 0) u8(prefix);
    rex(false, reg, m.index == kNoIndex ? 0U : m.index, m.base);
    raw(op.bytes, op.count);
    modrm_mem(reg, m);
}

inline void Assembler::align(std::size_t alignment) {
    // The recommended multi-byte NOP forms, 1 to 9 bytes.
    static const std::uint8_t kNops[9][9] = {
        {0x90},
        {0x66, 0x90},
        {0x0F, 0x1F, 0x00},
        {0x0F, 0x1F, 0x40, 0x00},
        {0x0F, 0x1F, 0x44, 0x00, 0x00},
        {0x66, 0x0F, 0x1F, 0x44, 0x00, 0x00},
        {0x0F, 0x1F, 0x80, 0x00, 0x00, 0x00, 0x00},
        {0x0F, 0x1F, 0x84, 0x00, 0x00, 0x00, 0x00, 0x00},
        {0x66, 0x0F, 0x1F, 0x84, 0x00, 0x00, 0x00, 0x00, 0x00},
    };
    std::size_t pad = (alignment - size_ % alignment) % alignment;
    while (pad != 0) {
        const std::size_t n = pad < 9 ? pad : 9;
        raw(kNops[n - 1], n);
        pad -= n;
    }
}

inline void Assembler::jump(Opcode op, Label& target) {
    raw(op.bytes, op.count);
    if (target.position >= 0) {
        u32(static_cast<std::uint32_t>(target.position - static_cast<std::int64_t>(size_ + 4)));
        return;
    }
    if (target.fixup_count >= Label::kMaxFixups) {
        overflow();
        return;
    }
    target.fixups[target.fixup_count++] = static_cast<std::uint32_t>(size_);
    u32(0);
}

inline void Assembler::bind(Label& label) {
    label.position = static_cast<std::int64_t>(size_);
    for (int i = 0; i < label.fixup_count; ++i) {
        const std::uint32_t at = label.fixups[i];
        if (std::size_t{at} + 4 > capacity_) continue;  // never written: the code overflowed
        const auto rel = static_cast<std::uint32_t>(label.position - static_cast<std::int64_t>(at + 4));
        std::memcpy(code_ + at, &rel, 4);
    }
    label.fixup_count = 0;
}

inline void Assembler::jcc_to(Cond cond, std::size_t offset) {
    const std::int64_t short_rel = static_cast<std::int64_t>(offset) - static_cast<std::int64_t>(size_ + 2);
    if (fits_i8(short_rel)) {
        u8(static_cast<std::uint8_t>(0x70 + static_cast<unsigned>(cond)));
        u8(static_cast<std::uint8_t>(short_rel));
        return;
    }
    u8(0x0F);
    u8(static_cast<std::uint8_t>(0x80 + static_cast<unsigned>(cond)));
    u32(static_cast<std::uint32_t>(static_cast<std::int64_t>(offset) - static_cast<std::int64_t>(size_ + 4)));
}

inline void Assembler::jmp_to(std::size_t offset) {
    const std::int64_t short_rel = static_cast<std::int64_t>(offset) - static_cast<std::int64_t>(size_ + 2);
    if (fits_i8(short_rel)) {
        u8(0xEB);
        u8(static_cast<std::uint8_t>(short_rel));
        return;
    }
    u8(0xE9);
    u32(static_cast<std::uint32_t>(static_cast<std::int64_t>(offset) - static_cast<std::int64_t>(size_ + 4)));
}

}  // namespace rx::x86
