#include "tests/support/vector_json.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zt::test {

class JsonParser {
public:
    explicit JsonParser(std::string_view text) : text_(text) {}

    Json document() {
        Json value = parse_value();
        skip_space();
        if (pos_ != text_.size()) fail("trailing data");
        return value;
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error("vector JSON: " + what + " at offset " + std::to_string(pos_));
    }

    void skip_space() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\n' || text_[pos_] == '\r' ||
                                       text_[pos_] == '\t')) {
            ++pos_;
        }
    }

    char peek() {
        skip_space();
        if (pos_ >= text_.size()) fail("unexpected end");
        return text_[pos_];
    }

    void expect(char c) {
        if (peek() != c) fail(std::string("expected '") + c + "'");
        ++pos_;
    }

    bool literal(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }

    Json parse_value() {
        Json v;
        const char c = peek();
        if (c == '{') {
            v.kind_ = Json::Kind::Object;
            ++pos_;
            if (peek() == '}') { ++pos_; return v; }
            for (;;) {
                std::string key = parse_string();
                expect(':');
                v.members_.emplace_back(std::move(key), parse_value());
                if (peek() == ',') { ++pos_; continue; }
                expect('}');
                return v;
            }
        }
        if (c == '[') {
            v.kind_ = Json::Kind::Array;
            ++pos_;
            if (peek() == ']') { ++pos_; return v; }
            for (;;) {
                v.items_.push_back(parse_value());
                if (peek() == ',') { ++pos_; continue; }
                expect(']');
                return v;
            }
        }
        if (c == '"') {
            v.kind_ = Json::Kind::String;
            v.string_ = parse_string();
            return v;
        }
        if (literal("true")) {
            v.kind_ = Json::Kind::Bool;
            v.boolean_ = true;
            return v;
        }
        if (literal("false")) {
            v.kind_ = Json::Kind::Bool;
            return v;
        }
        if (literal("null")) return v;
        if (c == '-' || (c >= '0' && c <= '9')) {
            v.kind_ = Json::Kind::Number;
            const bool negative = c == '-';
            if (negative) ++pos_;
            std::int64_t n = 0;
            const std::size_t start = pos_;
            while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') n = n * 10 + (text_[pos_++] - '0');
            if (pos_ == start) fail("bad number");
            if (pos_ < text_.size() && (text_[pos_] == '.' || text_[pos_] == 'e' || text_[pos_] == 'E')) {
                fail("non-integer number");
            }
            v.number_ = negative ? -n : n;
            return v;
        }
        fail("unexpected character");
    }

    std::string parse_string() {
        expect('"');
        std::string out;
        while (pos_ < text_.size() && text_[pos_] != '"') {
            char c = text_[pos_++];
            if (c != '\\') { out += c; continue; }
            if (pos_ >= text_.size()) fail("bad escape");
            c = text_[pos_++];
            switch (c) {
                case '"': case '\\': case '/': out += c; break;
                case 'n': out += '\n'; break;
                case 't': out += '\t'; break;
                case 'r': out += '\r'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'u': {
                    if (pos_ + 4 > text_.size()) fail("bad \\u escape");
                    const unsigned cp = static_cast<unsigned>(std::stoul(std::string(text_.substr(pos_, 4)), nullptr, 16));
                    pos_ += 4;
                    if (cp >= 0x80) fail("non-ASCII \\u escape");  // not used by the vector files
                    out += static_cast<char>(cp);
                    break;
                }
                default: fail("bad escape");
            }
        }
        if (pos_ >= text_.size()) fail("unterminated string");
        ++pos_;
        return out;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

Json Json::parse(std::string_view text) { return JsonParser(text).document(); }

const std::string& Json::str() const {
    if (kind_ != Kind::String) throw std::runtime_error("vector JSON: not a string");
    return string_;
}

std::int64_t Json::num() const {
    if (kind_ != Kind::Number) throw std::runtime_error("vector JSON: not a number");
    return number_;
}

const std::vector<Json>& Json::items() const {
    if (kind_ != Kind::Array) throw std::runtime_error("vector JSON: not an array");
    return items_;
}

const std::vector<std::pair<std::string, Json>>& Json::members() const {
    if (kind_ != Kind::Object) throw std::runtime_error("vector JSON: not an object");
    return members_;
}

bool Json::has(std::string_view member) const {
    for (const auto& [key, value] : members()) {
        if (key == member) return true;
    }
    return false;
}

const Json& Json::operator[](std::string_view member) const {
    for (const auto& [key, value] : members()) {
        if (key == member) return value;
    }
    throw std::runtime_error("vector JSON: no member " + std::string(member));
}

Json load_vectors(const std::string& relative) {
    const std::string path = std::string(ZT_TEST_DATA_DIR) + "/" + relative;
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return Json::parse(text.str());
}

std::vector<std::uint8_t> unhex(std::string_view text) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        throw std::runtime_error("vector hex: bad digit");
    };
    if (text.size() % 2 != 0) throw std::runtime_error("vector hex: odd length");
    std::vector<std::uint8_t> out(text.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::uint8_t>(nibble(text[2 * i]) << 4 | nibble(text[2 * i + 1]));
    }
    return out;
}

}  // namespace zt::test
