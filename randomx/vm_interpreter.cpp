// The interpreter back end: runs a decoded program instruction by
// instruction, reporting every iteration to the observer. Plain C++: the
// floating-point registers are pairs of doubles whose operations round as
// the processor's current mode says (vm_rounding.h), on any architecture.
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

#include "randomx/aes.h"
#include "randomx/aes_kernels.h"
#include "randomx/arch.h"
#include "randomx/vm.h"
#include "randomx/vm_rounding.h"
#include "randomx/wipe.h"

namespace rx {
namespace {

constexpr std::uint64_t kJumpMask = (std::uint64_t{1} << kJumpBits) - 1;

inline std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

inline void store64(std::uint8_t* p, std::uint64_t value) { std::memcpy(p, &value, sizeof value); }

__extension__ typedef unsigned __int128 Uint128;
__extension__ typedef __int128 Int128;

inline std::uint64_t mulh(std::uint64_t a, std::uint64_t b) {
    return static_cast<std::uint64_t>((Uint128{a} * b) >> 64);
}

inline std::uint64_t smulh(std::uint64_t a, std::uint64_t b) {
    const Int128 product = Int128{static_cast<std::int64_t>(a)} * static_cast<std::int64_t>(b);
    return static_cast<std::uint64_t>(static_cast<Uint128>(product) >> 64);
}

inline unsigned rotation(std::uint64_t count) { return static_cast<unsigned>(count & 63); }

using F = FloatRegister;

inline std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }
inline double from_bits(std::uint64_t x) { return std::bit_cast<double>(x); }

// Group F conversion: two little-endian signed 32-bit integers, exactly.
inline F load_f(const std::uint8_t* p) {
    std::int32_t v[2];
    std::memcpy(v, p, sizeof v);
    return F{static_cast<double>(v[0]), static_cast<double>(v[1])};
}

// Group E conversion: the same, with the exponent and sign masked and the
// program's OR masks applied, so that the values are positive and finite.
inline F load_e(const std::uint8_t* p, const std::uint64_t e_mask[2]) {
    const F f = load_f(p);
    return F{from_bits((bits(f.lo) & kEKeepMask) | e_mask[0]), from_bits((bits(f.hi) & kEKeepMask) | e_mask[1])};
}

inline F f_add(const F& x, const F& y) { return F{x.lo + y.lo, x.hi + y.hi}; }
inline F f_sub(const F& x, const F& y) { return F{x.lo - y.lo, x.hi - y.hi}; }
inline F f_mul(const F& x, const F& y) { return F{x.lo * y.lo, x.hi * y.hi}; }
inline F f_div(const F& x, const F& y) { return F{x.lo / y.lo, x.hi / y.hi}; }
inline F f_sqrt(const F& x) { return F{std::sqrt(x.lo), std::sqrt(x.hi)}; }
inline F xor_bits(const F& x, std::uint64_t lo, std::uint64_t hi) {
    return F{from_bits(bits(x.lo) ^ lo), from_bits(bits(x.hi) ^ hi)};
}

// One pass over the program buffer.
void run_instructions(const Program& program, VmState& s, std::uint8_t* sp, Variant variant,
                      HashObserver* observer) {
    const Instruction* code = program.code;
    const std::uint32_t size = program.size;
    std::uint64_t* r = s.r;
    F* fe = s.fe;
    F* f = s.fe;
    F* e = s.fe + 4;
    const F* a = s.a;
    std::uint32_t pc = 0;
    while (pc < size) {
        const Instruction& in = code[pc];
        switch (in.op) {
        case Op::IADD_RS: r[in.dst] += (r[in.src] << in.shift) + in.imm; break;
        case Op::IADD_M: r[in.dst] += load64(sp + ((r[in.src] + in.imm) & in.mask)); break;
        case Op::ISUB_R: r[in.dst] -= r[in.src]; break;
        case Op::ISUB_I: r[in.dst] -= in.imm; break;
        case Op::ISUB_M: r[in.dst] -= load64(sp + ((r[in.src] + in.imm) & in.mask)); break;
        case Op::IMUL_R: r[in.dst] *= r[in.src]; break;
        case Op::IMUL_I: r[in.dst] *= in.imm; break;
        case Op::IMUL_M: r[in.dst] *= load64(sp + ((r[in.src] + in.imm) & in.mask)); break;
        case Op::IMULH_R: r[in.dst] = mulh(r[in.dst], r[in.src]); break;
        case Op::IMULH_M:
            r[in.dst] = mulh(r[in.dst], load64(sp + ((r[in.src] + in.imm) & in.mask)));
            break;
        case Op::ISMULH_R: r[in.dst] = smulh(r[in.dst], r[in.src]); break;
        case Op::ISMULH_M:
            r[in.dst] = smulh(r[in.dst], load64(sp + ((r[in.src] + in.imm) & in.mask)));
            break;
        case Op::IMUL_RCP: r[in.dst] *= in.imm; break;
        case Op::INEG_R: r[in.dst] = 0 - r[in.dst]; break;
        case Op::IXOR_R: r[in.dst] ^= r[in.src]; break;
        case Op::IXOR_I: r[in.dst] ^= in.imm; break;
        case Op::IXOR_M: r[in.dst] ^= load64(sp + ((r[in.src] + in.imm) & in.mask)); break;
        case Op::IROR_R: r[in.dst] = std::rotr(r[in.dst], static_cast<int>(rotation(r[in.src]))); break;
        case Op::IROR_I: r[in.dst] = std::rotr(r[in.dst], static_cast<int>(in.imm)); break;
        case Op::IROL_R: r[in.dst] = std::rotl(r[in.dst], static_cast<int>(rotation(r[in.src]))); break;
        case Op::IROL_I: r[in.dst] = std::rotl(r[in.dst], static_cast<int>(in.imm)); break;
        case Op::ISWAP_R: std::swap(r[in.dst], r[in.src]); break;
        case Op::FSWAP_R: fe[in.dst] = F{fe[in.dst].hi, fe[in.dst].lo}; break;
        case Op::FADD_R: f[in.dst] = f_add(f[in.dst], a[in.src]); break;
        case Op::FADD_M:
            f[in.dst] = f_add(f[in.dst], load_f(sp + ((r[in.src] + in.imm) & in.mask)));
            break;
        case Op::FSUB_R: f[in.dst] = f_sub(f[in.dst], a[in.src]); break;
        case Op::FSUB_M:
            f[in.dst] = f_sub(f[in.dst], load_f(sp + ((r[in.src] + in.imm) & in.mask)));
            break;
        case Op::FSCAL_R: f[in.dst] = xor_bits(f[in.dst], kScaleMask, kScaleMask); break;
        case Op::FMUL_R: e[in.dst] = f_mul(e[in.dst], a[in.src]); break;
        case Op::FDIV_M:
            e[in.dst] = f_div(e[in.dst], load_e(sp + ((r[in.src] + in.imm) & in.mask), s.e_mask));
            break;
        case Op::FSQRT_R: e[in.dst] = f_sqrt(e[in.dst]); break;
        case Op::CBRANCH:
            r[in.dst] += in.imm;
            if ((r[in.dst] & (kJumpMask << in.shift)) == 0) {
                if (observer != nullptr) {
                    observer->branch_taken(pc, in.target);
                }
                pc = in.target;
                continue;
            }
            break;
        case Op::CFROUND: {
            const std::uint64_t value = std::rotr(r[in.src], static_cast<int>(in.imm));
            // v2 changes the rounding mode only for one value in 16 (bits 2-5 zero).
            if (variant == Variant::V1 || (value & 0x3C) == 0) {
                s.fprc = static_cast<std::uint32_t>(value & 3);
                set_rounding(s.fprc);
            }
            break;
        }
        case Op::ISTORE: store64(sp + ((r[in.dst] + in.imm) & in.mask), r[in.src]); break;
        case Op::NOP: break;
        }
        ++pc;
    }
}

void mix_xor(void* f_registers, const void* e_registers) {
    F* f = static_cast<F*>(f_registers);
    const F* e = static_cast<const F*>(e_registers);
    for (unsigned i = 0; i < 4; ++i) {
        f[i] = xor_bits(f[i], bits(e[i].lo), bits(e[i].hi));
    }
}

void mix_aes_soft(void* f, const void* e) { aes_kernels::mix_registers<SoftAes>(f, e); }

// Mixes f0-f3 with e0-e3 at the end of an iteration.
using MixFunction = void (*)(void* f, const void* e);

class Interpreter final : public ProgramRunner {
public:
    Interpreter(Variant variant, MixFunction mix) : variant_(variant), mix_(mix) {}

    void run(const Program& program, VmState& s, std::uint8_t* sp, const DatasetSource& source,
             HashObserver* observer) override {
        const ProgramConfig& config = program.config;
        s.sp_addr0 = s.mx;
        s.sp_addr1 = s.ma;
        const std::uint8_t* rr = config.read_reg;
        std::uint64_t item[8];

        for (std::uint32_t ic = 0; ic < kProgramIterations; ++ic) {
            const std::uint64_t sp_mix = s.r[rr[0]] ^ s.r[rr[1]];
            s.sp_addr0 = (s.sp_addr0 ^ static_cast<std::uint32_t>(sp_mix)) & kMaskL3Line;
            s.sp_addr1 = (s.sp_addr1 ^ static_cast<std::uint32_t>(sp_mix >> 32)) & kMaskL3Line;
            std::uint8_t* line0 = sp + s.sp_addr0;
            std::uint8_t* line1 = sp + s.sp_addr1;
            for (unsigned i = 0; i < 8; ++i) {
                s.r[i] ^= load64(line0 + 8 * i);
            }
            for (unsigned i = 0; i < 4; ++i) {
                s.f(i) = load_f(line1 + 8 * i);
                s.e(i) = load_e(line1 + 32 + 8 * i, s.e_mask);
            }
            if (observer != nullptr) {
                observer->iteration_loaded(ic, s);
            }

            run_instructions(program, s, sp, variant_, observer);
            if (observer != nullptr) {
                observer->program_executed(ic, s);
            }

            // mp (v1: mx, v2: ma) takes the next address; the item at mt (ma as it
            // was) is read now, the one at mp is prefetched for a later iteration.
            const auto mix = static_cast<std::uint32_t>(s.r[rr[2]] ^ s.r[rr[3]]);
            const std::uint32_t mt = s.ma;
            std::uint32_t& mp = variant_ == Variant::V1 ? s.mx : s.ma;
            mp ^= mix;
            if (source.dataset != nullptr) {
                __builtin_prefetch(source.dataset + config.dataset_offset + (mp & kDatasetAddressMask));
            }
            const std::uint64_t address = config.dataset_offset + (mt & kDatasetAddressMask);
            read_dataset_item(source, address, item);
            if (observer != nullptr) {
                observer->dataset_read(ic, address, item);
            }
            for (unsigned i = 0; i < 8; ++i) {
                s.r[i] ^= item[i];
            }
            std::swap(s.ma, s.mx);

            for (unsigned i = 0; i < 8; ++i) {
                store64(line1 + 8 * i, s.r[i]);
            }
            mix_(s.fe, s.fe + 4);
            std::memcpy(line0, &s.f(0), 4 * sizeof(F));
            if (observer != nullptr) {
                observer->iteration_finished(ic, s, sp);
            }
            s.sp_addr0 = 0;
            s.sp_addr1 = 0;
        }
        wipe(item, sizeof item);
    }

private:
    Variant variant_;
    MixFunction mix_;
};

}  // namespace

std::unique_ptr<ProgramRunner> make_interpreter(Variant variant, bool hard_aes) noexcept {
    MixFunction mix = mix_aes_soft;
    if (variant == Variant::V1) {
        mix = mix_xor;
    } else if (const HardAesKernels* kernels = hard_aes ? hard_aes_kernels() : nullptr; kernels != nullptr) {
        mix = kernels->mix_registers;
    }
    return std::unique_ptr<ProgramRunner>(new (std::nothrow) Interpreter(variant, mix));
}

}  // namespace rx
