// Plan documents from untrusted bytes (plan.json of a state directory).
// Properties: no crash; a document that reads is written back as a document
// that reads to the same plan (same id and the same text again).
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "timelock/base/bytes.h"
#include "timelock/formats/generation_plan.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using zt::fuzz::require;
    auto plan = zt::read_plan_document(zt::fuzz::as_view(data, size));
    if (!plan) return 0;
    require(size <= zt::kPlanDocumentLimit);
    const zt::SecureBytes written = zt::write_plan_document(*plan);
    auto again = zt::read_plan_document(zt::as_text(written));
    require(again.ok() && zt::plan_id(*again) == zt::plan_id(*plan));
    require(zt::write_plan_document(*again) == written);
    return 0;
}
