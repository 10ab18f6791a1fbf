#include "timelock/formats/segment_result.h"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <utility>

#include "timelock/base/bytes.h"
#include "timelock/base/crypto.h"
#include "timelock/base/protocol.h"
#include "timelock/base/secret_document.h"
#include "timelock/json/reader.h"

namespace zt {
namespace {

constexpr std::string_view kResultMacLabel{"zanth-timelock-segment-result-v1\0", 33};

struct ResultDocument {
    std::uint32_t version = 0;
    std::string plan_id;
    std::uint32_t segment = 0;
    std::uint64_t iterations = 0;
    std::vector<json::BorrowedString> states;  // views into the self-wiping text until decoded
    std::string mac;
};

std::string result_mac(const SegmentResult& result, const Key32& key) {
    SecureBytes input;  // the states are secret
    append_text(input, kResultMacLabel);
    append_be32(input, kResultVersion);
    append_bytes(input, decode_hex_fixed<32>(result.plan_id).value());  // canonical in every result
    append_be32(input, result.segment);
    append_be64(input, result.iterations);
    for (const Key32& state : result.states) append_bytes(input, state.span());
    return encode_hex(hmac_sha256(key.span(), input).span());
}

}  // namespace

template <>
struct json::Schema<ResultDocument> {
    static constexpr std::string_view name = "SegmentResult";
    static constexpr std::array fields{
        json::field<&ResultDocument::version>("version"),
        json::field<&ResultDocument::plan_id>("plan_id"),
        json::field<&ResultDocument::segment>("segment"),
        json::field<&ResultDocument::iterations>("iterations"),
        json::field<&ResultDocument::states>("states"),
        json::field<&ResultDocument::mac>("mac"),
    };
};

std::uint64_t result_intervals(std::uint64_t iterations) {
    return std::clamp<std::uint64_t>(iterations, 1, kMaxResultIntervals);
}

std::uint64_t interval_end(std::uint64_t iterations, std::uint64_t k) {
    // k × N stays below 2^64: N is at most 10^12 and k at most 1000.
    return k * iterations / result_intervals(iterations);
}

SegmentResult seal_result(const SegmentTask& task, std::vector<Key32> states) {
    SegmentResult result;
    result.plan_id = task.plan_id;
    result.segment = task.segment;
    result.iterations = task.iterations;
    result.states = std::move(states);
    result.mac = result_mac(result, work_key(task));
    return result;
}

SecureBytes write_result_document(const SegmentResult& result) {
    detail::SecretDocument doc;
    doc.text("{\n  \"version\": ").number(kResultVersion);
    doc.text(",\n  \"plan_id\": \"").text(result.plan_id).text("\"");
    doc.text(",\n  \"segment\": ").number(result.segment);
    doc.text(",\n  \"iterations\": ").number(result.iterations);
    doc.text(",\n  \"states\": [").hex_list(result.states);
    doc.text("\n  ],\n  \"mac\": \"").text(result.mac).text("\"\n}\n");
    return doc.take();
}

Result<SegmentResult> read_result_document(std::string_view text) {
    if (text.size() > kResultDocumentLimit) return Error(std::string(kResultTooLarge));
    ZT_TRY_ASSIGN(const ResultDocument doc, json::parse<ResultDocument>(text));
    if (doc.version != kResultVersion) return Error(std::string(kUnsupportedResult));
    if (doc.segment >= protocol::kGeneratedSegments || !protocol::iterations_allowed(doc.iterations) ||
        doc.states.size() != result_intervals(doc.iterations)) {
        return Error(std::string(kInvalidResult));
    }
    if (auto id = decode_hex_fixed<32>(doc.plan_id); !id) return std::move(id).error();
    SegmentResult result;
    result.plan_id = doc.plan_id;
    result.segment = doc.segment;
    result.iterations = doc.iterations;
    result.states.resize(doc.states.size());
    for (std::size_t i = 0; i < doc.states.size(); ++i) {
        ZT_TRY(decode_hex_fixed_into(doc.states[i].text(), result.states[i].span()));
    }
    if (auto mac = decode_hex_fixed<32>(doc.mac); !mac) return std::move(mac).error();
    result.mac = doc.mac;
    return result;
}

Result<void> check_result(const SegmentResult& result, const SegmentTask& task) {
    const std::string name = "result of " + segment_name(task.segment);
    if (result.plan_id != task.plan_id) return Error(name + " belongs to another plan");
    if (result.segment != task.segment) return Error(name + " holds " + segment_name(result.segment));
    const std::string expected = result_mac(result, work_key(task));
    if (result.iterations != task.iterations || result.mac.size() != expected.size() ||
        sodium_memcmp(result.mac.data(), expected.data(), expected.size()) != 0) {
        return Error(name + " is damaged or was not written by its worker");
    }
    return success();
}

}  // namespace zt
