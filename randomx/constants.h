// The algorithm's parameters, with the values of the published configuration.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rx {

inline constexpr std::uint32_t kArgonMemory = 262144;      // 1 KiB blocks in the cache
inline constexpr std::uint32_t kArgonIterations = 3;
inline constexpr std::uint32_t kArgonLanes = 1;
inline constexpr char kArgonSalt[] = "RandomX\x03";        // 8 bytes, no terminator used
inline constexpr std::size_t kArgonSaltSize = 8;
inline constexpr std::uint32_t kCacheAccesses = 8;
inline constexpr std::uint32_t kSuperscalarLatency = 170;
inline constexpr std::uint64_t kDatasetBaseSize = 2147483648ULL;
inline constexpr std::uint64_t kDatasetExtraSize = 33554368ULL;
inline constexpr std::uint32_t kProgramSizeV1 = 256;
inline constexpr std::uint32_t kProgramSizeV2 = 384;
inline constexpr std::uint32_t kProgramIterations = 2048;
inline constexpr std::uint32_t kProgramCount = 8;
inline constexpr std::uint32_t kJumpBits = 8;
inline constexpr std::uint32_t kJumpOffset = 8;
inline constexpr std::uint32_t kScratchpadL3 = 2097152;
inline constexpr std::uint32_t kScratchpadL2 = 262144;
inline constexpr std::uint32_t kScratchpadL1 = 16384;

inline constexpr std::size_t kCacheLineSize = 64;           // one dataset item
inline constexpr std::size_t kCacheSize = std::size_t{kArgonMemory} * 1024;
inline constexpr std::uint64_t kCacheItemCount = kCacheSize / kCacheLineSize;
inline constexpr std::uint64_t kDatasetSize = kDatasetBaseSize + kDatasetExtraSize;
inline constexpr std::uint64_t kDatasetItemCount = kDatasetSize / kCacheLineSize;  // 34078719

}  // namespace rx
