#include "randomx/riscv64/superscalar_compiler.h"

#include "randomx/arch.h"
#include "randomx/dataset.h"
#include "randomx/riscv64/rv64_assembler.h"
#include "randomx/riscv64/rv64_forms.h"
#include "randomx/superscalar_items.h"

namespace rx::rv64 {
namespace {

using A = Assembler;

// Upper bound of the code: per SuperscalarHash instruction at most an
// 8-word constant shared by the items and 3 words per item, for 1 + 2 + 2
// items, plus each entry's set-up, block reads and stores.
static_assert(kDatasetCodeBytes >= 4 * kCacheAccesses * kSuperscalarMaxSize * (3 * 8 + 3 * (1 + 2 + 2)) + 3 * 8 * 1024);

constexpr X kCache = x10;  // a0, as passed

// Where the items of one entry live (superscalar_items.h); the cache memory
// stays in a0, as passed.
using Layout = ItemRegisters<X, kRangeItems>;

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

// The steps of emit_superscalar_items (superscalar_items.h).
struct Items {
    A& a;
    Forms forms;

    // f(r) for every item's registers r.
    template <class F>
    static void each(const Layout& l, F f) {
        for (unsigned k = 0; k < l.items; ++k) f(l.r[k]);
    }

    void instruction(const Layout& l, const SuperscalarInstruction& in) {
        using T = SuperscalarType;
        const unsigned d = in.dst;
        const unsigned s = in.src;
        using Op3 = void (A::*)(X, X, X);
        // d = d op s
        const auto registers = [&](Op3 op) { each(l, [&](const X* r) { (a.*op)(r[d], r[d], r[s]); }); };
        // d = d op constant: one instruction where it fits 12 bits, else the
        // constant once into the temporary
        const auto constant = [&](void (A::*op_imm)(X, X, std::int32_t), Op3 op, std::int64_t value) {
            if (fits_signed(value, 12)) {
                each(l, [&](const X* r) { (a.*op_imm)(r[d], r[d], static_cast<std::int32_t>(value)); });
            } else {
                a.li(l.tmp, static_cast<std::uint64_t>(value));
                each(l, [&](const X* r) { (a.*op)(r[d], r[d], l.tmp); });
            }
        };
        const std::int64_t imm = static_cast<std::int32_t>(in.imm32);
        switch (in.type) {
        case T::ISUB_R: registers(&A::sub); break;
        case T::IXOR_R: registers(&A::xor_); break;
        case T::IMUL_R: registers(&A::mul); break;
        case T::IMULH_R: registers(&A::mulhu); break;
        case T::ISMULH_R: registers(&A::mulh); break;
        case T::IADD_RS: each(l, [&](const X* r) { forms.add_shifted(a, r[d], r[s], in.shift(), l.tmp); }); break;
        case T::IROR_C: each(l, [&](const X* r) { forms.ror_imm(a, r[d], r[d], in.imm32 & 63, l.tmp); }); break;
        case T::IADD_C7: case T::IADD_C8: case T::IADD_C9: constant(&A::addi, &A::add, imm); break;
        case T::IXOR_C7: case T::IXOR_C8: case T::IXOR_C9: constant(&A::xori, &A::xor_, imm); break;
        case T::IMUL_RCP:
            a.li(l.tmp, superscalar_reciprocal(in.imm32));
            each(l, [&](const X* r) { a.mul(r[d], r[d], l.tmp); });
            break;
        }
    }

    // block = cache + (index mod items) * 64, prefetched.
    void block_address(X block, X index) {
        a.slli(block, index, 64 - kCacheIndexBits);
        a.srli(block, block, 64 - kCacheIndexBits - kCacheLineShift);
        a.add(block, block, kCache);
        a.prefetch_r(block);
    }

    // Item k's r0..r7 from its number (in its block register, which then
    // takes the item's first block): r0 = (number + 1) * multiplier,
    // ri = r0 ^ constant i.
    // The constants load while the multiplication runs.
    void initial_registers(const Layout& l, unsigned k) {
        const X* r = l.r[k];
        a.li(l.tmp, kDatasetItemMultiplier);
        a.addi(r[0], l.block[k], 1);
        a.mul(r[0], r[0], l.tmp);
        for (unsigned i = 1; i < 8; ++i) a.li(r[i], kDatasetRegisterXor[i]);
        for (unsigned i = 1; i < 8; ++i) a.xor_(r[i], r[i], r[0]);
        block_address(l.block[k], l.block[k]);
    }

    void xor_block(const Layout& l, unsigned k) {
        for (unsigned i = 0; i < 8; ++i) {
            a.ld(l.tmp, l.block[k], static_cast<std::int32_t>(8 * i));
            a.xor_(l.r[k][i], l.r[k][i], l.tmp);
        }
    }

    void store(const Layout& l, unsigned k, X out) {
        for (unsigned i = 0; i < 8; ++i) a.sd(l.r[k][i], out, static_cast<std::int32_t>(64 * k + 8 * i));
    }
};

// The items whose numbers are in their block registers, through the eight
// programs, written to out + 64 k.
void emit_items(A& a, const Forms& forms, const Layout& l,
                const std::array<SuperscalarProgram, kCacheAccesses>& programs, X out) {
    Items items{a, forms};
    emit_superscalar_items(items, l, programs, out);
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

// The writer (DatasetCode::Writer) of the entries in the header.
std::size_t write_dataset_code(const std::array<SuperscalarProgram, kCacheAccesses>& programs, std::uint8_t* code,
                               std::size_t capacity, const std::uint8_t* /*runs_at*/, DatasetCode::Entries& entries) {
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

namespace rx {

DatasetCodeWriter dataset_code_writer() noexcept { return {&rv64::write_dataset_code, rv64::kDatasetCodeBytes}; }

}  // namespace rx
