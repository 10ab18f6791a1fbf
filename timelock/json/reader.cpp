// The structural layer of the JSON reader: records in object and array form,
// sequences, and error positions.
#include "timelock/json/reader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "timelock/json/text.h"

namespace zt::json {

namespace {

constexpr std::string_view kEofValue = "EOF while parsing a value";
constexpr std::string_view kEofList = "EOF while parsing a list";
constexpr std::string_view kEofObject = "EOF while parsing an object";
constexpr std::string_view kTrailingComma = "trailing comma";
constexpr std::string_view kTrailingCharacters = "trailing characters";

// "one of `a`, `b`, `c`" (or "`a`", "`a` or `b`" for one or two names).
std::string expected_names(std::span<const Field> fields) {
    auto tick = [](std::string_view name) {
        std::string out(1, '`');
        out.append(name);
        out.push_back('`');
        return out;
    };
    if (fields.size() == 1) return tick(fields[0].name);
    if (fields.size() == 2) return tick(fields[0].name) + " or " + tick(fields[1].name);
    std::string out = "one of ";
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) out += ", ";
        out += tick(fields[i].name);
    }
    return out;
}

std::string unknown_field(std::string_view key, std::span<const Field> fields) {
    std::string out = "unknown field `" + std::string(key) + "`, ";
    if (fields.empty()) return out + "there are no fields";
    return out + "expected " + expected_names(fields);
}

// True when any of the eight bytes in `w` needs a closer look inside a JSON
// string: a quote, a backslash, a control character or a non-ASCII byte.
// (Exact for "any", by the usual has-zero-byte arithmetic.)
bool needs_attention(std::uint64_t w) {
    constexpr std::uint64_t ones = 0x0101010101010101;
    constexpr std::uint64_t highs = 0x8080808080808080;
    auto has_zero = [](std::uint64_t x) { return ((x - ones) & ~x & highs) != 0; };
    const bool below_space = ((w - 0x20 * ones) & ~w & highs) != 0;
    return (w & highs) != 0 || below_space || has_zero(w ^ ('"' * ones)) || has_zero(w ^ ('\\' * ones));
}

}  // namespace

bool Reader::read(std::uint32_t& out) {
    std::uint64_t value = 0;
    if (!read_unsigned(std::numeric_limits<std::uint32_t>::max(), "u32", value)) return false;
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool Reader::read(std::uint64_t& out) {
    return read_unsigned(std::numeric_limits<std::uint64_t>::max(), "u64", out);
}

bool Reader::read(std::string& out) {
    int c = peek_whitespace();
    if (c < 0) return fail_peek(kEofValue);
    if (c != '"') return invalid_type_at_peek("a string");
    ++index_;
    return parse_str(out);
}

bool Reader::read(BorrowedString& out) {
    int c = peek_whitespace();
    if (c < 0) return fail_peek(kEofValue);
    if (c != '"') return invalid_type_at_peek("a string");
    ++index_;
    // The common case, a plain run of valid UTF-8 up to the closing quote,
    // is handed back as a view. Anything else (escapes, control characters,
    // bad UTF-8, no closing quote) is read again from the same point by
    // parse_str, so text and errors are those of a std::string member.
    // Such values run to megabytes, so plain ASCII is skipped eight bytes at
    // a time, and UTF-8 is checked only when a non-ASCII byte was seen.
    const std::size_t start = index_;
    std::size_t run = start;
    bool ascii = true;
    for (;;) {
        std::uint64_t w = 0;
        while (run + sizeof w <= text_.size()) {
            std::memcpy(&w, text_.data() + run, sizeof w);
            if (needs_attention(w)) break;
            run += sizeof w;
        }
        if (run == text_.size()) break;
        auto b = static_cast<unsigned char>(text_[run]);
        if (b == '"' || b == '\\' || b < 0x20) break;
        if (b >= 0x80) ascii = false;
        ++run;
    }
    const std::string_view plain = text_.substr(start, run - start);
    if (run < text_.size() && text_[run] == '"' && (ascii || valid_utf8(plain))) {
        out.view_ = plain;
        out.owned_.reset();
        index_ = run + 1;
        return true;
    }
    out.owned_.emplace();
    return parse_str(*out.owned_);
}

bool Reader::end() {
    if (peek_whitespace() >= 0) return fail_peek(kTrailingCharacters);
    return true;
}

Error Reader::error() const {
    if (!error_) return Error("no JSON error recorded");
    if (!error_->at) return Error(error_->message);
    std::string_view consumed = text_.substr(0, *error_->at);
    std::size_t line_start = consumed.rfind('\n');
    line_start = line_start == std::string_view::npos ? 0 : line_start + 1;
    auto line = 1 + std::count(consumed.begin(), consumed.begin() + static_cast<std::ptrdiff_t>(line_start), '\n');
    std::size_t column = consumed.size() - line_start;
    return Error(error_->message + " at line " + std::to_string(line) + " column " + std::to_string(column));
}

bool Reader::fail_here(std::string_view message) {
    if (!error_) error_ = Pending{std::string(message), index_};
    return false;
}

bool Reader::fail_peek(std::string_view message) {
    if (!error_) error_ = Pending{std::string(message), std::min(text_.size(), index_ + 1)};
    return false;
}

bool Reader::fail_data(std::string message) {
    if (!error_) error_ = Pending{std::move(message), std::nullopt};
    return false;
}

void Reader::fix_position() {
    if (error_ && !error_->at) error_->at = index_;
}

bool Reader::enter_container() {
    if (--remaining_depth_ == 0) return fail_peek("recursion limit exceeded");
    ++index_;
    return true;
}

bool Reader::open_seq(std::string_view expected) {
    int c = peek_whitespace();
    if (c < 0) return fail_peek(kEofValue);
    if (c != '[') return invalid_type_at_peek(expected);
    return enter_container();
}

Reader::Next Reader::next_element(bool& first) {
    int c = peek_whitespace();
    if (c == ']') return Next::End;
    if (c == ',' && !first) {
        ++index_;
        c = peek_whitespace();
    } else if (c >= 0) {
        if (!first) {
            fail_peek("expected `,` or `]`");
            return Next::Failed;
        }
        first = false;
    } else {
        fail_peek(kEofList);
        return Next::Failed;
    }
    if (c == ']' || c < 0) {
        fail_peek(c < 0 ? kEofValue : kTrailingComma);
        return Next::Failed;
    }
    return Next::Element;
}

// The closing bracket is looked for even after a failure inside, and only
// then does an error that has no position yet take the current one.
bool Reader::close_seq(bool ok) {
    bool closed = end_seq();
    ++remaining_depth_;
    if (ok && closed) return true;
    fix_position();
    return false;
}

bool Reader::end_seq() {
    int c = peek_whitespace();
    if (c == ']') {
        ++index_;
        return true;
    }
    if (c == ',') {
        ++index_;
        return fail_peek(peek_whitespace() == ']' ? kTrailingComma : kTrailingCharacters);
    }
    return fail_peek(c < 0 ? kEofList : kTrailingCharacters);
}

bool Reader::end_map() {
    int c = peek_whitespace();
    if (c == '}') {
        ++index_;
        return true;
    }
    if (c == ',') return fail_peek(kTrailingComma);
    return fail_peek(c < 0 ? kEofObject : kTrailingCharacters);
}

bool Reader::read_struct(std::string_view name, std::span<const Field> fields, void* record) {
    int c = peek_whitespace();
    if (c < 0) return fail_peek(kEofValue);
    if (c != '[' && c != '{') return invalid_type_at_peek("struct " + std::string(name));
    if (!enter_container()) return false;
    bool ok = c == '[' ? struct_from_seq(name, fields, record) : struct_from_map(fields, record);
    bool closed = c == '[' ? end_seq() : end_map();
    ++remaining_depth_;
    if (ok && closed) return true;
    fix_position();
    return false;
}

bool Reader::struct_from_seq(std::string_view name, std::span<const Field> fields, void* record) {
    bool first = true;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        Next next = next_element(first);
        if (next == Next::Failed) return false;
        if (next == Next::End) {
            return fail_data("invalid length " + std::to_string(i) + ", expected struct " + std::string(name) +
                             " with " + std::to_string(fields.size()) +
                             (fields.size() == 1 ? " element" : " elements"));
        }
        if (!fields[i].read(*this, record)) return false;
    }
    return true;
}

bool Reader::struct_from_map(std::span<const Field> fields, void* record) {
    std::uint64_t seen = 0;
    bool first = true;
    for (;;) {
        int c = peek_whitespace();
        if (c == '}') break;
        if (c == ',' && !first) {
            ++index_;
            c = peek_whitespace();
        } else if (c >= 0) {
            if (!first) return fail_peek("expected `,` or `}`");
            first = false;
        } else {
            return fail_peek(kEofObject);
        }
        if (c == '}') return fail_peek(kTrailingComma);
        if (c < 0) return fail_peek(kEofValue);
        if (c != '"') return fail_peek("key must be a string");

        ++index_;
        std::string key;
        if (!parse_str(key)) return false;
        auto it = std::find_if(fields.begin(), fields.end(), [&](const Field& f) { return f.name == key; });
        if (it == fields.end()) return fail_data(unknown_field(key, fields));
        std::uint64_t bit = std::uint64_t{1} << (it - fields.begin());
        if (seen & bit) return fail_data("duplicate field `" + key + "`");

        c = peek_whitespace();
        if (c != ':') return fail_peek(c < 0 ? kEofObject : "expected `:`");
        ++index_;
        if (!it->read(*this, record)) return false;
        seen |= bit;
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (!(seen & (std::uint64_t{1} << i))) {
            return fail_data("missing field `" + std::string(fields[i].name) + "`");
        }
    }
    return true;
}

}  // namespace zt::json
