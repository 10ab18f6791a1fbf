// A minimal JSON reader for the test-vector files under tests/data, plus
// helpers to load a vector file and decode its hex fields.
//
// It accepts the JSON those files use (objects, arrays, strings with escapes,
// integers, true/false/null) and fails the calling test on anything else.
// Object members keep their file order. Thread safety: plain values.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zt::test {

class Json {
public:
    enum class Kind { Null, Bool, Number, String, Array, Object };

    Json() = default;

    static Json parse(std::string_view text);  // throws std::runtime_error on malformed input

    Kind kind() const { return kind_; }
    bool is_object() const { return kind_ == Kind::Object; }

    // Accessors throw std::runtime_error when the kind or member is wrong, so
    // a malformed vector file fails loudly instead of being skipped.
    const std::string& str() const;
    std::int64_t num() const;
    const std::vector<Json>& items() const;
    const Json& operator[](std::string_view member) const;
    bool has(std::string_view member) const;
    const std::vector<std::pair<std::string, Json>>& members() const;

private:
    friend class JsonParser;
    Kind kind_ = Kind::Null;
    bool boolean_ = false;
    std::int64_t number_ = 0;
    std::string string_;
    std::vector<Json> items_;
    std::vector<std::pair<std::string, Json>> members_;
};

// Reads and parses ZT_TEST_DATA_DIR/<relative>.
Json load_vectors(const std::string& relative);

// Lowercase hex of a vector field to bytes; throws on bad hex.
std::vector<std::uint8_t> unhex(std::string_view text);

}  // namespace zt::test
