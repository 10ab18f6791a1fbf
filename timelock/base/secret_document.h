// Writing JSON documents that hold secrets (the plan, task and result files
// of a split generation) without leaving copies of them behind: the text is
// built in a SecureBytes buffer, so every buffer it grows through is wiped,
// and hex digits are encoded straight into it.
//
// Internal to the timelock library. Thread safety: a writer is used by one
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "timelock/base/crypto.h"
#include "timelock/base/secret.h"

namespace zt::detail {

class SecretDocument {
public:
    SecretDocument& text(std::string_view text) {
        append_text(out_, text);
        return *this;
    }
    SecretDocument& number(std::uint64_t value) { return text(std::to_string(value)); }
    // The bytes as a quoted string of lowercase hex digits.
    SecretDocument& hex(std::span<const std::uint8_t> bytes) {
        out_.push_back('"');
        const std::size_t at = out_.size();
        out_.resize(at + 2 * bytes.size());
        encode_hex_into(bytes, std::span(out_).subspan(at));
        out_.push_back('"');
        return *this;
    }
    // The elements of a JSON array member, one a line at four spaces'
    // indentation: each item (a Secret or a byte array) as hex(), after
    // "\n    " for the first and ",\n    " for the others. The brackets and
    // the line feed before the closing one are the caller's.
    template <typename Items>
    SecretDocument& hex_list(const Items& items) {
        std::string_view before = "\n    ";
        for (const auto& item : items) {
            text(before).hex(bytes_of(item));
            before = ",\n    ";
        }
        return *this;
    }
    SecureBytes take() { return std::move(out_); }

private:
    template <std::size_t N>
    static std::span<const std::uint8_t> bytes_of(const Secret<N>& secret) {
        return secret.span();
    }
    static std::span<const std::uint8_t> bytes_of(std::span<const std::uint8_t> bytes) { return bytes; }

    SecureBytes out_;
};

}  // namespace zt::detail
