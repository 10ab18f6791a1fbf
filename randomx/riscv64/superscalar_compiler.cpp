#include "randomx/riscv64/superscalar_compiler.h"

#include "randomx/dataset.h"
#include "randomx/riscv64/rv64_assembler.h"
#include "randomx/riscv64/rv64_forms.h"

namespace rx::rv64 {
namespace {

using A = Assembler;

// Upper bound of the code: per SuperscalarHash instruction at most an
// 8-word constant shared by the items and 3 words per item, for 1 + 2 + 2
// items, plus each entry's set-up, block reads and stores.
static_assert(kDatasetCodeBytes >= 4 * kCacheAccesses * kSuperscalarMaxSize * (3 * 8 + 3 * (1 + 2 + 2)) + 3 * 8 * 1024);

static_assert(kCacheItemCount == std::size_t{1} << 22, "the block index is 22 bits");
constexpr unsigned kIndexBits = 22;
constexpr unsigned kLineShift = 6;
static_assert(std::size_t{1} << kLineShift == kCacheLineSize);

constexpr X kCache = x10;  // a0, as passed

// Where the items of one entry live: up to two items' registers, their
// cache block pointers and a temporary.
struct Layout {
    unsigned items;
    X r[kRangeItems][8];
    X block[kRangeItems];
    X tmp;
};

// item: a1 item number, a2 out; only a0-a7 and t0-t4.
constexpr Layout kItemLayout = {1, {{x13, x14, x15, x16, x17, x5, x6, x7}}, {x28}, x29};
// pair and range: the caller-saved registers and s0-s7; s8-s11 keep the
// output, the next item and the units left.
constexpr Layout kGroupLayout = {
    kRangeItems,
    {{x11, x12, x13, x14, x15, x16, x17, x5}, {x6, x7, x28, x29, x30, x31, x8, x9}},
    {x18, x19},
    x20,
};
constexpr X kOut = x24;
constexpr X kNextItem = x25;
constexpr X kUnits = x26;

std::int64_t sign_extended(std::uint32_t imm) { return static_cast<std::int32_t>(imm); }

// One instruction for every item of the layout.
void emit_instruction(A& a, const Forms& forms, const Layout& l, const SuperscalarInstruction& in) {
    using T = SuperscalarType;
    const unsigned n = l.items;
    switch (in.type) {
    case T::ISUB_R: for (unsigned k = 0; k < n; ++k) a.sub(l.r[k][in.dst], l.r[k][in.dst], l.r[k][in.src]); break;
    case T::IXOR_R: for (unsigned k = 0; k < n; ++k) a.xor_(l.r[k][in.dst], l.r[k][in.dst], l.r[k][in.src]); break;
    case T::IADD_RS:
        for (unsigned k = 0; k < n; ++k) forms.add_shifted(a, l.r[k][in.dst], l.r[k][in.src], in.shift(), l.tmp);
        break;
    case T::IMUL_R: for (unsigned k = 0; k < n; ++k) a.mul(l.r[k][in.dst], l.r[k][in.dst], l.r[k][in.src]); break;
    case T::IROR_C:
        for (unsigned k = 0; k < n; ++k) forms.ror_imm(a, l.r[k][in.dst], l.r[k][in.dst], in.imm32 & 63, l.tmp);
        break;
    case T::IADD_C7:
    case T::IADD_C8:
    case T::IADD_C9: {
        const std::int64_t value = sign_extended(in.imm32);
        if (fits_signed(value, 12)) {
            for (unsigned k = 0; k < n; ++k) a.addi(l.r[k][in.dst], l.r[k][in.dst], static_cast<std::int32_t>(value));
        } else {
            a.li(l.tmp, static_cast<std::uint64_t>(value));
            for (unsigned k = 0; k < n; ++k) a.add(l.r[k][in.dst], l.r[k][in.dst], l.tmp);
        }
        break;
    }
    case T::IXOR_C7:
    case T::IXOR_C8:
    case T::IXOR_C9: {
        const std::int64_t value = sign_extended(in.imm32);
        if (fits_signed(value, 12)) {
            for (unsigned k = 0; k < n; ++k) a.xori(l.r[k][in.dst], l.r[k][in.dst], static_cast<std::int32_t>(value));
        } else {
            a.li(l.tmp, static_cast<std::uint64_t>(value));
            for (unsigned k = 0; k < n; ++k) a.xor_(l.r[k][in.dst], l.r[k][in.dst], l.tmp);
        }
        break;
    }
    case T::IMULH_R: for (unsigned k = 0; k < n; ++k) a.mulhu(l.r[k][in.dst], l.r[k][in.dst], l.r[k][in.src]); break;
    case T::ISMULH_R: for (unsigned k = 0; k < n; ++k) a.mulh(l.r[k][in.dst], l.r[k][in.dst], l.r[k][in.src]); break;
    case T::IMUL_RCP:
        a.li(l.tmp, superscalar_reciprocal(in.imm32));
        for (unsigned k = 0; k < n; ++k) a.mul(l.r[k][in.dst], l.r[k][in.dst], l.tmp);
        break;
    }
}

// block = cache + (index mod items) * 64, prefetched.
void emit_block_address(A& a, X block, X index) {
    a.slli(block, index, 64 - kIndexBits);
    a.srli(block, block, 64 - kIndexBits - kLineShift);
    a.add(block, block, kCache);
    a.prefetch_r(block);
}

// Item k's r0..r7 from its number (in its block register, which then takes
// the item's first block): r0 = (number + 1) * multiplier, ri = r0 ^ constant i.
void emit_initial_registers(A& a, const Layout& l, unsigned k) {
    const X* r = l.r[k];
    a.addi(r[0], l.block[k], 1);
    a.li(l.tmp, kDatasetItemMultiplier);
    a.mul(r[0], r[0], l.tmp);
    for (unsigned i = 1; i < 8; ++i) {
        a.li(r[i], kDatasetRegisterXor[i]);
        a.xor_(r[i], r[i], r[0]);
    }
    emit_block_address(a, l.block[k], l.block[k]);
}

// The items whose numbers are in their block registers, through the eight
// programs, written to out + 64 k.
void emit_items(A& a, const Forms& forms, const Layout& l,
                const std::array<SuperscalarProgram, kCacheAccesses>& programs, X out) {
    for (unsigned k = 0; k < l.items; ++k) emit_initial_registers(a, l, k);
    for (std::size_t p = 0; p < kCacheAccesses; ++p) {
        const SuperscalarProgram& program = programs[p];
        for (std::uint32_t i = 0; i < program.size; ++i) emit_instruction(a, forms, l, program.instructions[i]);
        for (unsigned k = 0; k < l.items; ++k) {
            for (unsigned i = 0; i < 8; ++i) {
                a.ld(l.tmp, l.block[k], static_cast<std::int32_t>(8 * i));
                a.xor_(l.r[k][i], l.r[k][i], l.tmp);
            }
            if (p + 1 < kCacheAccesses) emit_block_address(a, l.block[k], l.r[k][program.address_register]);
        }
    }
    for (unsigned k = 0; k < l.items; ++k) {
        for (unsigned i = 0; i < 8; ++i) a.sd(l.r[k][i], out, static_cast<std::int32_t>(64 * k + 8 * i));
    }
}

// item(a0 = cache memory, a1 = item number, a2 = out)
void emit_item(A& a, const Forms& forms, const std::array<SuperscalarProgram, kCacheAccesses>& programs) {
    a.mv(kItemLayout.block[0], x11);
    emit_items(a, forms, kItemLayout, programs, x12);
    a.ret();
}

// The interleaved entries save s0-s11 (x8, x9, x18-x27).
constexpr X kSaved[] = {x8, x9, x18, x19, x20, x21, x22, x23, x24, x25, x26, x27};
constexpr std::int32_t kFrameSize = 8 * std::size(kSaved);
static_assert(kFrameSize % 16 == 0);

void emit_group_prologue(A& a) {
    a.addi(sp, sp, -kFrameSize);
    for (std::size_t i = 0; i < std::size(kSaved); ++i) a.sd(kSaved[i], sp, static_cast<std::int32_t>(8 * i));
}

void emit_group_epilogue(A& a) {
    for (std::size_t i = 0; i < std::size(kSaved); ++i) a.ld(kSaved[i], sp, static_cast<std::int32_t>(8 * i));
    a.addi(sp, sp, kFrameSize);
    a.ret();
}

// range(a0 = cache memory, a1 = out, a2 = first item, a3 = units of kRangeItems)
void emit_range(A& a, const Forms& forms, const std::array<SuperscalarProgram, kCacheAccesses>& programs) {
    const Layout& l = kGroupLayout;
    emit_group_prologue(a);
    a.mv(kOut, x11);
    a.mv(kNextItem, x12);
    a.mv(kUnits, x13);
    A::Label unit;
    a.bind(unit);
    for (unsigned k = 0; k < l.items; ++k) a.addi(l.block[k], kNextItem, static_cast<std::int32_t>(k));
    emit_items(a, forms, l, programs, kOut);
    a.addi(kOut, kOut, kRangeItems * kCacheLineSize);
    a.addi(kNextItem, kNextItem, kRangeItems);
    a.addi(kUnits, kUnits, -1);
    a.branch_back(Cond::NE, kUnits, zero, unit.position);
    emit_group_epilogue(a);
}

// pair(a0 = cache memory, a1 = first item, a2 = second item, a3 = out)
void emit_pair(A& a, const Forms& forms, const std::array<SuperscalarProgram, kCacheAccesses>& programs) {
    const Layout& l = kGroupLayout;
    emit_group_prologue(a);
    a.mv(kOut, x13);
    a.mv(l.block[1], x12);  // before a1 and a2, which hold item registers, change
    a.mv(l.block[0], x11);
    emit_items(a, forms, l, programs, kOut);
    emit_group_epilogue(a);
}

}  // namespace

std::size_t Rv64DatasetCode::write(const std::array<SuperscalarProgram, kCacheAccesses>& programs, std::uint8_t* code,
                                   std::size_t capacity, const std::uint8_t* /*runs_at*/, Entries& entries) noexcept {
    const Forms forms = Forms::of_processor();
    A a(code, capacity);
    entries.item = 0;
    emit_item(a, forms, programs);
    a.align(64);
    entries.range = a.size();
    entries.range_unit = kRangeItems;
    emit_range(a, forms, programs);
    a.align(64);
    entries.pair = a.size();
    emit_pair(a, forms, programs);
    return a.overflowed() ? 0 : a.size();
}

}  // namespace rx::rv64
