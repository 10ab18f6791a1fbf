// Generated code on RISC-V: the probe function and the compilers behind
// arch.h (the VM code writer and the SuperscalarHash compiler).
#include "randomx/arch.h"
#include "randomx/riscv64/rv64_assembler.h"
#include "randomx/riscv64/vm_compiler.h"

namespace rx {

std::size_t write_return_constant(std::uint8_t* code, std::uint8_t value) noexcept {
    rv64::Assembler a(code, 64);
    a.addi(rv64::x10, rv64::zero, value);
    a.ret();
    return a.size();
}

// v2's register mixing calls the software rounds from the compiled loop.
VmCodeWriter vm_code_writer(Variant /*variant*/) noexcept { return &rv64::compile_vm_program; }

}  // namespace rx
