// The pin and the hex decoders on arbitrary text, checked against each
// other and against a plain reference decoder. Properties: the strict
// decoder accepts exactly the lowercase texts the lenient one accepts; both
// decode to the reference's bytes; encode_hex gives back the lowercased
// text; the pin decodes exactly the 64-character texts the lenient decoder
// accepts.
#include <cctype>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "timelock/base/crypto.h"

namespace {

// Either case of digit; nothing when the text is not all hex pairs.
std::optional<std::vector<std::uint8_t>> reference_decode(std::string_view text) {
    if (text.size() % 2 != 0) return std::nullopt;
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int byte = 0;
        for (char c : text.substr(i, 2)) {
            if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
            const int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10;
            byte = byte * 16 + v;
        }
        out.push_back(static_cast<std::uint8_t>(byte));
    }
    return out;
}

bool lowercase(std::string_view text) {
    for (char c : text) {
        if (c >= 'A' && c <= 'F') return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using zt::fuzz::require;
    const std::string_view text = zt::fuzz::as_view(data, size);
    const auto expected = reference_decode(text);

    auto lenient = zt::decode_hex_bytes(text);
    require(lenient.ok() == expected.has_value());
    if (lenient) require(*lenient == *expected);
    if (!lenient) {
        const std::string& message = lenient.error().message();
        require(message == zt::kOddHexDigits || message.rfind("Invalid character ", 0) == 0);
    }

    auto strict = zt::decode_hex_fixed(text, text.size() / 2);
    require(strict.ok() == (expected.has_value() && lowercase(text)));
    if (strict) {
        require(*strict == *expected);
        require(zt::encode_hex(*strict) == text);
    }

    auto pin = zt::parse_pin(text);
    require(pin.ok() == (expected.has_value() && size == 64));
    if (pin) require(std::vector<std::uint8_t>(pin->begin(), pin->end()) == *expected);
    if (!pin && size == 64 && !expected) require(pin.error().message() == lenient.error().message());
    return 0;
}
