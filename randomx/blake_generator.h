// BlakeGenerator: the pseudo-random byte source that drives SuperscalarHash
// program generation. Its 64-byte state starts as the seed (at most 60 bytes)
// padded with zeroes; whenever a request needs more bytes than remain unused,
// the state is replaced by Hash512 of itself and reading restarts at its
// first byte. The first request therefore always hashes the padded seed.
//
// Thread safety: an instance is mutable state for one thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rx {

class BlakeGenerator {
public:
    static constexpr std::size_t kMaxSeedSize = 60;

    // Seeds longer than kMaxSeedSize are cut to that size.
    BlakeGenerator(const void* seed, std::size_t seed_size);
    ~BlakeGenerator();
    BlakeGenerator(const BlakeGenerator&) = delete;
    BlakeGenerator& operator=(const BlakeGenerator&) = delete;

    std::uint8_t get_byte();
    // Four bytes, little-endian.
    std::uint32_t get_uint32();

private:
    void ensure(std::size_t bytes);

    std::uint8_t state_[64] = {};
    std::size_t used_ = sizeof state_;
};

}  // namespace rx
