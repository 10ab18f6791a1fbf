// Telling a document's kind from untrusted bytes (any file a user names in
// the wrong place). Properties: no crash, and agreement with the strict
// readers: a text that reads as a signed manifest, a work task or a
// verification task is told as exactly that kind.
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "timelock/formats/document_kind.h"
#include "timelock/formats/manifest.h"
#include "timelock/formats/segment_task.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using zt::fuzz::require;
    const std::string_view text = zt::fuzz::as_view(data, size);
    const auto kind = zt::identify_document(text);
    if (zt::read_signed_manifest(text) && text.find('{') < text.find('[')) {
        require(kind == zt::DocumentKind::manifest);
    }
    if (zt::read_task_document(text) && text.find('{') < text.find('[')) require(kind == zt::DocumentKind::task);
    if (zt::read_verification_task_document(text) && text.find('{') < text.find('[')) {
        require(kind == zt::DocumentKind::verification_task);
    }
    return 0;
}
