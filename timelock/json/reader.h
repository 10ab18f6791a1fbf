// A strict JSON reader that turns a document directly into a record type.
//
// The documents this program reads (signed manifests, checkpoint lines,
// encrypted records, pastes) have fixed members, and their error texts and
// positions are part of the program's observable behaviour. So there is no
// generic JSON value here: the reader walks the bytes once, recursive
// descent, and fills a record through the record's field table.
//
// A record type is described once by specialising Schema:
//
//     template <> struct json::Schema<Checkpoint> {
//         static constexpr std::string_view name = "Checkpoint";
//         static constexpr std::array fields{
//             json::field<&Checkpoint::version>("version"),
//             json::field<&Checkpoint::manifest_id>("manifest_id"), ...};
//     };
//     Result<Checkpoint> c = json::parse<Checkpoint>(line);
//
// Member types: std::uint32_t, std::uint64_t (non-negative integers that
// fit), std::optional<double> (any number, or null for none), std::string (escapes decoded, UTF-8 checked), BorrowedString (the
// same, without copying the text when it has no escapes), std::vector<V> of
// any member type, and other record types (nested).
//
// Rules. A record is read from an object, members in any order, every field
// present exactly once and no other member; or from an array that holds the
// values in field order (fewer values: "invalid length"; more: "trailing
// characters"). Whitespace is space, tab, CR and LF only, allowed around the
// top-level value; anything after it is "trailing characters". Nesting deeper
// than 127 containers is "recursion limit exceeded".
//
// Errors read "{message} at line {L} column {C}": L counts from 1, C is the
// 1-based index on that line of the last byte consumed when the error arose
// (0 when none on that line). The messages and the points where they arise:
// "unknown field `x`, expected one of `a`, `b`, ..." and "duplicate field `x`"
// right after the key (and any whitespace that follows it); "missing field
// `x`" (first absent field, in field order) after the closing brace;
// "invalid length n, expected struct T with k elements" after the closing
// bracket; "invalid type: U, expected E" and "invalid value: U, expected E"
// after the offending value (U is e.g. `string "abc"`, `integer \`-1\``,
// `floating point \`1.5\``, `null`, `sequence`, `map`; E is `u32`, `u64`,
// `a string`, `a sequence`, `struct T`); syntax errors at the offending byte.
//
// Thread safety: a Reader is used by one thread; parse() has no shared state.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "timelock/base/error.h"

namespace zt::json {

class Reader;

// A string member read without copying it out of the document, for values
// large enough that a copy matters (a record's ciphertext). When the JSON
// string has no escapes, text() is a view of the document's bytes: the
// record then borrows from the document and must not outlive it. A string
// with escapes is decoded into a buffer of its own. Either way text() is
// exactly what a std::string member would hold.
class BorrowedString {
public:
    BorrowedString() = default;
    explicit BorrowedString(std::string_view borrowed) : view_(borrowed) {}

    std::string_view text() const { return owned_ ? std::string_view(*owned_) : view_; }
    bool borrowed() const { return !owned_; }

private:
    friend class Reader;
    std::string_view view_;
    std::optional<std::string> owned_;
};

// One member of a record type: its JSON name and how its value is read into
// the record (passed as void* so one non-template loop serves every type).
struct Field {
    std::string_view name;
    bool (*read)(Reader&, void* record);
};

// Specialised per record type with `name` (used in "struct {name}") and
// `fields` (a std::array<Field, N> in declared order).
template <typename T>
struct Schema;

template <typename T>
concept Record = requires {
    { Schema<T>::name } -> std::convertible_to<std::string_view>;
    { std::span<const Field>(Schema<T>::fields) };
};

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Each reads one value (after optional whitespace) into `out` and returns
    // true, or records the error and returns false; after a failure the
    // reader only reports that first error.
    bool read(std::uint32_t& out);
    bool read(std::uint64_t& out);
    bool read(std::optional<double>& out);
    bool read(std::string& out);
    bool read(BorrowedString& out);
    template <typename V>
    bool read(std::vector<V>& out);
    template <Record T>
    bool read(T& out) {
        static constexpr std::span<const Field> fields(Schema<T>::fields);
        static_assert(fields.size() <= 64, "a record has at most 64 fields");
        return read_struct(Schema<T>::name, fields, &out);
    }

    // Accepts only whitespace up to the end of the text.
    bool end();

    // The recorded error with its position suffix.
    Error error() const;

private:
    enum class Next { Element, End, Failed };

    bool read_unsigned(std::uint64_t max, std::string_view expected, std::uint64_t& out);
    bool read_struct(std::string_view name, std::span<const Field> fields, void* record);
    bool struct_from_seq(std::string_view name, std::span<const Field> fields, void* record);
    bool struct_from_map(std::span<const Field> fields, void* record);
    bool open_seq(std::string_view expected);
    Next next_element(bool& first);
    bool close_seq(bool ok);
    bool end_seq();
    bool end_map();
    bool enter_container();

    // Lexical layer (lexer.cpp).
    struct Number;
    int peek() const;
    int peek_whitespace();
    bool parse_ident(std::string_view rest);
    bool parse_integer(bool positive, Number& out);
    bool parse_number(bool positive, std::uint64_t significand, Number& out);
    bool parse_long_integer(bool positive, std::uint64_t significand, Number& out);
    bool parse_decimal(bool positive, std::uint64_t significand, int exponent, Number& out);
    bool parse_decimal_overflow(bool positive, std::uint64_t significand, int exponent, Number& out);
    bool parse_exponent(bool positive, std::uint64_t significand, int starting_exp, Number& out);
    bool f64_from_parts(bool positive, std::uint64_t significand, int exponent, Number& out);
    bool parse_str(std::string& out);
    bool parse_escape(std::string& out);
    bool parse_unicode_escape(std::string& out);
    bool decode_hex_escape(std::uint32_t& out);
    bool invalid_type_at_peek(std::string_view expected);

    // Error recording. `fail_here` positions the error at the last consumed
    // byte, `fail_peek` at the byte just looked at, `fail_data` leaves the
    // position to fix_position() (called where the enclosing value ends).
    bool fail_here(std::string_view message);
    bool fail_peek(std::string_view message);
    bool fail_data(std::string message);
    void fix_position();

    struct Pending {
        std::string message;
        std::optional<std::size_t> at;  // count of bytes consumed at the error
    };

    std::string_view text_;
    std::size_t index_ = 0;
    int remaining_depth_ = 128;
    std::optional<Pending> error_;
};

template <typename V>
bool Reader::read(std::vector<V>& out) {
    if (!open_seq("a sequence")) return false;
    bool ok = true;
    bool first = true;
    for (;;) {
        Next next = next_element(first);
        if (next == Next::End) break;
        V value{};
        if (next == Next::Failed || !read(value)) {
            ok = false;
            break;
        }
        out.push_back(std::move(value));
    }
    return close_seq(ok);
}

namespace detail {
template <typename M>
struct MemberOf;
template <typename R, typename V>
struct MemberOf<V R::*> {
    using record = R;
};
}  // namespace detail

// The field for the data member `Member`, e.g. field<&Manifest::epoch>("epoch").
template <auto Member>
constexpr Field field(std::string_view name) {
    using R = typename detail::MemberOf<decltype(Member)>::record;
    return Field{name, [](Reader& reader, void* record) {
                     return reader.read(static_cast<R*>(record)->*Member);
                 }};
}

// Reads a whole document as a T: optional whitespace, the value, optional
// whitespace, end of text.
template <Record T>
Result<T> parse(std::string_view text) {
    Reader reader(text);
    T value{};
    if (!reader.read(value) || !reader.end()) return reader.error();
    return value;
}

}  // namespace zt::json
