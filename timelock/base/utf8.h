// UTF-8 checks for text that comes from users: command-line text values,
// key files, and paths shown inside messages.
//
// The decoder's verdicts and messages are those users of the common UTF-8
// tooling see: an invalid sequence is reported with the length of its
// longest prefix that could still have started a valid sequence (1 to 3),
// and data that ends inside a sequence that could still be valid is
// "incomplete" rather than invalid.
//
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zt {

struct Utf8Error {
    std::size_t valid_up_to = 0;             // offset where the bad sequence starts
    std::optional<std::size_t> error_len;    // empty: the data ends inside the sequence

    // "invalid utf-8 sequence of {n} bytes from index {i}" or
    // "incomplete utf-8 byte sequence from index {i}".
    std::string message() const;
};

// The first problem in `bytes`, or nothing when they are valid UTF-8.
std::optional<Utf8Error> check_utf8(std::span<const std::uint8_t> bytes);
std::optional<Utf8Error> check_utf8(std::string_view bytes);

// `bytes` as valid UTF-8 with each invalid sequence (as check_utf8 measures
// it) replaced by U+FFFD; used to show paths and arguments in messages.
std::string utf8_lossy(std::string_view bytes);

// `text` (valid UTF-8) without the Unicode White_Space characters at both
// ends: U+0009-000D, U+0020, U+0085, U+00A0, U+1680, U+2000-200A, U+2028,
// U+2029, U+202F, U+205F, U+3000. A byte order mark is not white space.
std::string_view trim_white_space(std::string_view text);

}  // namespace zt
