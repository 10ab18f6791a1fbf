// The Argon2d memory fill that turns a key into the cache: one lane, version
// 0x13, the key as password, the salt "RandomX\x03", no secret, no associated
// data, output size 0. The finaliser is not run; the filled memory is the
// result.
//
// The block compression has a portable 64-bit implementation and SSSE3 and
// AVX2 implementations; all produce identical memory. Callers choose one with
// Argon2Impl (the cache maps its RANDOMX_FLAG_ARGON2_* flags to it).
//
// Thread safety: argon2d_fill writes only the memory it is given; concurrent
// calls on distinct memory are safe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rx {

inline constexpr std::size_t kArgonBlockSize = 1024;

enum class Argon2Impl : std::uint8_t { Portable, Ssse3, Avx2 };

// Whether this processor can run `impl` (Portable always can).
bool argon2_impl_supported(Argon2Impl impl) noexcept;

// Fills `memory` (memory_blocks * 1024 bytes, 64-byte aligned) with
// `passes` passes of Argon2d. memory_blocks must be a multiple of 4 and at
// least 8; the algorithm's own figures are kArgonMemory and kArgonIterations,
// smaller ones exist for tests. An unsupported `impl` falls back to Portable.
// With `stop`, it is asked between two slices (twelve in all, some 40 ms
// apart for the cache) whether to give up: true ends the fill, the memory
// then unusable, and the result is false.
bool argon2d_fill(void* memory, std::uint32_t memory_blocks, std::uint32_t passes,
                  const void* key, std::size_t key_size, Argon2Impl impl,
                  int (*stop)(const void*) = nullptr, const void* stop_context = nullptr);

}  // namespace rx
