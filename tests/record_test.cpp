// Encrypted records: independently sealed vectors, the reader's rules, the
// order of open_record's checks with each failure's exact message, every
// accepted form, the largest record, and the decrypt-record command end to
// end.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/record_maker.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/signed_manifest.h"
#include "tests/support/subprocess.h"
#include "timelock/base/crypto.h"
#include "timelock/formats/input_files.h"
#include "timelock/formats/manifest_signing.h"
#include "timelock/formats/record.h"

namespace zt {
namespace {

using test::RecordFields;
using test::TestPuzzle;

const std::string kSealed = std::string(ZT_TEST_DATA_DIR) + "/sealed/";

std::string text_of(const SecureBytes& bytes) { return {bytes.begin(), bytes.end()}; }

// Reads and opens a document as the command does after verifying the manifest.
Result<SecureBytes> open_document(const SignedManifest& manifest, const Key32& key, std::string_view document) {
    ZT_TRY_ASSIGN(const EncryptedRecord record, read_encrypted_record(document));
    return open_record(manifest, key, record);
}

std::string error_of(const Result<SecureBytes>& result) {
    return result.ok() ? "opened: " + text_of(result.value()) : result.error().message();
}

// The JSON reader's errors end in a position; the rest is exact.
void expect_json_error(const std::string& message, const std::string& expected) {
    const std::regex form(std::regex_replace(expected, std::regex(R"([\\^$.|?*+()\[\]{}])"), R"(\$&)") +
                          " at line [0-9]+ column [0-9]+");
    EXPECT_TRUE(std::regex_match(message, form)) << message << "\nexpected: " << expected;
}

// --- Vectors sealed by another implementation -------------------------------

struct Vectors {
    SignedManifest manifest;
    Key32 key;
};

Vectors load_vectors(const std::string& key_file = "epoch.key") {
    auto manifest = read_signed_manifest(test::read_file(kSealed + "manifest.json"));
    auto key = zt::read_key_file(kSealed + key_file);
    if (!manifest || !key) throw std::runtime_error("unreadable test vectors");
    if (!verify_manifest(*manifest, test::service_pin())) throw std::runtime_error("vector manifest not pinned");
    return {std::move(manifest).value(), std::move(key).value()};
}

TEST(RecordVectors, ObjectAndPositionalFormsOpen) {
    const Vectors v = load_vectors();
    for (const char* file : {"good_record_object.json", "good_record_positional.json"}) {
        const auto opened = open_document(v.manifest, v.key, test::read_file(kSealed + file));
        EXPECT_EQ(error_of(opened), "opened: record plaintext PA") << file;
    }
}

TEST(RecordVectors, BadRecordsFailWithTheirOwnError) {
    struct Case {
        const char* file;
        const char* key_file;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"fail_record_version_2.json", "epoch.key", "record belongs to another puzzle or protocol"},
        {"fail_record_sequence_changed.json", "epoch.key", "record authentication failed"},
        {"fail_record_nonce_uppercase.json", "epoch.key", "noncanonical hex or wrong length"},
        {"fail_record_ciphertext_31.json", "epoch.key", "invalid ciphertext length"},
        {"fail_record_ciphertext_33.json", "epoch.key", "Odd number of digits"},
        {"good_record_object.json", "other_epoch.key", "epoch key commitment mismatch"},
    };
    for (const auto& c : cases) {
        const Vectors v = load_vectors(c.key_file);
        EXPECT_EQ(error_of(open_document(v.manifest, v.key, test::read_file(kSealed + c.file))), c.expected)
            << c.file;
    }
    const auto seventh = read_encrypted_record(test::read_file(kSealed + "fail_record_seventh_key.json"));
    ASSERT_FALSE(seventh.ok());
    expect_json_error(seventh.error().message(),
                      "unknown field `extra`, expected one of `version`, `epoch`, `sequence`, `puzzle_id`, "
                      "`nonce`, `ciphertext`");
}

// --- Reading ----------------------------------------------------------------

TEST(RecordReader, RefusesMalformedDocumentsWithTheReadersError) {
    const TestPuzzle puzzle = test::make_test_puzzle();
    const RecordFields r = test::seal_record(puzzle.manifest, puzzle.epoch_key, "x");
    const std::string id = '"' + r.puzzle_id + '"';
    const std::string nonce = '"' + r.nonce + '"';
    const std::string ct = '"' + r.ciphertext + '"';
    struct Case {
        std::string document;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {R"({"version":1,"epoch":42,"sequence":5,"puzzle_id":)" + id + R"(,"nonce":)" + nonce + "}",
         "missing field `ciphertext`"},
        {R"({"version":1,"epoch":42,"epoch":42,"sequence":5})", "duplicate field `epoch`"},
        {R"({"version":"1"})", "invalid type: string \"1\", expected u32"},
        {R"({"version":4294967296})", "invalid value: integer `4294967296`, expected u32"},
        {R"({"version":1,"epoch":-1})", "invalid value: integer `-1`, expected u64"},
        {R"({"version":1,"epoch":42,"sequence":1.5})", "invalid type: floating point `1.5`, expected u64"},
        {R"({"ciphertext":5})", "invalid type: integer `5`, expected a string"},
        {"[1,42,5," + id + "," + nonce + "]",
         "invalid length 5, expected struct EncryptedRecord with 6 elements"},
        {"[1,42,5," + id + "," + nonce + "," + ct + ",7]", "trailing characters"},
        {R"("record")", "invalid type: string \"record\", expected struct EncryptedRecord"},
        {test::record_json(r) + " x", "trailing characters"},
        {R"({"ciphertext":"ab)" + std::string(1, '\x01') + R"("})",
         "control character (\\u0000-\\u001F) found while parsing a string"},
        {R"({"ciphertext":"ab\q"})", "invalid escape"},
        {R"({"ciphertext":"ab)" + std::string(1, '\xff') + R"("})", "invalid unicode code point"},
        {R"({"ciphertext":"abcd)", "EOF while parsing a string"},
    };
    for (const auto& c : cases) {
        const auto read = read_encrypted_record(c.document);
        ASSERT_FALSE(read.ok()) << c.document;
        expect_json_error(read.error().message(), c.expected);
    }
}

TEST(RecordReader, SizeLimitIsCheckedBeforeParsingAndIsInclusive) {
    const TestPuzzle puzzle = test::make_test_puzzle();
    std::string document = test::record_json(test::seal_record(puzzle.manifest, puzzle.epoch_key, "edge"));
    document.resize(record::kDocumentLimit, ' ');  // white space after the value is allowed
    EXPECT_EQ(error_of(open_document(puzzle.manifest, puzzle.epoch_key, document)), "opened: edge");

    document.push_back(' ');
    const auto too_large = read_encrypted_record(document);
    ASSERT_FALSE(too_large.ok());
    EXPECT_EQ(too_large.error().message(), "encrypted record too large");
    // Not even a JSON value: the size alone decides.
    EXPECT_EQ(read_encrypted_record(std::string(record::kDocumentLimit + 1, '!')).error().message(),
              "encrypted record too large");
}

// --- Opening: failures and their order ---------------------------------------

TEST(OpenRecord, EachCheckFailsWithItsMessageInOrder) {
    const TestPuzzle puzzle = test::make_test_puzzle();
    const TestPuzzle other = test::make_test_puzzle();  // same epoch, another manifest and key
    const std::string foreign = "record belongs to another puzzle or protocol";
    const std::string length = "invalid ciphertext length";
    const std::string mismatch = "epoch key commitment mismatch";
    const std::string hex = "noncanonical hex or wrong length";
    const std::string auth = "record authentication failed";
    auto upper = [](std::string s) {
        for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return s;
    };
    auto flip_last = [](std::string s) {
        s.back() = s.back() == '0' ? '1' : '0';
        return s;
    };
    struct Case {
        const char* name;
        std::function<void(RecordFields&, const Key32*&)> change;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"version 2", [](RecordFields& r, auto&) { r.version = 2; }, foreign},
        {"version 0", [](RecordFields& r, auto&) { r.version = 0; }, foreign},
        {"other epoch", [](RecordFields& r, auto&) { r.epoch += 1; }, foreign},
        {"other manifest id",
         [&](RecordFields& r, auto&) { r.puzzle_id = *manifest_id(other.manifest); }, foreign},
        {"manifest id in uppercase", [&](RecordFields& r, auto&) { r.puzzle_id = upper(r.puzzle_id); }, foreign},
        {"ciphertext of 31 digits", [](RecordFields& r, auto&) { r.ciphertext.resize(31); }, length},
        {"ciphertext of 0 digits", [](RecordFields& r, auto&) { r.ciphertext.clear(); }, length},
        {"ciphertext of 33,554,466 digits",
         [](RecordFields& r, auto&) { r.ciphertext.resize(record::kMaxCiphertextHex + 2, 'a'); }, length},
        {"ciphertext of 33 digits", [](RecordFields& r, auto&) { r.ciphertext.resize(33); },
         "Odd number of digits"},
        {"non-hex character", [](RecordFields& r, auto&) { r.ciphertext[7] = 'g'; },
         "Invalid character 'g' at position 7"},
        {"space in the ciphertext", [](RecordFields& r, auto&) { r.ciphertext[0] = ' '; },
         "Invalid character ' ' at position 0"},
        {"nonce in uppercase", [&](RecordFields& r, auto&) { r.nonce = upper(r.nonce); }, hex},
        {"nonce of 46 digits", [](RecordFields& r, auto&) { r.nonce.resize(46); }, hex},
        {"other epoch key", [&](RecordFields&, const Key32*& key) { key = &other.epoch_key; }, mismatch},
        {"sequence changed", [](RecordFields& r, auto&) { r.sequence += 1; }, auth},
        {"nonce changed", [&](RecordFields& r, auto&) { r.nonce = flip_last(r.nonce); }, auth},
        {"tag changed", [&](RecordFields& r, auto&) { r.ciphertext = flip_last(r.ciphertext); }, auth},
        {"ciphertext body changed", [](RecordFields& r, auto&) { r.ciphertext[0] = r.ciphertext[0] == 'a' ? 'b' : 'a'; },
         auth},
        // Order: identity, then length, then commitment, then nonce, then ciphertext.
        {"version 2 with another key",
         [&](RecordFields& r, const Key32*& key) { r.version = 2; key = &other.epoch_key; }, foreign},
        {"other manifest id with a short ciphertext",
         [&](RecordFields& r, auto&) { r.puzzle_id = *manifest_id(other.manifest); r.ciphertext.resize(31); },
         foreign},
        {"short ciphertext with another key",
         [&](RecordFields& r, const Key32*& key) { r.ciphertext.resize(31); key = &other.epoch_key; }, length},
        {"another key with an uppercase nonce",
         [&](RecordFields& r, const Key32*& key) { r.nonce = upper(r.nonce); key = &other.epoch_key; }, mismatch},
        {"uppercase nonce with an odd ciphertext",
         [&](RecordFields& r, auto&) { r.nonce = upper(r.nonce); r.ciphertext.resize(33); }, hex},
    };
    for (const auto& c : cases) {
        RecordFields r = test::seal_record(puzzle.manifest, puzzle.epoch_key, "sealed record content");
        const Key32* key = &puzzle.epoch_key;
        c.change(r, key);
        EXPECT_EQ(error_of(open_document(puzzle.manifest, *key, test::record_json(r))), c.expected) << c.name;
    }
}

// --- Opening: accepted forms -------------------------------------------------

TEST(OpenRecord, EveryAcceptedFormOpensToThePlaintext) {
    const TestPuzzle puzzle = test::make_test_puzzle(0xfedcba9876543210);
    const std::string plaintext("binary\0\xff content", 16);
    const RecordFields r = test::seal_record(puzzle.manifest, puzzle.epoch_key, plaintext, ~std::uint64_t{0});
    RecordFields upper = r;
    for (char& c : upper.ciphertext) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    RecordFields mixed = r;
    for (std::size_t i = 0; i < mixed.ciphertext.size(); i += 3) {
        mixed.ciphertext[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(mixed.ciphertext[i])));
    }
    RecordFields escaped = r;  // the first digit spelt as a \u escape
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(r.ciphertext[0])));
    escaped.ciphertext = escape + r.ciphertext.substr(1);

    const std::vector<std::pair<const char*, std::string>> documents = {
        {"object", test::record_json(r)},
        {"positional", test::record_json_positional(r)},
        {"uppercase ciphertext", test::record_json(upper)},
        {"mixed-case ciphertext", test::record_json(mixed)},
        {"escaped ciphertext", test::record_json(escaped)},
        {"surrounded by white space", " \t\r\n" + test::record_json(r) + "\n\n"},
    };
    for (const auto& [name, document] : documents) {
        EXPECT_EQ(error_of(open_document(puzzle.manifest, puzzle.epoch_key, document)), "opened: " + plaintext)
            << name;
    }
}

TEST(OpenRecord, TagOnlyCiphertextOpensToEmptyPlaintext) {
    const TestPuzzle puzzle = test::make_test_puzzle();
    const RecordFields r = test::seal_record(puzzle.manifest, puzzle.epoch_key, "");
    ASSERT_EQ(r.ciphertext.size(), record::kMinCiphertextHex);
    const auto opened = open_document(puzzle.manifest, puzzle.epoch_key, test::record_json(r));
    ASSERT_TRUE(opened.ok()) << opened.error().message();
    EXPECT_TRUE(opened->empty());
}

TEST(OpenRecord, LargestRecordOpensWithoutCopyingItsCiphertext) {
    const TestPuzzle puzzle = test::make_test_puzzle();
    std::string plaintext(16 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < plaintext.size(); ++i) plaintext[i] = static_cast<char>(i * 131 % 251);
    const std::string document =
        test::record_json(test::seal_record(puzzle.manifest, puzzle.epoch_key, plaintext));
    ASSERT_LE(document.size(), record::kDocumentLimit);

    const auto record = read_encrypted_record(document);
    ASSERT_TRUE(record.ok()) << record.error().message();
    ASSERT_EQ(record->ciphertext.text().size(), record::kMaxCiphertextHex);
    // The text is a view into the document, not a copy of it.
    EXPECT_TRUE(record->ciphertext.borrowed());
    EXPECT_GE(record->ciphertext.text().data(), document.data());
    EXPECT_LT(record->ciphertext.text().data(), document.data() + document.size());

    const auto opened = open_record(puzzle.manifest, puzzle.epoch_key, *record);
    ASSERT_TRUE(opened.ok()) << opened.error().message();
    EXPECT_TRUE(text_of(*opened) == plaintext);
}

// --- The decrypt-record command ----------------------------------------------

class DecryptRecordCommand : public ::testing::Test {
protected:
    void SetUp() override {
        dir_.write("manifest.json", write_signed_manifest(puzzle_.manifest));
        dir_.write("epoch.key", encode_hex(puzzle_.epoch_key.span()) + "\n");
    }

    test::ProcessResult run(const std::string& pin = test::kServicePublicKeyHex) {
        return test::run_program(ZT_BINARY, {"decrypt-record", "--manifest", dir_ / "manifest.json",
                                             "--service-public-key", pin, "--epoch-key", dir_ / "epoch.key",
                                             "--record", dir_ / "record.json", "--plaintext-out",
                                             dir_ / "plain.bin"});
    }

    TestPuzzle puzzle_ = test::make_test_puzzle();
    test::ScratchDir dir_;
};

TEST_F(DecryptRecordCommand, PublishesThePlaintextOwnerOnlyAndPrintsNothing) {
    const std::string plaintext("no newline added\0\x01", 18);
    dir_.write("record.json", test::record_json(test::seal_record(puzzle_.manifest, puzzle_.epoch_key, plaintext)));
    const auto result = run();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(test::read_file(dir_ / "plain.bin"), plaintext);
    struct stat info {};
    ASSERT_EQ(::stat((dir_ / "plain.bin").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST_F(DecryptRecordCommand, FailuresFollowTheStepsAndWriteNothing) {
    RecordFields tampered = test::seal_record(puzzle_.manifest, puzzle_.epoch_key, "secret");
    tampered.sequence += 1;
    struct Case {
        const char* name;
        std::function<void()> setup;
        std::string pin;
        std::string expected;
    };
    const std::vector<Case> cases = {
        // The manifest is verified before the epoch key file is even read.
        {"wrong pin, no epoch key file",
         [&] { std::filesystem::remove(dir_ / "epoch.key"); },
         std::string(64, '0'), "service signer does not match attestation pin"},
        // The epoch key is read before the record.
        {"bad epoch key, no record", [&] { dir_.write("epoch.key", "abc"); }, test::kServicePublicKeyHex,
         "key must contain 64 hex digits"},
        {"no record", [] {}, test::kServicePublicKeyHex, "No such file or directory (os error 2)"},
        {"tampered record", [&] { dir_.write("record.json", test::record_json(tampered)); },
         test::kServicePublicKeyHex, "record authentication failed"},
    };
    for (const auto& c : cases) {
        SetUp();  // fresh inputs
        std::filesystem::remove(dir_ / "record.json");
        c.setup();
        const auto before = dir_.entries();
        const auto result = run(c.pin);
        EXPECT_EQ(result.status, 1) << c.name;
        EXPECT_EQ(result.out, "") << c.name;
        EXPECT_EQ(result.err, "Error: " + c.expected + "\n") << c.name;
        EXPECT_EQ(dir_.entries(), before) << c.name << ": a file was created";
    }
}

}  // namespace
}  // namespace zt
