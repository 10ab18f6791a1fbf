// The interpreter back end: runs a decoded program instruction by
// instruction, reporting every iteration to the observer.
#include <sodium.h>

#include <bit>
#include <cstring>
#include <new>
#include <utility>

#include "randomx/aes.h"
#include "randomx/vm.h"
#include "randomx/vm_rounding.h"

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

// Group F conversion: two little-endian signed 32-bit integers, exactly.
inline __m128d load_f(const std::uint8_t* p) {
    return _mm_cvtepi32_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

inline __m128d load_e(const std::uint8_t* p, __m128d e_mask) {
    const __m128d keep = _mm_castsi128_pd(_mm_set1_epi64x(static_cast<long long>(kEKeepMask)));
    return _mm_or_pd(_mm_and_pd(load_f(p), keep), e_mask);
}

// One pass over the program buffer.
void run_instructions(const Program& program, VmState& s, std::uint8_t* sp, __m128d e_mask,
                      Variant variant, HashObserver* observer) {
    const Instruction* code = program.code;
    const std::uint32_t size = program.size;
    std::uint64_t* r = s.r;
    __m128d* fe = s.fe;
    __m128d* f = s.fe;
    __m128d* e = s.fe + 4;
    const __m128d* a = s.a;
    const __m128d scale_mask = _mm_castsi128_pd(_mm_set1_epi64x(static_cast<long long>(kScaleMask)));
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
        case Op::FSWAP_R: fe[in.dst] = _mm_shuffle_pd(fe[in.dst], fe[in.dst], 1); break;
        case Op::FADD_R: f[in.dst] = _mm_add_pd(f[in.dst], a[in.src]); break;
        case Op::FADD_M:
            f[in.dst] = _mm_add_pd(f[in.dst], load_f(sp + ((r[in.src] + in.imm) & in.mask)));
            break;
        case Op::FSUB_R: f[in.dst] = _mm_sub_pd(f[in.dst], a[in.src]); break;
        case Op::FSUB_M:
            f[in.dst] = _mm_sub_pd(f[in.dst], load_f(sp + ((r[in.src] + in.imm) & in.mask)));
            break;
        case Op::FSCAL_R: f[in.dst] = _mm_xor_pd(f[in.dst], scale_mask); break;
        case Op::FMUL_R: e[in.dst] = _mm_mul_pd(e[in.dst], a[in.src]); break;
        case Op::FDIV_M:
            e[in.dst] = _mm_div_pd(e[in.dst], load_e(sp + ((r[in.src] + in.imm) & in.mask), e_mask));
            break;
        case Op::FSQRT_R: e[in.dst] = _mm_sqrt_pd(e[in.dst]); break;
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

void mix_xor(__m128d* f, const __m128d* e) {
    for (unsigned i = 0; i < 4; ++i) {
        f[i] = _mm_xor_pd(f[i], e[i]);
    }
}

// Each e register in turn is the round key of one round on every f register:
// f0 and f2 encrypt, f1 and f3 decrypt.
template <class Aes>
__attribute__((always_inline)) inline void mix_aes(__m128d* f, const __m128d* e) {
    __m128i x[4];
    for (unsigned i = 0; i < 4; ++i) {
        x[i] = _mm_castpd_si128(f[i]);
    }
    for (unsigned k = 0; k < 4; ++k) {
        const __m128i key = _mm_castpd_si128(e[k]);
        x[0] = Aes::encrypt(x[0], key);
        x[1] = Aes::decrypt(x[1], key);
        x[2] = Aes::encrypt(x[2], key);
        x[3] = Aes::decrypt(x[3], key);
    }
    for (unsigned i = 0; i < 4; ++i) {
        f[i] = _mm_castsi128_pd(x[i]);
    }
}

ZT_TARGET_AES void mix_aes_hard(__m128d* f, const __m128d* e) { mix_aes<HardAes>(f, e); }
void mix_aes_soft(__m128d* f, const __m128d* e) { mix_aes<SoftAes>(f, e); }

// Mixes f0-f3 with e0-e3 at the end of an iteration.
using MixFunction = void (*)(__m128d* f, const __m128d* e);

class Interpreter final : public ProgramRunner {
public:
    Interpreter(Variant variant, MixFunction mix) : variant_(variant), mix_(mix) {}

    void run(const Program& program, VmState& s, std::uint8_t* sp, const DatasetSource& source,
             HashObserver* observer) override {
        const ProgramConfig& config = program.config;
        s.sp_addr0 = s.mx;
        s.sp_addr1 = s.ma;
        const __m128d e_mask = _mm_load_pd(reinterpret_cast<const double*>(s.e_mask));
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
                s.e(i) = load_e(line1 + 32 + 8 * i, e_mask);
            }
            if (observer != nullptr) {
                observer->iteration_loaded(ic, s);
            }

            run_instructions(program, s, sp, e_mask, variant_, observer);
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
                _mm_prefetch(reinterpret_cast<const char*>(source.dataset + config.dataset_offset +
                                                           (mp & kDatasetAddressMask)),
                             _MM_HINT_T0);
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
            for (unsigned i = 0; i < 4; ++i) {
                _mm_store_pd(reinterpret_cast<double*>(line0 + 16 * i), s.f(i));
            }
            if (observer != nullptr) {
                observer->iteration_finished(ic, s, sp);
            }
            s.sp_addr0 = 0;
            s.sp_addr1 = 0;
        }
        sodium_memzero(item, sizeof item);
    }

private:
    Variant variant_;
    MixFunction mix_;
};

}  // namespace

std::unique_ptr<ProgramRunner> make_interpreter(Variant variant, bool hard_aes) noexcept {
    const MixFunction mix = variant == Variant::V1 ? mix_xor : hard_aes ? mix_aes_hard : mix_aes_soft;
    return std::unique_ptr<ProgramRunner>(new (std::nothrow) Interpreter(variant, mix));
}

}  // namespace rx
