// AesGenerator1R and AesGenerator4R: pseudo-random byte generators over a
// 64-byte state of four AES columns. Each step applies one (1R) or four (4R)
// AES rounds to every column, decrypting columns 0 and 2 and encrypting
// columns 1 and 3 with fixed round keys; the 64 bytes of the new state are the
// step's output. 1R fills the scratchpad; 4R produces the VM programs.
//
// `hard` selects the hardware rounds (where cpu_has_aes(); otherwise the
// software rounds run) or the software rounds; the
// output is the same either way.
//
// Thread safety: no shared state; the caller owns `state` and `output`.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rx {

inline constexpr std::size_t kAesGeneratorStateSize = 64;

// Writes `size` bytes (a multiple of 64) to `output` and leaves the final state
// in `state`.
void aes_generator_1r(bool hard, std::uint8_t state[kAesGeneratorStateSize], void* output,
                      std::size_t size);
void aes_generator_4r(bool hard, std::uint8_t state[kAesGeneratorStateSize], void* output,
                      std::size_t size);

}  // namespace rx
