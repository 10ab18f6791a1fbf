// The argument parser on arbitrary argument lists: the input split at zero
// bytes, one argument per piece. Properties: no crash; a parse either yields
// a command or ends with status 0 (help on standard output) or 2 (usage
// error), always with some text.
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "cli/parse/args.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using zt::fuzz::require;
    std::vector<std::string> args;
    std::string current;
    for (char c : zt::fuzz::as_view(data, size)) {
        if (c == '\0') {
            args.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) args.push_back(current);
    const auto parsed = zt::cli::parse_args(args);
    if (const auto* exit = std::get_if<zt::cli::ParseExit>(&parsed)) {
        require(exit->status == 0 || exit->status == 2);
        require(!exit->text.empty());
    }
    return 0;
}
