// Task documents from untrusted bytes (what `work` is handed). Properties:
// no crash; a task that reads is written back as a task that reads to the
// same values and the same work key, and its segment is below 96.
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "timelock/base/bytes.h"
#include "timelock/formats/segment_task.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using zt::fuzz::require;
    auto task = zt::read_task_document(zt::fuzz::as_view(data, size));
    if (!task) return 0;
    require(size <= zt::kTaskDocumentLimit && task->segment < 96);
    const zt::SecureBytes written = zt::write_task_document(*task);
    auto again = zt::read_task_document(zt::as_text(written));
    require(again.ok() && zt::write_task_document(*again) == written);
    require(zt::work_key(*again) == zt::work_key(*task));
    return 0;
}
