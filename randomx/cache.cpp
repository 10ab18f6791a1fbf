#include "randomx/cache.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "randomx/blake_generator.h"
#include "randomx/arch.h"
#include "randomx/memory.h"

namespace rx {

Argon2Impl argon2_impl_for_flags(randomx_flags flags) noexcept {
    if ((flags & RANDOMX_FLAG_ARGON2_AVX2) != 0 && argon2_impl_supported(Argon2Impl::Avx2)) {
        return Argon2Impl::Avx2;
    }
    if ((flags & RANDOMX_FLAG_ARGON2_SSSE3) != 0 && argon2_impl_supported(Argon2Impl::Ssse3)) {
        return Argon2Impl::Ssse3;
    }
    return Argon2Impl::Portable;
}

void generate_superscalar_programs(const void* key, std::size_t key_size,
                                   std::array<SuperscalarProgram, kCacheAccesses>& programs) {
    BlakeGenerator gen(key, key_size);
    for (SuperscalarProgram& program : programs) {
        generate_superscalar(program, gen);
    }
}

}  // namespace rx

extern "C" {

randomx_cache* randomx_alloc_cache(randomx_flags flags) {
    auto* cache = new (std::nothrow) randomx_cache;
    if (cache == nullptr) {
        return nullptr;
    }
    cache->flags = flags;
    cache->large_pages = (flags & RANDOMX_FLAG_LARGE_PAGES) != 0;
    cache->argon2_impl = rx::argon2_impl_for_flags(flags);
    if ((flags & RANDOMX_FLAG_JIT) != 0 && rx::compiled_code_runs()) {
        cache->code = rx::make_dataset_code();  // null: the portable executors run
    }
    cache->memory = static_cast<std::uint8_t*>(rx::alloc_large(rx::kCacheSize, cache->large_pages));
    if (cache->memory == nullptr) {
        delete cache;
        return nullptr;
    }
    return cache;
}

void randomx_init_cache(randomx_cache* cache, const void* key, size_t keySize) {
    static_cast<void>(randomx_init_cache_stoppable(cache, key, keySize, nullptr, nullptr));
}

int randomx_init_cache_stoppable(randomx_cache* cache, const void* key, size_t keySize,
                                 int (*stop)(const void*), const void* context) {
    if (cache == nullptr || (key == nullptr && keySize != 0)) {
        return 1;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(key);
    if (cache->initialized && cache->key.size() == keySize &&
        (keySize == 0 || std::memcmp(cache->key.data(), bytes, keySize) == 0)) {
        return 1;
    }
    cache->initialized = false;
    cache->key.clear();
    if (!rx::argon2d_fill(cache->memory, rx::kArgonMemory, rx::kArgonIterations, key, keySize,
                          cache->argon2_impl, stop, context)) {
        return 0;
    }
    rx::generate_superscalar_programs(key, keySize, cache->programs);
    for (std::size_t i = 0; i < rx::kCacheAccesses; ++i) {
        rx::compile_superscalar(cache->programs[i], cache->compiled[i]);
    }
    if (cache->code != nullptr) {
        static_cast<void>(cache->code->compile(cache->programs));  // on failure the code is not ready
    }
    try {
        cache->key.assign(bytes, bytes + keySize);
        cache->initialized = true;
    } catch (...) {
        // Without a record of the key the next call recomputes; still correct.
        cache->key.clear();
    }
    return 1;
}

void* randomx_get_cache_memory(randomx_cache* cache) {
    return cache == nullptr ? nullptr : cache->memory;
}

void randomx_release_cache(randomx_cache* cache) {
    if (cache == nullptr) {
        return;
    }
    rx::free_large(cache->memory, rx::kCacheSize);
    delete cache;
}

}  // extern "C"
