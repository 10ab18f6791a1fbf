// A segment result: what the worker of one segment hands back. It carries
// the chain's states at a fixed spacing (the last one is the segment's
// digest), so the service can recompute any interval between two recorded
// states and catch a faulty or dishonest worker without redoing the whole
// segment.
//
// Spacing. A segment of N steps is cut into K = min(N, 1000) intervals;
// interval k (1 .. K) ends after interval_end(N, k) = floor(k × N / K) steps,
// so interval K ends at N, and every interval holds at least one step. The
// result records the state at every interval end, in order: K states, the
// last being the digest.
//
// Result document (result-NN.json), a JSON object in this member order,
// written pretty (one state per line), at most kResultDocumentLimit bytes:
//   version     1
//   plan_id     64 hex digits
//   segment     0 .. 95
//   iterations  1 .. 10^12
//   states      K strings of 64 hex digits
//   mac         64 hex digits: HMAC-SHA256 under the task's work key
//               (segment_task.h) over
//               "zanth-timelock-segment-result-v1\0" (33) | version BE32 |
//               plan id (32) | segment BE32 | iterations BE64 | the K states
// The reader is strict like the manifest's and checks the count of states.
//
// Secrets: digest i unlocks seed i + 1 of the finished puzzle, so a result is
// as secret as the next task. States live in self-wiping holders and the
// document text in a self-wiping buffer.
//
// Thread safety: plain values and pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "timelock/base/error.h"
#include "timelock/base/secret.h"
#include "timelock/formats/segment_task.h"

namespace zt {

inline constexpr std::uint32_t kResultVersion = 1;
inline constexpr std::uint64_t kMaxResultIntervals = 1000;
inline constexpr std::size_t kResultDocumentLimit = 81920;

inline constexpr std::string_view kResultTooLarge = "result exceeds size limit";
inline constexpr std::string_view kUnsupportedResult = "unsupported result version";
inline constexpr std::string_view kInvalidResult = "invalid result";

// K for a segment of `iterations` steps (at least 1).
std::uint64_t result_intervals(std::uint64_t iterations);

// Steps done at the end of interval k (0 .. K; 0 for k = 0, N for k = K).
std::uint64_t interval_end(std::uint64_t iterations, std::uint64_t k);

struct SegmentResult {
    std::string plan_id;
    std::uint32_t segment = 0;
    std::uint64_t iterations = 0;
    std::vector<Key32> states;  // K states, at the interval ends in order
    std::string mac;            // 64 hex digits

    const Key32& digest() const { return states.back(); }
};

// The result of `task` with these interval-end states, sealed with its MAC.
SegmentResult seal_result(const SegmentTask& task, std::vector<Key32> states);

SecureBytes write_result_document(const SegmentResult& result);

// Size ("result exceeds size limit"), the JSON rules, version ("unsupported
// result version"), segment, iterations and the count of states ("invalid
// result"), canonical hex. The MAC is not checked here: see check_result.
Result<SegmentResult> read_result_document(std::string_view text);

// Whether `result` is the one `task` asks for, in this order: the same plan
// id ("result of segment N belongs to another plan"), the same segment
// ("result of segment N holds segment M"), the same iterations
// and the MAC under the task's work key ("result of segment N is
// damaged or was not written by its worker").
Result<void> check_result(const SegmentResult& result, const SegmentTask& task);

}  // namespace zt
