// Generated code on ARM64: the probe function, and whether the compilers run.
#include <cstring>

#include "randomx/arch.h"
#include "randomx/code_memory.h"

namespace rx {

std::size_t write_return_constant(std::uint8_t* code, std::uint8_t value) noexcept {
    const std::uint32_t function[] = {
        0x52800000U | (std::uint32_t{value} << 5),  // mov w0, #value
        0xD65F03C0U,                                // ret
    };
    std::memcpy(code, function, sizeof function);
    return sizeof function;
}

// No compilers for ARM64 yet (make_compiler and make_dataset_code give none),
// so no JIT is reported, whatever the probe would say: randomx_get_flags()
// offers JIT only where programs are actually compiled.
bool compiled_code_runs() noexcept { return false; }

}  // namespace rx
