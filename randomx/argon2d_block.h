// Internal to the Argon2d fill: the 1 KiB block and its compression function
// in each implementation.
//
// fill(prev, ref, next, with_xor) computes G(prev, ref) and stores it into
// `next`, XORed with the old contents of `next` when `with_xor` is set (every
// pass after the first). `next` never aliases `prev` or `ref`.
#pragma once

#include <cstdint>

namespace rx::argon2 {

struct alignas(64) Block {
    std::uint64_t v[128];
};

using FillBlockFn = void (*)(const Block& prev, const Block& ref, Block& next, bool with_xor);

void fill_block_portable(const Block& prev, const Block& ref, Block& next, bool with_xor);

// The SSSE3 and AVX2 forms are x86-64's (argon2_fill_block in arch.h).

}  // namespace rx::argon2
