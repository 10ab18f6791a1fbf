// Byte helpers of the test sealers (records and pastes), written apart from
// the program's own builders so that what the sealers produce is checked by
// independent code.
#pragma once

#include <sodium.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace zt::test {

// Appends `value` as `bytes` big-endian bytes.
inline void put_be(std::string& out, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

// Lowercase hex of raw bytes.
inline std::string hex_of(std::string_view bytes) {
    std::string out(2 * bytes.size() + 1, '\0');
    sodium_bin2hex(out.data(), out.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    out.pop_back();
    return out;
}

// A JSON string of plain text (the sealers' values need no escaping).
inline std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

}  // namespace zt::test
