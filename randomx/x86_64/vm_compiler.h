// The VM compiler (x86-64): each program of a hash becomes machine code that
// runs the whole iteration loop (scratchpad loads, the program, the dataset
// read and prefetch, the stores and the F/E mix), v1 and v2, full and light
// mode. The back end behind make_compiler (arch.h) on x86-64.
//
// Register use in the generated code:
//   r8-r15     r0-r7            xmm0-3    f0-f3
//   rsi        scratchpad       xmm4-7    e0-e3
//   rdi        dataset (full) / cache memory (light)
//   rbp        ma (low half), mx (high half)
//   rbx        iteration counter
//   rax, rcx, rdx               temporaries
//   xmm8-11    a0-a3            xmm12     temporary
//   xmm13      group E keep mask, xmm14 group E OR mask, xmm15 FSCAL_R mask
// Floating-point rounding (fprc) lives in MXCSR for the whole hash, as the
// machine sets it up (mxcsr.h).
//
// Code memory follows W^X (code_memory.h): a program is written through one
// view and run through another, so compiling costs no system call; for a
// SECURE machine one mapping is switched between writable and executable
// instead, so that no writable alias of running code exists.
//
// Thread safety: a compiler belongs to its machine's thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include <memory>

#include "randomx/code_memory.h"
#include "randomx/program.h"
#include "randomx/vm.h"

namespace rx {

// The buffer a program's code needs at most.
inline constexpr std::size_t kVmCodeCapacity = 64 * 1024;

// What the profiling benchmark may leave out of the code to see what it
// costs. The machine always compiles with the defaults.
struct VmCodeOptions {
    // false: no dataset item is read (nor prefetched, nor computed): the
    // registers are XORed with a fixed item instead. Wrong hashes.
    bool dataset_reads = true;
    // false: the item is read without having been prefetched. Right hashes.
    bool dataset_prefetch = true;
    // Multiplies added to every iteration's chain of dependent work (between
    // the dataset read and the next scratchpad reads), leaving the results
    // as they are: how much a cycle more of work costs in this mode.
    unsigned chained_multiplies = 0;
};

// Emits the code of `program` into `code` (`capacity` bytes) and returns the
// size written, or 0 if it did not fit (nothing past `capacity` is written).
// The code is position-independent: it may run from another view of the
// same bytes. `source` decides full or light mode and, in light mode, which
// cache the code reads (it is compiled in).
std::size_t compile_vm_program(const Program& program, Variant variant, const DatasetSource& source,
                               std::uint8_t* code, std::size_t capacity = kVmCodeCapacity,
                               const VmCodeOptions& options = {});

// make_compiler (arch.h) with a code buffer of `capacity` bytes: smaller than
// kVmCodeCapacity only to test that a program that does not fit runs in the
// interpreter.
std::unique_ptr<ProgramRunner> make_vm_compiler(Variant variant, CodeMemory::Mechanism mechanism,
                                                std::size_t capacity) noexcept;

// The compiled program: run(state, scratchpad, dataset memory or null).
using CompiledVmProgram = void (*)(VmState* state, std::uint8_t* scratchpad, const std::uint8_t* dataset);

}  // namespace rx
