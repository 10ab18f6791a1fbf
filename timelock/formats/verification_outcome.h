// The outcome of a full verification of one segment result: what
// `verify-result` writes beside the result once it has recomputed every
// interval of it, and what `assemble` accepts in place of its own sample for
// that segment.
//
// Outcome document (result-NN.json.verified), one line:
//   {"version":1,"plan_id":"<64 hex>","segment":I,"result_mac":"<64 hex>","mac":"<64 hex>"}\n
// `result_mac` is the MAC of the result that was verified, so an outcome
// stands for that result only; `mac` is HMAC-SHA256 under the task's work
// key (segment_task.h) over
//   "zanth-timelock-segment-verified-v1\0" (35) | version BE32 | plan id (32) |
//   segment BE32 | result mac (32)
// Whoever holds the task can write an outcome, as they can write the result:
// an outcome tells that a machine holding the task recomputed the chain,
// which catches faults of the worker's hardware, not a dishonest holder of
// the task (examples/cluster/README.md says where to run the check).
//
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "timelock/base/error.h"
#include "timelock/formats/segment_result.h"
#include "timelock/formats/segment_task.h"

namespace zt {

inline constexpr std::uint32_t kOutcomeVersion = 1;
inline constexpr std::size_t kOutcomeDocumentLimit = 1024;
inline constexpr std::string_view kOutcomeSuffix = ".verified";

// The outcome of `result` (already matched with check_result) of `task`.
std::string write_outcome_document(const SegmentTask& task, const SegmentResult& result);

// Whether `text` is an outcome for exactly this result of `task`: the JSON
// rules and version ("unsupported verification outcome version"); "verification
// outcome of segment N is for another plan, segment or result"; its MAC
// ("verification outcome of segment N is damaged or was not written
// with its task").
Result<void> check_outcome_document(std::string_view text, const SegmentTask& task, const SegmentResult& result);

}  // namespace zt
