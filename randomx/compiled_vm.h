// Compiled VM programs, the part that is the same on every architecture: the
// runner that compiles each program into its code memory and runs it, or
// leaves it to the interpreter where it cannot be compiled, and what
// light-mode code calls for its dataset items. An architecture adds only the
// code writer (vm_code_writer in arch.h).
//
// A program runs in the interpreter instead, with the same result, when its
// code cannot be written: the system refused a change of protection
// (mprotect only), or the code did not fit its buffer (the writer writes
// nothing past it, and the incomplete code never runs).
//
// Thread safety: a runner belongs to its machine's thread; item_reads is
// a pure function of the cache it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "randomx/code_memory.h"
#include "randomx/dataset_code.h"
#include "randomx/program.h"
#include "randomx/vm.h"

namespace rx {

// The code buffer of one program, on every architecture.
inline constexpr std::size_t kVmCodeCapacity = 64 * 1024;

// How compiled VM code obtains its dataset items.
struct ItemReads {
    // Full mode: read from the dataset whose address the code is given when
    // it runs. Everything below is then unset.
    bool full = false;
    // Light mode: the cache's memory (its blocks are prefetched), and the
    // call that computes item `number` into out[0..7]:
    // item(item_argument, number, out).
    const std::uint8_t* cache_memory = nullptr;
    std::uintptr_t item = 0;
    std::uintptr_t item_argument = 0;
    // Whether `item` is the cache's compiled entry, which changes only the
    // general registers a callee may change (dataset_code.h); otherwise it is
    // a C++ function, which may change every register the calling convention
    // does not preserve, floating-point and vector registers included.
    bool item_compiled = false;
    // v2 with compiled cache code: the entries that compute two or three
    // items at once (v2 knows its next items an iteration early); null
    // otherwise, or where the architecture has no such entry.
    DatasetCode::PairFunction pair = nullptr;
    DatasetCode::TripleFunction triple = nullptr;
};

// The reads of a machine whose items come from `source` running `variant`.
ItemReads item_reads(const DatasetSource& source, Variant variant) noexcept;

// An architecture's VM compiler: writes the code of `program` into `code`
// (`capacity` bytes) and returns its size, or 0 where it did not fit (nothing
// past `capacity` is written). The code is position-independent (it may run
// from another view of the same bytes) and has the signature of
// CompiledVmProgram.
using VmCodeWriter = std::size_t (*)(const Program& program, Variant variant, const ItemReads& reads,
                                     std::uint8_t* code, std::size_t capacity);

// The compiled program: run(state, scratchpad, dataset memory or null).
using CompiledVmProgram = void (*)(VmState* state, std::uint8_t* scratchpad, const std::uint8_t* dataset);

// make_compiler (arch.h) with the code written by `mechanism` into a buffer
// of `capacity` bytes: smaller than kVmCodeCapacity only to test that a
// program that does not fit runs in the interpreter. Null where this
// architecture compiles no code for `variant` here, or without memory.
std::unique_ptr<ProgramRunner> make_vm_compiler(Variant variant, CodeMemory::Mechanism mechanism,
                                                std::size_t capacity) noexcept;

}  // namespace rx
