// The cache: the Argon2d memory filled from the key, plus the eight
// SuperscalarHash programs generated from the same key. Dataset items are
// computed from it (dataset.h).
//
// Thread safety: once initialised, a cache is read-only and may be shared by
// any number of threads. randomx_init_cache must not run while anything else
// uses the cache.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "randomx/argon2d.h"
#include "randomx/constants.h"
#include "randomx/dataset_code.h"
#include "randomx/randomx.h"
#include "randomx/superscalar.h"
#include "randomx/superscalar_executor.h"

struct randomx_cache {
    std::uint8_t* memory = nullptr;  // kCacheSize bytes, 2 MiB aligned
    randomx_flags flags = RANDOMX_FLAG_DEFAULT;
    rx::Argon2Impl argon2_impl = rx::Argon2Impl::Portable;
    bool large_pages = false;
    // Program i builds step i of every dataset item.
    std::array<rx::SuperscalarProgram, rx::kCacheAccesses> programs{};
    std::array<rx::CompiledSuperscalar, rx::kCacheAccesses> compiled{};
    // With RANDOMX_FLAG_JIT: the same programs as machine code (null, or not
    // ready, where code cannot be compiled; the portable executors run then).
    std::unique_ptr<rx::DatasetCode> code;
    // The key of the last initialisation, so that repeating it costs nothing.
    bool initialized = false;
    std::vector<std::uint8_t> key;
};

namespace rx {

// The Argon2d implementation that cache flags ask for, limited to what the
// processor supports: AVX2 before SSSE3 before portable.
Argon2Impl argon2_impl_for_flags(randomx_flags flags) noexcept;

// Generates the eight SuperscalarHash programs of a key (no Argon2d work).
void generate_superscalar_programs(const void* key, std::size_t key_size,
                                   std::array<SuperscalarProgram, kCacheAccesses>& programs);

}  // namespace rx
