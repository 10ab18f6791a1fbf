#include "randomx/x86_64/superscalar_compiler.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "randomx/arch.h"
#include "randomx/cpu.h"
#include "randomx/dataset.h"
#include "randomx/x86_64/x86_assembler.h"

namespace rx {
namespace {

using namespace x86;
using A = Assembler;

// Superscalar register i lives in r8 + i.
Reg reg(unsigned i) { return static_cast<Reg>(r8 + i); }

// Bytes of the longest instruction sequence one SuperscalarHash instruction
// becomes (IMUL_RCP: a 10-byte move and a 4-byte multiply).
constexpr std::size_t kMaxBytesPerInstruction = 16;
constexpr std::size_t kMaxProgramBytes = kSuperscalarMaxSize * kMaxBytesPerInstruction;
// Item, range, pair and triple entries with their eight programs, and their own code.
static_assert(kDatasetCodeBytes >= 4 * kCacheAccesses * (kMaxProgramBytes + 256) + 16384 +
                                       kCacheAccesses * kSuperscalarMaxSize * (2 * 32 + 160),
              "room for the entries, the pool and the lanes");

constexpr std::uint32_t kCacheIndexMask = static_cast<std::uint32_t>(kCacheItemCount - 1);
static_assert((kCacheItemCount & (kCacheItemCount - 1)) == 0, "the cache index is a mask");
constexpr unsigned kLineShift = 6;
static_assert(std::size_t{1} << kLineShift == kCacheLineSize);

void emit_instruction(A& a, const SuperscalarInstruction& in, bool bmi2) {
    using T = SuperscalarType;
    const Reg d = reg(in.dst);
    const Reg s = reg(in.src);
    switch (in.type) {
    case T::ISUB_R: a.sub(d, s); break;
    case T::IXOR_R: a.xor_(d, s); break;
    case T::IADD_RS: a.lea(d, ptr(d, s, 0, in.shift())); break;
    case T::IMUL_R: a.imul(d, s); break;
    case T::IROR_C: a.shift(A::Shift::Ror, d, static_cast<std::uint8_t>(in.imm32 & 63)); break;
    case T::IADD_C7:
    case T::IADD_C8:
    case T::IADD_C9: a.alu(A::Alu::Add, d, static_cast<std::int32_t>(in.imm32)); break;
    case T::IXOR_C7:
    case T::IXOR_C8:
    case T::IXOR_C9: a.alu(A::Alu::Xor, d, static_cast<std::int32_t>(in.imm32)); break;
    case T::IMULH_R: emit_high_multiply(a, d, s, /*is_signed=*/false, bmi2); break;
    case T::ISMULH_R: emit_high_multiply(a, d, s, /*is_signed=*/true, bmi2); break;
    case T::IMUL_RCP:
        a.mov_imm64(rax, superscalar_reciprocal(in.imm32));
        a.imul(d, rax);
        break;
    }
}

void emit_program(A& a, const SuperscalarProgram& program) {
    const bool bmi2 = cpu_features().bmi2;
    for (std::uint32_t i = 0; i < program.size; ++i) {
        emit_instruction(a, program.instructions[i], bmi2);
    }
}

// block = cache + (index mod items) * 64, from the index in `block`.
void emit_block_address(A& a, Reg block, Reg index) {
    if (block != index) a.mov32(block, index);
    a.alu32(A::Alu::And, block, static_cast<std::int32_t>(kCacheIndexMask));
    a.shift32(A::Shift::Shl, block, kLineShift);
    a.add(block, rdi);
}

void emit_xor_block(A& a, Reg block) {
    for (unsigned i = 0; i < 8; ++i) a.alu(A::Alu::Xor, reg(i), ptr(block, static_cast<std::int32_t>(8 * i)));
}

// r0..r7 of item `number` + `plus`, where `number` holds the item number:
// r0 = (number + 1) * multiplier, ri = r0 ^ constant i.
void emit_initial_registers(A& a, Reg number, std::int32_t plus) {
    a.lea(r8, ptr(number, plus + 1));
    a.mov_imm64(rax, kDatasetItemMultiplier);
    a.imul(r8, rax);
    for (unsigned i = 1; i < 8; ++i) {
        a.mov_imm64(reg(i), kDatasetRegisterXor[i]);
        a.xor_(reg(i), r8);
    }
}

void emit_prologue(A& a) { push_callee_saved(a); }

void emit_epilogue(A& a) {
    pop_callee_saved(a);
    a.ret();
}

// item(rdi = cache memory, rsi = item number, rdx = out)
void emit_item(A& a, const std::array<SuperscalarProgram, kCacheAccesses>& programs) {
    emit_prologue(a);
    a.mov(rbp, rdx);
    emit_initial_registers(a, rsi, 0);
    a.mov(rbx, rsi);
    for (std::size_t p = 0; p < kCacheAccesses; ++p) {
        emit_block_address(a, rbx, rbx);
        a.prefetcht0(ptr(rbx));
        emit_program(a, programs[p]);
        emit_xor_block(a, rbx);
        if (p + 1 < kCacheAccesses) a.mov(rbx, reg(programs[p].address_register));
    }
    for (unsigned i = 0; i < 8; ++i) a.mov(ptr(rbp, static_cast<std::int32_t>(8 * i)), reg(i));
    emit_epilogue(a);
}

// The interleaved entries' stack frame: one slot per item of the group (its
// eight registers and its next cache block), then the arguments.
constexpr std::int32_t kSlotSize = 128;
constexpr std::int32_t kBlockInSlot = 64;
constexpr std::int32_t kSlots = 0;
constexpr std::int32_t kArgs = kSlots + static_cast<std::int32_t>(kDatasetCodeGroup) * kSlotSize;
constexpr std::int32_t kOutArg = kArgs;
constexpr std::int32_t kGroupsArg = kArgs + 8;
constexpr std::int32_t kItemArgs = kArgs + 16;  // the items' numbers, one per slot
constexpr std::int32_t kFrameSize = kItemArgs + 8 * static_cast<std::int32_t>(kDatasetCodeGroup) + 8;

enum class Output { NonTemporal, Plain };

// Runs `group` items whose numbers are in the item arguments: every item
// starts its registers and prefetches its first block, then program p runs
// on every item before program p + 1. The last program writes the items to
// consecutive 64-byte lines from the output argument, which it advances.
void emit_group(A& a, const std::array<SuperscalarProgram, kCacheAccesses>& programs, std::int32_t group,
                Output output) {
    for (std::int32_t k = 0; k < group; ++k) {
        const std::int32_t slot = kSlots + k * kSlotSize;
        a.mov(rdx, ptr(rsp, kItemArgs + 8 * k));
        emit_initial_registers(a, rdx, 0);
        for (unsigned i = 0; i < 8; ++i) a.mov(ptr(rsp, slot + static_cast<std::int32_t>(8 * i)), reg(i));
        emit_block_address(a, rbx, rdx);
        a.mov(ptr(rsp, slot + kBlockInSlot), rbx);
        a.prefetcht0(ptr(rbx));
    }
    a.mov(rbp, ptr(rsp, kOutArg));
    for (std::size_t p = 0; p < kCacheAccesses; ++p) {
        const bool last = p + 1 == kCacheAccesses;
        a.lea(rsi, ptr(rsp, kSlots));
        a.mov_imm64(rcx, static_cast<std::uint64_t>(group));
        A::Label item;
        a.align(16);
        a.bind(item);
        for (unsigned i = 0; i < 8; ++i) a.mov(reg(i), ptr(rsi, static_cast<std::int32_t>(8 * i)));
        a.mov(rbx, ptr(rsi, kBlockInSlot));
        emit_program(a, programs[p]);
        emit_xor_block(a, rbx);
        if (!last) {
            emit_block_address(a, rbx, reg(programs[p].address_register));
            a.mov(ptr(rsi, kBlockInSlot), rbx);
            a.prefetcht0(ptr(rbx));
            for (unsigned i = 0; i < 8; ++i) a.mov(ptr(rsi, static_cast<std::int32_t>(8 * i)), reg(i));
        } else {
            for (unsigned i = 0; i < 8; ++i) {
                const Mem line = ptr(rbp, static_cast<std::int32_t>(8 * i));
                if (output == Output::NonTemporal) {
                    a.movnti(line, reg(i));
                } else {
                    a.mov(line, reg(i));
                }
            }
            a.alu(A::Alu::Add, rbp, static_cast<std::int32_t>(kCacheLineSize));
        }
        a.alu(A::Alu::Add, rsi, kSlotSize);
        a.alu(A::Alu::Sub, rcx, 1);
        a.jcc(Cond::NE, item);
    }
    a.mov(ptr(rsp, kOutArg), rbp);
}

// range(rdi = cache memory, rsi = out, rdx = first item, rcx = groups)
void emit_range(A& a, const std::array<SuperscalarProgram, kCacheAccesses>& programs) {
    constexpr auto kGroup = static_cast<std::int32_t>(kDatasetCodeGroup);
    emit_prologue(a);
    a.alu(A::Alu::Sub, rsp, kFrameSize);
    a.mov(ptr(rsp, kOutArg), rsi);
    a.mov(ptr(rsp, kGroupsArg), rcx);
    A::Label group;
    a.align(16);
    a.bind(group);
    for (std::int32_t k = 0; k < kGroup; ++k) {
        a.lea(rax, ptr(rdx, k));
        a.mov(ptr(rsp, kItemArgs + 8 * k), rax);
    }
    emit_group(a, programs, kGroup, Output::NonTemporal);
    a.mov(rdx, ptr(rsp, kItemArgs));
    a.alu(A::Alu::Add, rdx, kGroup);
    a.mov(rcx, ptr(rsp, kGroupsArg));
    a.alu(A::Alu::Sub, rcx, 1);
    a.mov(ptr(rsp, kGroupsArg), rcx);
    a.jcc(Cond::NE, group);
    a.sfence();  // the non-temporal stores are visible before returning
    a.alu(A::Alu::Add, rsp, kFrameSize);
    emit_epilogue(a);
}

// pair(rdi = cache memory, rsi, rdx = the items, rcx = out) and
// triple(rdi = cache memory, rsi, rdx, rcx = the items, r8 = out): `count`
// items in the argument registers after the cache, then the output.
void emit_group_entry(A& a, const std::array<SuperscalarProgram, kCacheAccesses>& programs, std::int32_t count) {
    constexpr Reg kArguments[] = {rsi, rdx, rcx, r8};
    emit_prologue(a);
    a.alu(A::Alu::Sub, rsp, kFrameSize);
    a.mov(ptr(rsp, kOutArg), kArguments[count]);
    for (std::int32_t k = 0; k < count; ++k) a.mov(ptr(rsp, kItemArgs + 8 * k), kArguments[k]);
    emit_group(a, programs, count, Output::Plain);
    a.alu(A::Alu::Add, rsp, kFrameSize);
    emit_epilogue(a);
}

// ---- The range entry with AVX2 ----------------------------------------------
//
// One item's registers in r8-r15 and four more items' in the lanes of
// ymm0-ymm7 (lane k of ymm j is register j of the k-th item): each
// SuperscalarHash instruction is emitted for both, one after the other, so
// the processor has two independent streams to overlap, one on its integer
// units and one on its vector units. 64-bit multiplications are built from
// 32-bit ones (VPMULUDQ) in the lanes.

constexpr unsigned kLanes = 4;
constexpr unsigned kHybridItems = 1 + kLanes;         // per hybrid group
constexpr std::int32_t kHybridGroups = 2;              // per pass over a program
constexpr std::size_t kHybridUnit = kHybridItems * kHybridGroups;

Ymm lane_reg(unsigned i) { return static_cast<Ymm>(ymm0 + i); }
constexpr Ymm kT0 = ymm8;
constexpr Ymm kT1 = ymm9;
constexpr Ymm kT2 = ymm10;
constexpr Ymm kT3 = ymm11;
constexpr Ymm kT4 = ymm12;
constexpr Ymm kT5 = ymm13;
constexpr Ymm kLow32 = ymm14;   // 0x00000000ffffffff in every lane
constexpr Ymm kZero = ymm15;

// The constant pool: 32-byte constants (four equal lanes), addressed from rcx.
constexpr std::int32_t kPoolLow32 = 0;
constexpr std::int32_t kPoolFirst = 32;

// Offsets in the pool of each instruction's constants (the immediate or the
// reciprocal; the reciprocal's high half follows it).
using PoolOffsets = std::array<std::array<std::int32_t, kSuperscalarMaxSize>, kCacheAccesses>;

bool has_constant(SuperscalarType t, unsigned* count) {
    using T = SuperscalarType;
    switch (t) {
    case T::IADD_C7: case T::IADD_C8: case T::IADD_C9:
    case T::IXOR_C7: case T::IXOR_C8: case T::IXOR_C9: *count = 1; return true;
    case T::IMUL_RCP: *count = 2; return true;
    default: return false;
    }
}

void pool_constant(std::uint8_t* pool, std::int32_t offset, std::uint64_t value) {
    for (unsigned k = 0; k < kLanes; ++k) std::memcpy(pool + offset + 8 * k, &value, 8);
}

// The pool's size for `programs`.
std::size_t pool_size(const std::array<SuperscalarProgram, kCacheAccesses>& programs) {
    std::size_t size = kPoolFirst;
    for (const SuperscalarProgram& program : programs) {
        for (std::uint32_t i = 0; i < program.size; ++i) {
            unsigned count = 0;
            if (has_constant(program.instructions[i].type, &count)) size += 32 * count;
        }
    }
    return size;
}

// Writes the pool at `pool` (pool_size(programs) bytes) and returns its size.
std::size_t write_pool(std::uint8_t* pool, const std::array<SuperscalarProgram, kCacheAccesses>& programs,
                       PoolOffsets& offsets) {
    pool_constant(pool, kPoolLow32, 0xFFFFFFFFULL);
    std::int32_t next = kPoolFirst;
    for (std::size_t p = 0; p < kCacheAccesses; ++p) {
        for (std::uint32_t i = 0; i < programs[p].size; ++i) {
            const SuperscalarInstruction& in = programs[p].instructions[i];
            unsigned count = 0;
            if (!has_constant(in.type, &count)) continue;
            offsets[p][i] = next;
            if (in.type == SuperscalarType::IMUL_RCP) {
                const std::uint64_t rcp = superscalar_reciprocal(in.imm32);
                pool_constant(pool, next, rcp);
                pool_constant(pool, next + 32, rcp >> 32);
            } else {
                pool_constant(pool, next, static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(in.imm32))));
            }
            next += static_cast<std::int32_t>(32 * count);
        }
    }
    return static_cast<std::size_t>(next);
}

// d = high 64 bits of the unsigned 128-bit product d * s, from four 32-bit
// products: with d = dh:dl and s = sh:sl, t = dh*sl + (dl*sl >> 32),
// u = (t mod 2^32) + dl*sh, and the high half is dh*sh + (t >> 32) + (u >> 32).
void emit_lanes_mulh(A& a, Ymm d, Ymm s) {
    using V = A::Vop;
    a.vpsrlq(kT0, d, 32);
    a.vpsrlq(kT1, s, 32);
    a.vop(V::Pmuludq, kT2, kT0, kT1);  // dh*sh
    a.vop(V::Pmuludq, kT0, kT0, s);    // dh*sl
    a.vop(V::Pmuludq, kT1, d, kT1);    // dl*sh
    a.vop(V::Pmuludq, kT3, d, s);      // dl*sl
    a.vpsrlq(kT3, kT3, 32);
    a.vop(V::Paddq, kT0, kT0, kT3);    // t
    a.vop(V::Pand, kT3, kT0, kLow32);
    a.vop(V::Paddq, kT1, kT1, kT3);    // u
    a.vpsrlq(kT0, kT0, 32);
    a.vpsrlq(kT1, kT1, 32);
    a.vop(V::Paddq, kT2, kT2, kT0);
    a.vop(V::Paddq, d, kT2, kT1);
}

void emit_lanes_instruction(A& a, const SuperscalarInstruction& in, std::int32_t constant) {
    using T = SuperscalarType;
    using V = A::Vop;
    const Ymm d = lane_reg(in.dst);
    const Ymm s = lane_reg(in.src);
    switch (in.type) {
    case T::ISUB_R: a.vop(V::Psubq, d, d, s); break;
    case T::IXOR_R: a.vop(V::Pxor, d, d, s); break;
    case T::IADD_RS:
        if (in.shift() == 0) {
            a.vop(V::Paddq, d, d, s);
        } else {
            a.vpsllq(kT0, s, static_cast<std::uint8_t>(in.shift()));
            a.vop(V::Paddq, d, d, kT0);
        }
        break;
    case T::IMUL_R:
        // dl*sl + ((dh*sl + dl*sh) << 32)
        a.vpsrlq(kT0, d, 32);
        a.vop(V::Pmuludq, kT0, kT0, s);
        a.vpsrlq(kT1, s, 32);
        a.vop(V::Pmuludq, kT1, kT1, d);
        a.vop(V::Paddq, kT0, kT0, kT1);
        a.vpsllq(kT0, kT0, 32);
        a.vop(V::Pmuludq, d, d, s);
        a.vop(V::Paddq, d, d, kT0);
        break;
    case T::IROR_C: {
        const auto count = static_cast<std::uint8_t>(in.imm32 & 63);
        a.vpsrlq(kT0, d, count);
        a.vpsllq(d, d, static_cast<std::uint8_t>(64 - count));
        a.vop(V::Por, d, d, kT0);
        break;
    }
    case T::IADD_C7: case T::IADD_C8: case T::IADD_C9: a.vop(V::Paddq, d, d, ptr(rcx, constant)); break;
    case T::IXOR_C7: case T::IXOR_C8: case T::IXOR_C9: a.vop(V::Pxor, d, d, ptr(rcx, constant)); break;
    case T::IMULH_R: emit_lanes_mulh(a, d, s); break;
    case T::ISMULH_R:
        // The signed high half is the unsigned one less s where d < 0 and
        // less d where s < 0.
        a.vpcmpgtq(kT4, kZero, d);
        a.vop(V::Pand, kT4, kT4, s);
        a.vpcmpgtq(kT5, kZero, s);
        a.vop(V::Pand, kT5, kT5, d);
        a.vop(V::Paddq, kT4, kT4, kT5);
        emit_lanes_mulh(a, d, s);
        a.vop(V::Psubq, d, d, kT4);
        break;
    case T::IMUL_RCP:
        // c = ch:cl from the pool (cl in the low half of the first constant).
        a.vpsrlq(kT0, d, 32);
        a.vop(V::Pmuludq, kT0, kT0, ptr(rcx, constant));
        a.vop(V::Pmuludq, kT1, d, ptr(rcx, constant + 32));
        a.vop(V::Paddq, kT0, kT0, kT1);
        a.vpsllq(kT0, kT0, 32);
        a.vop(V::Pmuludq, d, d, ptr(rcx, constant));
        a.vop(V::Paddq, d, d, kT0);
        break;
    }
}

// A hybrid group's slot: the scalar item (registers, next block), the lane
// items' registers (register-major) and their next blocks.
constexpr std::int32_t kHScalar = 0;
constexpr std::int32_t kHScalarBlock = 64;
constexpr std::int32_t kHLanes = 128;
constexpr std::int32_t kHLaneBlocks = kHLanes + 8 * 32;
constexpr std::int32_t kHSlotSize = 512;
constexpr std::int32_t kHOut = kHybridGroups * kHSlotSize;
constexpr std::int32_t kHItem = kHOut + 8;
constexpr std::int32_t kHUnits = kHOut + 16;
constexpr std::int32_t kHSavedRsp = kHOut + 24;
constexpr std::int32_t kHFrameSize = kHOut + 64 + 64;  // with room to align down to 64

Mem lane(std::int32_t slot, unsigned reg, unsigned item) {
    return ptr(rsp, slot + kHLanes + static_cast<std::int32_t>(32 * reg + 8 * item));
}

// range(rdi = cache memory, rsi = out, rdx = first item, rcx = units of kHybridUnit items)
void emit_hybrid_range(A& a, const std::array<SuperscalarProgram, kCacheAccesses>& programs, const PoolOffsets& pool,
                       std::uint64_t pool_address) {
    emit_prologue(a);
    a.mov(rax, rsp);
    a.alu(A::Alu::Sub, rsp, kHFrameSize);
    a.alu(A::Alu::And, rsp, -64);
    a.mov(ptr(rsp, kHSavedRsp), rax);
    a.mov(ptr(rsp, kHOut), rsi);
    a.mov(ptr(rsp, kHItem), rdx);
    a.mov(ptr(rsp, kHUnits), rcx);
    a.mov_imm64(rcx, pool_address);
    a.vmovdqu(kLow32, ptr(rcx, kPoolLow32));
    a.vop(A::Vop::Pxor, kZero, kZero, kZero);

    A::Label unit;
    a.align(16);
    a.bind(unit);
    a.mov(rsi, ptr(rsp, kHItem));
    for (std::int32_t g = 0; g < kHybridGroups; ++g) {
        const std::int32_t slot = g * kHSlotSize;
        for (unsigned k = 0; k < kHybridItems; ++k) {
            const std::int32_t n = g * static_cast<std::int32_t>(kHybridItems) + static_cast<std::int32_t>(k);
            emit_initial_registers(a, rsi, n);
            for (unsigned j = 0; j < 8; ++j) {
                a.mov(k == 0 ? ptr(rsp, slot + kHScalar + static_cast<std::int32_t>(8 * j)) : lane(slot, j, k - 1), reg(j));
            }
            a.lea(rbx, ptr(rsi, n));
            emit_block_address(a, rbx, rbx);
            a.mov(ptr(rsp, k == 0 ? slot + kHScalarBlock : slot + kHLaneBlocks + static_cast<std::int32_t>(8 * (k - 1))), rbx);
            a.prefetcht0(ptr(rbx));
        }
    }
    a.mov(rbp, ptr(rsp, kHOut));

    for (std::size_t p = 0; p < kCacheAccesses; ++p) {
        const bool last = p + 1 == kCacheAccesses;
        const SuperscalarProgram& program = programs[p];
        const bool bmi2 = cpu_features().bmi2;
        a.mov(rsi, rsp);
        A::Label group;
        a.align(16);
        a.bind(group);
        for (unsigned j = 0; j < 8; ++j) a.mov(reg(j), ptr(rsi, kHScalar + static_cast<std::int32_t>(8 * j)));
        a.mov(rbx, ptr(rsi, kHScalarBlock));
        for (unsigned j = 0; j < 8; ++j) a.vmovdqu(lane_reg(j), ptr(rsi, kHLanes + static_cast<std::int32_t>(32 * j)));
        for (std::uint32_t i = 0; i < program.size; ++i) {
            emit_instruction(a, program.instructions[i], bmi2);
            emit_lanes_instruction(a, program.instructions[i], pool[p][i]);
        }
        // The scalar item: its block, then its next block or its output line.
        emit_xor_block(a, rbx);
        if (!last) {
            emit_block_address(a, rbx, reg(program.address_register));
            a.mov(ptr(rsi, kHScalarBlock), rbx);
            a.prefetcht0(ptr(rbx));
            for (unsigned j = 0; j < 8; ++j) a.mov(ptr(rsi, kHScalar + static_cast<std::int32_t>(8 * j)), reg(j));
        } else {
            for (unsigned j = 0; j < 8; ++j) a.movnti(ptr(rbp, static_cast<std::int32_t>(8 * j)), reg(j));
        }
        // The lane items, one by one through memory.
        for (unsigned j = 0; j < 8; ++j) a.vmovdqu(ptr(rsi, kHLanes + static_cast<std::int32_t>(32 * j)), lane_reg(j));
        for (unsigned k = 0; k < kLanes; ++k) {
            const auto block_at = kHLaneBlocks + static_cast<std::int32_t>(8 * k);
            a.mov(rdx, ptr(rsi, block_at));
            for (unsigned j = 0; j < 8; ++j) {
                const Mem word = ptr(rsi, kHLanes + static_cast<std::int32_t>(32 * j + 8 * k));
                a.mov(rax, ptr(rdx, static_cast<std::int32_t>(8 * j)));
                a.alu(A::Alu::Xor, rax, word);
                if (last) {
                    a.movnti(ptr(rbp, static_cast<std::int32_t>(64 * (k + 1) + 8 * j)), rax);
                } else {
                    a.mov(word, rax);
                }
            }
            if (!last) {
                a.mov(rax, ptr(rsi, kHLanes + static_cast<std::int32_t>(32 * program.address_register + 8 * k)));
                emit_block_address(a, rdx, rax);
                a.mov(ptr(rsi, block_at), rdx);
                a.prefetcht0(ptr(rdx));
            }
        }
        if (last) a.alu(A::Alu::Add, rbp, static_cast<std::int32_t>(kHybridItems * kCacheLineSize));
        a.alu(A::Alu::Add, rsi, kHSlotSize);
        a.lea(rax, ptr(rsp, kHybridGroups * kHSlotSize));
        a.alu(A::Alu::Cmp, rsi, rax);
        a.jcc(Cond::NE, group);
    }
    a.mov(ptr(rsp, kHOut), rbp);
    a.mov(rsi, ptr(rsp, kHItem));
    a.alu(A::Alu::Add, rsi, static_cast<std::int32_t>(kHybridUnit));
    a.mov(ptr(rsp, kHItem), rsi);
    a.mov(rax, ptr(rsp, kHUnits));
    a.alu(A::Alu::Sub, rax, 1);
    a.mov(ptr(rsp, kHUnits), rax);
    a.jcc(Cond::NE, unit);

    a.sfence();
    a.vzeroupper();
    a.mov(rsp, ptr(rsp, kHSavedRsp));
    emit_epilogue(a);
}

}  // namespace

// The writer (DatasetCode::Writer) of the entries in the header.
std::size_t write_dataset_code(const std::array<SuperscalarProgram, kCacheAccesses>& programs, std::uint8_t* code,
                               std::size_t capacity, const std::uint8_t* runs_at, DatasetCode::Entries& entries) {
    // The range entry's constant pool (AVX2 only) first, then the code.
    const bool lanes = cpu_features().avx2;
    if (lanes && pool_size(programs) > capacity) return 0;
    PoolOffsets pool{};
    const std::size_t pool_bytes = lanes ? write_pool(code, programs, pool) : 0;
    const std::size_t code_start = (pool_bytes + 63) / 64 * 64;
    if (code_start >= capacity) return 0;
    A a(code + code_start, capacity - code_start);
    entries.item = code_start;
    emit_item(a, programs);
    a.align(64);
    entries.range = code_start + a.size();
    if (lanes) {
        emit_hybrid_range(a, programs, pool, reinterpret_cast<std::uint64_t>(runs_at));
        entries.range_unit = kHybridUnit;
    } else {
        emit_range(a, programs);
        entries.range_unit = kDatasetCodeGroup;
    }
    a.align(64);
    entries.pair = code_start + a.size();
    emit_group_entry(a, programs, 2);
    a.align(64);
    entries.triple = code_start + a.size();
    emit_group_entry(a, programs, 3);
    return a.overflowed() ? 0 : code_start + a.size();
}

DatasetCodeWriter dataset_code_writer() noexcept { return {&write_dataset_code, kDatasetCodeBytes}; }

}  // namespace rx
