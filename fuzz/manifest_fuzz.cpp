// The signed manifest as solve and the decrypt commands take it: read,
// validate, identify and verify against a fixed pin. Properties: no crash;
// a manifest that reads is written back and read again to the same value
// (the writer and the reader agree); a manifest that verifies also
// validates and has a 64-digit id.
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "timelock/formats/manifest.h"
#include "timelock/formats/manifest_signing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using zt::fuzz::require;
    static const zt::Bytes32 pin = zt::parse_pin(zt::fuzz::kPinHex).value();
    auto manifest = zt::read_signed_manifest(zt::fuzz::as_view(data, size));
    if (!manifest) return 0;
    const std::string written = zt::write_signed_manifest(*manifest);
    auto again = zt::read_signed_manifest(written);
    require(again.ok() && *again == *manifest);

    const bool valid = zt::validate_manifest(manifest->puzzle).ok();
    auto id = zt::manifest_id(*manifest);
    if (id) require(id->size() == 64);
    if (zt::verify_manifest(*manifest, pin)) require(valid && id.ok());
    return 0;
}
