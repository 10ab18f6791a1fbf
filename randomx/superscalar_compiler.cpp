#include "randomx/superscalar_compiler.h"

#include "randomx/cpu.h"
#include "randomx/dataset.h"
#include "randomx/x86_assembler.h"

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
// Item, range and pair entries with their eight programs, and their own code.
constexpr std::size_t kCodeBytes = 3 * kCacheAccesses * (kMaxProgramBytes + 256) + 16384;

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
    case T::IMULH_R:
        if (bmi2) {
            a.mov(rdx, d);
            a.mulx(d, rax, s);
        } else {
            a.mov(rax, d);
            a.mul(s);
            a.mov(d, rdx);
        }
        break;
    case T::ISMULH_R:
        a.mov(rax, d);
        a.imul1(s);
        a.mov(d, rdx);
        break;
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

constexpr Reg kSaved[] = {rbx, rbp, r12, r13, r14, r15};

void emit_prologue(A& a) {
    for (Reg r : kSaved) a.push(r);
}

void emit_epilogue(A& a) {
    for (int i = static_cast<int>(std::size(kSaved)) - 1; i >= 0; --i) a.pop(kSaved[i]);
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

// pair(rdi = cache memory, rsi = first item, rdx = second item, rcx = out)
void emit_pair(A& a, const std::array<SuperscalarProgram, kCacheAccesses>& programs) {
    emit_prologue(a);
    a.alu(A::Alu::Sub, rsp, kFrameSize);
    a.mov(ptr(rsp, kOutArg), rcx);
    a.mov(ptr(rsp, kItemArgs), rsi);
    a.mov(ptr(rsp, kItemArgs + 8), rdx);
    emit_group(a, programs, 2, Output::Plain);
    a.alu(A::Alu::Add, rsp, kFrameSize);
    emit_epilogue(a);
}

}  // namespace

bool DatasetCode::compile(const std::array<SuperscalarProgram, kCacheAccesses>& programs) noexcept {
    item_ = nullptr;
    range_ = nullptr;
    pair_ = nullptr;
    if (!compiled_code_runs()) return false;
    if (memory_.size() == 0 && !memory_.allocate(kCodeBytes)) return false;
    if (!memory_.begin_write()) return false;
    A a(memory_.writable(), memory_.size());
    emit_item(a, programs);
    a.align(64);
    const std::size_t range_offset = a.size();
    emit_range(a, programs);
    a.align(64);
    const std::size_t pair_offset = a.size();
    emit_pair(a, programs);
    if (!memory_.finish_write()) return false;
    const std::uint8_t* code = memory_.executable();
    item_ = reinterpret_cast<ItemFunction>(const_cast<std::uint8_t*>(code));
    range_ = reinterpret_cast<RangeFunction>(const_cast<std::uint8_t*>(code + range_offset));
    pair_ = reinterpret_cast<PairFunction>(const_cast<std::uint8_t*>(code + pair_offset));
    return true;
}

}  // namespace rx
