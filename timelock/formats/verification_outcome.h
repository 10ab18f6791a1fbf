// The outcome of a full verification of one segment result: what
// `verify-result` writes beside the result once it has recomputed every
// interval of it, and what `assemble` accepts in place of its own sample for
// that segment.
//
// Outcome document (result-NN.json.verified), one line:
//   {"version":2,"plan_id":"<64 hex>","segment":I,"result_mac":"<64 hex>","mac":"<64 hex>"}\n
// `result_mac` is the MAC of the result that was verified, so an outcome
// stands for that result only; `mac` is HMAC-SHA256 under the segment's
// verification key (segment_task.h) over
//   "zanth-timelock-segment-verified-v2\0" (35) | version BE32 | plan id (32) |
//   segment BE32 | result mac (32)
// Only a holder of the verification task (or of the plan) can write one: a
// worker, which holds the work task only, cannot vouch for its own result.
// Outcomes of version 1 were authenticated with the work key, which every
// worker holds, and are not taken any more.
//
// What an outcome is worth, and who decides: outcome_counts below.
//
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <optional>
#include <string_view>

#include "timelock/base/error.h"
#include "timelock/formats/segment_result.h"
#include "timelock/formats/segment_task.h"

namespace zt {

inline constexpr std::uint32_t kOutcomeVersion = 2;
inline constexpr std::size_t kOutcomeDocumentLimit = 1024;
inline constexpr std::string_view kOutcomeSuffix = ".verified";

// The outcome of `result` (already matched with check_result) of the
// verification task's segment.
std::string write_outcome_document(const VerificationTask& verification, const SegmentResult& result);

// Whether `text` is an outcome for exactly this result of `task`, written
// with `verify_key`: the JSON rules and version ("unsupported verification
// outcome version"); "verification outcome of segment N is for another plan,
// segment or result"; its MAC ("verification outcome of segment N is
// damaged or was not written with its verification task").
Result<void> check_outcome_document(std::string_view text, const SegmentTask& task, const Key32& verify_key,
                                    const SegmentResult& result);

// The trust decision of assemble, in one place. Threat model: a worker holds
// its work task (the seed): it can write any result for its segment and any
// progress, and a matching MAC, but no outcome, since that needs the
// verification key derived from the epoch key. A verifier holds a
// verification task: it can vouch for any result of its segment, so
// verification must run where the workers cannot reach (another account).
// Whoever runs as the operator holds the plan and defeats every check short
// of a full recomputation on a machine the operator trusts (--verify-all).
// So an outcome only ever spares the middle intervals of one segment from
// sampling: the first and last interval of every segment are recomputed
// whatever an outcome says, and with --verify-all no outcome is read.
//
// Whether the outcome `text` (nothing when there is none) lets assemble skip
// sampling the middle of this result: true for a good outcome; false when
// there is none; otherwise the reason it is not taken, for the operator.
Result<bool> outcome_counts(const std::optional<std::string_view>& text, const SegmentTask& task,
                            const Key32& verify_key, const SegmentResult& result);

}  // namespace zt
