// Reading user inputs: hex keys, key files with their UTF-8 and white-space
// rules, size-limited whole-file reads, and the output existence check.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/support/scratch_dir.h"
#include "timelock/base/utf8.h"
#include "timelock/formats/input_files.h"

namespace zt::cli {
namespace {

const std::string kHex = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

Key32 expected_key() {
    Key32 key;
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i);
    return key;
}

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string with_char_at(std::size_t position, char c) {
    std::string s = kHex;
    s[position] = c;
    return s;
}

// An empty `error` means the key decodes to expected_key().
struct KeyCase {
    const char* name;
    std::string input;
    std::string error;
};

void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.name; }

class ParseKeyHex : public testing::TestWithParam<KeyCase> {};

TEST_P(ParseKeyHex, DecodesOrNamesTheFault) {
    const auto result = parse_key_hex(GetParam().input);
    if (GetParam().error.empty()) {
        ASSERT_TRUE(result.ok()) << result.error().message();
        EXPECT_TRUE(*result == expected_key());
    } else {
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error(), Error(GetParam().error));
    }
}

// The pin is read by the same rules, into plain bytes.
TEST_P(ParseKeyHex, PinDecodesOrNamesTheSameFault) {
    const auto result = parse_pin(GetParam().input);
    if (GetParam().error.empty()) {
        ASSERT_TRUE(result.ok()) << result.error().message();
        EXPECT_TRUE(std::equal(result->begin(), result->end(), expected_key().span().begin()));
    } else {
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error(), Error(GetParam().error));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, ParseKeyHex,
    testing::Values(KeyCase{"Lowercase", kHex, ""}, KeyCase{"Uppercase", upper(kHex), ""},
                    KeyCase{"Digits63", kHex.substr(1), "key must contain 64 hex digits"},
                    KeyCase{"Digits65", kHex + "0", "key must contain 64 hex digits"},
                    KeyCase{"Empty", "", "key must contain 64 hex digits"},
                    KeyCase{"NotTrimmed", " " + kHex, "key must contain 64 hex digits"},
                    KeyCase{"GAtPosition5", with_char_at(5, 'g'), "Invalid character 'g' at position 5"},
                    KeyCase{"LowNibbleReportsItsOwnPosition", with_char_at(1, 'x'), "Invalid character 'x' at position 1"},
                    KeyCase{"FirstFaultWins", with_char_at(9, 'z').replace(40, 1, "q"),
                            "Invalid character 'z' at position 9"},
                    KeyCase{"Space", with_char_at(0, ' '), "Invalid character ' ' at position 0"},
                    KeyCase{"Newline", with_char_at(63, '\n'), "Invalid character '\\n' at position 63"},
                    KeyCase{"Control", with_char_at(2, '\x01'), "Invalid character '\\u{1}' at position 2"},
                    KeyCase{"Quote", with_char_at(3, '\''), "Invalid character '\\'' at position 3"},
                    // Byte by byte: the lead byte of "é" shows as the character U+00C3.
                    KeyCase{"MultiByteCharacter", kHex.substr(0, 62) + "\xC3\xA9",
                            "Invalid character '\xC3\x83' at position 62"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Key files -----------------------------------------------------------------

class ReadKeyFile : public testing::TestWithParam<KeyCase> {
protected:
    test::ScratchDir dir_;
};

TEST_P(ReadKeyFile, DecodesOrNamesTheFault) {
    dir_.write("key", GetParam().input);
    const auto result = read_key_file(dir_ / "key");
    if (GetParam().error.empty()) {
        ASSERT_TRUE(result.ok()) << result.error().message();
        EXPECT_TRUE(*result == expected_key());
    } else {
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error(), Error(GetParam().error));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, ReadKeyFile,
    testing::Values(
        KeyCase{"Bare", kHex, ""}, KeyCase{"LineFeed", kHex + "\n", ""}, KeyCase{"CrLf", kHex + "\r\n", ""},
        KeyCase{"LeadingTabsAndSpaces", "\t\t  " + kHex, ""}, KeyCase{"Uppercase", upper(kHex) + "\n", ""},
        KeyCase{"TrailingNoBreakSpace", kHex + "\xC2\xA0", ""},
        KeyCase{"UnicodeSpacesBothEnds", "\xE3\x80\x80\xC2\x85\xE2\x80\xA8" + kHex + "\xE2\x80\x8A\x0B\x0C", ""},
        KeyCase{"ExactlyTheLimit", kHex + std::string(64, ' '), ""},
        KeyCase{"OneOverTheLimitBeforeTrimming", kHex + std::string(65, ' '), "input file exceeds size limit"},
        KeyCase{"Digits63", kHex.substr(1) + "\n", "key must contain 64 hex digits"},
        KeyCase{"Digits65", kHex + "0\n", "key must contain 64 hex digits"},
        KeyCase{"Empty", "", "key must contain 64 hex digits"},
        KeyCase{"OnlyWhiteSpace", " \n\t", "key must contain 64 hex digits"},
        KeyCase{"ByteOrderMarkIsNotWhiteSpace", "\xEF\xBB\xBF" + kHex, "key must contain 64 hex digits"},
        KeyCase{"ZeroWidthSpaceIsNotWhiteSpace", kHex + "\xE2\x80\x8B", "key must contain 64 hex digits"},
        KeyCase{"GAtPosition5AfterTrimming", "  " + with_char_at(5, 'g') + "\n", "Invalid character 'g' at position 5"},
        KeyCase{"InteriorSpace", with_char_at(30, ' '), "Invalid character ' ' at position 30"},
        KeyCase{"ByteFF", kHex.substr(0, 10) + "\xFF" + kHex.substr(11),
                "invalid utf-8 sequence of 1 bytes from index 10"},
        KeyCase{"CutOffAtTheEnd", kHex + "\xE2\x82", "incomplete utf-8 byte sequence from index 64"},
        KeyCase{"CutOffInside", kHex.substr(0, 20) + "\xE2\x82" + "x", "invalid utf-8 sequence of 2 bytes from index 20"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadKeyFileErrors, OperatingSystemMessagesWithoutThePath) {
    test::ScratchDir dir;
    EXPECT_EQ(read_key_file(dir / "absent").error(), Error("No such file or directory (os error 2)"));
    EXPECT_EQ(read_key_file(dir.path().string()).error(), Error("Is a directory (os error 21)"));
}

// ---- The UTF-8 decoder's verdicts ----------------------------------------------

struct Utf8Case {
    const char* name;
    std::string bytes;
    std::string message;  // empty: valid
    std::string lossy;
};

void PrintTo(const Utf8Case& c, std::ostream* os) { *os << c.name; }

class Utf8 : public testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8, VerdictAndReplacement) {
    const auto error = check_utf8(GetParam().bytes);
    EXPECT_EQ(error ? error->message() : "", GetParam().message);
    EXPECT_EQ(utf8_lossy(GetParam().bytes), GetParam().lossy);
}

#define FFFD "\xEF\xBF\xBD"
INSTANTIATE_TEST_SUITE_P(
    Inputs, Utf8,
    testing::Values(
        Utf8Case{"Ascii", "abc", "", "abc"},
        Utf8Case{"AllWidths", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        Utf8Case{"Highest", "\xF4\x8F\xBF\xBF", "", "\xF4\x8F\xBF\xBF"},
        Utf8Case{"StrayContinuation", "ab\x80", "invalid utf-8 sequence of 1 bytes from index 2", "ab" FFFD},
        Utf8Case{"OverlongC0", "\xC0\xAF", "invalid utf-8 sequence of 1 bytes from index 0", FFFD FFFD},
        Utf8Case{"C1", "\xC1\xBF", "invalid utf-8 sequence of 1 bytes from index 0", FFFD FFFD},
        Utf8Case{"F5", "x\xF5\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 1", "x" FFFD FFFD FFFD FFFD},
        Utf8Case{"OverlongE0", "\xE0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0", FFFD FFFD FFFD},
        Utf8Case{"SurrogateED", "\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 0", FFFD FFFD FFFD},
        Utf8Case{"OverlongF0", "\xF0\x8F\xBF\xBF", "invalid utf-8 sequence of 1 bytes from index 0",
                 FFFD FFFD FFFD FFFD},
        Utf8Case{"AboveF4", "\xF4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0", FFFD FFFD FFFD FFFD},
        Utf8Case{"TwoOfThree", "\xE2\x82x", "invalid utf-8 sequence of 2 bytes from index 0", FFFD "x"},
        Utf8Case{"ThreeOfFour", "\xF0\x9F\x98x", "invalid utf-8 sequence of 3 bytes from index 0", FFFD "x"},
        Utf8Case{"IncompleteTwo", "ok\xC3", "incomplete utf-8 byte sequence from index 2", "ok" FFFD},
        Utf8Case{"IncompleteFour", "\xF0\x9F\x98", "incomplete utf-8 byte sequence from index 0", FFFD},
        // A cut-off byte that could never be valid is invalid, not incomplete.
        Utf8Case{"BadSecondAtEnd", "\xE0\x80", "invalid utf-8 sequence of 1 bytes from index 0", FFFD FFFD}),
    [](const auto& info) { return std::string(info.param.name); });
#undef FFFD

// ---- Size-limited reads -----------------------------------------------------

TEST(ReadLimited, ExactLimitIsReadAndOneMoreByteIsNot) {
    test::ScratchDir dir;
    // Larger than the first read chunk, so the buffer has to grow.
    const std::string content(16384, 'm');
    dir.write("exact", content);
    dir.write("over", content + "m");
    dir.write("empty", "");
    const auto exact = read_limited(dir / "exact", 16384);
    ASSERT_TRUE(exact.ok());
    EXPECT_EQ(std::string(exact->begin(), exact->end()), content);
    EXPECT_EQ(read_limited(dir / "over", 16384).error(), Error("input file exceeds size limit"));
    EXPECT_TRUE(read_limited(dir / "empty", 0)->empty());
    EXPECT_EQ(read_limited(dir / "exact", 0).error(), Error("input file exceeds size limit"));
}

TEST(ReadLimited, LargeFileIsReadWhole) {
    test::ScratchDir dir;
    std::string content(3'000'001, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 % 251);
    dir.write("big", content);
    const auto bytes = read_limited(dir / "big", content.size());
    ASSERT_TRUE(bytes.ok());
    EXPECT_TRUE(std::string(bytes->begin(), bytes->end()) == content);
}

TEST(ReadLimited, OperatingSystemErrors) {
    test::ScratchDir dir;
    EXPECT_EQ(read_limited(dir / "absent", 10).error(), Error("No such file or directory (os error 2)"));
    EXPECT_EQ(read_limited(dir.path().string(), 10).error(), Error("Is a directory (os error 21)"));
    EXPECT_EQ(read_limited(std::string("a\0b", 3), 10).error(), Error("file name contained an unexpected NUL byte"));
}

TEST(ReadLimited, EndlessSourceCostsLimitPlusOne) {
    EXPECT_EQ(read_limited("/dev/zero", 1 << 20).error(), Error("input file exceeds size limit"));
}

TEST(ReadLimited, NeverReadsPastLimitPlusOne) {
    // The test keeps its own end of a FIFO open, so it can see exactly how
    // many bytes the reader left unread.
    test::ScratchDir dir;
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int fd = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    const std::string data(100 + 1 + 50, 'p');
    ASSERT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));

    EXPECT_EQ(read_limited(fifo, 100).error(), Error("input file exceeds size limit"));

    char rest[256];
    EXPECT_EQ(::read(fd, rest, sizeof rest), 50);
    ::close(fd);
}

// ---- Manifest files ------------------------------------------------------------

std::string manifest_data(const std::string& name) {
    std::ifstream in(std::string(ZT_TEST_DATA_DIR) + "/manifests/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ReadManifestFile, ReadsParsesAndKeepsTheFirstFailure) {
    test::ScratchDir dir;
    const std::string good = manifest_data("good_conformance.json");
    const std::string bad = manifest_data("fail_unknown_field.json");
    ASSERT_FALSE(good.empty());
    dir.write("good.json", good);
    dir.write("bad.json", bad);
    // Padded past the input limit: the read refuses it before the parser
    // could name its own limit.
    dir.write("large.json", good + std::string(input_limit::kManifest + 1 - good.size(), ' '));

    const auto read = read_manifest_file(dir / "good.json");
    ASSERT_TRUE(read.ok()) << read.error().message();
    EXPECT_EQ(*read, read_signed_manifest(good).value());
    EXPECT_EQ(read_manifest_file(dir / "bad.json").error(), read_signed_manifest(bad).error());
    EXPECT_EQ(read_manifest_file(dir / "large.json").error(), Error("input file exceeds size limit"));
    EXPECT_EQ(read_manifest_file(dir / "absent.json").error(), Error("No such file or directory (os error 2)"));
}

// ---- Output existence --------------------------------------------------------

TEST(OutputExists, FollowsLinksAndTreatsAnyFailureAsAbsent) {
    test::ScratchDir dir;
    dir.write("file", "x");
    std::filesystem::create_symlink(dir / "file", dir / "good-link");
    std::filesystem::create_symlink(dir / "nowhere", dir / "dangling-link");
    EXPECT_TRUE(output_exists(dir / "file"));
    EXPECT_TRUE(output_exists(dir.path().string()));
    EXPECT_TRUE(output_exists(dir / "good-link"));
    EXPECT_FALSE(output_exists(dir / "dangling-link"));
    EXPECT_FALSE(output_exists(dir / "absent"));
    EXPECT_FALSE(output_exists(dir / "file/below-a-file"));
    EXPECT_FALSE(output_exists(std::string("fi\0le", 5)));
}

}  // namespace
}  // namespace zt::cli
