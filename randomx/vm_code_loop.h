// The loop of a compiled VM program, written once for every architecture's
// code writer (vm_compiler.cpp in x86_64/, aarch64/, riscv64/): which steps
// each of a program's 2048 iterations takes, in the interpreter's order
// (vm_interpreter.cpp). The writer supplies each step's instructions:
//
//   code()                   its assembler (size(), overflowed(), Label, bind())
//   prologue()               the registers set up, the first iteration's
//                            scratchpad addresses (mx, ma)
//   jump(Label&)             an unconditional jump
//   kLoopAlignment           where iterations branch back to, aligned
//   scratchpad_addresses(c)  spAddr0 and spAddr1 from readReg0 ^ readReg1
//   load_registers()         r0-r7 from spAddr0, f0-f3 and e0-e3 from spAddr1
//   instruction(in)          one instruction of the program
//   dataset_step()           mp mixed and prefetched, the item at mt XORed
//                            into r0-r7, ma and mx swapped
//   store_registers()        r0-r7 to spAddr1, f0-f3 mixed with e0-e3 to spAddr0
//   next_iteration(loop)     the count down, and back to `loop` until zero
//   epilogue()               the registers back to the state
//
// and, for CFROUND (write_cfround): rotate_source(in) (a temporary holds the
// source rotated right by the immediate), skip_unless_zero(mask, Label&) and
// set_rounding() (from the temporary's low two bits).
//
// Thread safety: code generation into the writer's own buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "randomx/program.h"

namespace rx {

// Writes the whole program's code; records where each instruction starts in
// offsets[] (CBRANCH jumps back to them). The size written, or 0 where the
// code did not fit.
template <class Writer>
std::size_t write_vm_loop(Writer& w, const Program& program, std::size_t* offsets) {
    auto& code = w.code();
    w.prologue();
    typename std::remove_reference_t<decltype(code)>::Label first;
    w.jump(first);
    code.align(Writer::kLoopAlignment);
    const std::size_t loop = code.size();
    w.scratchpad_addresses(program.config);
    code.bind(first);
    w.load_registers();
    for (std::uint32_t i = 0; i < program.size; ++i) {
        offsets[i] = code.size();
        w.instruction(program.code[i]);
    }
    w.dataset_step();
    w.store_registers();
    w.next_iteration(loop);
    w.epilogue();
    return code.overflowed() ? 0 : code.size();
}

// CFROUND: the source rotated right by the immediate sets the rounding mode
// from its low two bits; v2 changes it only when bits 2-5 are zero (one value
// in 16).
template <class Writer>
void write_cfround(Writer& w, Variant variant, const Instruction& in) {
    w.rotate_source(in);
    typename std::remove_reference_t<decltype(w.code())>::Label keep;
    if (variant == Variant::V2) w.skip_unless_zero(0x3C, keep);
    w.set_rounding();
    w.code().bind(keep);
}

}  // namespace rx
