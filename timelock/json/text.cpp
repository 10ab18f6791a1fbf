#include "timelock/json/text.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace zt::json {

namespace {

// Decodes one code point of valid UTF-8 at text[i], advancing i.
std::uint32_t next_code_point(std::string_view text, std::size_t& i) {
    auto byte = [&](std::size_t k) { return static_cast<std::uint32_t>(static_cast<unsigned char>(text[k])); };
    std::uint32_t b0 = byte(i);
    if (b0 < 0x80) {
        i += 1;
        return b0;
    }
    if (b0 < 0xE0) {
        std::uint32_t cp = ((b0 & 0x1F) << 6) | (byte(i + 1) & 0x3F);
        i += 2;
        return cp;
    }
    if (b0 < 0xF0) {
        std::uint32_t cp = ((b0 & 0x0F) << 12) | ((byte(i + 1) & 0x3F) << 6) | (byte(i + 2) & 0x3F);
        i += 3;
        return cp;
    }
    std::uint32_t cp = ((b0 & 0x07) << 18) | ((byte(i + 1) & 0x3F) << 12) | ((byte(i + 2) & 0x3F) << 6) |
                       (byte(i + 3) & 0x3F);
    i += 4;
    return cp;
}

// Characters shown escaped: controls, format and separator characters,
// private use, and combining marks (which would attach to the quote).
bool shown_escaped(std::uint32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0xAD || (cp >= 0x300 && cp <= 0x36F) ||
           (cp >= 0x200B && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202E) ||
           (cp >= 0x2060 && cp <= 0x206F) || cp == 0xFEFF || (cp >= 0xE000 && cp <= 0xF8FF) ||
           (cp >= 0xFFF0 && cp <= 0xFFFF) || cp >= 0xF0000;
}

}  // namespace

std::string float_text(double value) {
    std::string out;
    if (std::signbit(value)) out.push_back('-');
    double magnitude = std::fabs(value);
    if (magnitude == 0.0) return out + "0.0";
    char buf[64];
    auto written = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(written.ptr - buf));  // d[.ddd]e±XX, shortest
    std::size_t e = sci.find('e');
    std::string digits(sci.substr(0, e));
    if (digits.size() > 1) digits.erase(1, 1);  // drop the '.'
    int exponent = std::atoi(std::string(sci.substr(e + 1)).c_str());
    int point = exponent + 1;  // digits before the decimal point
    auto count = static_cast<int>(digits.size());
    if (point <= 0) {
        out += "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
    } else if (point >= count) {
        out += digits + std::string(static_cast<std::size_t>(point - count), '0') + ".0";
    } else {
        out += digits.substr(0, static_cast<std::size_t>(point)) + "." +
               digits.substr(static_cast<std::size_t>(point));
    }
    return out;
}

std::string debug_quoted(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        std::size_t start = i;
        std::uint32_t cp = next_code_point(text, i);
        switch (cp) {
            case 0: out += "\\0"; continue;
            case '\t': out += "\\t"; continue;
            case '\r': out += "\\r"; continue;
            case '\n': out += "\\n"; continue;
            case '\\': out += "\\\\"; continue;
            case '"': out += "\\\""; continue;
            default: break;
        }
        if (shown_escaped(cp)) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
            out += buf;
        } else {
            out.append(text.substr(start, i - start));
        }
    }
    return out + "\"";
}

bool valid_utf8(std::string_view text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    auto cont = [&](std::size_t k) { return k < n && (byte(k) & 0xC0) == 0x80; };
    while (i < n) {
        unsigned char b0 = byte(i);
        if (b0 < 0x80) {
            ++i;
        } else if (b0 >= 0xC2 && b0 <= 0xDF) {
            if (!cont(i + 1)) return false;
            i += 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            if (!cont(i + 1) || !cont(i + 2)) return false;
            unsigned char b1 = byte(i + 1);
            if (b0 == 0xE0 && b1 < 0xA0) return false;   // overlong
            if (b0 == 0xED && b1 > 0x9F) return false;   // surrogate
            i += 3;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            if (!cont(i + 1) || !cont(i + 2) || !cont(i + 3)) return false;
            unsigned char b1 = byte(i + 1);
            if (b0 == 0xF0 && b1 < 0x90) return false;   // overlong
            if (b0 == 0xF4 && b1 > 0x8F) return false;   // above U+10FFFF
            i += 4;
        } else {
            return false;
        }
    }
    return true;
}

std::string quoted(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out.push_back(kHex[c >> 4]);
                    out.push_back(kHex[c & 0xF]);
                } else {
                    out.push_back(ch);
                }
        }
    }
    out.push_back('"');
    return out;
}

}  // namespace zt::json
