// Protocol identifiers and work limits, fixed for the whole program.
//
// A manifest records the RandomX release, commit and algorithm its digests
// were computed with; a manifest naming anything else is refused, because a
// solver running another RandomX would never reach the wrapped keys. The work
// limits bound what a manifest may ask of a solver and what the generator
// accepts. The engine, the generator, calibration and the manifest validation
// all take these values from here.
//
// Thread safety: constants only.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

namespace zt::protocol {

inline constexpr std::string_view kRandomxRelease = "2.0.1";
inline constexpr std::string_view kRandomxCommit = "aaafe71322df6602c21a5c72937ac284724ae561";
inline constexpr std::string_view kRandomxAlgorithm = "v2";

// Version of the manifest and of its signing message.
inline constexpr std::uint32_t kProtocolVersion = 1;

// Serial steps in one segment, inclusive bounds.
inline constexpr std::uint64_t kMinIterations = 1;
inline constexpr std::uint64_t kMaxIterations = 1'000'000'000'000;

// Segment counts a manifest may declare; the generator always makes 96.
inline constexpr std::array<std::uint32_t, 3> kAllowedSegmentCounts{7, 84, 96};
inline constexpr std::uint32_t kGeneratedSegments = 96;

constexpr bool iterations_allowed(std::uint64_t iterations) {
    return iterations >= kMinIterations && iterations <= kMaxIterations;
}

constexpr bool segment_count_allowed(std::uint64_t segments) {
    return std::find(kAllowedSegmentCounts.begin(), kAllowedSegmentCounts.end(), segments) !=
           kAllowedSegmentCounts.end();
}

static_assert(kRandomxCommit.size() == 40);
static_assert(segment_count_allowed(kGeneratedSegments));

}  // namespace zt::protocol
