// Blake2b as the algorithm uses it: Hash256 and Hash512 (unkeyed Blake2b with
// 32- and 64-byte outputs) and the variable-length hash H' that Argon2 uses to
// expand its seed into the first memory blocks.
//
// Thread safety: pure functions; any thread may call them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rx {

inline constexpr std::size_t kHash256Size = 32;
inline constexpr std::size_t kHash512Size = 64;

// Blake2b with a `out_size`-byte output, 1 <= out_size <= 64.
void blake2b(void* out, std::size_t out_size, const void* in, std::size_t in_size);

inline void hash256(void* out, const void* in, std::size_t in_size) {
    blake2b(out, kHash256Size, in, in_size);
}

inline void hash512(void* out, const void* in, std::size_t in_size) {
    blake2b(out, kHash512Size, in, in_size);
}

// Argon2's H': a hash of any output length built on Blake2b. Outputs of up to
// 64 bytes are one Blake2b of LE32(out_size) || in; longer ones chain 64-byte
// Blake2b outputs, keeping the first half of each, and end with a Blake2b of
// the remaining length.
void blake2b_long(void* out, std::size_t out_size, const void* in, std::size_t in_size);

}  // namespace rx
