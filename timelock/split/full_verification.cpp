#include "timelock/split/full_verification.h"

#include <optional>
#include <span>
#include <vector>

#include "timelock/base/bytes.h"
#include "timelock/base/publish.h"
#include "timelock/formats/input_files.h"
#include "timelock/formats/verification_outcome.h"
#include "timelock/split/segment_verify.h"

namespace zt {

std::string outcome_path(const std::string& result_path) { return result_path + std::string(kOutcomeSuffix); }

Result<bool> outcome_published(const SegmentTask& task, const SegmentResult& result, const std::string& result_path) {
    ZT_TRY_ASSIGN(const std::optional<SecureBytes> text,
                  read_private_secret(outcome_path(result_path), kOutcomeDocumentLimit));
    if (!text) return false;
    if (!check_outcome_document(as_text(*text), task, result)) return Error(std::string(kOutputExists));
    return true;
}

Result<void> verify_in_full(const WorkEngine& engine, const SegmentTask& task, const SegmentResult& result,
                            const std::string& result_path, std::size_t threads) {
    // One task and one result, so the checks name position 0.
    const std::vector<IntervalCheck> checks = all_interval_checks(0, task.iterations);
    ZT_TRY(verify_interval_checks(engine, std::span(&task, 1), std::span(&result, 1), checks, threads));
    const std::string outcome = write_outcome_document(task, result);
    return publish_staged(outcome_path(result_path), as_bytes(outcome), /*owner_only=*/true,
                          OnFailure::remove_staged);
}

}  // namespace zt
