// Result documents from untrusted bytes (what `assemble` reads from the
// workers). Properties: no crash; a result that reads has exactly one state
// per interval of its segment and is written back as a result that reads to
// the same text; it is checked against a fixed task without crashing, and a
// result sealed for that task passes.
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "timelock/base/bytes.h"
#include "timelock/formats/segment_result.h"

namespace {

const zt::SegmentTask& fixed_task() {
    static const zt::SegmentTask task = [] {
        zt::SegmentTask t;
        t.plan_id = std::string(64, 'a');
        t.iterations = 5;
        t.segment = 3;
        return t;
    }();
    return task;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using zt::fuzz::require;
    auto result = zt::read_result_document(zt::fuzz::as_view(data, size));
    if (!result) return 0;
    require(result->states.size() == zt::result_intervals(result->iterations));
    const zt::SecureBytes written = zt::write_result_document(*result);
    auto again = zt::read_result_document(zt::as_text(written));
    require(again.ok() && zt::write_result_document(*again) == written);
    static_cast<void>(zt::check_result(*result, fixed_task()));
    if (result->iterations == fixed_task().iterations) {
        require(zt::check_result(zt::seal_result(fixed_task(), result->states), fixed_task()).ok());
    }
    return 0;
}
