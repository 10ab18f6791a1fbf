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
// The runner around it (compiled_vm.h) keeps code memory W^X.
//
// Thread safety: a compiler belongs to its machine's thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "randomx/compiled_vm.h"
#include "randomx/program.h"

namespace rx {

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

// The VM code writer (VmCodeWriter in compiled_vm.h) with `options`: emits
// the code of `program` into `code` (`capacity` bytes) and returns the size
// written, or 0 if it did not fit (nothing past `capacity` is written).
// `reads` decides full or light mode and, in light mode, which cache the
// code reads (it is compiled in). v2 needs AES-NI.
std::size_t compile_vm_program(const Program& program, Variant variant, const ItemReads& reads,
                               std::uint8_t* code, std::size_t capacity = kVmCodeCapacity,
                               const VmCodeOptions& options = {});

}  // namespace rx
