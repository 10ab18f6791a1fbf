// The strict JSON reader on arbitrary bytes, through a record that uses
// every member type it supports (both integer widths, copied and borrowed
// strings, vectors, a nested record). Properties: no crash or undefined
// behaviour; an error always carries its position suffix; a borrowed string
// without escapes points into the document.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "timelock/json/reader.h"

namespace {

struct Inner {
    std::uint32_t small = 0;
    std::vector<std::string> names;
};

struct Outer {
    std::uint64_t big = 0;
    std::string text;
    zt::json::BorrowedString borrowed;
    Inner inner;
    std::vector<std::vector<std::uint64_t>> grid;
};

}  // namespace

template <>
struct zt::json::Schema<Inner> {
    static constexpr std::string_view name = "Inner";
    static constexpr std::array fields{field<&Inner::small>("small"), field<&Inner::names>("names")};
};

template <>
struct zt::json::Schema<Outer> {
    static constexpr std::string_view name = "Outer";
    static constexpr std::array fields{field<&Outer::big>("big"), field<&Outer::text>("text"),
                                       field<&Outer::borrowed>("borrowed"), field<&Outer::inner>("inner"),
                                       field<&Outer::grid>("grid")};
};

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using zt::fuzz::require;
    const std::string_view document = zt::fuzz::as_view(data, size);
    auto parsed = zt::json::parse<Outer>(document);
    if (!parsed) {
        require(parsed.error().message().find(" at line ") != std::string::npos);
        return 0;
    }
    const std::string_view borrowed = parsed->borrowed.text();
    if (parsed->borrowed.borrowed() && !borrowed.empty()) {
        require(borrowed.data() >= document.data() && borrowed.data() + borrowed.size() <= document.data() + size);
    }
    return 0;
}
