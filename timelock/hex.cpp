// Hex text: the canonical fixed-length form of the JSON formats, the lenient
// variable-length form of ciphertexts, and lowercase encoding.
#include <string>

#include "timelock/char_debug.h"
#include "timelock/crypto.h"

namespace zt {
namespace {

constexpr char kLowerDigits[] = "0123456789abcdef";

// Value of a lowercase-only digit, or -1.
int canonical_nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Value of a digit of either case, or -1.
int lenient_nibble(char c) {
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return canonical_nibble(c);
}

}  // namespace

Result<void> decode_hex_fixed_into(std::string_view text, std::span<std::uint8_t> out) {
    // Length and the whole character set first, so a failure never leaves a
    // partly written buffer behind.
    if (text.size() != 2 * out.size()) return Error(std::string(kNoncanonicalHex));
    for (char c : text) {
        if (canonical_nibble(c) < 0) return Error(std::string(kNoncanonicalHex));
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::uint8_t>((canonical_nibble(text[2 * i]) << 4) |
                                           canonical_nibble(text[2 * i + 1]));
    }
    return success();
}

Result<Bytes> decode_hex_fixed(std::string_view text, std::size_t n) {
    // Checked before allocating, so an absurd n costs nothing.
    if (text.size() / 2 != n || text.size() % 2 != 0) return Error(std::string(kNoncanonicalHex));
    Bytes out(n);
    ZT_TRY(decode_hex_fixed_into(text, out));
    return out;
}

Result<Bytes> decode_hex_bytes(std::string_view text) {
    if (text.size() % 2 != 0) return Error("Odd number of digits");
    Bytes out(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = lenient_nibble(text[i]);
        const int lo = lenient_nibble(text[i + 1]);
        // The first offending character in text order is the one named.
        const std::size_t bad = hi < 0 ? i : (lo < 0 ? i + 1 : text.size());
        if (bad != text.size()) {
            return Error("Invalid character " + char_debug(static_cast<std::uint8_t>(text[bad])) +
                         " at position " + std::to_string(bad));
        }
        out[i / 2] = static_cast<std::uint8_t>((hi << 4) | lo);
    }
    return out;
}

std::string encode_hex(std::span<const std::uint8_t> bytes) {
    std::string out(2 * bytes.size(), '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out[2 * i] = kLowerDigits[bytes[i] >> 4];
        out[2 * i + 1] = kLowerDigits[bytes[i] & 0x0F];
    }
    return out;
}

}  // namespace zt
