// Generated code on ARM64: the probe function and the compilers behind
// arch.h (the VM code writer and the SuperscalarHash compiler).
#include <cstring>
#include "randomx/aarch64/vm_compiler.h"
#include "randomx/arch.h"
#include "randomx/cpu.h"

namespace rx {

std::size_t write_return_constant(std::uint8_t* code, std::uint8_t value) noexcept {
    const std::uint32_t function[] = {
        0x52800000U | (std::uint32_t{value} << 5),  // mov w0, #value
        0xD65F03C0U,                                // ret
    };
    std::memcpy(code, function, sizeof function);
    return sizeof function;
}

namespace {

std::size_t write_vm_code(const Program& program, Variant variant, const ItemReads& reads, std::uint8_t* code,
                          std::size_t capacity) {
    return a64::compile_vm_program(program, variant, reads, code, capacity, cpu_has_aes());
}

}  // namespace

// Without the cryptography extension v2's register mixing calls the
// software rounds from the compiled loop (vm_compiler.h).
VmCodeWriter vm_code_writer(Variant /*variant*/) noexcept { return &write_vm_code; }

}  // namespace rx
