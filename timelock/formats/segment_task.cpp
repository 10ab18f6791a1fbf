#include "timelock/formats/segment_task.h"

#include <array>
#include <utility>

#include "timelock/base/bytes.h"
#include "timelock/base/crypto.h"
#include "timelock/base/secret_document.h"
#include "timelock/json/reader.h"

namespace zt {
namespace {

constexpr std::string_view kWorkKeySalt = "zanth-timelock-segment-work-v1";
constexpr std::string_view kVerifyKeySalt = "zanth-timelock-segment-verify-v1";

struct TaskDocument {
    std::uint32_t version = 0;
    std::string plan_id;
    std::uint64_t epoch = 0;
    std::uint64_t iterations = 0;
    std::string dataset_key;
    std::uint32_t segment = 0;
    json::BorrowedString seed;  // a view into the self-wiping text until decoded
};

// The same members and one more (a record type of its own: the reader
// fills records through their own member pointers).
struct VerificationDocument {
    std::uint32_t version = 0;
    std::string plan_id;
    std::uint64_t epoch = 0;
    std::uint64_t iterations = 0;
    std::string dataset_key;
    std::uint32_t segment = 0;
    json::BorrowedString seed;
    json::BorrowedString verify_key;
};

// The members both documents share, up to the seed, without the closing brace.
void write_task_members(detail::SecretDocument& doc, const SegmentTask& task) {
    doc.text("{\"version\":").number(kTaskVersion);
    doc.text(",\"plan_id\":\"").text(task.plan_id).text("\"");
    doc.text(",\"epoch\":").number(task.epoch);
    doc.text(",\"iterations\":").number(task.iterations);
    doc.text(",\"dataset_key\":").hex(task.dataset_key.span());
    doc.text(",\"segment\":").number(task.segment);
    doc.text(",\"seed\":").hex(task.seed.span());
}

template <typename Document>
Result<SegmentTask> task_from(const Document& doc) {
    if (doc.version != kTaskVersion) return Error(std::string(kUnsupportedTask));
    if (!protocol::iterations_allowed(doc.iterations) || doc.segment >= protocol::kGeneratedSegments) {
        return Error(std::string(kInvalidTask));
    }
    SegmentTask task;
    if (auto id = decode_hex_fixed<32>(doc.plan_id); !id) return std::move(id).error();
    task.plan_id = doc.plan_id;
    task.epoch = doc.epoch;
    task.iterations = doc.iterations;
    ZT_TRY(decode_hex_fixed_into(doc.dataset_key, task.dataset_key.span()));
    task.segment = doc.segment;
    ZT_TRY(decode_hex_fixed_into(doc.seed.text(), task.seed.span()));
    return task;
}

Bytes plan_and_segment(const SegmentTask& task) {
    Bytes info;
    append_bytes(info, decode_hex_fixed<32>(task.plan_id).value());  // canonical in every task
    append_be32(info, task.segment);
    return info;
}

}  // namespace

template <>
struct json::Schema<TaskDocument> {
    static constexpr std::string_view name = "SegmentTask";
    static constexpr std::array fields{
        json::field<&TaskDocument::version>("version"),
        json::field<&TaskDocument::plan_id>("plan_id"),
        json::field<&TaskDocument::epoch>("epoch"),
        json::field<&TaskDocument::iterations>("iterations"),
        json::field<&TaskDocument::dataset_key>("dataset_key"),
        json::field<&TaskDocument::segment>("segment"),
        json::field<&TaskDocument::seed>("seed"),
    };
};

template <>
struct json::Schema<VerificationDocument> {
    static constexpr std::string_view name = "VerificationTask";
    static constexpr std::array fields{
        json::field<&VerificationDocument::version>("version"),
        json::field<&VerificationDocument::plan_id>("plan_id"),
        json::field<&VerificationDocument::epoch>("epoch"),
        json::field<&VerificationDocument::iterations>("iterations"),
        json::field<&VerificationDocument::dataset_key>("dataset_key"),
        json::field<&VerificationDocument::segment>("segment"),
        json::field<&VerificationDocument::seed>("seed"),
        json::field<&VerificationDocument::verify_key>("verify_key"),
    };
};

SegmentTask task_of(const GenerationPlan& plan, std::uint32_t segment) {
    SegmentTask task;
    task.plan_id = plan_id(plan);
    task.epoch = plan.epoch;
    task.iterations = plan.iterations;
    task.dataset_key = plan.dataset_key;
    task.segment = segment;
    task.seed = plan.seeds.at(segment);
    return task;
}

SecureBytes write_task_document(const SegmentTask& task) {
    detail::SecretDocument doc;
    write_task_members(doc, task);
    doc.text("}\n");
    return doc.take();
}

Result<SegmentTask> read_task_document(std::string_view text) {
    if (text.size() > kTaskDocumentLimit) return Error(std::string(kTaskTooLarge));
    ZT_TRY_ASSIGN(const TaskDocument doc, json::parse<TaskDocument>(text));
    return task_from(doc);
}

Key32 work_key(const SegmentTask& task) { return derive_key(kWorkKeySalt, task.seed, plan_and_segment(task)); }

VerificationTask verification_task_of(const GenerationPlan& plan, std::uint32_t segment) {
    VerificationTask verification{task_of(plan, segment), {}};
    verification.verify_key = derive_key(kVerifyKeySalt, plan.epoch_key, plan_and_segment(verification.task));
    return verification;
}

SecureBytes write_verification_task_document(const VerificationTask& verification) {
    detail::SecretDocument doc;
    write_task_members(doc, verification.task);
    doc.text(",\"verify_key\":").hex(verification.verify_key.span());
    doc.text("}\n");
    return doc.take();
}

Result<VerificationTask> read_verification_task_document(std::string_view text) {
    if (text.size() > kTaskDocumentLimit) return Error(std::string(kTaskTooLarge));
    ZT_TRY_ASSIGN(const VerificationDocument doc, json::parse<VerificationDocument>(text));
    ZT_TRY_ASSIGN(SegmentTask task, task_from(doc));
    VerificationTask verification{std::move(task), {}};
    ZT_TRY(decode_hex_fixed_into(doc.verify_key.text(), verification.verify_key.span()));
    return verification;
}

std::string segment_name(std::uint32_t segment) { return "segment " + std::to_string(std::uint64_t{segment} + 1); }

}  // namespace zt
