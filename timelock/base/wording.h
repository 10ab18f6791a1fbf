// Words shared by the program's sentences: counts ("1 segment", "2
// segments"), lists of numbers as ranges ("segments 1-7, 9"), and the one
// wording for a file named on the command line that cannot be used.
//
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "timelock/base/utf8.h"

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

// Ascending numbers as runs of consecutive ones: "1-7, 9, 11-96".
inline std::string ranges(std::span<const std::uint64_t> numbers) {
    std::string text;
    for (std::size_t i = 0; i < numbers.size();) {
        std::size_t last = i;
        while (last + 1 < numbers.size() && numbers[last + 1] == numbers[last] + 1) ++last;
        if (!text.empty()) text += ", ";
        text += std::to_string(numbers[i]);
        if (last > i) text.append("-").append(std::to_string(numbers[last]));
        i = last + 1;
    }
    return text;
}

// A file or directory named on the command line that cannot be used, said
// one way everywhere: the option, the path (invalid UTF-8 shown as U+FFFD),
// what is wrong and what to do, "{option} {path} {what}; {fix}":
// "--task puzzle.json is a signed manifest; --task takes a work task file
// that plan wrote". Without an option (a file the program found, not one
// the user named), "{path} {what}; {fix}".
inline std::string about_file(std::string_view option, std::string_view path, std::string_view what,
                              std::string_view fix) {
    std::string text(option);
    if (!text.empty()) text += ' ';
    return text.append(utf8_lossy(path)).append(" ").append(what).append("; ").append(fix);
}

}  // namespace zt
