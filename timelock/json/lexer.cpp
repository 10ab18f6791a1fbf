// The lexical layer of the JSON reader: whitespace, literals, numbers and
// strings, with the exact consumption points that error positions depend on.
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "timelock/json/reader.h"
#include "timelock/json/text.h"

namespace zt::json {

namespace {

constexpr std::string_view kEofValue = "EOF while parsing a value";
constexpr std::string_view kEofString = "EOF while parsing a string";
constexpr std::string_view kInvalidNumber = "invalid number";
constexpr std::string_view kOutOfRange = "number out of range";
constexpr std::string_view kInvalidEscape = "invalid escape";
constexpr std::string_view kLoneSurrogate = "lone leading surrogate in hex escape";
constexpr std::string_view kEndOfHexEscape = "unexpected end of hex escape";

bool is_digit(int c) { return c >= '0' && c <= '9'; }

// True when significand * 10 + digit would not fit 64 bits.
bool u64_overflows(std::uint64_t significand, std::uint64_t digit) {
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    return significand >= max / 10 && (significand > max / 10 || digit > max % 10);
}

bool i32_overflows(int value, int digit) {
    constexpr int max = std::numeric_limits<int>::max();
    return value >= max / 10 && (value > max / 10 || digit > max % 10);
}

int saturating_add(int a, int b) {
    long long sum = static_cast<long long>(a) + b;
    if (sum > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
    if (sum < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
    return static_cast<int>(sum);
}

// 10^0 .. 10^308, each the double nearest to the power.
const std::array<double, 309>& powers_of_ten() {
    static const std::array<double, 309> table = [] {
        std::array<double, 309> t{};
        for (std::size_t i = 0; i < t.size(); ++i) {
            std::string literal = "1e" + std::to_string(i);
            t[i] = std::strtod(literal.c_str(), nullptr);
        }
        return t;
    }();
    return table;
}

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void push_utf8(std::uint32_t cp, std::string& out) {
    auto put = [&out](std::uint32_t byte) { out.push_back(static_cast<char>(byte)); };
    if (cp < 0x80) {
        put(cp);
    } else if (cp < 0x800) {
        put(0xC0 | (cp >> 6));
        put(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        put(0xE0 | (cp >> 12));
        put(0x80 | ((cp >> 6) & 0x3F));
        put(0x80 | (cp & 0x3F));
    } else {
        put(0xF0 | (cp >> 18));
        put(0x80 | ((cp >> 12) & 0x3F));
        put(0x80 | ((cp >> 6) & 0x3F));
        put(0x80 | (cp & 0x3F));
    }
}

}  // namespace

// A parsed number: unsigned integer, negative integer, or floating point
// (fraction, exponent, "-0", or an integer beyond 64 bits).
struct Reader::Number {
    enum class Kind { Unsigned, Signed, Float } kind = Kind::Unsigned;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    double f = 0.0;

    std::string unexpected() const {
        switch (kind) {
            case Kind::Unsigned: return "integer `" + std::to_string(u) + "`";
            case Kind::Signed: return "integer `" + std::to_string(i) + "`";
            case Kind::Float: break;
        }
        return "floating point `" + float_text(f) + "`";
    }
};

int Reader::peek() const {
    return index_ < text_.size() ? static_cast<unsigned char>(text_[index_]) : -1;
}

int Reader::peek_whitespace() {
    for (;;) {
        int c = peek();
        if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return c;
        ++index_;
    }
}

bool Reader::parse_ident(std::string_view rest) {
    for (char expected : rest) {
        if (index_ >= text_.size()) return fail_here(kEofValue);
        if (text_[index_++] != expected) return fail_here("expected ident");
    }
    return true;
}

bool Reader::parse_integer(bool positive, Number& out) {
    int next = peek();
    if (next < 0) return fail_here(kEofValue);
    ++index_;
    if (next == '0') {
        if (is_digit(peek())) return fail_peek(kInvalidNumber);  // one leading zero only
        return parse_number(positive, 0, out);
    }
    if (!is_digit(next)) return fail_here(kInvalidNumber);
    auto significand = static_cast<std::uint64_t>(next - '0');
    for (;;) {
        int c = peek();
        if (!is_digit(c)) return parse_number(positive, significand, out);
        auto digit = static_cast<std::uint64_t>(c - '0');
        if (u64_overflows(significand, digit)) return parse_long_integer(positive, significand, out);
        ++index_;
        significand = significand * 10 + digit;
    }
}

bool Reader::parse_number(bool positive, std::uint64_t significand, Number& out) {
    int c = peek();
    if (c == '.') return parse_decimal(positive, significand, 0, out);
    if (c == 'e' || c == 'E') return parse_exponent(positive, significand, 0, out);
    if (positive) {
        out.kind = Number::Kind::Unsigned;
        out.u = significand;
        return true;
    }
    // Negation wraps like the two's complement it is; "-0" and values below
    // the signed range become floating point.
    auto negated = static_cast<std::int64_t>(0 - significand);
    if (negated >= 0) {
        out.kind = Number::Kind::Float;
        out.f = -static_cast<double>(significand);
    } else {
        out.kind = Number::Kind::Signed;
        out.i = negated;
    }
    return true;
}

// An integer too long for 64 bits: the digits that do not fit are dropped
// and counted as a power of ten, so it reads as floating point.
bool Reader::parse_long_integer(bool positive, std::uint64_t significand, Number& out) {
    int exponent = 0;
    for (;;) {
        int c = peek();
        if (is_digit(c)) {
            ++index_;
            ++exponent;
        } else if (c == '.') {
            return parse_decimal(positive, significand, exponent, out);
        } else if (c == 'e' || c == 'E') {
            return parse_exponent(positive, significand, exponent, out);
        } else {
            return f64_from_parts(positive, significand, exponent, out);
        }
    }
}

bool Reader::parse_decimal(bool positive, std::uint64_t significand, int exponent_before, Number& out) {
    ++index_;  // '.'
    int exponent_after = 0;
    for (int c = peek(); is_digit(c); c = peek()) {
        auto digit = static_cast<std::uint64_t>(c - '0');
        if (u64_overflows(significand, digit)) {
            return parse_decimal_overflow(positive, significand, exponent_before + exponent_after, out);
        }
        ++index_;
        significand = significand * 10 + digit;
        --exponent_after;
    }
    if (exponent_after == 0) return fail_peek(peek() < 0 ? kEofValue : kInvalidNumber);
    int exponent = exponent_before + exponent_after;
    int c = peek();
    if (c == 'e' || c == 'E') return parse_exponent(positive, significand, exponent, out);
    return f64_from_parts(positive, significand, exponent, out);
}

bool Reader::parse_decimal_overflow(bool positive, std::uint64_t significand, int exponent, Number& out) {
    while (is_digit(peek())) ++index_;  // further digits cannot change the value
    int c = peek();
    if (c == 'e' || c == 'E') return parse_exponent(positive, significand, exponent, out);
    return f64_from_parts(positive, significand, exponent, out);
}

bool Reader::parse_exponent(bool positive, std::uint64_t significand, int starting_exp, Number& out) {
    ++index_;  // 'e' or 'E'
    bool positive_exp = true;
    if (peek() == '+') {
        ++index_;
    } else if (peek() == '-') {
        ++index_;
        positive_exp = false;
    }
    int next = peek();
    if (next < 0) return fail_here(kEofValue);
    ++index_;
    if (!is_digit(next)) return fail_here(kInvalidNumber);
    int exp = next - '0';
    for (int c = peek(); is_digit(c); c = peek()) {
        ++index_;
        int digit = c - '0';
        if (i32_overflows(exp, digit)) {
            // Too large for any exponent: zero, or out of range upward.
            if (significand != 0 && positive_exp) return fail_here(kOutOfRange);
            while (is_digit(peek())) ++index_;
            out.kind = Number::Kind::Float;
            out.f = positive ? 0.0 : -0.0;
            return true;
        }
        exp = exp * 10 + digit;
    }
    int final_exp = saturating_add(starting_exp, positive_exp ? exp : -exp);
    return f64_from_parts(positive, significand, final_exp, out);
}

// Scales the significand by powers of ten from a table of correctly rounded
// doubles; values beyond the double range fail instead of becoming infinite.
bool Reader::f64_from_parts(bool positive, std::uint64_t significand, int exponent, Number& out) {
    const auto& pow10 = powers_of_ten();
    double f = static_cast<double>(significand);
    for (;;) {
        long long magnitude = exponent < 0 ? -static_cast<long long>(exponent) : exponent;
        if (magnitude < static_cast<long long>(pow10.size())) {
            double power = pow10[static_cast<std::size_t>(magnitude)];
            if (exponent >= 0) {
                f *= power;
                if (std::isinf(f)) return fail_here(kOutOfRange);
            } else {
                f /= power;
            }
            break;
        }
        if (f == 0.0) break;
        if (exponent >= 0) return fail_here(kOutOfRange);
        f /= 1e308;
        exponent += 308;
    }
    out.kind = Number::Kind::Float;
    out.f = positive ? f : -f;
    return true;
}

// Reads the rest of a string whose opening quote has been consumed.
bool Reader::parse_str(std::string& out) {
    out.clear();
    for (;;) {
        std::size_t run = index_;
        while (run < text_.size()) {
            auto c = static_cast<unsigned char>(text_[run]);
            if (c == '"' || c == '\\' || c < 0x20) break;
            ++run;
        }
        out.append(text_.substr(index_, run - index_));
        index_ = run;
        if (index_ == text_.size()) return fail_here(kEofString);
        char c = text_[index_++];
        if (c == '"') {
            if (!valid_utf8(out)) return fail_here("invalid unicode code point");
            return true;
        }
        if (c != '\\') return fail_here("control character (\\u0000-\\u001F) found while parsing a string");
        if (!parse_escape(out)) return false;
    }
}

bool Reader::parse_escape(std::string& out) {
    if (index_ == text_.size()) return fail_here(kEofString);
    char c = text_[index_++];
    switch (c) {
        case '"': out.push_back('"'); return true;
        case '\\': out.push_back('\\'); return true;
        case '/': out.push_back('/'); return true;
        case 'b': out.push_back('\b'); return true;
        case 'f': out.push_back('\f'); return true;
        case 'n': out.push_back('\n'); return true;
        case 'r': out.push_back('\r'); return true;
        case 't': out.push_back('\t'); return true;
        case 'u': return parse_unicode_escape(out);
        default: return fail_here(kInvalidEscape);
    }
}

// \uXXXX; characters beyond the basic plane must come as a surrogate pair.
bool Reader::parse_unicode_escape(std::string& out) {
    std::uint32_t n = 0;
    if (!decode_hex_escape(n)) return false;
    if (n >= 0xDC00 && n <= 0xDFFF) return fail_here(kLoneSurrogate);
    if (n < 0xD800 || n > 0xDBFF) {
        push_utf8(n, out);
        return true;
    }
    for (char expected : {'\\', 'u'}) {
        if (index_ == text_.size()) return fail_here(kEofString);
        if (text_[index_++] != expected) return fail_here(kEndOfHexEscape);
    }
    std::uint32_t n2 = 0;
    if (!decode_hex_escape(n2)) return false;
    if (n2 < 0xDC00 || n2 > 0xDFFF) return fail_here(kLoneSurrogate);
    push_utf8((((n - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000, out);
    return true;
}

bool Reader::decode_hex_escape(std::uint32_t& out) {
    if (text_.size() - index_ < 4) {
        index_ = text_.size();
        return fail_here(kEofString);
    }
    std::uint32_t value = 0;
    bool ok = true;
    for (int k = 0; k < 4; ++k) {
        int digit = hex_value(static_cast<unsigned char>(text_[index_++]));
        ok = ok && digit >= 0;
        value = (value << 4) | static_cast<std::uint32_t>(digit & 0xF);
    }
    if (!ok) return fail_here(kInvalidEscape);
    out = value;
    return true;
}

// The error for a value of the wrong kind: the offending token is read whole
// (so the position follows it) unless it opens a container.
bool Reader::invalid_type_at_peek(std::string_view expected) {
    std::string unexpected;
    switch (peek()) {
        case 'n':
            ++index_;
            if (!parse_ident("ull")) return false;
            unexpected = "null";
            break;
        case 't':
            ++index_;
            if (!parse_ident("rue")) return false;
            unexpected = "boolean `true`";
            break;
        case 'f':
            ++index_;
            if (!parse_ident("alse")) return false;
            unexpected = "boolean `false`";
            break;
        case '-':
        case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9': {
            bool positive = peek() != '-';
            if (!positive) ++index_;
            Number number;
            if (!parse_integer(positive, number)) return false;
            unexpected = number.unexpected();
            break;
        }
        case '"': {
            ++index_;
            std::string text;
            if (!parse_str(text)) return false;
            unexpected = "string " + debug_quoted(text);
            break;
        }
        case '[': unexpected = "sequence"; break;
        case '{': unexpected = "map"; break;
        default: return fail_peek("expected value");
    }
    fail_data("invalid type: " + unexpected + ", expected " + std::string(expected));
    fix_position();
    return false;
}

bool Reader::read(std::optional<double>& out) {
    int c = peek_whitespace();
    if (c < 0) return fail_peek(kEofValue);
    if (c == 'n') {
        ++index_;
        if (!parse_ident("ull")) return false;
        out.reset();
        return true;
    }
    if (c != '-' && !is_digit(c)) return invalid_type_at_peek("f64");
    if (c == '-') ++index_;
    Number number;
    if (!parse_integer(c != '-', number)) return false;
    switch (number.kind) {
        case Number::Kind::Unsigned: out = static_cast<double>(number.u); break;
        case Number::Kind::Signed: out = static_cast<double>(number.i); break;
        case Number::Kind::Float: out = number.f; break;
    }
    return true;
}

bool Reader::read_unsigned(std::uint64_t max, std::string_view expected, std::uint64_t& out) {
    int c = peek_whitespace();
    if (c < 0) return fail_peek(kEofValue);
    if (c != '-' && !is_digit(c)) return invalid_type_at_peek(expected);
    if (c == '-') ++index_;
    Number number;
    if (!parse_integer(c != '-', number)) return false;
    if (number.kind == Number::Kind::Unsigned && number.u <= max) {
        out = number.u;
        return true;
    }
    const char* what = number.kind == Number::Kind::Float ? "invalid type: " : "invalid value: ";
    fail_data(what + number.unexpected() + ", expected " + std::string(expected));
    fix_position();
    return false;
}

}  // namespace zt::json
