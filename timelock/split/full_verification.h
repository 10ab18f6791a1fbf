// One segment result verified in full, as a job of its own: what
// `verify-result` does, so that checking every interval of a generation can
// be spread over a cluster as a second array job. Every interval of the
// result is recomputed on the given threads; when all match, the outcome
// (verification_outcome.h) is published beside the result, owner-only and
// never replacing a file, and `assemble` takes it in place of its sample.
//
// Thread safety: call from the main thread; the recomputation starts and
// joins its own threads.
#pragma once

#include <cstddef>
#include <string>

#include "timelock/base/error.h"
#include "timelock/base/publish.h"
#include "timelock/formats/segment_result.h"
#include "timelock/formats/segment_task.h"
#include "timelock/work/engine.h"

namespace zt {

// RESULT.verified.
std::string outcome_path(const std::string& result_path);

// Whether an outcome for exactly this result is already published at
// `outcome`; anything else there is existing_output (publish.h: it is never
// replaced), an unreadable one its private file's error.
Result<bool> outcome_published(const VerificationTask& verification, const SegmentResult& result,
                               const OutputTarget& outcome);

// Recomputes every interval of `result` (matched with check_result) on
// `threads` threads of `engine`: segment_verify.h's error at the first
// mismatch, and nothing is published then. Otherwise publishes the outcome,
// authenticated with the verification key.
Result<void> verify_in_full(const WorkEngine& engine, const VerificationTask& verification, const SegmentResult& result,
                            const OutputTarget& outcome, std::size_t threads);

}  // namespace zt
