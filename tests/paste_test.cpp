// Pastes: independently sealed and signed vectors, the reader, verify_paste
// and build_paste_context failures in their order, open_paste's bindings and
// order, the size bounds, and the decrypt-paste command end to end.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/paste_maker.h"
#include "tests/support/record_maker.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/signed_manifest.h"
#include "tests/support/subprocess.h"
#include "timelock/base/crypto.h"
#include "timelock/formats/input_files.h"
#include "timelock/formats/manifest_signing.h"
#include "timelock/formats/paste.h"

namespace zt {
namespace {

using test::TestPuzzle;

const std::string kSealed = std::string(ZT_TEST_DATA_DIR) + "/sealed/";
const std::string kBadSignature = "signature error: Verification equation was not satisfied";

std::string text_of(const SecureBytes& bytes) { return {bytes.begin(), bytes.end()}; }

template <typename T>
std::string error_of(const Result<T>& result) {
    return result.ok() ? "ok" : result.error().message();
}

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string flip_last(std::string s) {
    s.back() = s.back() == '0' ? '1' : '0';
    return s;
}

Ed25519KeyPair other_service() {
    Key32 seed;
    seed[0] = 7;
    return ed25519_from_seed(seed);
}

// Reads and opens a document as the command does.
Result<SecureBytes> open_document(const SignedManifest& manifest, const Bytes32& pin, std::string_view document,
                                  const Key32& key) {
    ZT_TRY_ASSIGN(const Paste paste, read_paste(document));
    return open_paste(manifest, pin, paste, key);
}

// --- Vectors sealed and signed by another implementation ---------------------

TEST(PasteVectors, GoodAndBadPastesGiveTheirResult) {
    auto manifest = read_signed_manifest(test::read_file(kSealed + "manifest.json"));
    ASSERT_TRUE(manifest.ok());
    struct Case {
        const char* file;
        const char* key_file;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"good_paste.json", "epoch.key", "ok"},
        {"good_paste.json", "other_epoch.key", "epoch key commitment mismatch"},
        {"fail_paste_artifact_suffix.json", "epoch.key", "invalid paste artifact reference"},
        {"fail_paste_signed_by_other_service.json", "epoch.key", "paste belongs to another puzzle"},
        {"fail_paste_tampered_created_at.json", "epoch.key", kBadSignature},
        {"fail_paste_uppercase_ciphertext.json", "epoch.key", "invalid paste encoding"},
    };
    for (const auto& c : cases) {
        auto key = zt::read_key_file(kSealed + c.key_file);
        ASSERT_TRUE(key.ok());
        const auto opened = open_document(*manifest, test::service_pin(), test::read_file(kSealed + c.file), *key);
        EXPECT_EQ(error_of(opened), c.expected) << c.file;
        if (opened.ok()) {
            EXPECT_EQ(text_of(*opened), std::string("paste content of PA\0\xff binary tail", 33));
        }
    }
}

// --- Reading ----------------------------------------------------------------

TEST(PasteReader, RefusesMalformedDocumentsWithTheReadersError) {
    const TestPuzzle puzzle = test::make_test_puzzle();
    const Paste p = test::seal_paste(puzzle.manifest, puzzle.epoch_key, "x");
    std::string twelve = test::paste_json_positional(p);
    twelve.erase(twelve.rfind(','));
    twelve += "]";
    std::string fourteen_positional = test::paste_json_positional(p);
    fourteen_positional.insert(fourteen_positional.size() - 1, ",1");
    std::string fourteen = test::paste_json(p);
    fourteen.insert(fourteen.rfind('}'), ",\"note\":1");
    struct Case {
        std::string document;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {twelve, "invalid length 12, expected struct Paste with 13 elements"},
        {fourteen_positional, "trailing characters"},
        {fourteen,
         "unknown field `note`, expected one of `version`, `epoch`, `puzzle_id`, `puzzle_artifact`, "
         "`evidence_artifact`, `tag_id`, `sequence`, `created_at_ms`, `service_public_key`, `nonce`, "
         "`ciphertext`, `wrapped_key`, `service_signature`"},
        {R"({"version":1,"version":1})", "duplicate field `version`"},
        {R"({"version":1})", "missing field `epoch`"},
        {R"({"created_at_ms":-5})", "invalid value: integer `-5`, expected u64"},
        {R"({"tag_id":7})", "invalid type: integer `7`, expected a string"},
        {"42", "invalid type: integer `42`, expected struct Paste"},
        {test::paste_json(p) + "{}", "trailing characters"},
    };
    for (const auto& c : cases) {
        const auto read = read_paste(c.document);
        ASSERT_FALSE(read.ok()) << c.document;
        const std::string& message = read.error().message();
        EXPECT_EQ(message.substr(0, c.expected.size()), c.expected);
        EXPECT_TRUE(std::regex_match(message.substr(c.expected.size()), std::regex(" at line \\d+ column \\d+")))
            << message;
    }
}

TEST(PasteReader, SizeLimitComesBeforeParsingAndIsInclusive) {
    const TestPuzzle puzzle = test::make_test_puzzle();
    std::string document = test::paste_json(test::seal_paste(puzzle.manifest, puzzle.epoch_key, "edge"));
    document.resize(paste::kDocumentLimit, ' ');
    EXPECT_EQ(error_of(read_paste(document)), "ok");
    document.push_back(' ');
    EXPECT_EQ(error_of(read_paste(document)), "paste artifact too large");
    EXPECT_EQ(error_of(read_paste(std::string(paste::kDocumentLimit + 1, '{'))), "paste artifact too large");
}

TEST(PasteReader, PositionalFormReadsLikeTheObject) {
    const TestPuzzle puzzle = test::make_test_puzzle();
    const Paste p = test::seal_paste(puzzle.manifest, puzzle.epoch_key, "positional");
    const auto opened = open_document(puzzle.manifest, test::service_pin(), test::paste_json_positional(p),
                                      puzzle.epoch_key);
    ASSERT_TRUE(opened.ok()) << opened.error().message();
    EXPECT_EQ(text_of(*opened), "positional");
}

// --- Verifying a paste on its own, while reading -------------------------------

TEST(VerifyPaste, EachCheckFailsWithItsMessageInOrder) {
    const TestPuzzle puzzle = test::make_test_puzzle();
    const std::string hex = std::string(kNoncanonicalHex);
    const std::string artifact = "invalid paste artifact reference";
    const Ed25519KeyPair service = test::service_keys();
    auto resign = [&](Paste& p) { test::sign_paste(p, service); };
    struct Case {
        const char* name;
        std::function<void(Paste&)> change;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"public key in uppercase", [](Paste& p) { p.service_public_key = upper(p.service_public_key); }, hex},
        {"public key of 62 digits", [](Paste& p) { p.service_public_key.resize(62); }, hex},
        {"public key off the curve",
         [](Paste& p) { p.service_public_key = "02" + std::string(62, '0'); },
         "signature error: Cannot decompress Edwards point"},
        {"ciphertext of 30 digits", [](Paste& p) { p.ciphertext.resize(30); }, "invalid paste size"},
        {"ciphertext of 204,834 digits", [](Paste& p) { p.ciphertext.resize(204'834, '0'); }, "invalid paste size"},
        {"uppercase ciphertext, signed", [&](Paste& p) { p.ciphertext = upper(p.ciphertext); resign(p); },
         "invalid paste encoding"},
        {"ciphertext of 33 digits", [](Paste& p) { p.ciphertext.resize(33); }, "Odd number of digits"},
        {"version 2, signed", [&](Paste& p) { p.version = 2; resign(p); }, "unsupported paste version"},
        {"puzzle artifact suffix off by one character",
         [](Paste& p) { p.puzzle_artifact.back() = 'x'; }, artifact},
        {"puzzle artifact of 11 characters", [](Paste& p) { p.puzzle_artifact = "puzzle.json"; }, artifact},
        {"puzzle artifact is the bare suffix", [](Paste& p) { p.puzzle_artifact = ".puzzle.json"; }, hex},
        {"puzzle artifact prefix of 63 digits", [](Paste& p) { p.puzzle_artifact.erase(0, 1); }, hex},
        {"puzzle artifact prefix in uppercase",
         [](Paste& p) { p.puzzle_artifact = upper(p.puzzle_artifact.substr(0, 64)) + ".puzzle.json"; }, hex},
        {"evidence artifact with the puzzle suffix",
         [](Paste& p) { p.evidence_artifact = p.evidence_artifact.substr(0, 64) + ".puzzle.json"; }, artifact},
        {"evidence artifact prefix of 65 digits", [](Paste& p) { p.evidence_artifact.insert(0, "0"); }, hex},
        {"puzzle id in uppercase", [](Paste& p) { p.puzzle_id = upper(p.puzzle_id); }, hex},
        {"tag id of 62 digits", [](Paste& p) { p.tag_id.resize(62); }, hex},
        {"nonce in uppercase", [](Paste& p) { p.nonce = upper(p.nonce); }, hex},
        {"wrapped key of 118 digits", [](Paste& p) { p.wrapped_key.resize(118); }, hex},
        {"signature in uppercase", [](Paste& p) { p.service_signature = upper(p.service_signature); }, hex},
        // Every signed field is covered by the signature.
        {"created_at_ms changed", [](Paste& p) { p.created_at_ms += 1; }, kBadSignature},
        {"sequence changed", [](Paste& p) { p.sequence += 1; }, kBadSignature},
        {"epoch changed", [](Paste& p) { p.epoch += 1; }, kBadSignature},
        {"tag id changed", [](Paste& p) { p.tag_id = flip_last(p.tag_id); }, kBadSignature},
        {"wrapped key changed", [](Paste& p) { p.wrapped_key = flip_last(p.wrapped_key); }, kBadSignature},
        {"nonce changed", [](Paste& p) { p.nonce = flip_last(p.nonce); }, kBadSignature},
        {"ciphertext changed", [](Paste& p) { p.ciphertext = flip_last(p.ciphertext); }, kBadSignature},
        {"puzzle id changed", [](Paste& p) { p.puzzle_id = flip_last(p.puzzle_id); }, kBadSignature},
        {"evidence artifact changed",
         [](Paste& p) { p.evidence_artifact[0] = p.evidence_artifact[0] == 'a' ? 'b' : 'a'; }, kBadSignature},
        {"signed by another key", [](Paste& p) { test::sign_paste(p, other_service()); }, kBadSignature},
        {"S replaced by S + L",
         [](Paste& p) {
             std::string sig = test::unhex(p.service_signature);
             const std::string order = test::unhex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
             unsigned carry = 0;
             for (std::size_t i = 0; i < 32; ++i) {
                 carry += static_cast<unsigned char>(sig[32 + i]) + static_cast<unsigned char>(order[i]);
                 sig[32 + i] = static_cast<char>(carry & 0xff);
                 carry >>= 8;
             }
             p.service_signature = encode_hex(as_bytes(sig));
         },
         "signature error: Cannot use scalar with high-bit set"},
        // Order: key, size, encoding, context, nonce, ciphertext, wrapped key, signature.
        {"off-curve key with a short ciphertext",
         [](Paste& p) { p.service_public_key = "02" + std::string(62, '0'); p.ciphertext.resize(30); },
         "signature error: Cannot decompress Edwards point"},
        {"short uppercase ciphertext", [](Paste& p) { p.ciphertext = upper(p.ciphertext.substr(0, 30)); },
         "invalid paste size"},
        {"uppercase ciphertext with version 2",
         [](Paste& p) { p.ciphertext = upper(p.ciphertext); p.version = 2; }, "invalid paste encoding"},
        {"version 2 with a bad artifact", [](Paste& p) { p.version = 2; p.puzzle_artifact = "x"; },
         "unsupported paste version"},
        {"bad puzzle artifact with a bad evidence artifact",
         [](Paste& p) { p.puzzle_artifact.erase(0, 1); p.evidence_artifact = "x"; }, hex},
        {"bad tag id with an odd ciphertext", [](Paste& p) { p.tag_id.resize(2); p.ciphertext.resize(33); }, hex},
        {"odd ciphertext with a bad wrapped key",
         [](Paste& p) { p.ciphertext.resize(33); p.wrapped_key.resize(2); }, "Odd number of digits"},
    };
    for (const auto& c : cases) {
        Paste p = test::seal_paste(puzzle.manifest, puzzle.epoch_key, "archived content");
        c.change(p);
        EXPECT_EQ(error_of(read_paste(test::paste_json(p))), c.expected) << c.name;
    }
}

TEST(VerifyPaste, SignatureErrorsCarryTheirCause) {
    const TestPuzzle puzzle = test::make_test_puzzle();
    Paste p = test::seal_paste(puzzle.manifest, puzzle.epoch_key, "content");
    p.created_at_ms = 0;
    const auto result = verify_paste(p);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), Error(kBadSignature, {"Verification equation was not satisfied"}));
}

TEST(VerifyPaste, CiphertextSizeBoundsAreInclusive) {
    const TestPuzzle puzzle = test::make_test_puzzle();
    // 102,400 bytes of plaintext: 204,832 digits with the tag; 0 bytes: 32 digits.
    for (std::size_t size : {std::size_t{0}, std::size_t{102'400}}) {
        const std::string plaintext(size, 'p');
        const Paste p = test::seal_paste(puzzle.manifest, puzzle.epoch_key, plaintext);
        const auto opened =
            open_document(puzzle.manifest, test::service_pin(), test::paste_json(p), puzzle.epoch_key);
        ASSERT_TRUE(opened.ok()) << size << ": " << opened.error().message();
        EXPECT_EQ(text_of(*opened), plaintext);
    }
}

TEST(BuildPasteContext, HasTheFixedSizeAndTakesArtifactNamesAsText) {
    const TestPuzzle puzzle = test::make_test_puzzle();
    const Paste p = test::seal_paste(puzzle.manifest, puzzle.epoch_key, "content");
    const auto context = build_paste_context(p);
    ASSERT_TRUE(context.ok()) << context.error().message();
    ASSERT_EQ(context->size(), paste::kContextSize);
    const std::string text(context->begin(), context->end());
    EXPECT_EQ(text.substr(76, 76), p.puzzle_artifact);
    EXPECT_EQ(text.substr(152, 81), p.evidence_artifact);
}

// --- Opening: bindings to the puzzle and their order ----------------------------

TEST(OpenPaste, EachBindingFailsWithItsMessageInOrder) {
    const TestPuzzle puzzle = test::make_test_puzzle();
    const TestPuzzle sibling = test::make_test_puzzle();  // same service and epoch, another manifest
    const Ed25519KeyPair service = test::service_keys();
    const std::string foreign = "paste belongs to another puzzle";
    const std::string mismatch = "epoch key commitment mismatch";
    struct Case {
        const char* name;
        std::function<void(Paste&, const Key32*&, Bytes32&)> change;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"manifest not signed by the pin",
         [](Paste&, const Key32*&, Bytes32& pin) { pin = other_service().public_key; },
         "service signer does not match attestation pin"},
        {"another epoch, signed",
         [&](Paste& p, auto&, auto&) { p.epoch += 1; test::sign_paste(p, service); }, foreign},
        {"another puzzle's id, signed",
         [&](Paste& p, auto&, auto&) { p.puzzle_id = *manifest_id(sibling.manifest); test::sign_paste(p, service); },
         foreign},
        {"signed by another service",
         [](Paste& p, auto&, auto&) {
             p.service_public_key = encode_hex(other_service().public_key);
             test::sign_paste(p, other_service());
         },
         foreign},
        {"another puzzle's epoch key", [&](Paste&, const Key32*& key, auto&) { key = &sibling.epoch_key; },
         mismatch},
        {"sealed for other fields, signed as is",
         [&](Paste& p, auto&, auto&) {
             Paste donor = p;
             donor.sequence += 1;
             test::reseal_paste(donor, puzzle.epoch_key, "archived content", service);
             p.ciphertext = donor.ciphertext;
             test::sign_paste(p, service);
         },
         "paste authentication failed"},
        {"sealed under a key that is not the epoch key",
         [&](Paste& p, auto&, auto&) { test::reseal_paste(p, sibling.epoch_key, "archived content", service); },
         "paste authentication failed"},
        // Order: the manifest first, then the paste alone, identity, commitment.
        {"unpinned manifest and a tampered paste",
         [](Paste& p, const Key32*&, Bytes32& pin) { pin = other_service().public_key; p.sequence += 1; },
         "service signer does not match attestation pin"},
        {"tampered paste for another epoch",
         [&](Paste& p, auto&, auto&) { p.epoch += 1; }, kBadSignature},
        {"another epoch and another epoch key",
         [&](Paste& p, const Key32*& key, auto&) { p.epoch += 1; test::sign_paste(p, service); key = &sibling.epoch_key; },
         foreign},
    };
    for (const auto& c : cases) {
        Paste p = test::seal_paste(puzzle.manifest, puzzle.epoch_key, "archived content");
        const Key32* key = &puzzle.epoch_key;
        Bytes32 pin = test::service_pin();
        c.change(p, key, pin);
        EXPECT_EQ(error_of(open_paste(puzzle.manifest, pin, p, *key)), c.expected) << c.name;
    }
}

// --- The decrypt-paste command -------------------------------------------------

class DecryptPasteCommand : public ::testing::Test {
protected:
    void SetUp() override {
        dir_.write("manifest.json", write_signed_manifest(puzzle_.manifest));
        dir_.write("epoch.key", upper(encode_hex(puzzle_.epoch_key.span())) + "\r\n");
    }

    test::ProcessResult run(const std::string& pin = test::kServicePublicKeyHex) {
        return test::run_program(ZT_BINARY, {"decrypt-paste", "--manifest", dir_ / "manifest.json",
                                             "--service-public-key", pin, "--epoch-key",
                                             dir_ / "epoch.key", "--paste", dir_ / "paste.json",
                                             "--plaintext-out", dir_ / "plain.bin"});
    }

    TestPuzzle puzzle_ = test::make_test_puzzle();
    test::ScratchDir dir_;
};

TEST_F(DecryptPasteCommand, PublishesThePlaintextOwnerOnlyAndPrintsNothing) {
    const std::string plaintext("raw\0bytes\n", 10);
    dir_.write("paste.json", test::paste_json(test::seal_paste(puzzle_.manifest, puzzle_.epoch_key, plaintext)));
    const auto result = run();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(test::read_file(dir_ / "plain.bin"), plaintext);
    struct stat info {};
    ASSERT_EQ(::stat((dir_ / "plain.bin").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST_F(DecryptPasteCommand, InputsAreCheckedInStepOrder) {
    struct Case {
        const char* name;
        std::function<void()> setup;
        std::string pin;
        std::string expected;
    };
    const std::vector<Case> cases = {
        // The manifest is verified against the pin before the epoch key is read.
        {"wrong pin, no epoch key file", [&] { std::filesystem::remove(dir_ / "epoch.key"); },
         encode_hex(other_service().public_key), "service signer does not match attestation pin"},
        {"pin of 63 digits, no epoch key file", [&] { std::filesystem::remove(dir_ / "epoch.key"); },
         std::string(test::kServicePublicKeyHex).substr(1), "key must contain 64 hex digits"},
        // The epoch key is read before the paste.
        {"epoch key with a byte order mark, no paste",
         [&] { dir_.write("epoch.key", "\xef\xbb\xbf" + encode_hex(puzzle_.epoch_key.span())); },
         test::kServicePublicKeyHex, "key must contain 64 hex digits"},
        {"no paste", [] {}, test::kServicePublicKeyHex, "No such file or directory (os error 2)"},
        {"paste over the size limit", [&] { dir_.write("paste.json", std::string(paste::kDocumentLimit + 1, ' ')); },
         test::kServicePublicKeyHex, "input file exceeds size limit"},
    };
    for (const auto& c : cases) {
        SetUp();
        std::filesystem::remove(dir_ / "paste.json");
        c.setup();
        const auto before = dir_.entries();
        const auto result = run(c.pin);
        EXPECT_EQ(result.status, 1) << c.name;
        EXPECT_EQ(result.err, "Error: " + c.expected + "\n") << c.name;
        EXPECT_EQ(dir_.entries(), before) << c.name;
    }
}

TEST_F(DecryptPasteCommand, RefusedPasteReportsTheCauseAndWritesNothing) {
    Paste p = test::seal_paste(puzzle_.manifest, puzzle_.epoch_key, "content");
    p.tag_id = flip_last(p.tag_id);
    dir_.write("paste.json", test::paste_json(p));
    const auto before = dir_.entries();
    const auto result = run();
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error: " + kBadSignature + "\n\nCaused by:\n    Verification equation was not satisfied\n");
    EXPECT_EQ(dir_.entries(), before);
}

}  // namespace
}  // namespace zt
