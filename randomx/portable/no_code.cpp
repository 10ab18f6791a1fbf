// For processors this library generates no code for: the probe writes
// nothing, so compiled_code_runs() is false.
#include "randomx/arch.h"

namespace rx {

std::size_t write_return_constant(std::uint8_t* /*code*/, std::uint8_t /*value*/) noexcept { return 0; }

}  // namespace rx
