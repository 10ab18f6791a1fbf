// Helpers shared by the RandomX VM tests: hex and SHA-256 renderings for
// readable comparisons with the vector files, trace field parsing, and one
// process-wide light-mode cache that is re-keyed on demand (initialising a
// cache costs about a second, so tests that share a key should run together).
//
// Thread safety: tests run on one thread; keyed_cache is not reentrant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "randomx/randomx.h"
#include "tests/support/vector_json.h"

namespace zt::test {

// Lowercase hex of `size` bytes, first byte first.
std::string hex(const void* data, std::size_t size);
inline std::string hex(const std::vector<std::uint8_t>& bytes) { return hex(bytes.data(), bytes.size()); }

// Lowercase hex of SHA-256(data).
std::string sha256_hex(const void* data, std::size_t size);

// A trace value: 16 hex digits, most significant first.
std::uint64_t word(const Json& value);
std::string word_hex(std::uint64_t value);  // the same notation

// A machine's scratchpad: kScratchpadL3 bytes, 64-byte aligned, freed when
// dropped.
struct ScratchpadFree {
    void operator()(std::uint8_t* p) const;
};
using Scratchpad = std::unique_ptr<std::uint8_t, ScratchpadFree>;
Scratchpad scratchpad();

// A cache of the tests' own, released when dropped.
struct CacheRelease {
    void operator()(randomx_cache* cache) const { randomx_release_cache(cache); }
};
using CachePtr = std::unique_ptr<randomx_cache, CacheRelease>;

// The cache initialised with `key`, shared by all callers; re-initialised
// only when the key changes. Never null (fails the test process otherwise).
randomx_cache* keyed_cache(const std::vector<std::uint8_t>& key);

// The 69-byte step message: label, epoch (u64 BE), segment (u32 BE),
// iteration (u64 BE), 32-byte state.
std::vector<std::uint8_t> step_message(std::uint64_t epoch, std::uint32_t segment,
                                       std::uint64_t iteration, const std::uint8_t state[32]);

}  // namespace zt::test
