// The VM compiler (AArch64): each program of a hash becomes machine code that
// runs the whole iteration loop (scratchpad loads, the program, the dataset
// read and prefetch, the stores and the F/E mix), v1 and v2, full and light
// mode. The back end behind make_compiler (arch.h) on ARM64.
//
// Register use in the generated code:
//   x19-x26   r0-r7                 v0-v3    f0-f3
//   x27       scratchpad            v4-v7    e0-e3
//   x28       ma (low half), mx (high half)
//   x29       dataset + the program's offset (full) / cache memory (light)
//   x9        iteration counter     v8-v11   a0-a3
//   x10, x11  spAddr0, spAddr1      v13      group E keep mask
//   x12       FPCR less its rounding mode    v14   group E OR mask
//   x13-x17   temporaries           v15      FSCAL_R mask
//                                   v12      zero (AES), v17 temporary
// Every value kept across a call into C++ (light mode's portable items,
// the software rounds) is in v0-v15, saved around the call: a callee may
// change v16-v31.
// Floating-point rounding (fprc) lives in FPCR.RMode for the whole hash, as
// the machine sets it up (vm_rounding.h); FPCR's other bits are kept. v2's
// register mixing uses the cryptography extension (AESE/AESMC, AESD/AESIMC)
// where the processor has it, else a call to the software rounds once per
// iteration (processors without it, such as the Cortex-A72 of some
// single-board computers, still compile everything else).
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

namespace rx::a64 {

// The VM code writer (VmCodeWriter in compiled_vm.h): emits the code of
// `program` into `code` (`capacity` bytes) and returns the size written, or
// 0 if it did not fit. `reads` decides full or light mode and, in light
// mode, which cache the code reads (it is compiled in). `hard_aes`: v2's
// mixing by the cryptography extension (the caller checked that the
// processor has it) rather than the software rounds.
std::size_t compile_vm_program(const Program& program, Variant variant, const ItemReads& reads,
                               std::uint8_t* code, std::size_t capacity, bool hard_aes);

}  // namespace rx::a64
