#include "randomx/riscv64/vm_compiler.h"

#include <iterator>

#include "randomx/aes.h"
#include "randomx/aes_kernels.h"
#include "randomx/riscv64/rv64_assembler.h"
#include "randomx/riscv64/rv64_forms.h"
#include "randomx/superscalar_items.h"
#include "randomx/vm_code_loop.h"

namespace rx::rv64 {
namespace {

using A = Assembler;
namespace off = vm_state_offset;

X R(unsigned i) { return static_cast<X>(x18 + i); }

// The two lanes of a VM floating-point register.
struct Lanes {
    F lo;
    F hi;
};
// f0-f3 then e0-e3 (FSWAP_R's numbering), then a0-a3.
constexpr Lanes kFe[8] = {{f8, f9}, {f18, f19}, {f20, f21}, {f22, f23}, {f24, f25}, {f26, f27}, {f0, f1}, {f2, f3}};
constexpr Lanes kA[4] = {{f4, f5}, {f6, f7}, {f10, f11}, {f12, f13}};
Lanes Fr(unsigned i) { return kFe[i]; }
Lanes Er(unsigned i) { return kFe[4 + i]; }
constexpr Lanes kFTemp = {f14, f15};
// The VM's values in registers a C++ callee may change: e2, e3.
constexpr F kCallerSavedValues[] = {f0, f1, f2, f3};
// Callee-saved, and saved by the prologue: fs0-fs11.
constexpr F kSavedFloats[] = {f8, f9, f18, f19, f20, f21, f22, f23, f24, f25, f26, f27};
constexpr X kSavedIntegers[] = {x1, x8, x9, x18, x19, x20, x21, x22, x23, x24, x25, x26, x27};

// The integer registers (vm_compiler.h's table): what lives across a call
// in callee-saved registers; spAddr0 and spAddr1 kept on the stack around
// calls; the masks and constants reloaded after them; and the temporaries
// (a memory operand's address, a loaded operand or constant, and another).
constexpr X kScratchpad = x8, kMaMx = x9, kData = x26, kCounter = x27;
constexpr X kSpAddr0 = x28, kSpAddr1 = x29;
constexpr X kL1 = x30, kL2 = x31, kL3 = x17, kDatasetMask = x12, kScale = x13, kEKeep = x14, kEOrLo = x15, kEOrHi = x16;
constexpr X kAddress = x5, kValue = x6, kTemp = x7;

// The stack frame.
constexpr std::int32_t kSavedX = 0;       // ra, s0-s11
constexpr std::int32_t kSavedF = 104;     // fs0-fs11
constexpr std::int32_t kStatePtr = 200;
constexpr std::int32_t kKept = 208;       // spAddr0, spAddr1 across a call
constexpr std::int32_t kItem = 224;       // items computed in light mode (two)
constexpr std::int32_t kFloatSave = 352;  // e0-e3 for the mixing, or e2 and e3 across an item call
constexpr std::int32_t kFrameSize = 416;
static_assert(kSavedX + 8 * std::size(kSavedIntegers) <= kSavedF && kSavedF + 8 * std::size(kSavedFloats) <= kStatePtr &&
              kItem + 128 <= kFloatSave && kFloatSave + 64 <= kFrameSize && kFrameSize % 16 == 0);

// fprc 0-3 (nearest, down, up, toward zero) as frm (0, 2, 3, 1), two bits
// each, and back.
constexpr std::int32_t kFprcToFrm = 0b01'11'10'00;
constexpr std::int32_t kFrmToFprc = 0b10'01'11'00;

// v2's register mixing with the software rounds.
void soft_mix(void* f, const void* e) { aes_kernels::mix_registers<SoftAes>(f, e); }

class Emitter {
public:
    Emitter(std::uint8_t* code, std::size_t capacity, const Program& program, Variant variant, const ItemReads& reads)
        : forms_(Forms::of_processor()), reads_(reads), variant_(variant), program_(program), a_(code, capacity) {}

    // ---- The steps of write_vm_loop (vm_code_loop.h) ----------------------
    static constexpr std::size_t kLoopAlignment = 4;  // any instruction
    void jump(A::Label& target) { a_.j(target); }
    A& code() { return a_; }

    // The high and low halves of readReg0 ^ readReg1 (load_registers masks them).
    void scratchpad_addresses(const ProgramConfig& c) {
        a_.xor_(kTemp, R(c.read_reg[0]), R(c.read_reg[1]));
        a_.srli(kSpAddr1, kTemp, 32);
        a_.mv(kSpAddr0, kTemp);
    }

    void next_iteration(std::size_t loop) {
        a_.addi(kCounter, kCounter, -1);
        a_.branch_back(Cond::NE, kCounter, zero, loop);
    }

    // The callee-saved registers the code uses, stored to (or loaded from)
    // the bottom of its frame.
    void callee_saved(void (A::*integer)(X, X, std::int32_t), void (A::*floating)(F, X, std::int32_t)) {
        for (std::size_t i = 0; i < std::size(kSavedIntegers); ++i) {
            (a_.*integer)(kSavedIntegers[i], sp, kSavedX + 8 * static_cast<std::int32_t>(i));
        }
        for (std::size_t i = 0; i < std::size(kSavedFloats); ++i) {
            (a_.*floating)(kSavedFloats[i], sp, kSavedF + 8 * static_cast<std::int32_t>(i));
        }
    }

    void prologue() {
        a_.addi(sp, sp, -kFrameSize);
        callee_saved(&A::sd, &A::fsd);
        a_.sd(x10, sp, kStatePtr);
        a_.mv(kScratchpad, x11);
        if (reads_.full) {
            a_.add_imm(kData, x12, static_cast<std::int64_t>(program_.config.dataset_offset), kTemp);
        } else {
            a_.li(kData, reinterpret_cast<std::uintptr_t>(reads_.cache_memory));
        }
        a_.ld(kMaMx, x10, off::kMaMx);
        load_constants(x10);
        for (unsigned i = 0; i < 8; ++i) a_.mv(R(i), zero);
        a_.li(kCounter, kProgramIterations);
        // The first iteration's addresses: spAddr0 = mx, spAddr1 = ma (the
        // integer registers are all zero).
        a_.srli(kSpAddr0, kMaMx, 32);
        a_.mv(kSpAddr1, kMaMx);
    }

    // a0-a3, the masks and the constants, from the state at `state`; what a
    // C++ callee may have changed is reloaded with this.
    void load_constants(X state) {
        for (unsigned i = 0; i < 4; ++i) {
            a_.fld(kA[i].lo, state, off::kA + 16 * static_cast<std::int32_t>(i));
            a_.fld(kA[i].hi, state, off::kA + 16 * static_cast<std::int32_t>(i) + 8);
        }
        a_.ld(kEOrLo, state, off::kEMask);
        a_.ld(kEOrHi, state, off::kEMask + 8);
        a_.li(kEKeep, kEKeepMask);
        a_.li(kScale, kScaleMask);
        a_.li(kL1, kMaskL1);
        a_.li(kL2, kMaskL2);
        a_.li(kL3, kMaskL3);
        a_.li(kDatasetMask, kDatasetAddressMask);
    }

    void reload_constants() {
        a_.ld(kTemp, sp, kStatePtr);
        load_constants(kTemp);
    }

    // kSpAddr0/1 hold unmasked addresses.
    void load_registers() {
        for (const X addr : {kSpAddr0, kSpAddr1}) {
            a_.and_(addr, addr, kL3);
            a_.andi(addr, addr, -64);
        }
        a_.add(kAddress, kScratchpad, kSpAddr0);
        for (unsigned i = 0; i < 8; ++i) {
            a_.ld(kValue, kAddress, static_cast<std::int32_t>(8 * i));
            a_.xor_(R(i), R(i), kValue);
        }
        a_.add(kAddress, kScratchpad, kSpAddr1);
        for (unsigned i = 0; i < 4; ++i) {
            const auto at = static_cast<std::int32_t>(8 * i);
            convert(Fr(i), kAddress, at, false);
            convert(Er(i), kAddress, 32 + at, true);
        }
    }

    // `to` = the two 32-bit integers at base + at as doubles; `group_e`: with
    // the exponent and sign masked and the program's E masks applied.
    void convert(Lanes to, X base, std::int32_t at, bool group_e) {
        for (const bool high : {false, true}) {
            const F lane = high ? to.hi : to.lo;
            a_.lw(kValue, base, at + (high ? 4 : 0));
            a_.fcvt_d_w(lane, kValue);
            if (group_e) {
                a_.fmv_x_d(kValue, lane);
                a_.and_(kValue, kValue, kEKeep);
                a_.or_(kValue, kValue, high ? kEOrHi : kEOrLo);
                a_.fmv_d_x(lane, kValue);
            }
        }
    }

    X level_mask(std::uint32_t mask) const {
        return mask == kMaskL1 ? kL1 : mask == kMaskL2 ? kL2 : kL3;
    }

    // kAddress = scratchpad + ((r[base] + imm) & mask), or the absolute L3 address.
    void scratchpad_address(const Instruction& in, unsigned base) {
        if (base == kZeroRegister) {
            a_.add_imm(kAddress, kScratchpad, static_cast<std::int64_t>(in.imm & in.mask), kAddress);
            return;
        }
        // Only the low bits of the sum survive the mask, so the immediate is
        // taken modulo the scratchpad size, as a small negative one where
        // that is shorter.
        constexpr std::int64_t kModulus = kScratchpadL3;
        std::int64_t imm = static_cast<std::int64_t>(in.imm & (kModulus - 1));
        if (imm >= kModulus / 2) imm -= kModulus;
        a_.add_imm(kAddress, R(base), imm, kAddress);
        a_.and_(kAddress, kAddress, level_mask(in.mask));
        a_.add(kAddress, kAddress, kScratchpad);
    }

    X load_operand(const Instruction& in) {
        scratchpad_address(in, in.src);
        a_.ld(kValue, kAddress, 0);
        return kValue;
    }

    // d = d op s lane by lane (or d = op s, for a square root).
    void lanes(Lanes d, Lanes s, void (A::*op)(F, F, F)) {
        (a_.*op)(d.lo, d.lo, s.lo);
        (a_.*op)(d.hi, d.hi, s.hi);
    }
    void lanes(Lanes d, Lanes s, void (A::*op)(F, F)) {
        (a_.*op)(d.lo, s.lo);
        (a_.*op)(d.hi, s.hi);
    }

    // Exchanges two registers through `temp`.
    template <class Reg>
    void swap(Reg x, Reg y, Reg temp) {
        move(temp, x);
        move(x, y);
        move(y, temp);
    }
    void move(X d, X s) { a_.mv(d, s); }
    void move(F d, F s) { a_.fmv_d(d, s); }

    // kValue = `value`.
    X constant(std::uint64_t value) {
        a_.li(kValue, value);
        return kValue;
    }

    // d ^= `mask` in both lanes (an integer register).
    void xor_lanes(Lanes d, X mask) {
        for (const F lane : {d.lo, d.hi}) {
            a_.fmv_x_d(kValue, lane);
            a_.xor_(kValue, kValue, mask);
            a_.fmv_d_x(lane, kValue);
        }
    }

    // The operand of an integer instruction: its source register, or the
    // scratchpad word it addresses, loaded.
    X integer_source(const Instruction& in, bool memory) { return memory ? load_operand(in) : R(in.src & 7U); }

    // The operand of a floating-point instruction: a0-a3, or the scratchpad
    // pair it addresses, converted (`group_e`: as group E).
    Lanes float_source(const Instruction& in, bool memory, bool group_e) {
        if (!memory) return kA[in.src];
        scratchpad_address(in, in.src);
        convert(kFTemp, kAddress, 0, group_e);
        return kFTemp;
    }

    void instruction(const Instruction& in) {
        using O = Op;
        const X d = R(in.dst);
        const X s = R(in.src & 7U);
        const auto imm = static_cast<std::int64_t>(in.imm);
        switch (in.op) {
        // d = d op (register or scratchpad word)
        case O::IADD_M: a_.add(d, d, integer_source(in, true)); break;
        case O::ISUB_R: case O::ISUB_M: a_.sub(d, d, integer_source(in, in.op == O::ISUB_M)); break;
        case O::IMUL_R: case O::IMUL_M: a_.mul(d, d, integer_source(in, in.op == O::IMUL_M)); break;
        case O::IMULH_R: case O::IMULH_M: a_.mulhu(d, d, integer_source(in, in.op == O::IMULH_M)); break;
        case O::ISMULH_R: case O::ISMULH_M: a_.mulh(d, d, integer_source(in, in.op == O::ISMULH_M)); break;
        case O::IXOR_R: case O::IXOR_M: a_.xor_(d, d, integer_source(in, in.op == O::IXOR_M)); break;
        // with an immediate
        case O::IADD_RS:
            forms_.add_shifted(a_, d, s, in.shift, kValue);
            if (imm != 0) a_.add_imm(d, d, imm, kValue);
            break;
        case O::ISUB_I: a_.add_imm(d, d, -imm, kValue); break;
        case O::IMUL_I: case O::IMUL_RCP: a_.mul(d, d, constant(in.imm)); break;
        case O::IXOR_I:
            if (fits_signed(imm, 12)) {
                a_.xori(d, d, static_cast<std::int32_t>(imm));
            } else {
                a_.xor_(d, d, constant(in.imm));
            }
            break;
        case O::IROR_I: forms_.ror_imm(a_, d, d, static_cast<unsigned>(in.imm & 63), kValue); break;
        case O::IROL_I: forms_.ror_imm(a_, d, d, static_cast<unsigned>((64 - in.imm) & 63), kValue); break;
        // of registers alone
        case O::INEG_R: a_.neg(d, d); break;
        case O::IROR_R: case O::IROL_R: forms_.rotate(a_, d, d, s, in.op == O::IROL_R, kValue, kTemp); break;
        case O::ISWAP_R: swap(d, s, kValue); break;
        // floating point, lane by lane
        case O::FADD_R: case O::FADD_M: lanes(Fr(in.dst), float_source(in, in.op == O::FADD_M, false), &A::fadd_d); break;
        case O::FSUB_R: case O::FSUB_M: lanes(Fr(in.dst), float_source(in, in.op == O::FSUB_M, false), &A::fsub_d); break;
        case O::FMUL_R: lanes(Er(in.dst), float_source(in, false, false), &A::fmul_d); break;
        case O::FDIV_M: lanes(Er(in.dst), float_source(in, true, true), &A::fdiv_d); break;
        case O::FSQRT_R: lanes(Er(in.dst), Er(in.dst), &A::fsqrt_d); break;
        case O::FSCAL_R: xor_lanes(Fr(in.dst), kScale); break;
        case O::FSWAP_R: swap(kFe[in.dst].lo, kFe[in.dst].hi, kFTemp.lo); break;
        // control, and the store
        case O::CBRANCH:
            a_.add_imm(d, d, imm, kValue);
            a_.li(kValue, ((std::uint64_t{1} << kJumpBits) - 1) << in.shift);
            a_.and_(kValue, d, kValue);
            a_.branch_back(Cond::EQ, kValue, zero, offsets_[in.target]);
            break;
        case O::CFROUND: write_cfround(*this, variant_, in); break;
        case O::ISTORE:
            scratchpad_address(in, in.dst);
            a_.sd(s, kAddress, 0);
            break;
        case O::NOP: break;
        }
    }

    // CFROUND's steps (write_cfround), on kValue.
    void rotate_source(const Instruction& in) {
        forms_.ror_imm(a_, kValue, R(in.src & 7U), static_cast<unsigned>(in.imm & 63), kTemp);
    }
    void skip_unless_zero(std::int32_t mask, A::Label& skip) {
        a_.andi(kTemp, kValue, mask);
        a_.branch(Cond::NE, kTemp, zero, skip);
    }
    // frm from fprc's two bits, by the table kFprcToFrm.
    void set_rounding() {
        a_.andi(kValue, kValue, 3);
        a_.slli(kValue, kValue, 1);
        a_.addi(kTemp, zero, kFprcToFrm);
        a_.srl(kTemp, kTemp, kValue);
        a_.andi(kTemp, kTemp, 3);
        a_.fsrm(kTemp);
    }

    // mp ^= readReg2 ^ readReg3; prefetch the item at mp; read the item at
    // mt; swap ma and mx.
    void dataset_step() {
        const ProgramConfig& c = program_.config;
        a_.xor_(kValue, R(c.read_reg[2]), R(c.read_reg[3]));
        forms_.zext32(a_, kValue, kValue);
        if (variant_ == Variant::V1) {
            a_.slli(kValue, kValue, 32);
            a_.xor_(kMaMx, kMaMx, kValue);  // mx ^= mix
            a_.srli(kTemp, kMaMx, 32);
            prefetch(kTemp, kAddress);
            forms_.zext32(a_, kValue, kMaMx);  // mt = ma
        } else {
            forms_.zext32(a_, kAddress, kMaMx);  // mt = ma
            a_.xor_(kMaMx, kMaMx, kValue);      // ma ^= mix
            forms_.zext32(a_, kTemp, kMaMx);
            prefetch(kTemp, kValue);
            a_.mv(kValue, kAddress);
        }
        a_.and_(kValue, kValue, kDatasetMask);
        if (!reads_.full) {
            reads_.pair == nullptr ? light_item() : light_pair();
        } else {
            a_.add(kAddress, kData, kValue);
            xor_item(kAddress);
        }
        forms_.ror_imm(a_, kMaMx, kMaMx, 32, kTemp);
    }

    // r0-r7 ^= the eight words at [base].
    void xor_item(X base) {
        for (unsigned i = 0; i < 8; ++i) {
            a_.ld(kTemp, base, static_cast<std::int32_t>(8 * i));
            a_.xor_(R(i), R(i), kTemp);
        }
    }

    // Prefetches what the item at `address` (unmasked; changed, as may be
    // `scratch`) needs first: the item itself, or in light mode its first
    // cache block.
    void prefetch(X address, X scratch) {
        a_.and_(address, address, kDatasetMask);
        if (!reads_.full) {
            a_.add_imm(address, address, static_cast<std::int64_t>(program_.config.dataset_offset), scratch);
            a_.srli(address, address, kCacheLineShift);
            a_.slli(address, address, 64 - kCacheIndexBits);
            a_.srli(address, address, 64 - kCacheIndexBits - kCacheLineShift);
        }
        a_.add(address, kData, address);
        a_.prefetch_r(address);
    }

    // `to` = the item number of the masked address in `from`.
    void item_number(X to, X from) {
        a_.add_imm(to, from, static_cast<std::int64_t>(program_.config.dataset_offset), kTemp);
        a_.srli(to, to, 6);
    }

    // Around a call: spAddr0 and spAddr1 kept on the stack; e2 and e3 too
    // unless `keeps_floats` (the cache's compiled entries, which change no
    // floating-point register, or a caller that restores them itself); the
    // constants reloaded.
    void call(std::uintptr_t function, bool keeps_floats) {
        a_.sd(kSpAddr0, sp, kKept);
        a_.sd(kSpAddr1, sp, kKept + 8);
        if (!keeps_floats) {
            for (std::size_t i = 0; i < std::size(kCallerSavedValues); ++i) {
                a_.fsd(kCallerSavedValues[i], sp, kFloatSave + 8 * static_cast<std::int32_t>(i));
            }
        }
        a_.li(kTemp, function);
        a_.jalr(ra, kTemp);
        a_.ld(kSpAddr0, sp, kKept);
        a_.ld(kSpAddr1, sp, kKept + 8);
        if (!keeps_floats) {
            for (std::size_t i = 0; i < std::size(kCallerSavedValues); ++i) {
                a_.fld(kCallerSavedValues[i], sp, kFloatSave + 8 * static_cast<std::int32_t>(i));
            }
        }
        reload_constants();
    }

    // Computes the item at kValue (masked) and XORs it into r0-r7.
    void light_item() {
        item_number(x11, kValue);
        a_.addi(x12, sp, kItem);
        a_.li(x10, reads_.item_argument);
        call(reads_.item, reads_.item_compiled);
        a_.addi(kAddress, sp, kItem);
        xor_item(kAddress);
    }

    // v2, light mode: iterations 2k (even counter, as the count starts at
    // 2048) compute the items of 2k (at kValue) and 2k + 1 (at mx, not yet
    // changed) together; iterations 2k + 1 use the second. The items v2
    // reads at iteration i are at ma and at i + 1 at mx, as they are when
    // iteration i starts: both are known an iteration early.
    void light_pair() {
        A::Label computed;
        a_.andi(kTemp, kCounter, 1);
        a_.branch(Cond::NE, kTemp, zero, computed);
        a_.srli(kAddress, kMaMx, 32);
        a_.and_(kAddress, kAddress, kDatasetMask);  // before a2, which holds the mask, takes an argument
        item_number(x11, kValue);
        item_number(x12, kAddress);
        a_.addi(x13, sp, kItem);
        a_.li(x10, reinterpret_cast<std::uintptr_t>(reads_.cache_memory));
        call(reinterpret_cast<std::uintptr_t>(reads_.pair), true);
        // The first item on even iterations, the second on odd ones.
        a_.bind(computed);
        a_.andi(kAddress, kCounter, 1);
        a_.slli(kAddress, kAddress, 6);
        a_.add(kAddress, kAddress, sp);
        a_.addi(kAddress, kAddress, kItem);
        xor_item(kAddress);
    }

    // r0-r7 to spAddr1; f0-f3, mixed with e0-e3, to spAddr0.
    void store_registers() {
        a_.add(kAddress, kScratchpad, kSpAddr1);
        for (unsigned i = 0; i < 8; ++i) a_.sd(R(i), kAddress, static_cast<std::int32_t>(8 * i));
        if (variant_ == Variant::V1) {
            for (unsigned i = 0; i < 4; ++i) {
                for (const bool high : {false, true}) {
                    const F f = high ? Fr(i).hi : Fr(i).lo;
                    a_.fmv_x_d(kValue, f);
                    a_.fmv_x_d(kTemp, high ? Er(i).hi : Er(i).lo);
                    a_.xor_(kValue, kValue, kTemp);
                    a_.fmv_d_x(f, kValue);
                }
            }
        }
        a_.add(kAddress, kScratchpad, kSpAddr0);
        store_f(kAddress);
        if (variant_ == Variant::V2) soft_mix_call();
    }

    void store_f(X base) {
        for (unsigned i = 0; i < 4; ++i) {
            a_.fsd(Fr(i).lo, base, static_cast<std::int32_t>(16 * i));
            a_.fsd(Fr(i).hi, base, static_cast<std::int32_t>(16 * i + 8));
        }
    }

    // v2: f0-f3 as stored to spAddr0 are mixed there in place with e0-e3
    // (copied to the stack) by the software rounds, then read back. The call
    // may change e2 and e3, which come back from the copy.
    void soft_mix_call() {
        for (unsigned i = 0; i < 4; ++i) {
            a_.fsd(Er(i).lo, sp, kFloatSave + 16 * static_cast<std::int32_t>(i));
            a_.fsd(Er(i).hi, sp, kFloatSave + 16 * static_cast<std::int32_t>(i) + 8);
        }
        a_.mv(x10, kAddress);
        a_.addi(x11, sp, kFloatSave);
        call(reinterpret_cast<std::uintptr_t>(&soft_mix), true);
        for (unsigned i = 2; i < 4; ++i) {
            a_.fld(Er(i).lo, sp, kFloatSave + 16 * static_cast<std::int32_t>(i));
            a_.fld(Er(i).hi, sp, kFloatSave + 16 * static_cast<std::int32_t>(i) + 8);
        }
        a_.add(kAddress, kScratchpad, kSpAddr0);
        for (unsigned i = 0; i < 4; ++i) {
            a_.fld(Fr(i).lo, kAddress, static_cast<std::int32_t>(16 * i));
            a_.fld(Fr(i).hi, kAddress, static_cast<std::int32_t>(16 * i + 8));
        }
    }

    void epilogue() {
        a_.ld(x10, sp, kStatePtr);
        for (unsigned i = 0; i < 8; ++i) a_.sd(R(i), x10, off::kR + static_cast<std::int32_t>(8 * i));
        for (unsigned i = 0; i < 8; ++i) {
            a_.fsd(kFe[i].lo, x10, off::kFe + static_cast<std::int32_t>(16 * i));
            a_.fsd(kFe[i].hi, x10, off::kFe + static_cast<std::int32_t>(16 * i + 8));
        }
        a_.sd(kMaMx, x10, off::kMaMx);
        a_.frrm(kValue);
        a_.slli(kValue, kValue, 1);
        a_.addi(kTemp, zero, kFrmToFprc);
        a_.srl(kTemp, kTemp, kValue);
        a_.andi(kTemp, kTemp, 3);
        a_.sw(kTemp, x10, off::kFprc);
        callee_saved(&A::ld, &A::fld);
        a_.addi(sp, sp, kFrameSize);
        a_.ret();
    }

    Forms forms_;
    ItemReads reads_;
    Variant variant_;
    const Program& program_;
    std::size_t offsets_[kProgramSizeV2] = {};
    A a_;
};

}  // namespace

std::size_t compile_vm_program(const Program& program, Variant variant, const ItemReads& reads,
                               std::uint8_t* code, std::size_t capacity) {
    Emitter emitter(code, capacity, program, variant, reads);
    return write_vm_loop(emitter, program, emitter.offsets_);
}

}  // namespace rx::rv64
