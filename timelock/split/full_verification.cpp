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

Result<bool> outcome_published(const VerificationTask& verification, const SegmentResult& result,
                               const OutputTarget& outcome) {
    ZT_TRY_ASSIGN(const std::optional<SecureBytes> text,
                  read_private_secret(outcome.dir(), outcome.name(), kOutcomeDocumentLimit));
    if (!text) return false;
    if (!check_outcome_document(as_text(*text), verification.task, verification.verify_key, result)) {
        return existing_output(outcome, "not an outcome of this result");
    }
    return true;
}

Result<void> verify_in_full(const WorkEngine& engine, const VerificationTask& verification, const SegmentResult& result,
                            const OutputTarget& outcome, std::size_t threads) {
    const SegmentTask& task = verification.task;
    // One task and one result, so the checks name position 0.
    const std::vector<IntervalCheck> checks = all_interval_checks(0, task.iterations);
    ZT_TRY(verify_interval_checks(engine, std::span(&task, 1), std::span(&result, 1), checks, threads));
    const std::string document = write_outcome_document(verification, result);
    return publish(outcome, as_bytes(document), /*owner_only=*/true, OnFailure::remove_staged);
}

}  // namespace zt
