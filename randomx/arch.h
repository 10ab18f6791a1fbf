// The seam between the algorithm's portable stages (this folder) and what a
// processor architecture adds. Each architecture's folder (x86_64/, aarch64/,
// riscv64/) implements these functions, and CMake builds the folder of the
// target processor; portable/ implements them for any other processor
// (nothing detected, no hardware rounds, no compiled code: the interpreter
// and the portable executors run, with identical results).
//
// What generated code needs beyond its instruction set is written once, above
// this seam: code memory and its probe (code_memory.h), the runner that
// compiles or falls back to the interpreter and light mode's item calls
// (compiled_vm.h), the SuperscalarHash code's memory and entries
// (dataset_code.h), the buffer of fixed-width instruction words and its
// labels (word_code.h). An architecture adds its assembler, its code writers
// and its feature probe.
//
// Every function here is safe to call from any thread; none throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "randomx/argon2d.h"
#include "randomx/argon2d_block.h"
#include "randomx/compiled_vm.h"
#include "randomx/cpu.h"
#include "randomx/dataset_code.h"
#include "randomx/program.h"
#include "randomx/superscalar_executor.h"
#include "randomx/vm.h"

namespace rx {

// ---- What the processor offers -------------------------------------------

// The features the hardware reports (cpu.h applies the test mask on top).
CpuFeatures detect_cpu_features() noexcept;

// ---- Hardware AES rounds ---------------------------------------------------

// The AES stages (aes_kernels.h) instantiated with the processor's rounds,
// mapped to the algorithm's exact round (aes.h).
struct HardAesKernels {
    void (*generate_1r)(std::uint8_t* state, void* output, std::size_t size);
    void (*generate_4r)(std::uint8_t* state, void* output, std::size_t size);
    void (*hash_1r)(const void* input, std::size_t size, std::uint8_t* out);
    void (*mix_registers)(void* f, const void* e);
    void (*encrypt)(const std::uint8_t* state, const std::uint8_t* key, std::uint8_t* out);
    void (*decrypt)(const std::uint8_t* state, const std::uint8_t* key, std::uint8_t* out);
};

// The kernels, or null where cpu_features() has no AES.
const HardAesKernels* hard_aes_kernels() noexcept;

// ---- Faster forms of portable code -----------------------------------------

// The Argon2d block function of `impl` (SSSE3, AVX2), or null where this
// architecture has none or the processor lacks it.
argon2::FillBlockFn argon2_fill_block(Argon2Impl impl) noexcept;

// The many-item SuperscalarHash executor compiled for a wider instruction set
// the processor has, or null (the baseline build runs).
using SuperscalarLanesFunction = void (*)(const CompiledSuperscalar& program, SuperscalarLanes& lanes);
SuperscalarLanesFunction superscalar_lanes_function() noexcept;

// ---- Compiled code -----------------------------------------------------------

// Writes into `code` (at least 64 bytes) a function `int f()` that returns
// `value`, and returns its size; 0 where this architecture generates no code.
// For the probe and for tests of code memory.
std::size_t write_return_constant(std::uint8_t* code, std::uint8_t value) noexcept;

// The VM compiler's code writer for `variant` (compiled_vm.h), or null where
// this architecture compiles no such code on this processor (none at all, or
// on x86-64 v2 without AES-NI for its register mixing).
VmCodeWriter vm_code_writer(Variant variant) noexcept;

// The SuperscalarHash compiler's code writer (DatasetCode::Writer in
// dataset_code.h) and the code memory it needs at most; a null writer where
// this architecture has none.
struct DatasetCodeWriter {
    DatasetCode::Writer write = nullptr;
    std::size_t code_bytes = 0;
};
DatasetCodeWriter dataset_code_writer() noexcept;

// ---- Built on the above, once for every architecture (compiled_vm.cpp) -----

// Whether this architecture's compilers can run here: they exist, and a small
// probe written into code memory ran (probe_code_memory in code_memory.h).
// Probed once.
bool compiled_code_runs() noexcept;

// The VM compiler, or null where it cannot run here (no compiled code, no
// code writer for `variant`, or no memory). `secure` (RANDOMX_FLAG_SECURE)
// switches one mapping between writable and executable around every write
// (code_memory.h's Mprotect mechanism), so that no writable mapping of the
// code exists while it can run; otherwise the code is written through a
// second view, which costs no system call.
std::unique_ptr<ProgramRunner> make_compiler(Variant variant, bool secure = false) noexcept;

}  // namespace rx
