// The VM compiler (RV64): each program of a hash becomes machine code that
// runs the whole iteration loop (scratchpad loads, the program, the dataset
// read and prefetch, the stores and the F/E mix), v1 and v2, full and light
// mode. The code writer behind vm_code_writer (arch.h) on RISC-V.
//
// Register use in the generated code (rv64 has no 128-bit registers: each
// floating-point register of the VM is two doubles, low and high lane):
//   s2-s9    r0-r7                    fs0-fs7   f0-f3
//   s0       scratchpad               fs8-fs11  e0, e1
//   s1       ma (low half), mx (high half)    ft0-ft3   e2, e3
//   s10      dataset + the program's offset (full) / cache memory (light)
//   s11      iteration counter        ft4-ft7, fa0-fa3   a0-a3
//   t3, t4   spAddr0, spAddr1         fa4, fa5  temporaries
//   t5, t6, a7   the L1, L2, L3 scratchpad masks
//   a2       the dataset address mask
//   a3       FSCAL_R mask    a4   group E keep mask   a5, a6   group E OR masks
//   t0-t2    temporaries
// What lives in registers a callee may change (the t and a registers, ft
// and fa) is saved or reloaded around every call into C++ (light mode's
// portable items, v2's register mixing); the cache's compiled entries change
// only a0-a7 and t0-t6 (superscalar_compiler.h).
//
// Floating-point rounding (fprc) lives in frm for the whole hash, as the
// machine sets it up (vm_rounding.h): every operation uses the dynamic mode,
// none fuses a multiplication and an addition. v2's register mixing is the
// software rounds (the base set has no AES), called once per iteration.
// Rotations and shifted additions use Zbb and Zba where the processor has
// them (rv64_forms.h).
//
// Compilation never writes past the code buffer: a program whose code would
// not fit is reported (size 0) and runs in the interpreter; the runner
// around it (compiled_vm.h) keeps code memory W^X.
//
// Thread safety: a compiler belongs to its machine's thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "randomx/compiled_vm.h"
#include "randomx/program.h"

namespace rx::rv64 {

// The VM code writer (VmCodeWriter in compiled_vm.h): emits the code of
// `program` into `code` (`capacity` bytes) and returns the size written, or
// 0 if it did not fit. `reads` decides full or light mode and, in light
// mode, which cache the code reads (it is compiled in).
std::size_t compile_vm_program(const Program& program, Variant variant, const ItemReads& reads,
                               std::uint8_t* code, std::size_t capacity);

}  // namespace rx::rv64
