// For processors without faster builds of the Argon2d block function or the
// many-item SuperscalarHash executor: the portable code runs.
#include "randomx/arch.h"

namespace rx {

argon2::FillBlockFn argon2_fill_block(Argon2Impl /*impl*/) noexcept { return nullptr; }

SuperscalarLanesFunction superscalar_lanes_function() noexcept { return nullptr; }

}  // namespace rx
