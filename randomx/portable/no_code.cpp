// For processors this library generates no code for.
#include "randomx/arch.h"

namespace rx {

std::size_t write_return_constant(std::uint8_t* /*code*/, std::uint8_t /*value*/) noexcept { return 0; }

bool compiled_code_runs() noexcept { return false; }

}  // namespace rx
