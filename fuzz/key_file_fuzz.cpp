// Key and seed files from untrusted bytes, read as generate and the decrypt
// commands read them (size limit, UTF-8, trimming, lenient hex).
// Properties: no crash; a file that reads as a key holds, after trimming,
// 64 hex digits that parse_key_hex decodes to the same key; a file over
// the 128-byte limit never reads.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "timelock/base/utf8.h"
#include "timelock/formats/input_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using zt::fuzz::require;
    static zt::fuzz::InputFile file;
    const std::string_view input = zt::fuzz::as_view(data, size);
    auto key = zt::read_key_file(file.hold(input));
    if (!key) return 0;
    require(size <= zt::input_limit::kKeyFile);
    auto direct = zt::parse_key_hex(zt::trim_white_space(input));
    require(direct.ok() && *direct == *key);
    return 0;
}
