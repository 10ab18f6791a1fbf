// The code memory probe's function on x86-64.
#include <cstring>

#include "randomx/arch.h"

namespace rx {

std::size_t write_return_constant(std::uint8_t* code, std::uint8_t value) noexcept {
    const std::uint8_t function[] = {0xB8, value, 0x00, 0x00, 0x00, 0xC3};  // mov eax, value; ret
    std::memcpy(code, function, sizeof function);
    return sizeof function;
}

}  // namespace rx
