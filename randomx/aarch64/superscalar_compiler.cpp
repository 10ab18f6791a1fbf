#include "randomx/aarch64/superscalar_compiler.h"

#include "randomx/aarch64/a64_assembler.h"
#include "randomx/arch.h"
#include "randomx/dataset.h"
#include "randomx/superscalar_items.h"

namespace rx::a64 {
namespace {

using A = Assembler;

// Upper bound of the code: per SuperscalarHash instruction at most a 4-word
// constant shared by the items and 2 words per item, for 1 + 2 + 3 items,
// plus each entry's set-up, block reads and stores.
static_assert(kDatasetCodeBytes >= 4 * kCacheAccesses * kSuperscalarMaxSize * (3 * 4 + 2 * (1 + 2 + 3)) + 3 * 4 * 1024);

// Where the items of one entry live (superscalar_items.h); the cache memory
// stays in x0, as passed.
using Layout = ItemRegisters<X, kRangeItems>;

// item: x1 item number, x2 out; only x0-x12 are used.
constexpr Layout kItemLayout = {1, {{x3, x4, x5, x6, x7, x8, x9, x10}}, {x11}, x12};
// pair and range: every register but x0 (cache), x18 (the platform's) and
// x29 (the output pointer).
constexpr Layout kGroupLayout = {
    kRangeItems,
    {{x1, x2, x3, x4, x5, x6, x7, x8},
     {x9, x10, x11, x12, x13, x14, x15, x16},
     {x19, x20, x21, x22, x23, x24, x25, x26}},
    {x17, x27, x28},
    x30,
};
constexpr X kOut = x29;

std::uint64_t sign_extended(std::uint32_t imm) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(imm)));
}

// The steps of emit_superscalar_items (superscalar_items.h).
struct Items {
        A& a;

    // One instruction for every item of the layout.
    void instruction(const Layout& l, const SuperscalarInstruction& in) {
        using T = SuperscalarType;
        const unsigned n = l.items;
        switch (in.type) {
        case T::ISUB_R: for (unsigned k = 0; k < n; ++k) a.sub(l.r[k][in.dst], l.r[k][in.dst], l.r[k][in.src]); break;
        case T::IXOR_R: for (unsigned k = 0; k < n; ++k) a.eor(l.r[k][in.dst], l.r[k][in.dst], l.r[k][in.src]); break;
        case T::IADD_RS:
            for (unsigned k = 0; k < n; ++k) a.add(l.r[k][in.dst], l.r[k][in.dst], l.r[k][in.src], Shift::LSL, in.shift());
            break;
        case T::IMUL_R: for (unsigned k = 0; k < n; ++k) a.mul(l.r[k][in.dst], l.r[k][in.dst], l.r[k][in.src]); break;
        case T::IROR_C:
            if ((in.imm32 & 63) == 0) break;
            for (unsigned k = 0; k < n; ++k) a.ror(l.r[k][in.dst], l.r[k][in.dst], in.imm32 & 63);
            break;
        case T::IADD_C7:
        case T::IADD_C8:
        case T::IADD_C9: {
            const std::uint64_t value = sign_extended(in.imm32);
            if (A::fits_add_imm(value) || A::fits_add_imm(0 - value)) {
                for (unsigned k = 0; k < n; ++k) a.add_any(l.r[k][in.dst], l.r[k][in.dst], value, l.tmp);
            } else {
                a.mov_imm(l.tmp, value);
                for (unsigned k = 0; k < n; ++k) a.add(l.r[k][in.dst], l.r[k][in.dst], l.tmp);
            }
            break;
        }
        case T::IXOR_C7:
        case T::IXOR_C8:
        case T::IXOR_C9: {
            const std::uint64_t value = sign_extended(in.imm32);
            std::uint32_t fields = 0;
            if (encode_bitmask(value, 64, &fields)) {
                for (unsigned k = 0; k < n; ++k) a.eor_imm(l.r[k][in.dst], l.r[k][in.dst], value);
            } else {
                a.mov_imm(l.tmp, value);
                for (unsigned k = 0; k < n; ++k) a.eor(l.r[k][in.dst], l.r[k][in.dst], l.tmp);
            }
            break;
        }
        case T::IMULH_R: for (unsigned k = 0; k < n; ++k) a.umulh(l.r[k][in.dst], l.r[k][in.dst], l.r[k][in.src]); break;
        case T::ISMULH_R: for (unsigned k = 0; k < n; ++k) a.smulh(l.r[k][in.dst], l.r[k][in.dst], l.r[k][in.src]); break;
        case T::IMUL_RCP:
            a.mov_imm(l.tmp, superscalar_reciprocal(in.imm32));
            for (unsigned k = 0; k < n; ++k) a.mul(l.r[k][in.dst], l.r[k][in.dst], l.tmp);
            break;
        }
    }

    // block = cache + (index mod items) * 64, prefetched.
    void block_address(X block, X index) {
        a.ubfiz(block, index, kCacheLineShift, kCacheIndexBits);
        a.add(block, block, x0);
        a.prfm_l1(block, 0);
    }

    // Item k's r0..r7 from its number (in its block register, which then takes
    // the item's first block): r0 = (number + 1) * multiplier, ri = r0 ^ constant i.
    void initial_registers(const Layout& l, unsigned k) {
        const X* r = l.r[k];
        a.add_imm(r[0], l.block[k], 1);
        a.mov_imm(l.tmp, kDatasetItemMultiplier);
        a.mul(r[0], r[0], l.tmp);
        for (unsigned i = 1; i < 8; ++i) {
            std::uint32_t fields = 0;
            if (encode_bitmask(kDatasetRegisterXor[i], 64, &fields)) {
                a.eor_imm(r[i], r[0], kDatasetRegisterXor[i]);
            } else {
                a.mov_imm(r[i], kDatasetRegisterXor[i]);
                a.eor(r[i], r[i], r[0]);
            }
        }
        block_address(l.block[k], l.block[k]);
    }

    void xor_block(const Layout& l, unsigned k) {
        for (unsigned i = 0; i < 8; ++i) {
            a.ldr(l.tmp, l.block[k], 8 * i);
            a.eor(l.r[k][i], l.r[k][i], l.tmp);
        }
    }

    void store(const Layout& l, unsigned k, X out) {
        for (unsigned i = 0; i < 8; i += 2) a.stp(l.r[k][i], l.r[k][i + 1], out, static_cast<std::int32_t>(64 * k + 8 * i));
    }
};

// The items whose numbers are in their block registers, through the eight
// programs, written to out + 64 k.
void emit_items(A& a, const Layout& l, const std::array<SuperscalarProgram, kCacheAccesses>& programs, X out) {
    Items items{a};
    emit_superscalar_items(items, l, programs, out);
}

// item(x0 = cache memory, x1 = item number, x2 = out)
void emit_item(A& a, const std::array<SuperscalarProgram, kCacheAccesses>& programs) {
    a.mov(kItemLayout.block[0], x1);
    emit_items(a, kItemLayout, programs, x2);
    a.ret();
}

// The interleaved entries save x19-x30 and keep their arguments above them.
constexpr std::int32_t kFrameSize = 128;
constexpr std::uint32_t kNextItem = 96;
constexpr std::uint32_t kUnits = 104;

void emit_group_prologue(A& a) {
    a.sub_imm(sp, sp, kFrameSize);
    for (unsigned i = 0; i < 12; i += 2) a.stp(static_cast<X>(x19 + i), static_cast<X>(x20 + i), sp, static_cast<std::int32_t>(8 * i));
}

void emit_group_epilogue(A& a) {
    for (unsigned i = 0; i < 12; i += 2) a.ldp(static_cast<X>(x19 + i), static_cast<X>(x20 + i), sp, static_cast<std::int32_t>(8 * i));
    a.add_imm(sp, sp, kFrameSize);
    a.ret();
}

// range(x0 = cache memory, x1 = out, x2 = first item, x3 = units of kRangeItems)
void emit_range(A& a, const std::array<SuperscalarProgram, kCacheAccesses>& programs) {
    const Layout& l = kGroupLayout;
    emit_group_prologue(a);
    a.mov(kOut, x1);
    a.str(x2, sp, kNextItem);
    a.str(x3, sp, kUnits);
    A::Label unit;
    a.bind(unit);
    for (unsigned k = 0; k < l.items; ++k) {
        a.ldr(l.block[k], sp, kNextItem);
        if (k != 0) a.add_imm(l.block[k], l.block[k], k);
    }
    emit_items(a, l, programs, kOut);
    a.add_imm(kOut, kOut, kRangeItems * kCacheLineSize);
    a.ldr(l.tmp, sp, kNextItem);
    a.add_imm(l.tmp, l.tmp, kRangeItems);
    a.str(l.tmp, sp, kNextItem);
    a.ldr(l.tmp, sp, kUnits);
    a.subs_imm(l.tmp, l.tmp, 1);
    a.str(l.tmp, sp, kUnits);
    a.b_cond(Cond::NE, unit);
    emit_group_epilogue(a);
}

// pair(x0 = cache memory, x1 = first item, x2 = second item, x3 = out)
void emit_pair(A& a, const std::array<SuperscalarProgram, kCacheAccesses>& programs) {
    const Layout l = kGroupLayout.with_items(2);
    emit_group_prologue(a);
    a.mov(kOut, x3);
    a.mov(l.block[0], x1);
    a.mov(l.block[1], x2);
    emit_items(a, l, programs, kOut);
    emit_group_epilogue(a);
}

}  // namespace

// The writer (DatasetCode::Writer) of the entries in the header.
std::size_t write_dataset_code(const std::array<SuperscalarProgram, kCacheAccesses>& programs, std::uint8_t* code,
                               std::size_t capacity, const std::uint8_t* /*runs_at*/, DatasetCode::Entries& entries) {
    A a(code, capacity);
    entries.item = 0;
    emit_item(a, programs);
    a.align(64);
    entries.range = a.size();
    entries.range_unit = kRangeItems;
    emit_range(a, programs);
    a.align(64);
    entries.pair = a.size();
    emit_pair(a, programs);
    return a.overflowed() ? 0 : a.size();
}

}  // namespace rx::a64

namespace rx {

DatasetCodeWriter dataset_code_writer() noexcept { return {&a64::write_dataset_code, a64::kDatasetCodeBytes}; }

}  // namespace rx
