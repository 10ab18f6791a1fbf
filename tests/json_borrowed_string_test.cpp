// A BorrowedString member reads exactly as a std::string member does (same
// text, same errors at the same positions) while handing plain text back as
// a view of the document. Its scanner skips eight bytes at a time, so every
// kind of byte that needs attention is tried at every offset of a block.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "timelock/json/reader.h"

namespace zt {
namespace {

struct Owned {
    std::string s;
};
struct Borrowed {
    json::BorrowedString s;
};

}  // namespace

template <>
struct json::Schema<Owned> {
    static constexpr std::string_view name = "T";
    static constexpr std::array fields{field<&Owned::s>("s")};
};
template <>
struct json::Schema<Borrowed> {
    static constexpr std::string_view name = "T";
    static constexpr std::array fields{field<&Borrowed::s>("s")};
};

namespace {

// What reading `document` gives: the text, or the error with its position.
template <typename T>
std::string outcome(const std::string& document) {
    auto read = json::parse<T>(document);
    if (!read) return "error: " + read.error().message();
    if constexpr (std::is_same_v<T, Owned>) {
        return "text: " + read->s;
    } else {
        return "text: " + std::string(read->s.text());
    }
}

TEST(BorrowedString, ReadsLikeAStringAtEveryOffset) {
    // Each inserted into a run of plain characters at every offset 0..19.
    const std::vector<std::string> inserts = {
        "\"",            // the closing quote (the rest becomes trailing content)
        "\\n",           // an escape
        "\\u00e9",       // a unicode escape
        "\\q",           // a bad escape
        std::string(1, '\x01'),
        std::string(1, '\x1f'),
        "\x7f",          // DEL is allowed raw
        " ",
        "\xc3\xa9",      // two-byte UTF-8
        "\xe2\x82\xac",  // three-byte UTF-8
        "\xf0\x9f\x98\x80",
        "\xff",          // never valid
        "\xc3",          // cut short
        "\xe2\x82",
        "\xed\xa0\x80",  // a surrogate
        "\xc0\xaf",      // overlong
    };
    for (const auto& insert : inserts) {
        for (std::size_t at = 0; at < 20; ++at) {
            std::string value(24, 'a');
            value.insert(at, insert);
            for (const std::string& document :
                 {"{\"s\":\"" + value + "\"}", "[\"" + value + "\"]", "{\"s\":\"" + value}) {
                EXPECT_EQ(outcome<Borrowed>(document), outcome<Owned>(document))
                    << "insert of " << insert.size() << " bytes at " << at << " in " << document;
            }
        }
    }
}

TEST(BorrowedString, PlainTextIsAViewAndEscapedTextIsOwned) {
    const std::string plain = R"({"s":"00ff\u00e9"})";
    auto escaped = json::parse<Borrowed>(plain);
    ASSERT_TRUE(escaped.ok());
    EXPECT_FALSE(escaped->s.borrowed());
    EXPECT_EQ(escaped->s.text(), "00ff\xc3\xa9");

    const std::string document = "[\"" + std::string(1000, '7') + "\xc3\xa9\"]";
    auto viewed = json::parse<Borrowed>(document);
    ASSERT_TRUE(viewed.ok());
    EXPECT_TRUE(viewed->s.borrowed());
    EXPECT_EQ(viewed->s.text().data(), document.data() + 2);
    EXPECT_EQ(viewed->s.text().size(), 1002u);
}

TEST(BorrowedString, WrongKindsFailAsForAString) {
    for (const std::string document : {R"({"s":5})", R"({"s":null})", R"({"s":["x"]})", R"({"s":)", "[]"}) {
        EXPECT_EQ(outcome<Borrowed>(document), outcome<Owned>(document)) << document;
    }
}

}  // namespace
}  // namespace zt
