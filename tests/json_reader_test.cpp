// The strict JSON reader: record forms, value types, number edges, strings
// and escapes, syntax errors, and the position each error points at.
#include "timelock/json/reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zt {
namespace {

struct Tiny {
    std::uint32_t n = 0;
    friend bool operator==(const Tiny&, const Tiny&) = default;
};
struct Wide {
    std::uint64_t v = 0;
    friend bool operator==(const Wide&, const Wide&) = default;
};
struct Inner {
    std::uint32_t a = 0;
    std::string b;
    friend bool operator==(const Inner&, const Inner&) = default;
};
struct Outer {
    std::uint64_t id = 0;
    Inner inner;
    std::vector<std::string> tags;
    friend bool operator==(const Outer&, const Outer&) = default;
};
// Nests without bound, to reach the recursion limit.
struct Tree {
    std::vector<Tree> kids;
    friend bool operator==(const Tree&, const Tree&) = default;
};

}  // namespace

template <>
struct json::Schema<Tiny> {
    static constexpr std::string_view name = "Tiny";
    static constexpr std::array fields{json::field<&Tiny::n>("n")};
};
template <>
struct json::Schema<Wide> {
    static constexpr std::string_view name = "Wide";
    static constexpr std::array fields{json::field<&Wide::v>("v")};
};
template <>
struct json::Schema<Inner> {
    static constexpr std::string_view name = "Inner";
    static constexpr std::array fields{json::field<&Inner::a>("a"), json::field<&Inner::b>("b")};
};
template <>
struct json::Schema<Outer> {
    static constexpr std::string_view name = "Outer";
    static constexpr std::array fields{json::field<&Outer::id>("id"), json::field<&Outer::inner>("inner"),
                                       json::field<&Outer::tags>("tags")};
};
template <>
struct json::Schema<Tree> {
    static constexpr std::string_view name = "Tree";
    static constexpr std::array fields{json::field<&Tree::kids>("kids")};
};

namespace {

// Parses `input` as T and returns the error text, or "ok".
template <typename T>
std::string outcome(std::string_view input) {
    auto result = json::parse<T>(input);
    return result ? std::string("ok") : result.error().message();
}

struct Case {
    const char* input;
    const char* expected;  // "ok" or the full error text
};

void run(const std::vector<Case>& cases, std::string (*parse)(std::string_view)) {
    for (const auto& c : cases) EXPECT_EQ(parse(c.input), c.expected) << "input: " << c.input;
}

TEST(JsonReader, ReadsObjectAndArrayFormsIntoTheSameRecord) {
    const Outer expected{7, Inner{3, "x"}, {"p", "q"}};
    const char* forms[] = {
        R"({"id":7,"inner":{"a":3,"b":"x"},"tags":["p","q"]})",
        R"({"tags":["p","q"],"inner":{"b":"x","a":3},"id":7})",
        R"([7,[3,"x"],["p","q"]])",
        R"({"id":7,"inner":[3,"x"],"tags":["p","q"]})",
        " \t\r\n{ \"id\" : 7 ,\n \"inner\" : [ 3 , \"x\" ] , \"tags\" : [ \"p\" , \"q\" ] }\n\r\t ",
        R"({"\u0069d":7,"inner":{"a":3,"\u0062":"x"},"tags":["p","q"]})",
    };
    for (const char* form : forms) {
        auto parsed = json::parse<Outer>(form);
        ASSERT_TRUE(parsed) << form << ": " << parsed.error().message();
        EXPECT_EQ(*parsed, expected) << form;
    }
}

TEST(JsonReader, NumbersAtTheEdgesOfTheirTypes) {
    EXPECT_EQ(json::parse<Wide>(R"({"v":0})")->v, 0u);
    EXPECT_EQ(json::parse<Wide>(R"({"v":18446744073709551615})")->v, 18446744073709551615u);
    EXPECT_EQ(json::parse<Tiny>(R"({"n":4294967295})")->n, 4294967295u);
    run({
            {R"({"v":18446744073709551616})",
             "invalid type: floating point `18446744073709552000.0`, expected u64 at line 1 column 25"},
            {R"({"v":-1})", "invalid value: integer `-1`, expected u64 at line 1 column 7"},
            {R"({"v":1.5})", "invalid type: floating point `1.5`, expected u64 at line 1 column 8"},
            {R"({"v":1e3})", "invalid type: floating point `1000.0`, expected u64 at line 1 column 8"},
            {R"({"v":1E+3})", "invalid type: floating point `1000.0`, expected u64 at line 1 column 9"},
            {R"({"v":-0})", "invalid type: floating point `-0.0`, expected u64 at line 1 column 7"},
            {R"({"v":1.0})", "invalid type: floating point `1.0`, expected u64 at line 1 column 8"},
            {R"({"v":1e-7})", "invalid type: floating point `0.0000001`, expected u64 at line 1 column 9"},
            {R"({"v":1e-400})", "invalid type: floating point `0.0`, expected u64 at line 1 column 11"},
            {R"({"v":-9223372036854775808})",
             "invalid value: integer `-9223372036854775808`, expected u64 at line 1 column 25"},
            {R"({"v":-9223372036854775809})",
             "invalid type: floating point `-9223372036854776000.0`, expected u64 at line 1 column 25"},
            {R"({"v":1e400})", "number out of range at line 1 column 10"},
            {R"({"v":01})", "invalid number at line 1 column 7"},
            {R"({"v":1.})", "invalid number at line 1 column 8"},
            {R"({"v":1.)", "EOF while parsing a value at line 1 column 7"},
            {R"({"v":1e})", "invalid number at line 1 column 8"},
            {R"({"v":-})", "invalid number at line 1 column 7"},
            {R"({"v":+1})", "expected value at line 1 column 6"},
            {R"({"v":1x})", "expected `,` or `}` at line 1 column 7"},
        },
        outcome<Wide>);
    run({
            {R"({"n":4294967296})", "invalid value: integer `4294967296`, expected u32 at line 1 column 15"},
            {R"({"n":-1})", "invalid value: integer `-1`, expected u32 at line 1 column 7"},
        },
        outcome<Tiny>);
}

TEST(JsonReader, ValuesOfTheWrongKind) {
    run({
            {R"({"n":"5"})", "invalid type: string \"5\", expected u32 at line 1 column 8"},
            {R"({"n":"a\"b\n\u0001"})",
             R"(invalid type: string "a\"b\n\u{1}", expected u32 at line 1 column 19)"},
            {R"({"n":true})", "invalid type: boolean `true`, expected u32 at line 1 column 9"},
            {R"({"n":false})", "invalid type: boolean `false`, expected u32 at line 1 column 10"},
            {R"({"n":null})", "invalid type: null, expected u32 at line 1 column 9"},
            {R"({"n":nul})", "expected ident at line 1 column 9"},
            {R"({"n":[1]})", "invalid type: sequence, expected u32 at line 1 column 5"},
            {R"({"n":{}})", "invalid type: map, expected u32 at line 1 column 5"},
            {R"({"n":})", "expected value at line 1 column 6"},
            {"5", "invalid type: integer `5`, expected struct Tiny at line 1 column 1"},
            {R"( "x")", "invalid type: string \"x\", expected struct Tiny at line 1 column 4"},
            {"nul", "EOF while parsing a value at line 1 column 3"},
            {"x", "expected value at line 1 column 1"},
            {"\f{}", "expected value at line 1 column 1"},
            {"", "EOF while parsing a value at line 1 column 0"},
            {"  \n ", "EOF while parsing a value at line 2 column 1"},
        },
        outcome<Tiny>);
    run({
            {R"({"a":1,"b":5})", "invalid type: integer `5`, expected a string at line 1 column 12"},
            {R"({"a":1.5,"b":""})", "invalid type: floating point `1.5`, expected u32 at line 1 column 8"},
        },
        outcome<Inner>);
    run({
            {R"([1,[1,"x"],"t"])", "invalid type: string \"t\", expected a sequence at line 1 column 14"},
            {R"([1,[1,"x"],[7]])", "invalid type: integer `7`, expected a string at line 1 column 13"},
            {R"([1,2,[]])", "invalid type: integer `2`, expected struct Inner at line 1 column 4"},
            {R"([1,{"a":1,"b":"","c":[]},[]])",
             "unknown field `c`, expected `a` or `b` at line 1 column 20"},
        },
        outcome<Outer>);
}

TEST(JsonReader, MembersUnknownRepeatedOrMissing) {
    run({
            {R"({"m":1})", "unknown field `m`, expected `n` at line 1 column 4"},
            {R"({"n\u0041":1})", "unknown field `nA`, expected `n` at line 1 column 10"},
            {"{\"m\" \n :1}", "unknown field `m`, expected `n` at line 2 column 1"},
            {R"({"m"})", "unknown field `m`, expected `n` at line 1 column 5"},
            {R"({"n":1,"n":2})", "duplicate field `n` at line 1 column 10"},
            {R"({"\u006e":1,"n":2})", "duplicate field `n` at line 1 column 15"},
            {"{}", "missing field `n` at line 1 column 2"},
            {"{ \n }", "missing field `n` at line 2 column 2"},
            {"[]", "invalid length 0, expected struct Tiny with 1 element at line 1 column 2"},
            {"[1,2]", "trailing characters at line 1 column 4"},
            {"[1,]", "trailing comma at line 1 column 4"},
        },
        outcome<Tiny>);
    run({
            {R"({"c":1})", "unknown field `c`, expected `a` or `b` at line 1 column 4"},
            {R"({"a":1})", "missing field `b` at line 1 column 7"},
            {R"({"b":"","x":1})", "unknown field `x`, expected `a` or `b` at line 1 column 11"},
            {"[1]", "invalid length 1, expected struct Inner with 2 elements at line 1 column 3"},
            {"[1,]", "trailing comma at line 1 column 4"},
        },
        outcome<Inner>);
    run({
            {R"({"id":1,"zz":2})", "unknown field `zz`, expected one of `id`, `inner`, `tags` at line 1 column 12"},
            {"{\n  \"id\": 1,\n  \"inner\": {\"a\": 1},\n  \"tags\": []\n}", "missing field `b` at line 3 column 19"},
            {R"({"id":1,"inner":[2,"x"]})", "missing field `tags` at line 1 column 24"},
        },
        outcome<Outer>);
}

TEST(JsonReader, SyntaxErrors) {
    run({
            {R"({"n":1,})", "trailing comma at line 1 column 8"},
            {R"({"n":1 "m":2})", "expected `,` or `}` at line 1 column 8"},
            {R"({"n" 1})", "expected `:` at line 1 column 6"},
            {R"({"n")", "EOF while parsing an object at line 1 column 4"},
            {R"({"n":1)", "EOF while parsing an object at line 1 column 6"},
            {R"({"n":)", "EOF while parsing a value at line 1 column 5"},
            {R"({"n":1,)", "EOF while parsing a value at line 1 column 7"},
            {"{1:2}", "key must be a string at line 1 column 2"},
            {R"({"n":1}x)", "trailing characters at line 1 column 8"},
            {"{\"n\":1}\n\nx", "trailing characters at line 3 column 1"},
            {"{\"n\":1} \r\n\t", "ok"},
            {"[1", "EOF while parsing a list at line 1 column 2"},
        },
        outcome<Tiny>);
    run({
            {"[1 2]", "expected `,` or `]` at line 1 column 4"},
            {"[1,", "EOF while parsing a value at line 1 column 3"},
        },
        outcome<Inner>);
}

TEST(JsonReader, StringEscapesAreDecoded) {
    auto decoded = [](const char* input) {
        auto parsed = json::parse<Inner>(input);
        return parsed ? parsed->b : "error: " + parsed.error().message();
    };
    EXPECT_EQ(decoded(R"({"a":1,"b":"\"\\\/\b\f\n\r\t"})"), "\"\\/\b\f\n\r\t");
    EXPECT_EQ(decoded(R"({"a":1,"b":"\u00e9\u00E9"})"), "\xC3\xA9\xC3\xA9");
    EXPECT_EQ(decoded(R"({"a":1,"b":"\ud83d\ude00"})"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(decoded(R"({"a":1,"b":"\u0000"})"), std::string(1, '\0'));
    EXPECT_EQ(decoded("{\"a\":1,\"b\":\"caf\xC3\xA9\"}"), "caf\xC3\xA9");
}

TEST(JsonReader, StringErrors) {
    run({
            {"{\"a\":1,\"b\":\"x\ty\"}",
             "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 14"},
            {"{\"a\":1,\"b\":\"x\ny\"}",
             "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
            {R"({"a":1,"b":"\x"})", "invalid escape at line 1 column 14"},
            {R"({"a":1,"b":"\u12G4"})", "invalid escape at line 1 column 18"},
            {R"({"a":1,"b":"\uDE00"})", "lone leading surrogate in hex escape at line 1 column 18"},
            {R"({"a":1,"b":"\ud83d\u0041"})", "lone leading surrogate in hex escape at line 1 column 24"},
            {R"({"a":1,"b":"\ud83dx"})", "unexpected end of hex escape at line 1 column 19"},
            {R"({"a":1,"b":"\u12)", "EOF while parsing a string at line 1 column 16"},
            {R"({"a":1,"b":"abc)", "EOF while parsing a string at line 1 column 15"},
            {R"({"a":1,"b":"abc\)", "EOF while parsing a string at line 1 column 16"},
            {"{\"a\":1,\"b\":\"\xFF\"}", "invalid unicode code point at line 1 column 14"},
            {"{\"a\":1,\"b\":\"\xC0\x80\"}", "invalid unicode code point at line 1 column 15"},
            {"{\"a\":1,\"b\":\"\xED\xA0\x80\"}", "invalid unicode code point at line 1 column 16"},
            {"{\"a\x01\":1}", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"},
        },
        outcome<Inner>);
}

TEST(JsonReader, NestingIsLimited) {
    auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    // Tree and its list alternate, so an even depth ends in an empty list.
    EXPECT_EQ(outcome<Tree>(nested(126)), "ok");
    EXPECT_EQ(outcome<Tree>(nested(128)), "recursion limit exceeded at line 1 column 128");
    EXPECT_EQ(outcome<Tree>(R"({"kids":[{"kids":[]},{"kids":[5]}]})"),
              "invalid type: integer `5`, expected struct Tree at line 1 column 31");
}

}  // namespace
}  // namespace zt
