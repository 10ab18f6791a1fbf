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
// view and run through another, so compiling costs no system call.
//
// Thread safety: a compiler belongs to its machine's thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "randomx/program.h"
#include "randomx/vm.h"

namespace rx {

// Emits the code of `program` into `code` (at least kVmCodeCapacity bytes)
// and returns the size written. The code is position-independent: it may
// run from another view of the same bytes. `source` decides full or light
// mode and, in light mode, which cache the code reads (it is compiled in).
std::size_t compile_vm_program(const Program& program, Variant variant, const DatasetSource& source,
                               std::uint8_t* code);

// The most bytes compile_vm_program writes.
inline constexpr std::size_t kVmCodeCapacity = 64 * 1024;

// The compiled program: run(state, scratchpad, dataset memory or null).
using CompiledVmProgram = void (*)(VmState* state, std::uint8_t* scratchpad, const std::uint8_t* dataset);

}  // namespace rx
