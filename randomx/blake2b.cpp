#include "randomx/blake2b.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>

namespace rx {
namespace {

void store32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

}  // namespace

void blake2b(void* out, std::size_t out_size, const void* in, std::size_t in_size) {
    // Fails only for out_size outside 1..64, which callers never pass.
    crypto_generichash(static_cast<unsigned char*>(out), out_size,
                       static_cast<const unsigned char*>(in), in_size, nullptr, 0);
}

void blake2b_long(void* out, std::size_t out_size, const void* in, std::size_t in_size) {
    auto* dst = static_cast<std::uint8_t*>(out);
    std::uint8_t length_prefix[4];
    store32(length_prefix, static_cast<std::uint32_t>(out_size));

    crypto_generichash_state state;
    const std::size_t first_size = std::min(out_size, kHash512Size);
    crypto_generichash_init(&state, nullptr, 0, first_size);
    crypto_generichash_update(&state, length_prefix, sizeof length_prefix);
    crypto_generichash_update(&state, static_cast<const unsigned char*>(in), in_size);
    if (out_size <= kHash512Size) {
        crypto_generichash_final(&state, dst, out_size);
        return;
    }

    std::uint8_t v[kHash512Size];
    crypto_generichash_final(&state, v, sizeof v);
    std::memcpy(dst, v, kHash512Size / 2);
    dst += kHash512Size / 2;
    std::size_t remaining = out_size - kHash512Size / 2;
    while (remaining > kHash512Size) {
        std::uint8_t next[kHash512Size];
        blake2b(next, sizeof next, v, sizeof v);
        std::memcpy(v, next, sizeof v);
        std::memcpy(dst, v, kHash512Size / 2);
        dst += kHash512Size / 2;
        remaining -= kHash512Size / 2;
    }
    blake2b(dst, remaining, v, sizeof v);
    sodium_memzero(v, sizeof v);
}

}  // namespace rx
