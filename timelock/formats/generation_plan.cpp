#include "timelock/formats/generation_plan.h"

#include <array>
#include <utility>

#include "timelock/base/bytes.h"
#include "timelock/base/crypto.h"
#include "timelock/base/secret_document.h"
#include "timelock/json/reader.h"

namespace zt {
namespace {

constexpr std::size_t kSegments = protocol::kGeneratedSegments;
constexpr std::string_view kPlanIdLabel{"zanth-timelock-plan-v1\0", 23};

// The document as read: secrets stay views into the (self-wiping) text
// until they are decoded into their holders.
struct PlanDocument {
    std::uint32_t version = 0;
    std::string plan_id;
    std::uint64_t epoch = 0;
    std::uint64_t iterations = 0;
    std::string dataset_key;
    std::vector<json::BorrowedString> seeds;
    json::BorrowedString epoch_key;
    std::vector<std::string> nonces;
};

}  // namespace

template <>
struct json::Schema<PlanDocument> {
    static constexpr std::string_view name = "GenerationPlan";
    static constexpr std::array fields{
        json::field<&PlanDocument::version>("version"),
        json::field<&PlanDocument::plan_id>("plan_id"),
        json::field<&PlanDocument::epoch>("epoch"),
        json::field<&PlanDocument::iterations>("iterations"),
        json::field<&PlanDocument::dataset_key>("dataset_key"),
        json::field<&PlanDocument::seeds>("seeds"),
        json::field<&PlanDocument::epoch_key>("epoch_key"),
        json::field<&PlanDocument::nonces>("nonces"),
    };
};

Result<void> draw_random(const RandomSource& source, std::span<std::uint8_t> out) {
    // The system's own error is not passed on, whatever the source said.
    if (!(source ? source(out) : random_bytes(out))) return Error(std::string(kOsRandomnessFailed));
    return success();
}

Result<GenerationPlan> draw_plan(std::uint64_t epoch, std::uint64_t iterations, const RandomSource& source) {
    if (!protocol::iterations_allowed(iterations)) return Error(std::string(kInvalidIterations));
    GenerationPlan plan;
    plan.epoch = epoch;
    plan.iterations = iterations;
    ZT_TRY(draw_random(source, plan.dataset_key.span()));
    for (auto& seed : plan.seeds) ZT_TRY(draw_random(source, seed.span()));
    ZT_TRY(draw_random(source, plan.epoch_key.span()));
    for (auto& nonce : plan.nonces) ZT_TRY(draw_random(source, nonce));
    return plan;
}

std::string plan_id(const GenerationPlan& plan) {
    SecureBytes input;  // holds seed 0, a secret until the manifest is published
    input.reserve(kPlanIdLabel.size() + 8 + 8 + 32 + 32 + 32);
    append_text(input, kPlanIdLabel);
    append_be64(input, plan.epoch);
    append_be64(input, plan.iterations);
    append_bytes(input, plan.dataset_key.span());
    append_bytes(input, plan.seeds[0].span());
    append_bytes(input, sha256(plan.epoch_key.span()));
    return encode_hex(sha256(input));
}

SecureBytes write_plan_document(const GenerationPlan& plan) {
    detail::SecretDocument doc;
    doc.text("{\n  \"version\": ").number(kPlanVersion);
    doc.text(",\n  \"plan_id\": \"").text(plan_id(plan)).text("\"");
    doc.text(",\n  \"epoch\": ").number(plan.epoch);
    doc.text(",\n  \"iterations\": ").number(plan.iterations);
    doc.text(",\n  \"dataset_key\": ").hex(plan.dataset_key.span());
    doc.text(",\n  \"seeds\": [").hex_list(plan.seeds);
    doc.text("\n  ],\n  \"epoch_key\": ").hex(plan.epoch_key.span());
    doc.text(",\n  \"nonces\": [").hex_list(plan.nonces);
    doc.text("\n  ]\n}\n");
    return doc.take();
}

Result<GenerationPlan> read_plan_document(std::string_view text) {
    if (text.size() > kPlanDocumentLimit) return Error(std::string(kPlanTooLarge));
    ZT_TRY_ASSIGN(const PlanDocument doc, json::parse<PlanDocument>(text));
    if (doc.version != kPlanVersion) return Error(std::string(kUnsupportedPlan));
    if (!protocol::iterations_allowed(doc.iterations) || doc.seeds.size() != kSegments ||
        doc.nonces.size() != kSegments) {
        return Error(std::string(kInvalidPlan));
    }
    if (auto id = decode_hex_fixed<32>(doc.plan_id); !id) return std::move(id).error();
    GenerationPlan plan;
    plan.epoch = doc.epoch;
    plan.iterations = doc.iterations;
    ZT_TRY(decode_hex_fixed_into(doc.dataset_key, plan.dataset_key.span()));
    for (std::size_t i = 0; i < kSegments; ++i) ZT_TRY(decode_hex_fixed_into(doc.seeds[i].text(), plan.seeds[i].span()));
    ZT_TRY(decode_hex_fixed_into(doc.epoch_key.text(), plan.epoch_key.span()));
    for (std::size_t i = 0; i < kSegments; ++i) ZT_TRY(decode_hex_fixed_into(doc.nonces[i], plan.nonces[i]));
    if (doc.plan_id != plan_id(plan)) return Error(std::string(kPlanCorrupted));
    return plan;
}

}  // namespace zt
