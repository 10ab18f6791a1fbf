#include "timelock/base/utf8.h"

namespace zt {
namespace {

bool is_continuation(std::uint8_t byte) { return (byte & 0xC0) == 0x80; }

// Validates the sequence starting at `i`; returns its length, or an error
// relative to `i`. The accepted second bytes exclude overlong forms (E0, F0),
// surrogates (ED) and code points above U+10FFFF (F4).
struct Step {
    std::size_t length = 0;
    std::optional<Utf8Error> error;
};

Step step_at(std::span<const std::uint8_t> b, std::size_t i) {
    const std::uint8_t first = b[i];
    if (first < 0x80) return {1, std::nullopt};
    std::size_t width = 0;
    if (first >= 0xC2 && first <= 0xDF) width = 2;
    else if (first >= 0xE0 && first <= 0xEF) width = 3;
    else if (first >= 0xF0 && first <= 0xF4) width = 4;
    else return {0, Utf8Error{i, 1}};

    auto incomplete = [&] { return Step{0, Utf8Error{i, std::nullopt}}; };
    auto invalid = [&](std::size_t n) { return Step{0, Utf8Error{i, n}}; };

    if (i + 1 >= b.size()) return incomplete();
    const std::uint8_t second = b[i + 1];
    bool second_ok = false;
    switch (first) {
        case 0xE0: second_ok = second >= 0xA0 && second <= 0xBF; break;
        case 0xED: second_ok = second >= 0x80 && second <= 0x9F; break;
        case 0xF0: second_ok = second >= 0x90 && second <= 0xBF; break;
        case 0xF4: second_ok = second >= 0x80 && second <= 0x8F; break;
        default: second_ok = is_continuation(second); break;
    }
    if (!second_ok) return invalid(1);
    for (std::size_t k = 2; k < width; ++k) {
        if (i + k >= b.size()) return incomplete();
        if (!is_continuation(b[i + k])) return invalid(k);
    }
    return {width, std::nullopt};
}

std::span<const std::uint8_t> as_span(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Decodes the code point of the valid sequence of `length` bytes at `p`.
char32_t decode(const std::uint8_t* p, std::size_t length) {
    if (length == 1) return p[0];
    char32_t cp = p[0] & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) cp = (cp << 6) | (p[k] & 0x3F);
    return cp;
}

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

}  // namespace

std::string Utf8Error::message() const {
    if (error_len) {
        return "invalid utf-8 sequence of " + std::to_string(*error_len) + " bytes from index " +
               std::to_string(valid_up_to);
    }
    return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
}

std::optional<Utf8Error> check_utf8(std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const Step step = step_at(bytes, i);
        if (step.error) return step.error;
        i += step.length;
    }
    return std::nullopt;
}

std::optional<Utf8Error> check_utf8(std::string_view bytes) { return check_utf8(as_span(bytes)); }

std::string utf8_lossy(std::string_view bytes) {
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    const auto b = as_span(bytes);
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < b.size();) {
        const Step step = step_at(b, i);
        if (!step.error) {
            out.append(bytes.substr(i, step.length));
            i += step.length;
        } else {
            out.append(kReplacement);
            i += step.error->error_len.value_or(b.size() - i);
        }
    }
    return out;
}

std::string_view trim_white_space(std::string_view text) {
    const auto b = as_span(text);
    std::size_t begin = 0;
    while (begin < b.size()) {
        const Step step = step_at(b, begin);
        if (step.error || !is_white_space(decode(&b[begin], step.length))) break;
        begin += step.length;
    }
    std::size_t end = b.size();
    while (end > begin) {
        std::size_t start = end - 1;  // back up to the lead byte of the last character
        while (start > begin && is_continuation(b[start])) --start;
        const Step step = step_at(b, start);
        if (step.error || start + step.length != end || !is_white_space(decode(&b[start], step.length))) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

}  // namespace zt
