#include "randomx/x86_64/vm_compiler.h"

#include "randomx/arch.h"
#include "randomx/cpu.h"
#include "randomx/vm_code_loop.h"
#include "randomx/x86_64/mxcsr.h"
#include "randomx/x86_64/x86_assembler.h"

namespace rx {
namespace {

using namespace x86;
using A = Assembler;
namespace off = vm_state_offset;

Reg R(unsigned i) { return static_cast<Reg>(r8 + i); }
Xmm F(unsigned i) { return static_cast<Xmm>(xmm0 + i); }   // f0-f3; FSWAP_R's 4-7 are e0-e3
Xmm E(unsigned i) { return static_cast<Xmm>(xmm4 + i); }
Xmm Av(unsigned i) { return static_cast<Xmm>(xmm8 + i); }
constexpr Xmm kTemp = xmm12;
constexpr Xmm kEKeep = xmm13;
constexpr Xmm kEOr = xmm14;
constexpr Xmm kScale = xmm15;

// Constants the code loads by absolute address: the group E keep mask and
// the FSCAL_R mask, two lanes each.
alignas(16) constexpr std::uint64_t kConstants[4] = {kEKeepMask, kEKeepMask, kScaleMask, kScaleMask};

// The stack frame below the six saved registers.
constexpr std::int32_t kSpAddr0 = 0;
constexpr std::int32_t kSpAddr1 = 8;
constexpr std::int32_t kStatePtr = 16;
constexpr std::int32_t kMxcsr = 24;
constexpr std::int32_t kPhase = 32;       // light mode, v2: items computed ahead and not used yet
constexpr std::int32_t kItem = 64;        // dataset items computed in light mode (up to three)
constexpr std::int32_t kGprSave = 256;    // registers kept across a light-mode call
constexpr std::int32_t kXmmSave = kGprSave + 64;
constexpr std::int32_t kFrameSize = kXmmSave + 16 * 16 + 8;  // 16-byte aligned stack inside
// The registers of ours that a light-mode call may change.
constexpr Reg kKeptAcrossCalls[] = {rsi, r8, r9, r10, r11};
static_assert(kItem + 3 * 64 <= kGprSave && kGprSave + 8 * std::ssize(kKeptAcrossCalls) <= kXmmSave,
              "the frame's areas do not overlap");

constexpr std::uint32_t kCacheIndexMask = static_cast<std::uint32_t>(kCacheItemCount - 1);

std::int32_t i32(std::uint64_t v) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(v)); }

class Emitter {
public:
    Emitter(std::uint8_t* code, std::size_t capacity, const Program& program, Variant variant,
            const ItemReads& reads, const VmCodeOptions& options)
        : a_(code, capacity), program_(program), variant_(variant), full_(reads.full), options_(options),
          reads_(reads) {
        bmi2_ = cpu_features().bmi2;
    }

    // ---- The steps of write_vm_loop (vm_code_loop.h) ----------------------
    A& code() { return a_; }
    void jump(A::Label& target) { a_.jmp(target); }

    static constexpr std::size_t kLoopAlignment = 64;

    // rax = spAddr0, rdx = spAddr1: the low and high halves of readReg0 ^ readReg1.
    void scratchpad_addresses(const ProgramConfig& c) {
        a_.mov(rax, R(c.read_reg[0]));
        a_.xor_(rax, R(c.read_reg[1]));
        a_.mov(rdx, rax);
        a_.shift(A::Shift::Shr, rdx, 32);
        chained_multiplies();
    }

    void next_iteration(std::size_t loop) {
        a_.alu32(A::Alu::Sub, rbx, 1);
        a_.jcc_to(Cond::NE, loop);
    }

    void prologue() {
        push_callee_saved(a_);
        a_.alu(A::Alu::Sub, rsp, kFrameSize);
        a_.mov(ptr(rsp, kStatePtr), rdi);
        a_.mov_imm64(rax, reinterpret_cast<std::uint64_t>(kConstants));
        a_.sse(A::Sse::Movapd, kEKeep, ptr(rax, 0));
        a_.sse(A::Sse::Movapd, kScale, ptr(rax, 16));
        a_.sse(A::Sse::Movapd, kEOr, ptr(rdi, off::kEMask));
        for (unsigned i = 0; i < 4; ++i) a_.sse(A::Sse::Movapd, Av(i), ptr(rdi, off::kA + static_cast<std::int32_t>(16 * i)));
        a_.mov(rbp, ptr(rdi, off::kMaMx));
        if (full_) {
            a_.mov(rdi, rdx);
        } else {
            a_.mov_imm64(rdi, reinterpret_cast<std::uint64_t>(reads_.cache_memory));
        }
        for (unsigned i = 0; i < 8; ++i) a_.alu32(A::Alu::Xor, R(i), R(i));
        a_.mov_imm64(rbx, kProgramIterations);
        a_.alu32(A::Alu::Xor, rax, rax);
        a_.mov32(ptr(rsp, kPhase), rax);
        // The first iteration's addresses: spAddr0 = mx, spAddr1 = ma (the
        // integer registers are all zero).
        a_.mov(rax, rbp);
        a_.shift(A::Shift::Shr, rax, 32);
        a_.mov32(rdx, rbp);
    }

    // rax (spAddr0) waits for a chain of multiplies from r0 that ends in a
    // zero (AND does not break the dependency as XOR with itself would).
    void chained_multiplies() {
        if (options_.chained_multiplies == 0) return;
        a_.mov(rcx, R(0));
        for (unsigned i = 0; i < options_.chained_multiplies; ++i) a_.imul(rcx, rcx);
        a_.alu32(A::Alu::And, rcx, 0);
        a_.alu(A::Alu::Or, rax, rcx);
    }

    // rax: spAddr0, rdx: spAddr1 (unmasked).
    void load_registers() {
        a_.alu32(A::Alu::And, rax, static_cast<std::int32_t>(kMaskL3Line));
        a_.alu32(A::Alu::And, rdx, static_cast<std::int32_t>(kMaskL3Line));
        a_.mov(ptr(rsp, kSpAddr0), rax);
        a_.mov(ptr(rsp, kSpAddr1), rdx);
        for (unsigned i = 0; i < 8; ++i) a_.alu(A::Alu::Xor, R(i), ptr(rsi, rax, static_cast<std::int32_t>(8 * i)));
        for (unsigned i = 0; i < 4; ++i) a_.cvtdq2pd(F(i), ptr(rsi, rdx, static_cast<std::int32_t>(8 * i)));
        for (unsigned i = 0; i < 4; ++i) {
            a_.cvtdq2pd(E(i), ptr(rsi, rdx, static_cast<std::int32_t>(32 + 8 * i)));
            a_.sse(A::Sse::Andpd, E(i), kEKeep);
            a_.sse(A::Sse::Orpd, E(i), kEOr);
        }
    }

    // The scratchpad operand of a memory instruction, its address computed
    // into `tmp` unless it is an absolute L3 address.
    Mem scratchpad(const Instruction& in, unsigned base, Reg tmp) {
        if (base == kZeroRegister) return ptr(rsi, i32(in.imm & in.mask));
        a_.lea32(tmp, ptr(R(base), static_cast<std::int32_t>(in.imm32)));
        a_.alu32(A::Alu::And, tmp, static_cast<std::int32_t>(in.mask));
        return ptr(rsi, tmp);
    }

    void high_multiply(Reg d, const Mem& m, bool is_signed) {
        a_.mov(rax, d);
        if (is_signed) {
            a_.imul1(m);
        } else {
            a_.mul(m);
        }
        a_.mov(d, rdx);
    }

    // CFROUND's steps (write_cfround): rax = the rotated source.
    void rotate_source(const Instruction& in) {
        a_.mov(rax, R(in.src & 7U));
        a_.shift(A::Shift::Ror, rax, static_cast<std::uint8_t>(in.imm));
    }
    void skip_unless_zero(std::uint32_t mask, A::Label& skip) {
        a_.test32(rax, mask);
        a_.jcc(Cond::NE, skip);
    }
    void set_rounding() {
        a_.alu32(A::Alu::And, rax, 3);
        a_.shift32(A::Shift::Shl, rax, kMxcsrRoundingShift);
        a_.alu32(A::Alu::Or, rax, static_cast<std::int32_t>(kMxcsrBase));
        a_.mov32(ptr(rsp, kMxcsr), rax);
        a_.ldmxcsr(ptr(rsp, kMxcsr));
    }

    void instruction(const Instruction& in) {
        const Reg d = R(in.dst);
        const Reg s = R(in.src & 7U);
        switch (in.op) {
        case Op::IADD_RS: a_.lea(d, ptr(d, s, i32(in.imm), in.shift)); break;
        case Op::IADD_M: a_.alu(A::Alu::Add, d, scratchpad(in, in.src, rax)); break;
        case Op::ISUB_R: a_.sub(d, s); break;
        case Op::ISUB_I: a_.alu(A::Alu::Sub, d, i32(in.imm)); break;
        case Op::ISUB_M: a_.alu(A::Alu::Sub, d, scratchpad(in, in.src, rax)); break;
        case Op::IMUL_R: a_.imul(d, s); break;
        case Op::IMUL_I: a_.imul(d, d, i32(in.imm)); break;
        case Op::IMUL_M: a_.imul(d, scratchpad(in, in.src, rax)); break;
        case Op::IMULH_R: emit_high_multiply(a_, d, s, /*is_signed=*/false, bmi2_); break;
        case Op::IMULH_M: high_multiply(d, scratchpad(in, in.src, rcx), false); break;
        case Op::ISMULH_R: emit_high_multiply(a_, d, s, /*is_signed=*/true, bmi2_); break;
        case Op::ISMULH_M: high_multiply(d, scratchpad(in, in.src, rcx), true); break;
        case Op::IMUL_RCP:
            a_.mov_imm64(rax, in.imm);
            a_.imul(d, rax);
            break;
        case Op::INEG_R: a_.neg(d); break;
        case Op::IXOR_R: a_.xor_(d, s); break;
        case Op::IXOR_I: a_.alu(A::Alu::Xor, d, i32(in.imm)); break;
        case Op::IXOR_M: a_.alu(A::Alu::Xor, d, scratchpad(in, in.src, rax)); break;
        case Op::IROR_R:
            a_.mov32(rcx, s);
            a_.shift_cl(A::Shift::Ror, d);
            break;
        case Op::IROR_I: a_.shift(A::Shift::Ror, d, static_cast<std::uint8_t>(in.imm)); break;
        case Op::IROL_R:
            a_.mov32(rcx, s);
            a_.shift_cl(A::Shift::Rol, d);
            break;
        case Op::IROL_I: a_.shift(A::Shift::Rol, d, static_cast<std::uint8_t>(in.imm)); break;
        case Op::ISWAP_R: a_.xchg(d, s); break;
        case Op::FSWAP_R: a_.shufpd(F(in.dst), F(in.dst), 1); break;
        case Op::FADD_R: a_.sse(A::Sse::Addpd, F(in.dst), Av(in.src)); break;
        case Op::FADD_M:
            a_.cvtdq2pd(kTemp, scratchpad(in, in.src, rax));
            a_.sse(A::Sse::Addpd, F(in.dst), kTemp);
            break;
        case Op::FSUB_R: a_.sse(A::Sse::Subpd, F(in.dst), Av(in.src)); break;
        case Op::FSUB_M:
            a_.cvtdq2pd(kTemp, scratchpad(in, in.src, rax));
            a_.sse(A::Sse::Subpd, F(in.dst), kTemp);
            break;
        case Op::FSCAL_R: a_.sse(A::Sse::Xorpd, F(in.dst), kScale); break;
        case Op::FMUL_R: a_.sse(A::Sse::Mulpd, E(in.dst), Av(in.src)); break;
        case Op::FDIV_M:
            a_.cvtdq2pd(kTemp, scratchpad(in, in.src, rax));
            a_.sse(A::Sse::Andpd, kTemp, kEKeep);
            a_.sse(A::Sse::Orpd, kTemp, kEOr);
            a_.sse(A::Sse::Divpd, E(in.dst), kTemp);
            break;
        case Op::FSQRT_R: a_.sse(A::Sse::Sqrtpd, E(in.dst), E(in.dst)); break;
        case Op::CBRANCH:
            a_.alu(A::Alu::Add, d, i32(in.imm));
            a_.test(d, static_cast<std::int32_t>(((std::uint64_t{1} << kJumpBits) - 1) << in.shift));
            a_.jcc_to(Cond::E, offsets_[in.target]);
            break;
        case Op::CFROUND: write_cfround(*this, variant_, in); break;
        case Op::ISTORE: a_.mov(scratchpad(in, in.dst, rax), s); break;
        case Op::NOP: break;
        }
    }

    // mp ^= readReg2 ^ readReg3; prefetch the item at mp; read the item at mt;
    // swap ma and mx.
    void dataset_step() {
        const ProgramConfig& c = program_.config;
        const auto offset = static_cast<std::int32_t>(c.dataset_offset);
        a_.mov(rax, R(c.read_reg[2]));
        a_.xor_(rax, R(c.read_reg[3]));
        a_.mov32(rax, rax);
        if (variant_ == Variant::V1) {
            a_.shift(A::Shift::Shl, rax, 32);
            a_.xor_(rbp, rax);           // mx ^= mix
            a_.mov(rax, rbp);
            a_.shift(A::Shift::Shr, rax, 32);
            prefetch(rax, offset);
            a_.mov32(rax, rbp);          // mt = ma
        } else {
            a_.mov32(rdx, rbp);          // mt = ma
            a_.xor_(rbp, rax);           // ma ^= mix
            a_.mov32(rax, rbp);
            prefetch(rax, offset);
            a_.mov32(rax, rdx);
        }
        a_.alu32(A::Alu::And, rax, static_cast<std::int32_t>(kDatasetAddressMask));
        if (!options_.dataset_reads) {
            for (unsigned i = 0; i < 8; ++i) a_.alu(A::Alu::Xor, R(i), ptr(rsp, kItem + static_cast<std::int32_t>(8 * i)));
        } else if (full_) {
            for (unsigned i = 0; i < 8; ++i) {
                a_.alu(A::Alu::Xor, R(i), ptr(rdi, rax, offset + static_cast<std::int32_t>(8 * i)));
            }
        } else if (reads_.triple != nullptr) {
            // v2: the three items known once an iteration's program has run
            // (its own, the next one's at mx and the one after at the new
            // ma) are computed together.
            light_triple(offset);
        } else {
            light_item(offset);
        }
        a_.shift(A::Shift::Ror, rbp, 32);
    }

    // Prefetches what the item at `address` (unmasked, in the register)
    // needs first: the item itself, or in light mode its first cache block.
    void prefetch(Reg address, std::int32_t offset) {
        a_.alu32(A::Alu::And, address, static_cast<std::int32_t>(kDatasetAddressMask));
        if (!options_.dataset_reads || !options_.dataset_prefetch) return;
        if (full_) {
            a_.prefetcht0(ptr(rdi, address, offset));
            return;
        }
        a_.lea32(rcx, ptr(address, offset));
        a_.shift32(A::Shift::Shr, rcx, 6);
        a_.alu32(A::Alu::And, rcx, static_cast<std::int32_t>(kCacheIndexMask));
        a_.shift32(A::Shift::Shl, rcx, 6);
        a_.prefetcht0(ptr(rdi, rcx));
    }

    void save_kept() {
        for (std::size_t i = 0; i < std::size(kKeptAcrossCalls); ++i) {
            a_.mov(ptr(rsp, kGprSave + static_cast<std::int32_t>(8 * i)), kKeptAcrossCalls[i]);
        }
    }

    void restore_kept() {
        for (std::size_t i = 0; i < std::size(kKeptAcrossCalls); ++i) {
            a_.mov(kKeptAcrossCalls[i], ptr(rsp, kGprSave + static_cast<std::int32_t>(8 * i)));
        }
    }

    // Computes the item at rax + offset and XORs it into r0-r7.
    void light_item(std::int32_t offset) {
        save_kept();
        if (!reads_.item_compiled) {
            for (unsigned i = 0; i < 16; ++i) a_.movupd(ptr(rsp, kXmmSave + static_cast<std::int32_t>(16 * i)), static_cast<Xmm>(i));
        }
        item_number(rsi, rax, offset);
        a_.lea(rdx, ptr(rsp, kItem));
        a_.mov_imm64(rdi, reads_.item_argument);
        a_.mov_imm64(rax, reads_.item);
        a_.call(rax);
        if (!reads_.item_compiled) {
            for (unsigned i = 0; i < 16; ++i) a_.movupd(static_cast<Xmm>(i), ptr(rsp, kXmmSave + static_cast<std::int32_t>(16 * i)));
        }
        restore_kept();
        a_.mov_imm64(rdi, reinterpret_cast<std::uint64_t>(reads_.cache_memory));
        for (unsigned i = 0; i < 8; ++i) a_.alu(A::Alu::Xor, R(i), ptr(rsp, kItem + static_cast<std::int32_t>(8 * i)));
    }

    // `item` = the item number of the masked address in `address` + offset.
    void item_number(Reg item, Reg address, std::int32_t offset) {
        a_.lea(item, ptr(address, offset));
        a_.shift(A::Shift::Shr, item, 6);
    }

    // v2, light mode: an iteration that finds no item computed ahead computes
    // three at once, its own (at rax, masked), the next one's (at mx, in the
    // high half of rbp) and the one after (at the new ma, in the low half),
    // so that their cache reads overlap; the two following iterations use
    // the second and the third (kPhase counts those left).
    void light_triple(std::int32_t offset) {
        A::Label stored;
        A::Label combine;
        a_.mov32(rcx, ptr(rsp, kPhase));
        a_.test32(rcx, 3);
        a_.jcc(Cond::NE, stored);
        save_kept();
        item_number(rsi, rax, offset);
        a_.mov(rdx, rbp);
        a_.shift(A::Shift::Shr, rdx, 32);
        a_.alu32(A::Alu::And, rdx, static_cast<std::int32_t>(kDatasetAddressMask));
        item_number(rdx, rdx, offset);
        a_.mov32(rcx, rbp);
        a_.alu32(A::Alu::And, rcx, static_cast<std::int32_t>(kDatasetAddressMask));
        item_number(rcx, rcx, offset);
        a_.lea(r8, ptr(rsp, kItem));
        a_.mov_imm64(rax, reinterpret_cast<std::uint64_t>(reads_.triple));
        a_.call(rax);
        restore_kept();
        a_.mov_imm64(rdi, reinterpret_cast<std::uint64_t>(reads_.cache_memory));
        a_.mov_imm64(rcx, 2);
        a_.mov32(ptr(rsp, kPhase), rcx);
        a_.lea(rcx, ptr(rsp, kItem));
        a_.jmp(combine);
        // 2 left: the second item; 1 left: the third (at kItem + 128 - 64 * left').
        a_.bind(stored);
        a_.alu32(A::Alu::Sub, rcx, 1);
        a_.mov32(ptr(rsp, kPhase), rcx);
        a_.neg(rcx);
        a_.shift(A::Shift::Shl, rcx, 6);
        a_.lea(rcx, ptr(rsp, rcx, kItem + 128));
        a_.bind(combine);
        for (unsigned i = 0; i < 8; ++i) a_.alu(A::Alu::Xor, R(i), ptr(rcx, static_cast<std::int32_t>(8 * i)));
    }

    // r0-r7 to spAddr1; f0-f3, mixed with e0-e3, to spAddr0.
    void store_registers() {
        a_.mov(rax, ptr(rsp, kSpAddr0));
        a_.mov(rdx, ptr(rsp, kSpAddr1));
        for (unsigned i = 0; i < 8; ++i) a_.mov(ptr(rsi, rdx, static_cast<std::int32_t>(8 * i)), R(i));
        if (variant_ == Variant::V1) {
            for (unsigned i = 0; i < 4; ++i) a_.sse(A::Sse::Xorpd, F(i), E(i));
        } else {
            // Each e register in turn is the round key of one round on every
            // f register: f0 and f2 encrypt, f1 and f3 decrypt.
            for (unsigned k = 0; k < 4; ++k) {
                a_.aesenc(F(0), E(k));
                a_.aesdec(F(1), E(k));
                a_.aesenc(F(2), E(k));
                a_.aesdec(F(3), E(k));
            }
        }
        for (unsigned i = 0; i < 4; ++i) a_.movapd(ptr(rsi, rax, static_cast<std::int32_t>(16 * i)), F(i));
    }

    void epilogue() {
        a_.mov(rdi, ptr(rsp, kStatePtr));
        for (unsigned i = 0; i < 8; ++i) a_.mov(ptr(rdi, off::kR + static_cast<std::int32_t>(8 * i)), R(i));
        for (unsigned i = 0; i < 8; ++i) a_.movapd(ptr(rdi, off::kFe + static_cast<std::int32_t>(16 * i)), static_cast<Xmm>(i));
        a_.mov(ptr(rdi, off::kMaMx), rbp);
        a_.stmxcsr(ptr(rsp, kMxcsr));
        a_.mov32(rax, ptr(rsp, kMxcsr));
        a_.shift32(A::Shift::Shr, rax, kMxcsrRoundingShift);
        a_.alu32(A::Alu::And, rax, 3);
        a_.mov32(ptr(rdi, off::kFprc), rax);
        a_.alu(A::Alu::Add, rsp, kFrameSize);
        pop_callee_saved(a_);
        a_.ret();
    }

    A a_;
    const Program& program_;
    Variant variant_;
    bool full_;
    VmCodeOptions options_;
    bool bmi2_ = false;
    ItemReads reads_;
    std::size_t offsets_[kProgramSizeV2] = {};
};

}  // namespace

std::size_t compile_vm_program(const Program& program, Variant variant, const ItemReads& reads,
                               std::uint8_t* code, std::size_t capacity, const VmCodeOptions& options) {
    Emitter emitter(code, capacity, program, variant, reads, options);
    return write_vm_loop(emitter, program, emitter.offsets_);
}

namespace {

std::size_t write_vm_code(const Program& program, Variant variant, const ItemReads& reads, std::uint8_t* code,
                          std::size_t capacity) {
    return compile_vm_program(program, variant, reads, code, capacity);
}

}  // namespace

// v2's register mixing is AESENC/AESDEC.
VmCodeWriter vm_code_writer(Variant variant) noexcept {
    return variant == Variant::V2 && !cpu_has_aes() ? nullptr : &write_vm_code;
}

}  // namespace rx
