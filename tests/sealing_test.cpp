// seal-record and seal-paste through the program, as a service uses them:
// what they seal opens with decrypt-record and decrypt-paste byte for byte
// (empty, binary and largest plaintexts), two sealings of one plaintext
// differ (fresh nonces), and every hostile variation of an input is refused
// with its own message, naming the input, before anything is written.
#include <gtest/gtest.h>

#include <set>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/record_maker.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/signed_manifest.h"
#include "tests/support/subprocess.h"
#include "timelock/base/crypto.h"
#include "timelock/formats/manifest.h"
#include "timelock/formats/manifest_signing.h"
#include "timelock/formats/paste.h"
#include "timelock/formats/record.h"
#include "timelock/formats/sealing.h"

namespace zt {
namespace {

using test::ScratchDir;

const std::string kTag(64, '7');
const std::string kEvidence = std::string(64, 'e') + ".attestation.json";

// A puzzle signed by the test service key, its epoch key and signing key on
// disk, and a second puzzle's key for the hostile cases.
struct Service {
    ScratchDir dir;
    test::TestPuzzle puzzle = test::make_test_puzzle(9);
    test::TestPuzzle other = test::make_test_puzzle(9);

    Service() {
        dir.write("manifest.json", write_signed_manifest(puzzle.manifest));
        dir.write("epoch.key", encode_hex(puzzle.epoch_key.span()));
        dir.write("other-epoch.key", encode_hex(other.epoch_key.span()));
        dir.write("service.key", test::kServiceSeedHex);
        dir.write("short.key", "abc");
    }
};

std::vector<std::string> seal_record_args(Service& s, const std::string& plaintext, const std::string& out) {
    return {"seal-record", "--manifest", s.dir / "manifest.json", "--service-public-key", test::kServicePublicKeyHex,
            "--epoch-key", s.dir / "epoch.key", "--plaintext", s.dir / plaintext, "--sequence", "5",
            "--record-out", s.dir / out};
}

std::vector<std::string> seal_paste_args(Service& s, const std::string& plaintext, const std::string& out) {
    return {"seal-paste", "--manifest", s.dir / "manifest.json", "--signing-key", s.dir / "service.key",
            "--epoch-key", s.dir / "epoch.key", "--plaintext", s.dir / plaintext, "--tag-id", kTag,
            "--evidence-artifact", kEvidence, "--sequence", "11", "--paste-out", s.dir / out};
}

// The sealed file opened with the decrypt command; its plaintext.
std::string open_sealed(Service& s, bool paste, const std::string& sealed, const std::string& out) {
    const auto opened = test::run_program(
        ZT_BINARY, {paste ? "decrypt-paste" : "decrypt-record", "--manifest", s.dir / "manifest.json",
                    "--service-public-key", test::kServicePublicKeyHex, "--epoch-key", s.dir / "epoch.key",
                    paste ? "--paste" : "--record", s.dir / sealed, "--plaintext-out", s.dir / out});
    EXPECT_EQ(opened.status, 0) << opened.err;
    return test::read_file(s.dir / out);
}

TEST(SealRoundTrip, WhatIsSealedOpensByteForByteWithTheFieldsAskedFor) {
    Service s;
    const std::string binary("\x00\xff\n\r binary \x01", 14);
    const struct {
        std::string name;
        std::string plaintext;
    } cases[] = {
        {"empty", ""},
        {"binary", binary},
        {"largest paste", std::string(102'400, 'p')},
        {"largest record", std::string(16'777'216, 'r')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        s.dir.write(c.name, c.plaintext);
        for (const bool paste : {false, true}) {
            if (paste && c.plaintext.size() > 102'400) continue;
            const std::string sealed = c.name + (paste ? ".paste" : ".record");
            const auto made = test::run_program(ZT_BINARY, paste ? seal_paste_args(s, c.name, sealed)
                                                                 : seal_record_args(s, c.name, sealed));
            ASSERT_EQ(made.status, 0) << made.err;
            EXPECT_EQ(made.out, "");
            EXPECT_EQ(test::file_mode(s.dir / sealed), 0644);
            EXPECT_EQ(open_sealed(s, paste, sealed, sealed + ".out"), c.plaintext);
        }
    }

    // The fields are the ones asked for, and sealing the same plaintext
    // again gives another nonce.
    ASSERT_EQ(test::run_program(ZT_BINARY, seal_paste_args(s, "binary", "again.paste")).status, 0);
    ASSERT_EQ(test::run_program(ZT_BINARY, seal_record_args(s, "binary", "again.record")).status, 0);
    const std::string a_text = test::read_file(s.dir / "binary.paste");
    const auto a = read_paste(a_text);
    const auto b = read_paste(test::read_file(s.dir / "again.paste"));
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_NE(a->nonce, b->nonce);
    EXPECT_EQ(a->puzzle_id, manifest_id(s.puzzle.manifest).value());
    EXPECT_EQ(a->puzzle_artifact, a->puzzle_id + ".puzzle.json");
    EXPECT_EQ(a->evidence_artifact, kEvidence);
    EXPECT_EQ(a->tag_id, kTag);
    EXPECT_EQ(a->sequence, 11u);
    EXPECT_EQ(a->wrapped_key, s.puzzle.manifest.puzzle.wrapped_keys.back());
    EXPECT_EQ(a->service_public_key, test::kServicePublicKeyHex);
    const std::string record_text = test::read_file(s.dir / "binary.record");
    const auto record = read_encrypted_record(record_text);
    ASSERT_TRUE(record.ok());
    EXPECT_EQ(record->sequence, 5u);
    EXPECT_EQ(record->epoch, 9u);
    EXPECT_NE(record_text, test::read_file(s.dir / "again.record"));
}

// One input changed at a time; each case names the message it must give. (A
// wrong epoch key, a foreign pin or signer, an upper-case tag id and an
// oversized record are black-box cases: tests/conformance/cases/seal-*.)
// Every sealing draws its own nonce: a record's and a paste's, many times
// over one plaintext, never repeat (a fixed or reused nonce would let two
// ciphertexts under one key be combined).
TEST(Sealing, EverySealingOfOnePlaintextHasItsOwnNonce) {
    const test::TestPuzzle puzzle = test::make_test_puzzle(9);
    const std::vector<std::uint8_t> plaintext(64, 0x5a);
    const PasteDescription description{kTag, manifest_id(puzzle.manifest).value() + ".puzzle.json", kEvidence, 1, 2};
    std::set<std::string> nonces;
    constexpr int kSealings = 16;
    for (int i = 0; i < kSealings; ++i) {
        const auto record = read_encrypted_record(seal_record(puzzle.manifest, puzzle.epoch_key, 1, plaintext).value());
        const auto paste =
            seal_paste(puzzle.manifest, puzzle.epoch_key, description, plaintext, test::service_keys());
        ASSERT_TRUE(record.ok() && paste.ok());
        nonces.insert(record->nonce);
        nonces.insert(paste->nonce);
    }
    EXPECT_EQ(nonces.size(), 2u * kSealings);
}

TEST(SealRoundTrip, HostileInputsAreRefusedNamingTheInputAndWriteNothing) {
    Service s;
    s.dir.write("p.txt", "secret");
    s.dir.write("big-paste.txt", std::string(102'401, 'x'));
    s.dir.write("taken", "do not replace");
    using Edit = std::function<void(std::vector<std::string>&)>;
    const auto set = [](std::string option, std::string value) -> Edit {
        return [option, value](std::vector<std::string>& args) {
            for (std::size_t i = 0; i + 1 < args.size(); ++i) {
                if (args[i] == option) args[i + 1] = value;
            }
        };
    };
    const struct {
        std::string name;
        bool paste;
        Edit edit;
        int status;
        std::string message;  // found in standard error
    } cases[] = {
        {"record: key file too short", false, set("--epoch-key", s.dir / "short.key"), 1,
         "--epoch-key " + (s.dir / "short.key") + " is not a key file"},
        {"record: pin of 63 digits", false, set("--service-public-key", std::string(63, 'a')), 1,
         "--service-public-key is not a public key"},
        {"record: manifest missing", false, set("--manifest", s.dir / "nothing.json"), 1,
         "--manifest " + (s.dir / "nothing.json")},
        {"record: plaintext missing", false, set("--plaintext", s.dir / "nothing.txt"), 1, "--plaintext "},
        {"record: output exists", false, set("--record-out", s.dir / "taken"), 1,
         "--record-out " + (s.dir / "taken") + " already exists"},
        {"record: sequence not a number", false, set("--sequence", "-1"), 2, "invalid value '-1'"},
        {"paste: another puzzle's key", true, set("--epoch-key", s.dir / "other-epoch.key"), 1,
         "not the epoch key of --manifest"},
        {"paste: tag id too short", true, set("--tag-id", std::string(62, 'a')), 1, "--tag-id "},
        {"paste: evidence suffix wrong", true, set("--evidence-artifact", std::string(64, 'e') + ".attestation.jsn"),
         1, "--evidence-artifact "},
        {"paste: puzzle artefact of the evidence kind", true,
         [](std::vector<std::string>& a) { a.insert(a.end(), {"--puzzle-artifact", kEvidence}); }, 1,
         "--puzzle-artifact "},
        {"paste: plaintext too large", true, set("--plaintext", s.dir / "big-paste.txt"), 1,
         "larger than a paste holds"},
        {"paste: output exists", true, set("--paste-out", s.dir / "taken"), 1,
         "--paste-out " + (s.dir / "taken") + " already exists"},
        {"paste: creation time not a number", true,
         [](std::vector<std::string>& a) { a.insert(a.end(), {"--created-at-ms", "now"}); }, 2,
         "invalid value 'now'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.paste ? seal_paste_args(s, "p.txt", "out") : seal_record_args(s, "p.txt", "out");
        c.edit(args);
        const auto refused = test::run_program(ZT_BINARY, args);
        EXPECT_EQ(refused.status, c.status) << refused.err;
        EXPECT_NE(refused.err.find(c.message), std::string::npos) << refused.err;
        EXPECT_FALSE(std::filesystem::exists(s.dir.path() / "out"));
        EXPECT_EQ(test::read_file(s.dir / "taken"), "do not replace");
    }
    // Nothing staged was left behind by any refusal.
    for (const auto& entry : std::filesystem::directory_iterator(s.dir.path())) {
        EXPECT_EQ(entry.path().filename().string().rfind(".zanth-timelock-staged-", 0), std::string::npos);
    }
}

}  // namespace
}  // namespace zt
