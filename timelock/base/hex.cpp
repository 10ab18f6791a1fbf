// Hex text: the canonical fixed-length form of the JSON formats, the lenient
// variable-length form of ciphertexts, and lowercase encoding.
#include <algorithm>
#include <array>
#include <cassert>
#include <string>

#include "timelock/base/char_debug.h"
#include "timelock/base/crypto.h"

namespace zt {
namespace {

constexpr char kLowerDigits[] = "0123456789abcdef";

// Value of a lowercase-only digit, or -1.
constexpr int canonical_nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Value of a digit of either case, or -1.
constexpr int lenient_nibble(char c) {
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

Result<void> decode_hex_bytes_into(std::string_view text, std::span<std::uint8_t> out) {
    if (text.size() % 2 != 0) return Error(std::string(kOddHexDigits));
    // Ciphertexts run to megabytes: one table lookup per character, and one
    // test per pair that is only taken apart on the (rare) failure path.
    static constexpr std::array<std::uint8_t, 256> kValue = [] {
        std::array<std::uint8_t, 256> t{};
        for (int c = 0; c < 256; ++c) {
            const int v = lenient_nibble(static_cast<char>(c));
            t[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(v < 0 ? 0x80 : v);
        }
        return t;
    }();
    assert(out.size() == text.size() / 2);
    const std::size_t n = std::min(out.size(), text.size() / 2);
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t hi = kValue[in[2 * i]];
        const std::uint8_t lo = kValue[in[2 * i + 1]];
        if (((hi | lo) & 0x80) != 0) {
            // The first offending character in text order is the one named.
            const std::size_t bad = (hi & 0x80) != 0 ? 2 * i : 2 * i + 1;
            return Error("Invalid character " + char_debug(static_cast<std::uint8_t>(text[bad])) +
                         " at position " + std::to_string(bad));
        }
        out[i] = static_cast<std::uint8_t>((hi << 4) | lo);
    }
    return success();
}

Result<Bytes> decode_hex_bytes(std::string_view text) {
    if (text.size() % 2 != 0) return Error(std::string(kOddHexDigits));
    Bytes out(text.size() / 2);
    ZT_TRY(decode_hex_bytes_into(text, out));
    return out;
}

void encode_hex_into(std::span<const std::uint8_t> bytes, std::span<std::uint8_t> out) {
    assert(out.size() == 2 * bytes.size());
    const std::size_t n = std::min(bytes.size(), out.size() / 2);
    for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = static_cast<std::uint8_t>(kLowerDigits[bytes[i] >> 4]);
        out[2 * i + 1] = static_cast<std::uint8_t>(kLowerDigits[bytes[i] & 0x0F]);
    }
}

std::string encode_hex(std::span<const std::uint8_t> bytes) {
    std::string out(2 * bytes.size(), '\0');
    encode_hex_into(bytes, {reinterpret_cast<std::uint8_t*>(out.data()), out.size()});
    return out;
}

}  // namespace zt
