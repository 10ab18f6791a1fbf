// Counts in the program's sentences: "1 segment", "2 segments".
//
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zt {

// `n` and the noun, singular for exactly one: counted(1, "segment") is
// "1 segment", counted(3, "entry", "entries") is "3 entries". The plural is
// the singular with an "s" unless given.
inline std::string counted(std::uint64_t n, std::string_view singular, std::string_view plural = {}) {
    std::string text = std::to_string(n) + " ";
    if (n == 1) return text.append(singular);
    if (!plural.empty()) return text.append(plural);
    return text.append(singular).append("s");
}

}  // namespace zt
