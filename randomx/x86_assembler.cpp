#include "randomx/x86_assembler.h"

namespace rx::x86 {
namespace {

bool fits_i8(std::int64_t v) { return v >= -128 && v <= 127; }

}  // namespace

void Assembler::rex(bool w, unsigned reg, unsigned index, unsigned base, bool force) {
    const unsigned bits = (w ? 8U : 0U) | ((reg >> 3) & 1U) << 2 | ((index >> 3) & 1U) << 1 | ((base >> 3) & 1U);
    if (bits != 0 || force) u8(static_cast<std::uint8_t>(0x40 | bits));
}

void Assembler::vex(unsigned map, unsigned pp, bool w, bool l, unsigned reg, unsigned vvvv, unsigned rm) {
    u8(0xC4);
    u8(static_cast<std::uint8_t>((~reg >> 3 & 1U) << 7 | 1U << 6 | (~rm >> 3 & 1U) << 5 | map));
    u8(static_cast<std::uint8_t>((w ? 1U : 0U) << 7 | (~vvvv & 15U) << 3 | (l ? 1U : 0U) << 2 | pp));
}

void Assembler::vex_mem(unsigned map, unsigned pp, bool w, bool l, unsigned reg, unsigned vvvv, const Mem& m) {
    const unsigned index = m.index == kNoIndex ? 0U : m.index;
    u8(0xC4);
    u8(static_cast<std::uint8_t>((~reg >> 3 & 1U) << 7 | (~index >> 3 & 1U) << 6 | (~static_cast<unsigned>(m.base) >> 3 & 1U) << 5 | map));
    u8(static_cast<std::uint8_t>((w ? 1U : 0U) << 7 | (~vvvv & 15U) << 3 | (l ? 1U : 0U) << 2 | pp));
}

void Assembler::modrm_mem(unsigned reg, const Mem& m) {
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

void Assembler::rm_op(std::uint8_t opcode, bool w, unsigned reg, unsigned rm) {
    rex(w, reg, 0, rm);
    u8(opcode);
    u8(static_cast<std::uint8_t>(0xC0 | (reg & 7U) << 3 | (rm & 7U)));
}

void Assembler::rm_op2(std::uint8_t op0, std::uint8_t op1, bool w, unsigned reg, unsigned rm) {
    rex(w, reg, 0, rm);
    u8(op0);
    u8(op1);
    u8(static_cast<std::uint8_t>(0xC0 | (reg & 7U) << 3 | (rm & 7U)));
}

void Assembler::mem_op(std::uint8_t opcode, bool w, unsigned reg, const Mem& m) {
    rex(w, reg, m.index == kNoIndex ? 0U : m.index, m.base);
    u8(opcode);
    modrm_mem(reg, m);
}

void Assembler::mem_op2(std::uint8_t op0, std::uint8_t op1, bool w, unsigned reg, const Mem& m) {
    rex(w, reg, m.index == kNoIndex ? 0U : m.index, m.base);
    u8(op0);
    u8(op1);
    modrm_mem(reg, m);
}

void Assembler::alu_imm(Alu op, bool w, Reg dst, std::int32_t imm) {
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

void Assembler::mov_imm64(Reg dst, std::uint64_t imm) {
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

void Assembler::test(Reg r, std::int32_t imm) {
    rm_group(0xF7, 0, true, r);
    u32(static_cast<std::uint32_t>(imm));
}

void Assembler::test32(Reg r, std::uint32_t imm) {
    rm_group(0xF7, 0, false, r);
    u32(imm);
}

void Assembler::imul(Reg dst, Reg src, std::int32_t imm) {
    const bool short_form = fits_i8(imm);
    rm_op(short_form ? 0x6B : 0x69, true, dst, src);
    if (short_form) {
        u8(static_cast<std::uint8_t>(imm));
    } else {
        u32(static_cast<std::uint32_t>(imm));
    }
}

void Assembler::mulx(Reg hi, Reg lo, Reg src) {
    // VEX.LZ.F2.0F38.W1 F6 /r: ModRM.reg = hi, VEX.vvvv = lo, ModRM.rm = src.
    u8(0xC4);
    u8(static_cast<std::uint8_t>((((hi >> 3) & 1U) ^ 1U) << 7 | 1U << 6 | (((src >> 3) & 1U) ^ 1U) << 5 | 0x02));
    u8(static_cast<std::uint8_t>(0x80 | ((~static_cast<unsigned>(lo) & 15U) << 3) | 0x03));
    u8(0xF6);
    u8(static_cast<std::uint8_t>(0xC0 | (hi & 7U) << 3 | (src & 7U)));
}

void Assembler::shift(Shift op, Reg r, std::uint8_t count) {
    count &= 63U;
    if (count == 0) return;
    if (count == 1) {
        rm_group(0xD1, static_cast<unsigned>(op), true, r);
    } else {
        rm_group(0xC1, static_cast<unsigned>(op), true, r);
        u8(count);
    }
}

void Assembler::shift32(Shift op, Reg r, std::uint8_t count) {
    count &= 31U;
    if (count == 0) return;
    rm_group(0xC1, static_cast<unsigned>(op), false, r);
    u8(count);
}

void Assembler::push(Reg r) {
    rex(false, 0, 0, r);
    u8(static_cast<std::uint8_t>(0x50 + (r & 7U)));
}

void Assembler::pop(Reg r) {
    rex(false, 0, 0, r);
    u8(static_cast<std::uint8_t>(0x58 + (r & 7U)));
}

void Assembler::xmm_op(std::uint8_t prefix, Opcode op, unsigned reg, unsigned rm) {
    if (prefix != 0) u8(prefix);
    rex(false, reg, 0, rm);
    raw(op.bytes, op.count);
    u8(static_cast<std::uint8_t>(0xC0 | (reg & 7U) << 3 | (rm & 7U)));
}

void Assembler::xmm_mem(std::uint8_t prefix, Opcode op, unsigned reg, const Mem& m) {
    if (prefix != 0) u8(prefix);
    rex(false, reg, m.index == kNoIndex ? 0U : m.index, m.base);
    raw(op.bytes, op.count);
    modrm_mem(reg, m);
}

void Assembler::align(std::size_t alignment) {
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

void Assembler::jump(Opcode op, Label& target) {
    raw(op.bytes, op.count);
    if (target.position >= 0) {
        u32(static_cast<std::uint32_t>(target.position - static_cast<std::int64_t>(size_ + 4)));
        return;
    }
    assert(target.fixup_count < Label::kMaxFixups);
    target.fixups[target.fixup_count++] = static_cast<std::uint32_t>(size_);
    u32(0);
}

void Assembler::bind(Label& label) {
    label.position = static_cast<std::int64_t>(size_);
    for (int i = 0; i < label.fixup_count; ++i) {
        const std::uint32_t at = label.fixups[i];
        const auto rel = static_cast<std::uint32_t>(label.position - static_cast<std::int64_t>(at + 4));
        std::memcpy(code_ + at, &rel, 4);
    }
    label.fixup_count = 0;
}

void Assembler::jcc_to(Cond cond, std::size_t offset) {
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

void Assembler::jmp_to(std::size_t offset) {
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
