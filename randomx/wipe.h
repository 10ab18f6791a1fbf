// Wiping memory that held values derived from a hash's inputs, in a way the
// compiler may not drop as a dead store (the library needs nothing beyond the
// C++ standard library and the C library for it).
//
// Thread safety: writes only the memory it is given.
#pragma once

#include <cstddef>

namespace rx {

// Zeroes `size` bytes at `memory` (null with size 0 is allowed).
void wipe(void* memory, std::size_t size) noexcept;

}  // namespace rx
