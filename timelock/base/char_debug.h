// How a single offending character is shown inside an error message, e.g.
// "Invalid character 'g' at position 5".
//
// Text is checked byte by byte, so each byte is shown as the character whose
// code point equals the byte value (byte 0xC3 shows as 'Ã'). The form is the
// quoted, escaped one users of hex tooling know: printable characters as
// themselves, '\t' '\r' '\n' '\0' '\'' '\\' escaped, and other non-printable
// code points as '\u{hex}' in lowercase hex without leading zeros. Among the
// code points 0..255 the non-printable ones are 0x00-0x1F, 0x7F-0xA0 and 0xAD.
// Both the hex decoder and the command-line key parser use this, so their
// messages agree to the byte.
//
// Thread safety: pure function.
#pragma once

#include <cstdint>
#include <string>

namespace zt {

// The byte as a quoted character, UTF-8 encoded: 'g', '\n', '\u{7f}', 'Ã'.
inline std::string char_debug(std::uint8_t byte) {
    std::string out = "'";
    switch (byte) {
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\0': out += "\\0"; break;
        case '\'': out += "\\'"; break;
        case '\\': out += "\\\\"; break;
        default: {
            const bool printable = (byte >= 0x20 && byte < 0x7F) || (byte > 0xA0 && byte != 0xAD);
            if (!printable) {
                static constexpr char kDigits[] = "0123456789abcdef";
                out += "\\u{";
                if (byte >= 0x10) out += kDigits[byte >> 4];
                out += kDigits[byte & 0x0F];
                out += '}';
            } else if (byte < 0x80) {
                out += static_cast<char>(byte);
            } else {
                // U+0080..U+00FF in UTF-8: two bytes, 110000xx 10xxxxxx.
                out += static_cast<char>(0xC0 | (byte >> 6));
                out += static_cast<char>(0x80 | (byte & 0x3F));
            }
        }
    }
    out += '\'';
    return out;
}

}  // namespace zt
