// AesHash1R: the 64-byte fingerprint of the scratchpad. Four AES columns start
// from fixed values; every 64-byte input block supplies the four round keys of
// one round (columns 0 and 2 encrypt, 1 and 3 decrypt); two final rounds with
// fixed keys finish the diffusion.
//
// `hard` selects the hardware rounds (where cpu_has_aes(); otherwise the
// software rounds run) or the software rounds; the
// result is the same either way.
//
// Thread safety: pure function.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rx {

inline constexpr std::size_t kAesHashSize = 64;

// `size` must be a multiple of 64.
void aes_hash_1r(bool hard, const void* input, std::size_t size, std::uint8_t out[kAesHashSize]);

}  // namespace rx
