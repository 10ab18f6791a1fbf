#include "randomx/blake_generator.h"

#include "randomx/wipe.h"

#include <algorithm>
#include <cstring>

#include "randomx/blake2b.h"

namespace rx {

BlakeGenerator::BlakeGenerator(const void* seed, std::size_t seed_size) {
    if (seed_size != 0) {
        std::memcpy(state_, seed, std::min(seed_size, kMaxSeedSize));
    }
}

BlakeGenerator::~BlakeGenerator() {
    wipe(state_, sizeof state_);
}

void BlakeGenerator::ensure(std::size_t bytes) {
    if (used_ + bytes > sizeof state_) {
        std::uint8_t next[sizeof state_];
        hash512(next, state_, sizeof state_);
        std::memcpy(state_, next, sizeof state_);
        used_ = 0;
    }
}

std::uint8_t BlakeGenerator::get_byte() {
    ensure(1);
    return state_[used_++];
}

std::uint32_t BlakeGenerator::get_uint32() {
    ensure(4);
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        v |= std::uint32_t{state_[used_ + i]} << (8 * i);
    }
    used_ += 4;
    return v;
}

}  // namespace rx
