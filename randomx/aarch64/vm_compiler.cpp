#include "randomx/aarch64/vm_compiler.h"

#include "randomx/aarch64/a64_assembler.h"
#include "randomx/aes.h"
#include "randomx/aes_kernels.h"
#include "randomx/dataset.h"
#include "randomx/vm_code_loop.h"

namespace rx::a64 {
namespace {

using A = Assembler;

X R(unsigned i) { return static_cast<X>(x19 + i); }
V F(unsigned i) { return static_cast<V>(v0 + i); }  // f0-f3; FSWAP_R's 4-7 are e0-e3
V E(unsigned i) { return static_cast<V>(v4 + i); }
V Av(unsigned i) { return static_cast<V>(v8 + i); }

// The registers (vm_compiler.h's table); kAddress holds a memory operand's
// scratchpad offset, kValue a loaded operand or a constant.
constexpr X kScratchpad = x27, kMaMx = x28, kData = x29;
constexpr X kCounter = x9, kSpAddr0 = x10, kSpAddr1 = x11, kFpcrBase = x12;
constexpr X kAddress = x16, kValue = x17;
constexpr V kEKeep = v13, kEOr = v14, kScale = v15;
// Zero in v12, among the registers saved around a call into C++ (v0-v15):
// the calling convention lets a callee change v16-v31 (and all but the low
// halves of v8-v15), so nothing of ours lives there across a call.
constexpr V kZero = v12;
constexpr V kTemp = v17;  // never live across a call

// The stack frame: the callee-saved registers, the state pointer, the
// registers kept across a light-mode call, the items it computes (two) and,
// where the call may change vector registers, v0-v15.
constexpr std::int32_t kSavedX = 0;      // x19-x30
constexpr std::int32_t kSavedD = 96;     // d8-d15
constexpr std::uint32_t kStatePtr = 160;
constexpr std::int32_t kKept = 176;      // x9-x12
constexpr std::uint32_t kItem = 208;
constexpr std::int32_t kVectorSave = 336;
constexpr std::uint32_t kFrameSize = 592;

constexpr std::uint32_t kRoundingShift = 22;  // FPCR.RMode, bits 23:22
constexpr std::uint64_t kCacheBlockMask = (kCacheItemCount - 1) * kCacheLineSize;

// v2's register mixing with the software rounds, for processors without the
// cryptography extension.
void soft_mix(void* f, const void* e) { aes_kernels::mix_registers<SoftAes>(f, e); }

class Emitter {
public:
    Emitter(std::uint8_t* code, std::size_t capacity, const Program& program, Variant variant,
            const ItemReads& reads, bool hard_aes)
        : a_(code, capacity), program_(program), variant_(variant), full_(reads.full), hard_aes_(hard_aes),
          reads_(reads) {}

    // ---- The steps of write_vm_loop (vm_code_loop.h) ----------------------
    A& code() { return a_; }
    void jump(A::Label& target) { a_.b(target); }

    static constexpr std::size_t kLoopAlignment = 16;

    // spAddr0 and spAddr1 from the low and high halves of readReg0 ^ readReg1.
    void scratchpad_addresses(const ProgramConfig& c) {
        a_.eor(x16, R(c.read_reg[0]), R(c.read_reg[1]));
        a_.mov32(kSpAddr0, x16);
        a_.lsr(kSpAddr1, x16, 32);
    }

    void next_iteration(std::size_t loop) {
        a_.subs_imm(kCounter, kCounter, 1);
        a_.b_cond_to(Cond::NE, loop);
    }

    void prologue() {
        a_.sub_imm(sp, sp, kFrameSize);
        for (unsigned i = 0; i < 12; i += 2) {
            a_.stp(static_cast<X>(x19 + i), static_cast<X>(x20 + i), sp, kSavedX + static_cast<std::int32_t>(8 * i));
        }
        for (unsigned i = 0; i < 8; i += 2) {
            a_.stp_d(static_cast<V>(v8 + i), static_cast<V>(v9 + i), sp, kSavedD + static_cast<std::int32_t>(8 * i));
        }
        a_.str(x0, sp, kStatePtr);
        a_.mov(kScratchpad, x1);
        if (full_) {
            a_.add_any(kData, x2, program_.config.dataset_offset, x16);
        } else {
            a_.mov_imm(kData, reinterpret_cast<std::uint64_t>(reads_.cache_memory));
        }
        load_vector_constants();
        a_.ldr(kMaMx, x0, vm_state_offset::kMaMx);
        for (unsigned i = 0; i < 8; ++i) a_.mov(R(i), xzr);
        a_.mov_imm(kCounter, kProgramIterations);
        a_.mrs_fpcr(kFpcrBase);
        a_.and_imm(kFpcrBase, kFpcrBase, ~(std::uint64_t{3} << kRoundingShift));
        // The first iteration's addresses: spAddr0 = mx, spAddr1 = ma (the
        // integer registers are all zero).
        a_.lsr(kSpAddr0, kMaMx, 32);
        a_.mov32(kSpAddr1, kMaMx);
    }

    // a0-a3, the masks and zero, from the state at x0 (x16 changed).
    void load_vector_constants() {
        a_.ldp_q(Av(0), Av(1), x0, vm_state_offset::kA);
        a_.ldp_q(Av(2), Av(3), x0, vm_state_offset::kA + 32);
        a_.ldr_q(kEOr, x0, vm_state_offset::kEMask);
        a_.mov_imm(x16, kEKeepMask);
        a_.dup2d(kEKeep, x16);
        a_.mov_imm(x16, kScaleMask);
        a_.dup2d(kScale, x16);
        a_.movi_zero(kZero);
    }

    void load_registers() {
        a_.and_imm(kSpAddr0, kSpAddr0, kMaskL3Line);
        a_.and_imm(kSpAddr1, kSpAddr1, kMaskL3Line);
        a_.add(x13, kScratchpad, kSpAddr0);
        for (unsigned i = 0; i < 8; i += 2) {
            a_.ldp(x14, x15, x13, static_cast<std::int32_t>(8 * i));
            a_.eor(R(i), R(i), x14);
            a_.eor(R(i + 1), R(i + 1), x15);
        }
        a_.add(x13, kScratchpad, kSpAddr1);
        for (unsigned half = 0; half < 4; ++half) {
            // Four 32-bit integers: two registers' lanes.
            a_.ldr_q(kTemp, x13, 16 * half);
            const V lo = half < 2 ? F(2 * half) : E(2 * half - 4);
            const V hi = static_cast<V>(lo + 1);
            a_.sxtl2d(lo, kTemp);
            a_.sxtl2_2d(hi, kTemp);
            for (const V v : {lo, hi}) {
                a_.scvtf2d(v, v);
                if (half >= 2) {
                    a_.and16b(v, v, kEKeep);
                    a_.orr16b(v, v, kEOr);
                }
            }
        }
    }

    // kAddress = (r[base] + imm) & mask, or the absolute L3 address.
    void scratchpad_address(const Instruction& in, unsigned base) {
        if (base == kZeroRegister) {
            a_.mov_imm(kAddress, in.imm & in.mask);
            return;
        }
        // Only the low bits of the sum survive the mask, so the immediate is
        // taken modulo the scratchpad size: one or two 12-bit additions, or
        // a subtraction.
        constexpr std::uint64_t kModulus = kScratchpadL3;
        const std::uint64_t imm = in.imm & (kModulus - 1);
        if (A::fits_add_imm(imm)) {
            a_.add_imm(kAddress, R(base), imm);
        } else if (A::fits_add_imm(kModulus - imm)) {
            a_.sub_imm(kAddress, R(base), kModulus - imm);
        } else {
            a_.add_imm(kAddress, R(base), imm & 0xFFF);
            a_.add_imm(kAddress, kAddress, imm & ~std::uint64_t{0xFFF});
        }
        a_.and_imm(kAddress, kAddress, in.mask);
    }

    X load_operand(const Instruction& in) {
        scratchpad_address(in, in.src);
        a_.ldr(kValue, kScratchpad, kAddress);
        return kValue;
    }

    // kTemp = the two 32-bit integers at the operand's address, as doubles.
    void load_float_operand(const Instruction& in) {
        scratchpad_address(in, in.src);
        a_.ldr_d(kTemp, kScratchpad, kAddress);
        a_.sxtl2d(kTemp, kTemp);
        a_.scvtf2d(kTemp, kTemp);
    }

    void instruction(const Instruction& in) {
        const X d = R(in.dst);
        const X s = R(in.src & 7U);
        switch (in.op) {
        case Op::IADD_RS:
            a_.add(d, d, s, Shift::LSL, in.shift);
            if (in.imm != 0) a_.add_any(d, d, in.imm, kValue);
            break;
        case Op::IADD_M: a_.add(d, d, load_operand(in)); break;
        case Op::ISUB_R: a_.sub(d, d, s); break;
        case Op::ISUB_I: a_.add_any(d, d, 0 - in.imm, kValue); break;
        case Op::ISUB_M: a_.sub(d, d, load_operand(in)); break;
        case Op::IMUL_R: a_.mul(d, d, s); break;
        case Op::IMUL_I:
        case Op::IMUL_RCP:
            a_.mov_imm(kValue, in.imm);
            a_.mul(d, d, kValue);
            break;
        case Op::IMUL_M: a_.mul(d, d, load_operand(in)); break;
        case Op::IMULH_R: a_.umulh(d, d, s); break;
        case Op::IMULH_M: a_.umulh(d, d, load_operand(in)); break;
        case Op::ISMULH_R: a_.smulh(d, d, s); break;
        case Op::ISMULH_M: a_.smulh(d, d, load_operand(in)); break;
        case Op::INEG_R: a_.neg(d, d); break;
        case Op::IXOR_R: a_.eor(d, d, s); break;
        case Op::IXOR_I: {
            std::uint32_t fields = 0;
            if (encode_bitmask(in.imm, 64, &fields)) {
                a_.eor_imm(d, d, in.imm);
            } else {
                a_.mov_imm(kValue, in.imm);
                a_.eor(d, d, kValue);
            }
            break;
        }
        case Op::IXOR_M: a_.eor(d, d, load_operand(in)); break;
        case Op::IROR_R: a_.rorv(d, d, s); break;
        case Op::IROR_I:
            if ((in.imm & 63) != 0) a_.ror(d, d, static_cast<unsigned>(in.imm & 63));
            break;
        case Op::IROL_R:
            a_.neg(kValue, s);
            a_.rorv(d, d, kValue);
            break;
        case Op::IROL_I:
            if ((in.imm & 63) != 0) a_.ror(d, d, static_cast<unsigned>((64 - in.imm) & 63));
            break;
        case Op::ISWAP_R:
            a_.mov(kValue, d);
            a_.mov(d, s);
            a_.mov(s, kValue);
            break;
        case Op::FSWAP_R: a_.ext16b(F(in.dst), F(in.dst), F(in.dst), 8); break;
        case Op::FADD_R: a_.fadd2d(F(in.dst), F(in.dst), Av(in.src)); break;
        case Op::FADD_M:
            load_float_operand(in);
            a_.fadd2d(F(in.dst), F(in.dst), kTemp);
            break;
        case Op::FSUB_R: a_.fsub2d(F(in.dst), F(in.dst), Av(in.src)); break;
        case Op::FSUB_M:
            load_float_operand(in);
            a_.fsub2d(F(in.dst), F(in.dst), kTemp);
            break;
        case Op::FSCAL_R: a_.eor16b(F(in.dst), F(in.dst), kScale); break;
        case Op::FMUL_R: a_.fmul2d(E(in.dst), E(in.dst), Av(in.src)); break;
        case Op::FDIV_M:
            load_float_operand(in);
            a_.and16b(kTemp, kTemp, kEKeep);
            a_.orr16b(kTemp, kTemp, kEOr);
            a_.fdiv2d(E(in.dst), E(in.dst), kTemp);
            break;
        case Op::FSQRT_R: a_.fsqrt2d(E(in.dst), E(in.dst)); break;
        case Op::CBRANCH:
            a_.add_any(d, d, in.imm, kValue);
            a_.tst_imm(d, ((std::uint64_t{1} << kJumpBits) - 1) << in.shift);
            a_.b_cond_to(Cond::EQ, offsets_[in.target]);
            break;
        case Op::CFROUND: write_cfround(*this, variant_, in); break;
        case Op::ISTORE:
            scratchpad_address(in, in.dst);
            a_.str(s, kScratchpad, kAddress);
            break;
        case Op::NOP: break;
        }
    }

    // CFROUND's steps (write_cfround), on kValue.
    void rotate_source(const Instruction& in) { a_.ror(kValue, R(in.src & 7U), static_cast<unsigned>(in.imm & 63)); }
    void skip_unless_zero(std::uint64_t mask, A::Label& skip) {
        a_.tst_imm(kValue, mask);
        a_.b_cond(Cond::NE, skip);
    }
    // fprc (bits 0-1) 0 nearest, 1 down, 2 up, 3 toward zero is RMode 0, 2,
    // 1, 3: the two bits swapped, which bit reversal gives in bits 63-62.
    void set_rounding() {
        a_.rbit(kValue, kValue);
        a_.lsr(kValue, kValue, 62);
        a_.orr(kValue, kFpcrBase, kValue, Shift::LSL, kRoundingShift);
        a_.msr_fpcr(kValue);
    }

    // mp ^= readReg2 ^ readReg3; prefetch the item at mp; read the item at
    // mt; swap ma and mx. x16 ends as mt.
    void dataset_step() {
        const ProgramConfig& c = program_.config;
        a_.eor(x16, R(c.read_reg[2]), R(c.read_reg[3]));
        a_.mov32(x16, x16);
        if (variant_ == Variant::V1) {
            a_.eor(kMaMx, kMaMx, x16, Shift::LSL, 32);  // mx ^= mix
            a_.lsr(x17, kMaMx, 32);
            prefetch(x17);
            a_.mov32(x16, kMaMx);                         // mt = ma
        } else {
            a_.mov32(x15, kMaMx);                         // mt = ma
            a_.eor(kMaMx, kMaMx, x16);                    // ma ^= mix
            a_.mov32(x17, kMaMx);
            prefetch(x17);
            a_.mov(x16, x15);
        }
        a_.and_imm(x16, x16, kDatasetAddressMask);
        if (full_) {
            a_.add(x13, kData, x16);
            xor_item(x13);
        } else if (reads_.pair != nullptr) {
            // v2 reads at iteration i the item at ma and at i + 1 the one at
            // mx (as ma and mx are when iteration i starts): both are known
            // one iteration early, so they are computed together.
            light_pair();
        } else {
            light_item();
        }
        a_.ror(kMaMx, kMaMx, 32);
    }

    // r0-r7 ^= the eight words at [base].
    void xor_item(X base) {
        for (unsigned i = 0; i < 8; i += 2) {
            a_.ldp(x14, x15, base, static_cast<std::int32_t>(8 * i));
            a_.eor(R(i), R(i), x14);
            a_.eor(R(i + 1), R(i + 1), x15);
        }
    }

    // Prefetches what the item at `address` (unmasked) needs first: the
    // item itself, or in light mode its first cache block.
    void prefetch(X address) {
        a_.and_imm(address, address, kDatasetAddressMask);
        if (!full_) {
            a_.add_any(address, address, program_.config.dataset_offset, x13);
            a_.and_imm(address, address, kCacheBlockMask);
        }
        a_.prfm_l1(kData, address);
    }

    void save_kept() {
        a_.stp(x9, x10, sp, kKept);
        a_.stp(x11, x12, sp, kKept + 16);
    }

    void restore_kept() {
        a_.ldp(x9, x10, sp, kKept);
        a_.ldp(x11, x12, sp, kKept + 16);
    }

    // x`to` = the item number of the masked address in `from`.
    void item_number(X to, X from) {
        a_.add_any(to, from, program_.config.dataset_offset, x17);
        a_.lsr(to, to, 6);
    }

    // Computes the item at x16 (masked) and XORs it into r0-r7.
    void light_item() {
        save_kept();
        if (!reads_.item_compiled) {
            for (unsigned i = 0; i < 16; i += 2) {
                a_.stp_q(static_cast<V>(v0 + i), static_cast<V>(v1 + i), sp, kVectorSave + static_cast<std::int32_t>(16 * i));
            }
        }
        item_number(x1, x16);
        a_.add_imm(x2, sp, kItem);
        a_.mov_imm(x0, reads_.item_argument);
        a_.mov_imm(x16, reads_.item);
        a_.blr(x16);
        if (!reads_.item_compiled) {
            for (unsigned i = 0; i < 16; i += 2) {
                a_.ldp_q(static_cast<V>(v0 + i), static_cast<V>(v1 + i), sp, kVectorSave + static_cast<std::int32_t>(16 * i));
            }
        }
        restore_kept();
        a_.add_imm(x13, sp, kItem);
        xor_item(x13);
    }

    // v2, light mode: iterations 2k (even counter, as the count starts at
    // 2048) compute the items of 2k (at x16) and 2k + 1 (at mx, not yet
    // changed) together; iterations 2k + 1 use the second.
    void light_pair() {
        A::Label odd;
        A::Label combine;
        a_.tbnz(kCounter, 0, odd);
        save_kept();
        item_number(x1, x16);
        a_.lsr(x2, kMaMx, 32);
        a_.and_imm(x2, x2, kDatasetAddressMask);
        item_number(x2, x2);
        a_.add_imm(x3, sp, kItem);
        a_.mov_imm(x0, reinterpret_cast<std::uint64_t>(reads_.cache_memory));
        a_.mov_imm(x16, reinterpret_cast<std::uint64_t>(reads_.pair));
        a_.blr(x16);
        restore_kept();
        a_.add_imm(x13, sp, kItem);
        a_.b(combine);
        a_.bind(odd);
        a_.add_imm(x13, sp, kItem + 64);
        a_.bind(combine);
        xor_item(x13);
    }

    // r0-r7 to spAddr1; f0-f3, mixed with e0-e3, to spAddr0.
    void store_registers() {
        a_.add(x13, kScratchpad, kSpAddr1);
        for (unsigned i = 0; i < 8; i += 2) a_.stp(R(i), R(i + 1), x13, static_cast<std::int32_t>(8 * i));
        if (variant_ == Variant::V1) {
            for (unsigned i = 0; i < 4; ++i) a_.eor16b(F(i), F(i), E(i));
        } else if (!hard_aes_) {
            soft_mix_call();
        } else {
            // Each e register in turn is the round key of one round on every
            // f register: f0 and f2 encrypt, f1 and f3 decrypt. The
            // algorithm's round is AESMC(AESE(s, 0)) ^ key (AESIMC, AESD).
            for (unsigned k = 0; k < 4; ++k) {
                for (unsigned i = 0; i < 4; ++i) {
                    if (i % 2 == 0) {
                        a_.aese(F(i), kZero);
                        a_.aesmc(F(i), F(i));
                    } else {
                        a_.aesd(F(i), kZero);
                        a_.aesimc(F(i), F(i));
                    }
                    a_.eor16b(F(i), F(i), E(k));
                }
            }
        }
        a_.add(x13, kScratchpad, kSpAddr0);
        a_.stp_q(F(0), F(1), x13, 0);
        a_.stp_q(F(2), F(3), x13, 32);
    }

    // f0-f3 and e0-e3 through memory to soft_mix; the call may change every
    // vector register (and x0-x18), so what the loop keeps in them is
    // reloaded.
    void soft_mix_call() {
        for (unsigned i = 0; i < 8; i += 2) {
            a_.stp_q(static_cast<V>(v0 + i), static_cast<V>(v1 + i), sp, kVectorSave + static_cast<std::int32_t>(16 * i));
        }
        save_kept();
        a_.add_imm(x0, sp, kVectorSave);
        a_.add_imm(x1, sp, kVectorSave + 64);
        a_.mov_imm(x16, reinterpret_cast<std::uint64_t>(&soft_mix));
        a_.blr(x16);
        restore_kept();
        for (unsigned i = 0; i < 8; i += 2) {
            a_.ldp_q(static_cast<V>(v0 + i), static_cast<V>(v1 + i), sp, kVectorSave + static_cast<std::int32_t>(16 * i));
        }
        a_.ldr(x0, sp, kStatePtr);
        load_vector_constants();
    }

    void epilogue() {
        a_.ldr(x0, sp, kStatePtr);
        for (unsigned i = 0; i < 8; i += 2) a_.stp(R(i), R(i + 1), x0, vm_state_offset::kR + static_cast<std::int32_t>(8 * i));
        for (unsigned i = 0; i < 8; i += 2) {
            a_.stp_q(static_cast<V>(v0 + i), static_cast<V>(v1 + i), x0, vm_state_offset::kFe + static_cast<std::int32_t>(16 * i));
        }
        a_.str(kMaMx, x0, vm_state_offset::kMaMx);
        a_.mrs_fpcr(x16);
        a_.ubfx(x16, x16, kRoundingShift, 2);
        a_.rbit(x16, x16);  // RMode back to fprc: the same swap
        a_.lsr(x16, x16, 62);
        a_.str32(x16, x0, vm_state_offset::kFprc);
        for (unsigned i = 0; i < 12; i += 2) {
            a_.ldp(static_cast<X>(x19 + i), static_cast<X>(x20 + i), sp, kSavedX + static_cast<std::int32_t>(8 * i));
        }
        for (unsigned i = 0; i < 8; i += 2) {
            a_.ldp_d(static_cast<V>(v8 + i), static_cast<V>(v9 + i), sp, kSavedD + static_cast<std::int32_t>(8 * i));
        }
        a_.add_imm(sp, sp, kFrameSize);
        a_.ret();
    }

    A a_;
    const Program& program_;
    Variant variant_;
    bool full_;
    bool hard_aes_;
    ItemReads reads_;
    std::size_t offsets_[kProgramSizeV2] = {};
};

}  // namespace

std::size_t compile_vm_program(const Program& program, Variant variant, const ItemReads& reads,
                               std::uint8_t* code, std::size_t capacity, bool hard_aes) {
    Emitter emitter(code, capacity, program, variant, reads, hard_aes);
    return write_vm_loop(emitter, program, emitter.offsets_);
}

}  // namespace rx::a64
