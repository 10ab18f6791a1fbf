// Byte-string helpers shared by the binary message builders: big-endian
// integers and raw byte appends, the only encodings those messages use.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace zt {

using Bytes = std::vector<std::uint8_t>;
using Bytes32 = std::array<std::uint8_t, 32>;
using Bytes64 = std::array<std::uint8_t, 64>;

inline std::span<const std::uint8_t> as_bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The reverse view: bytes read from a file, handed to a text parser.
inline std::string_view as_text(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

template <typename Buffer>
void append_bytes(Buffer& out, std::span<const std::uint8_t> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

template <typename Buffer>
void append_text(Buffer& out, std::string_view text) {
    append_bytes(out, as_bytes(text));
}

// Big-endian stores into a fixed place, most significant byte first.
inline void store_be32(std::span<std::uint8_t, 4> out, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * (3 - i)));
}

inline void store_be64(std::span<std::uint8_t, 8> out, std::uint64_t v) {
    for (std::size_t i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * (7 - i)));
}

template <typename Buffer>
void append_be32(Buffer& out, std::uint32_t v) {
    std::array<std::uint8_t, 4> bytes;
    store_be32(bytes, v);
    append_bytes(out, bytes);
}

template <typename Buffer>
void append_be64(Buffer& out, std::uint64_t v) {
    std::array<std::uint8_t, 8> bytes;
    store_be64(bytes, v);
    append_bytes(out, bytes);
}

}  // namespace zt
