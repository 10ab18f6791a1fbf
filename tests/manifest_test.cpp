// The manifest format: the written layout, reading in every accepted form,
// the size limit, and the order of the validation rules.
#include "timelock/formats/manifest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "tests/support/signed_manifest.h"

namespace zt {
namespace {

std::string data_file(const std::string& name) {
    std::ifstream in(std::string(ZT_TEST_DATA_DIR) + "/manifests/" + name, std::ios::binary);
    EXPECT_TRUE(in) << name;
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

std::string read_outcome(std::string_view text) {
    auto read = read_signed_manifest(text);
    return read ? std::string("ok") : read.error().message();
}

constexpr const char* kHex = "noncanonical hex or wrong length";
constexpr const char* kProtocol = "unsupported puzzle protocol";
constexpr const char* kWork = "invalid work parameters";

TEST(ManifestWriter, WritesTheFixedPrettyLayout) {
    SignedManifest s;
    s.puzzle = Manifest{1, 9, "r", "c", "a", "dk", 5, 7, "s1", {"w0", "w1"}, "kc"};
    s.service_public_key = "pk";
    s.service_signature = "sig";
    EXPECT_EQ(write_signed_manifest(s),
              "{\n"
              "  \"puzzle\": {\n"
              "    \"version\": 1,\n"
              "    \"epoch\": 9,\n"
              "    \"randomx\": \"r\",\n"
              "    \"randomx_commit\": \"c\",\n"
              "    \"randomx_algorithm\": \"a\",\n"
              "    \"dataset_key\": \"dk\",\n"
              "    \"iterations\": 5,\n"
              "    \"segments\": 7,\n"
              "    \"seed_1\": \"s1\",\n"
              "    \"wrapped_keys\": [\n"
              "      \"w0\",\n"
              "      \"w1\"\n"
              "    ],\n"
              "    \"key_commitment\": \"kc\"\n"
              "  },\n"
              "  \"service_public_key\": \"pk\",\n"
              "  \"service_signature\": \"sig\"\n"
              "}");
}

TEST(ManifestWriter, ReproducesAPublishedManifestByteForByte) {
    const std::string published = data_file("good_conformance.json");
    auto read = read_signed_manifest(published);
    ASSERT_TRUE(read) << read.error().message();
    EXPECT_EQ(write_signed_manifest(*read), published);
}

TEST(ManifestWriter, EscapesWhatItCannotWriteRaw) {
    SignedManifest s;
    s.puzzle.randomx = "a\"b\\c\n\x01";
    std::string text = write_signed_manifest(s);
    EXPECT_NE(text.find(R"("randomx": "a\"b\\c\n\u0001",)"), std::string::npos) << text;
    EXPECT_NE(text.find("\"wrapped_keys\": [],\n"), std::string::npos) << text;
}

TEST(ManifestReader, RoundTripsWrittenManifests) {
    for (std::uint32_t segments : {7u, 84u, 96u}) {
        SignedManifest original = test::make_signed_manifest({.segments = segments, .epoch = 18446744073709551615u});
        std::string text = write_signed_manifest(original);
        EXPECT_EQ(text.back(), '}');
        for (const std::string& variant : {text, text + "\n", " \t\r\n" + text + "\r\n"}) {
            auto read = read_signed_manifest(variant);
            ASSERT_TRUE(read) << segments << ": " << read.error().message();
            EXPECT_EQ(*read, original);
        }
    }
}

TEST(ManifestReader, AcceptsReorderedAndPositionalForms) {
    auto reference = read_signed_manifest(data_file("good_conformance.json"));
    ASSERT_TRUE(reference) << reference.error().message();
    for (const char* name : {"good_reordered_trailing_newline.json", "good_positional.json"}) {
        auto read = read_signed_manifest(data_file(name));
        ASSERT_TRUE(read) << name << ": " << read.error().message();
        EXPECT_EQ(*read, *reference) << name;
    }
    EXPECT_TRUE(read_signed_manifest(data_file("good_epoch_0.json")));
}

TEST(ManifestReader, SizeLimitIsInclusive) {
    std::string text = write_signed_manifest(test::make_signed_manifest());
    ASSERT_LT(text.size(), kManifestSizeLimit);
    text.resize(kManifestSizeLimit, ' ');
    EXPECT_EQ(read_outcome(text), "ok");
    text.push_back(' ');
    EXPECT_EQ(read_outcome(text), "manifest exceeds size limit");
    // The limit is checked before parsing.
    EXPECT_EQ(read_outcome(std::string(kManifestSizeLimit + 1, 'x')), "manifest exceeds size limit");
}

// Each failing data file with the error it must produce.
TEST(ManifestReader, RefusesBadFilesWithTheirSpecificError) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"fail_duplicate_field.json", "duplicate field `epoch` at line 5 column 11"},
        {"fail_missing_field.json", "missing field `key_commitment` at line 21 column 3"},
        {"fail_unknown_field.json",
         "unknown field `puzzle_id`, expected one of `version`, `epoch`, `randomx`, `randomx_commit`, "
         "`randomx_algorithm`, `dataset_key`, `iterations`, `segments`, `seed_1`, `wrapped_keys`, "
         "`key_commitment` at line 4 column 15"},
        {"fail_extra_top_level_member.json",
         "unknown field `note`, expected one of `puzzle`, `service_public_key`, `service_signature` at line 23 "
         "column 8"},
        {"fail_epoch_negative.json", "invalid value: integer `-1`, expected u64 at line 4 column 15"},
        {"fail_epoch_fraction.json", "invalid type: floating point `1.5`, expected u64 at line 4 column 16"},
        {"fail_segments_too_large.json",
         "invalid value: integer `4294967296`, expected u32 at line 10 column 26"},
        {"fail_version_string.json", "invalid type: string \"1\", expected u32 at line 3 column 18"},
        {"fail_wrapped_keys_not_list.json",
         "invalid type: string \"none\", expected a sequence at line 12 column 26"},
        {"fail_positional_short_puzzle.json",
         "invalid length 10, expected struct Manifest with 11 elements at line 1 column 1064"},
        {"fail_positional_extra_value.json", "trailing characters at line 1 column 1331"},
        {"fail_trailing_characters.json", "trailing characters at line 26 column 1"},
        {"fail_top_level_string.json",
         "invalid type: string \"manifest\", expected struct SignedManifest at line 1 column 10"},
        {"fail_empty.json", "EOF while parsing a value at line 1 column 0"},
        {"fail_unsupported_protocol.json", kProtocol},
        {"fail_segments_mismatch.json", kWork},
        {"fail_uppercase_dataset_key.json", kHex},
        {"fail_long_wrapped_key.json", kHex},
        {"fail_short_public_key.json", kHex},
        {"fail_uppercase_signature.json", kHex},
    };
    std::set<std::string> covered;
    for (const auto& [name, expected] : cases) {
        EXPECT_EQ(read_outcome(data_file(name)), expected) << name;
        covered.insert(name);
    }
    // Every fail_* file in the directory has its expectation above.
    for (const auto& entry : std::filesystem::directory_iterator(std::string(ZT_TEST_DATA_DIR) + "/manifests")) {
        std::string name = entry.path().filename().string();
        if (name.starts_with("fail_")) EXPECT_TRUE(covered.count(name)) << name << " has no expectation";
    }
}

// A mutation of a valid manifest and the first rule it must break.
struct Mutation {
    const char* what;
    std::function<void(SignedManifest&)> apply;
    const char* expected;
};

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

TEST(ManifestValidation, RulesApplyInOrder) {
    auto with_keys = [](SignedManifest& s, std::uint32_t segments, std::size_t keys) {
        s.puzzle.segments = segments;
        s.puzzle.wrapped_keys.resize(keys, s.puzzle.wrapped_keys[0]);
    };
    const std::vector<Mutation> mutations = {
        {"unchanged", [](SignedManifest&) {}, "ok"},
        {"version 2 and iterations 0", [](SignedManifest& s) { s.puzzle.version = 2; s.puzzle.iterations = 0; },
         kProtocol},
        {"version 0", [](SignedManifest& s) { s.puzzle.version = 0; }, kProtocol},
        {"randomx 2.0.2", [](SignedManifest& s) { s.puzzle.randomx = "2.0.2"; }, kProtocol},
        {"commit in capitals", [](SignedManifest& s) { s.puzzle.randomx_commit = upper(s.puzzle.randomx_commit); },
         kProtocol},
        {"algorithm V2", [](SignedManifest& s) { s.puzzle.randomx_algorithm = "V2"; }, kProtocol},
        {"protocol before hex", [](SignedManifest& s) { s.puzzle.randomx = ""; s.puzzle.seed_1 = "x"; }, kProtocol},
        {"84 segments, 84 keys", [&](SignedManifest& s) { with_keys(s, 84, 84); }, "ok"},
        {"84 segments, 83 keys", [&](SignedManifest& s) { with_keys(s, 84, 83); }, kWork},
        {"84 segments, 85 keys", [&](SignedManifest& s) { with_keys(s, 84, 85); }, kWork},
        {"0 segments, 0 keys", [&](SignedManifest& s) { with_keys(s, 0, 0); }, kWork},
        {"100 segments, 100 keys", [&](SignedManifest& s) { with_keys(s, 100, 100); }, kWork},
        {"96 segments, 96 keys", [&](SignedManifest& s) { with_keys(s, 96, 96); }, "ok"},
        {"iterations 1", [](SignedManifest& s) { s.puzzle.iterations = 1; }, "ok"},
        {"iterations 10^12", [](SignedManifest& s) { s.puzzle.iterations = 1'000'000'000'000; }, "ok"},
        {"iterations 10^12 + 1", [](SignedManifest& s) { s.puzzle.iterations = 1'000'000'000'001; }, kWork},
        {"iterations 0", [](SignedManifest& s) { s.puzzle.iterations = 0; }, kWork},
        {"work before hex", [](SignedManifest& s) { s.puzzle.iterations = 0; s.puzzle.dataset_key = "x"; }, kWork},
        {"epoch 0", [](SignedManifest& s) { s.puzzle.epoch = 0; }, "ok"},
    };
    const SignedManifest base = test::make_signed_manifest();
    for (const auto& m : mutations) {
        SignedManifest s = base;
        m.apply(s);
        EXPECT_EQ(read_outcome(write_signed_manifest(s)), m.expected) << m.what;
        auto validated = validate_manifest(s.puzzle);
        EXPECT_EQ(validated ? std::string("ok") : validated.error().message(), m.expected) << m.what;
    }
}

TEST(ManifestValidation, EveryHexFieldMustBeCanonical) {
    using Field = std::function<std::string&(SignedManifest&)>;
    const std::vector<std::pair<const char*, Field>> fields = {
        {"dataset_key", [](SignedManifest& s) -> std::string& { return s.puzzle.dataset_key; }},
        {"seed_1", [](SignedManifest& s) -> std::string& { return s.puzzle.seed_1; }},
        {"first wrapped key", [](SignedManifest& s) -> std::string& { return s.puzzle.wrapped_keys.front(); }},
        {"last wrapped key", [](SignedManifest& s) -> std::string& { return s.puzzle.wrapped_keys.back(); }},
        {"key_commitment", [](SignedManifest& s) -> std::string& { return s.puzzle.key_commitment; }},
        {"service_public_key", [](SignedManifest& s) -> std::string& { return s.service_public_key; }},
        {"service_signature", [](SignedManifest& s) -> std::string& { return s.service_signature; }},
    };
    const std::vector<std::pair<const char*, std::function<void(std::string&)>>> damages = {
        {"one uppercase digit", [](std::string& t) { t.back() = 'A'; }},
        {"all uppercase", [](std::string& t) { t = upper(t); t[0] = 'F'; }},
        {"one digit short", [](std::string& t) { t.pop_back(); }},
        {"one digit long", [](std::string& t) { t.push_back('0'); }},
        {"non-hex letter", [](std::string& t) { t[1] = 'g'; }},
        {"empty", [](std::string& t) { t.clear(); }},
    };
    const SignedManifest base = test::make_signed_manifest();
    for (const auto& [field_name, field] : fields) {
        for (const auto& [damage_name, damage] : damages) {
            SignedManifest s = base;
            damage(field(s));
            EXPECT_EQ(read_outcome(write_signed_manifest(s)), kHex) << field_name << ", " << damage_name;
        }
    }
}

}  // namespace
}  // namespace zt
