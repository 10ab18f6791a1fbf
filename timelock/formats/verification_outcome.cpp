#include "timelock/formats/verification_outcome.h"

#include <sodium.h>

#include <array>

#include "timelock/base/bytes.h"
#include "timelock/base/crypto.h"
#include "timelock/json/reader.h"

namespace zt {
namespace {

constexpr std::string_view kOutcomeMacLabel{"zanth-timelock-segment-verified-v2\0", 35};

struct OutcomeDocument {
    std::uint32_t version = 0;
    std::string plan_id;
    std::uint32_t segment = 0;
    std::string result_mac;
    std::string mac;
};

Key32 outcome_mac(const SegmentTask& task, const Key32& verify_key, const SegmentResult& result) {
    Bytes input;
    append_text(input, kOutcomeMacLabel);
    append_be32(input, kOutcomeVersion);
    append_bytes(input, decode_hex_fixed<32>(task.plan_id).value());  // canonical in every task
    append_be32(input, task.segment);
    append_bytes(input, decode_hex_fixed<32>(result.mac).value());    // canonical in every result read
    return hmac_sha256(verify_key.span(), input);
}

}  // namespace

template <>
struct json::Schema<OutcomeDocument> {
    static constexpr std::string_view name = "VerificationOutcome";
    static constexpr std::array fields{
        json::field<&OutcomeDocument::version>("version"),
        json::field<&OutcomeDocument::plan_id>("plan_id"),
        json::field<&OutcomeDocument::segment>("segment"),
        json::field<&OutcomeDocument::result_mac>("result_mac"),
        json::field<&OutcomeDocument::mac>("mac"),
    };
};

std::string write_outcome_document(const VerificationTask& verification, const SegmentResult& result) {
    const SegmentTask& task = verification.task;
    return "{\"version\":" + std::to_string(kOutcomeVersion) + ",\"plan_id\":\"" + task.plan_id +
           "\",\"segment\":" + std::to_string(task.segment) + ",\"result_mac\":\"" + result.mac + "\",\"mac\":\"" +
           encode_hex(outcome_mac(task, verification.verify_key, result).span()) + "\"}\n";
}

Result<void> check_outcome_document(std::string_view text, const SegmentTask& task, const Key32& verify_key,
                                    const SegmentResult& result) {
    if (text.ends_with('\n')) text.remove_suffix(1);
    ZT_TRY_ASSIGN(const OutcomeDocument doc, json::parse<OutcomeDocument>(text));
    if (doc.version != kOutcomeVersion) return Error("unsupported verification outcome version");
    const std::string name = "verification outcome of " + segment_name(task.segment);
    if (doc.plan_id != task.plan_id || doc.segment != task.segment || doc.result_mac != result.mac) {
        return Error(name + " is for another plan, segment or result");
    }
    Key32 mac;
    const Key32 expected = outcome_mac(task, verify_key, result);
    if (!decode_hex_fixed_into(doc.mac, mac.span()) ||
        sodium_memcmp(mac.data(), expected.data(), mac.size()) != 0) {
        return Error(name + " is damaged or was not written with its verification task");
    }
    return success();
}

Result<bool> outcome_counts(const std::optional<std::string_view>& text, const SegmentTask& task,
                            const Key32& verify_key, const SegmentResult& result) {
    if (!text) return false;
    ZT_TRY(check_outcome_document(*text, task, verify_key, result));
    return true;
}

}  // namespace zt
