// The virtual machine that computes one hash: it fills the scratchpad from
// the input, then generates and runs eight programs of 2048 iterations each,
// reading one dataset item per iteration, and hashes the final registers with
// the scratchpad's fingerprint.
//
// Dataset items come from the cache (light mode: computed on every read) or
// from a built dataset (full mode: read from memory). The program loop runs
// on one of two back ends (ProgramRunner): the interpreter or the compiler.
// A HashObserver sees every stage of a hash; it exists for tests and tracing
// and costs a null check per iteration otherwise.
//
// Floating point: the machine sets the processor's rounding mode while a hash
// runs and restores the caller's floating-point environment before hash()
// returns (vm_rounding.h).
//
// Thread safety: a Machine (and its scratchpad) belongs to one thread at a
// time; the cache or dataset it reads may be shared by many machines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "randomx/program.h"
#include "randomx/randomx.h"

namespace rx {

inline constexpr std::size_t kRegisterFileSize = 256;

// The register file in the byte layout that is hashed: r0-r7, f0-f3, e0-e3,
// a0-a3, each float register low half first, all little-endian.
struct RegisterFile {
    std::uint64_t r[8];
    std::uint64_t f[4][2];
    std::uint64_t e[4][2];
    std::uint64_t a[4][2];
};
static_assert(sizeof(RegisterFile) == kRegisterFileSize);

// A floating-point register: two IEEE doubles, low lane first (the byte
// layout of an x86 XMM register or an ARM64 vector register).
struct alignas(16) FloatRegister {
    double lo;
    double hi;
};
static_assert(sizeof(FloatRegister) == 16);

// The machine's registers while a program runs. The compiled code reads
// and writes these fields by offset, so the layout is fixed (checked below).
struct alignas(64) VmState {
    std::uint64_t r[9];   // r0-r7, then the zero register (always 0)
    FloatRegister fe[8];  // f0-f3 then e0-e3 (FSWAP_R indexes both groups)
    FloatRegister a[4];
    std::uint32_t ma;     // only bits 6-30 are used as a dataset address
    std::uint32_t mx;     // (ma, mx) read and written as one 64-bit word
    std::uint32_t sp_addr0;
    std::uint32_t sp_addr1;
    std::uint32_t fprc;   // rounding mode 0-3 (compiled code keeps it in the processor, stores it at the end)
    alignas(16) std::uint64_t e_mask[2];  // group E conversion: OR masks of this program

    FloatRegister& f(unsigned i) { return fe[i]; }
    FloatRegister& e(unsigned i) { return fe[4 + i]; }
    const FloatRegister& f(unsigned i) const { return fe[i]; }
    const FloatRegister& e(unsigned i) const { return fe[4 + i]; }
};

namespace vm_state_offset {
inline constexpr std::int32_t kR = 0;
inline constexpr std::int32_t kFe = 80;
inline constexpr std::int32_t kA = 208;
inline constexpr std::int32_t kMaMx = 272;
inline constexpr std::int32_t kFprc = 288;
inline constexpr std::int32_t kEMask = 304;
}  // namespace vm_state_offset
static_assert(offsetof(VmState, r) == vm_state_offset::kR);
static_assert(offsetof(VmState, fe) == vm_state_offset::kFe);
static_assert(offsetof(VmState, a) == vm_state_offset::kA);
static_assert(offsetof(VmState, ma) == vm_state_offset::kMaMx && offsetof(VmState, mx) == vm_state_offset::kMaMx + 4);
static_assert(offsetof(VmState, fprc) == vm_state_offset::kFprc);
static_assert(offsetof(VmState, e_mask) == vm_state_offset::kEMask);

// Where a machine's dataset items come from: a built dataset (full mode) or
// computed from a cache on every read (light mode). Exactly one is set.
struct DatasetSource {
    const std::uint8_t* dataset = nullptr;   // item 0
    const randomx_cache* cache = nullptr;
};

// Stage-by-stage view of a hash. All pointers are valid only during the call.
class HashObserver {
public:
    virtual ~HashObserver() = default;
    virtual void scratchpad_filled(const std::uint8_t* /*scratchpad*/,
                                   const std::uint8_t* /*generator_state, 64 bytes*/) {}
    virtual void program_started(unsigned /*index*/, const std::uint8_t* /*seed, 64 bytes*/,
                                 const Program& /*program*/, const VmState& /*state*/) {}
    // Iteration events, in order: registers loaded from the scratchpad, program
    // executed, dataset item read (byte address including the dataset offset),
    // iteration finished (registers stored to the scratchpad).
    virtual void iteration_loaded(std::uint32_t /*iteration*/, const VmState& /*state*/) {}
    virtual void program_executed(std::uint32_t /*iteration*/, const VmState& /*state*/) {}
    virtual void dataset_read(std::uint32_t /*iteration*/, std::uint64_t /*address*/,
                              const std::uint64_t* /*item, 8 words*/) {}
    virtual void iteration_finished(std::uint32_t /*iteration*/, const VmState& /*state*/,
                                    const std::uint8_t* /*scratchpad*/) {}
    // A CBRANCH jumped back to instruction `target` (interpreter only).
    virtual void branch_taken(std::uint32_t /*instruction*/, std::uint32_t /*target*/) {}
    virtual void program_finished(unsigned /*index*/, const RegisterFile& /*registers*/,
                                  const std::uint8_t* /*scratchpad*/) {}
    virtual void hash_finished(const std::uint8_t* /*aes_hash, 64 bytes*/,
                               const RegisterFile& /*registers*/) {}
};

// Runs the 2048 iterations of one program on a machine's state: the seam
// between the two back ends, the interpreter and an architecture's compiler.
// Both consume the same decoded Program. The interpreter reports every
// iteration to the observer; the compiler reports nothing (the machine still
// reports the stages around each program).
class ProgramRunner {
public:
    virtual ~ProgramRunner() = default;
    virtual void run(const Program& program, VmState& state, std::uint8_t* scratchpad,
                     const DatasetSource& source, HashObserver* observer) = 0;
};

enum class Backend { Interpreter, Compiler };

// The interpreter, which runs everywhere; `hard_aes` selects the hardware
// rounds of v2's register mixing (where cpu_has_aes(); software otherwise).
// The compilers are the architecture's (make_compiler in arch.h).
std::unique_ptr<ProgramRunner> make_interpreter(Variant variant, bool hard_aes) noexcept;

class Machine {
public:
    // `scratchpad`: kScratchpadL3 bytes, 64-byte aligned, owned by the caller
    // and outliving the machine. `hard_aes` asks for hardware AES. `runner` is a
    // back end for `variant` (make_interpreter or make_compiler).
    Machine(Variant variant, bool hard_aes, std::uint8_t* scratchpad, std::unique_ptr<ProgramRunner> runner);
    // The interpreter.
    Machine(Variant variant, bool hard_aes, std::uint8_t* scratchpad);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Selects where dataset items come from; the source must outlive its use.
    void use_cache(const randomx_cache* cache);      // light mode
    void use_dataset(const std::uint8_t* memory);    // full mode: item 0 at memory

    void set_observer(HashObserver* observer) { observer_ = observer; }

    // The registers as the last hash left them (wiped), for tests.
    const VmState& state() const { return state_; }
    const Program& program() const { return program_; }

    // Writes the 32-byte hash of `input`. A dataset source must be set.
    // Afterwards the registers, program seeds and generated program (all
    // derived from the input's path to the hash) are wiped.
    void hash(const void* input, std::size_t size, std::uint8_t out[32]);

private:
    // Sets the registers a program starts with; the runner then runs its loop.
    void reset(const ProgramConfig& config);
    void store_register_file(RegisterFile& registers) const;
    void wipe() noexcept;

    Variant variant_;
    bool hard_aes_;
    std::uint8_t* scratchpad_;
    DatasetSource source_;
    std::unique_ptr<ProgramRunner> runner_;
    HashObserver* observer_ = nullptr;
    VmState state_{};
    Program program_;
};

// Reads dataset item `address` / 64 from `source` (a copy, or computed).
void read_dataset_item(const DatasetSource& source, std::uint64_t address, std::uint64_t item[8]);

}  // namespace rx
