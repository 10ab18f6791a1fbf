// Key and seed files from untrusted bytes, read as generate and the decrypt
// commands read them (size limit, UTF-8, trimming, lenient hex).
// Properties: no crash; a file that reads as a key holds, after trimming,
// 64 hex digits that parse_key_hex decodes to the same key; a file over
// the 128-byte limit never reads.
#include <cstdint>
#include <string>

#include "cli/inputs.h"
#include "cli/utf8.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using zt::fuzz::require;
    static zt::fuzz::InputFile file;
    const std::string_view input = zt::fuzz::as_view(data, size);
    auto key = zt::cli::read_key_file(file.hold(input));
    if (!key) return 0;
    require(size <= zt::cli::input_limit::kKeyFile);
    auto direct = zt::cli::parse_key_hex(zt::cli::trim_white_space(input));
    require(direct.ok() && *direct == *key);
    return 0;
}
