// Manifest signing: the signing message layout, known answers from a
// published manifest, verification against the pin in its fixed order, and
// the manifest id.
#include "timelock/formats/manifest_signing.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "tests/support/signed_manifest.h"
#include "timelock/base/crypto.h"

namespace zt {
namespace {

SignedManifest data_manifest(const std::string& name) {
    std::ifstream in(std::string(ZT_TEST_DATA_DIR) + "/manifests/" + name, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    auto read = read_signed_manifest(buffer.str());
    if (!read) throw std::runtime_error(name + ": " + read.error().message());
    return std::move(read).value();
}

Bytes unhex(std::string_view text) {
    auto bytes = decode_hex_fixed(text, text.size() / 2);
    if (!bytes) throw std::runtime_error("bad hex in test");
    return std::move(bytes).value();
}

Bytes slice(const Bytes& bytes, std::size_t offset, std::size_t length) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                 bytes.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

std::string verify_outcome(const SignedManifest& s, const Bytes32& pin) {
    auto verified = verify_manifest(s, pin);
    return verified ? std::string("ok") : verified.error().message();
}

constexpr const char* kEquation = "signature error: Verification equation was not satisfied";
constexpr const char* kHighBit = "signature error: Cannot use scalar with high-bit set";
constexpr const char* kHex = "noncanonical hex or wrong length";

TEST(ManifestSigningMessage, LengthGrowsBySixtyBytesPerSegment) {
    for (auto [segments, length] : {std::pair{7u, 621u}, {84u, 5241u}, {96u, 5961u}}) {
        auto message = manifest_signing_message(test::make_manifest({.segments = segments}));
        ASSERT_TRUE(message) << message.error().message();
        EXPECT_EQ(message->size(), length) << segments;
    }
}

TEST(ManifestSigningMessage, FieldsSitAtTheirOffsets) {
    const Manifest m = test::make_manifest({.segments = 96, .epoch = 0x0102030405060708, .iterations = 999'999'999'999});
    auto built = manifest_signing_message(m);
    ASSERT_TRUE(built) << built.error().message();
    const Bytes& message = *built;
    const std::string label = "zanth-timelock-signed-manifest-v1";
    EXPECT_EQ(slice(message, 0, 33), Bytes(label.begin(), label.end()));
    EXPECT_EQ(message[33], 0);
    EXPECT_EQ(slice(message, 34, 4), (Bytes{0, 0, 0, 1}));
    EXPECT_EQ(slice(message, 38, 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    const std::string texts = "2.0.1aaafe71322df6602c21a5c72937ac284724ae561v2";
    EXPECT_EQ(slice(message, 46, 47), Bytes(texts.begin(), texts.end()));
    EXPECT_EQ(slice(message, 93, 32), unhex(m.dataset_key));
    EXPECT_EQ(slice(message, 125, 8), (Bytes{0, 0, 0, 0xE8, 0xD4, 0xA5, 0x0F, 0xFF}));
    EXPECT_EQ(slice(message, 133, 4), (Bytes{0, 0, 0, 96}));
    EXPECT_EQ(slice(message, 137, 32), unhex(m.seed_1));
    for (std::size_t i = 0; i < 96; ++i) EXPECT_EQ(slice(message, 169 + 60 * i, 60), unhex(m.wrapped_keys[i])) << i;
    EXPECT_EQ(slice(message, 169 + 60 * 96, 32), unhex(m.key_commitment));
}

TEST(ManifestSigningMessage, ValidatesFirst) {
    Manifest m = test::make_manifest();
    m.key_commitment = "x";
    m.randomx = "2.0.0";
    EXPECT_EQ(manifest_signing_message(m).error().message(), "unsupported puzzle protocol");
    m.randomx = "2.0.1";
    EXPECT_EQ(manifest_signing_message(m).error().message(), kHex);
}

// A manifest published by the service whose seed the test support uses:
// signing its puzzle again must give the very same signature and id.
TEST(ManifestSigning, ReproducesAPublishedSignatureAndId) {
    const SignedManifest published = data_manifest("good_conformance.json");
    auto signed_again = sign_manifest(published.puzzle, test::service_keys());
    ASSERT_TRUE(signed_again) << signed_again.error().message();
    EXPECT_EQ(*signed_again, published);
    EXPECT_EQ(published.service_public_key, test::kServicePublicKeyHex);
    EXPECT_EQ(verify_outcome(published, test::service_pin()), "ok");
    auto id = manifest_id(published);
    ASSERT_TRUE(id) << id.error().message();
    EXPECT_EQ(*id, "47dfe649201418985584d445e69070c85173252f7d7a6889d2b9d61c9fc7804e");
    auto identity = manifest_identity_bytes(published);
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->size(), 621u + 32 + 64);
    EXPECT_EQ(slice(*identity, 621, 32), unhex(published.service_public_key));
    EXPECT_EQ(slice(*identity, 653, 64), unhex(published.service_signature));
}

TEST(ManifestSigning, SignedManifestsVerifyUnderTheirPinOnly) {
    for (std::uint32_t segments : {7u, 84u, 96u}) {
        const SignedManifest s = test::make_signed_manifest({.segments = segments});
        EXPECT_EQ(verify_outcome(s, test::service_pin()), "ok") << segments;
        Bytes32 other = test::service_pin();
        other[31] ^= 1;
        EXPECT_EQ(verify_outcome(s, other), "service signer does not match attestation pin");
    }
    // A manifest correctly signed by another key is refused at the pin.
    Key32 other_seed;
    other_seed[0] = 7;
    auto by_other = sign_manifest(test::make_manifest(), ed25519_from_seed(other_seed));
    ASSERT_TRUE(by_other);
    EXPECT_EQ(verify_outcome(*by_other, test::service_pin()), "service signer does not match attestation pin");
    EXPECT_EQ(verify_outcome(*by_other, ed25519_from_seed(other_seed).public_key), "ok");
}

TEST(ManifestSigning, AnyChangeToASignedFieldBreaksTheSignature) {
    const SignedManifest base = test::make_signed_manifest({.segments = 96});
    const std::vector<std::pair<const char*, std::function<void(Manifest&)>>> changes = {
        {"epoch + 1", [](Manifest& m) { m.epoch += 1; }},
        {"iterations + 1", [](Manifest& m) { m.iterations += 1; }},
        {"wrapped key digit", [](Manifest& m) { m.wrapped_keys[95][119] = m.wrapped_keys[95][119] == '0' ? '1' : '0'; }},
        {"wrapped keys swapped", [](Manifest& m) { std::swap(m.wrapped_keys[0], m.wrapped_keys[1]); }},
        {"seed digit", [](Manifest& m) { m.seed_1[0] = m.seed_1[0] == 'a' ? 'b' : 'a'; }},
        {"commitment digit", [](Manifest& m) { m.key_commitment[63] = m.key_commitment[63] == 'a' ? 'b' : 'a'; }},
        {"dataset key digit", [](Manifest& m) { m.dataset_key[10] = m.dataset_key[10] == 'a' ? 'b' : 'a'; }},
    };
    for (const auto& [what, change] : changes) {
        SignedManifest s = base;
        change(s.puzzle);
        EXPECT_EQ(verify_outcome(s, test::service_pin()), kEquation) << what;
    }
    SignedManifest s = base;
    s.puzzle.randomx = "2.0.2";
    EXPECT_EQ(verify_outcome(s, test::service_pin()), "unsupported puzzle protocol");
    EXPECT_EQ(verify_outcome(data_manifest("verify_fail_tampered_iterations.json"), test::service_pin()), kEquation);
}

// S + L is the same scalar modulo L, but not canonical.
TEST(ManifestSigning, NonCanonicalScalarIsRefused) {
    SignedManifest s = test::make_signed_manifest();
    Bytes signature = unhex(s.service_signature);
    const Bytes l = unhex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");  // little-endian
    unsigned carry = 0;
    for (std::size_t i = 0; i < 32; ++i) {
        unsigned sum = signature[32 + i] + l[i] + carry;
        signature[32 + i] = static_cast<std::uint8_t>(sum);
        carry = sum >> 8;
    }
    s.service_signature = encode_hex(signature);
    auto verified = verify_manifest(s, test::service_pin());
    ASSERT_FALSE(verified);
    EXPECT_EQ(verified.error().message(), kHighBit);
    EXPECT_EQ(verified.error().causes(), std::vector<std::string>{"Cannot use scalar with high-bit set"});
    EXPECT_EQ(verify_outcome(data_manifest("verify_fail_s_plus_l.json"), test::service_pin()), kHighBit);
}

TEST(ManifestSigning, SmallOrderRIsRefused) {
    SignedManifest s = test::make_signed_manifest();
    // R = the identity point (y = 1), which has small order.
    s.service_signature.replace(0, 64, "01" + std::string(62, '0'));
    EXPECT_EQ(verify_outcome(s, test::service_pin()), kEquation);
}

TEST(ManifestSigning, VerificationStepsRunInOrder) {
    const SignedManifest base = test::make_signed_manifest();
    const Bytes32 pin = test::service_pin();
    // y = 2 is not the encoding of a curve point.
    const std::string not_a_point = "02" + std::string(62, '0');
    Bytes32 not_a_point_pin{};
    not_a_point_pin[0] = 2;

    struct Step {
        const char* what;
        std::function<void(SignedManifest&)> apply;
        const Bytes32* pin;
        const char* expected;
    };
    const std::vector<Step> steps = {
        {"key uppercase, other pin", [](SignedManifest& s) { s.service_public_key[0] = 'F'; }, &not_a_point_pin, kHex},
        {"key short", [](SignedManifest& s) { s.service_public_key.pop_back(); }, &pin, kHex},
        {"other pin before protocol",
         [](SignedManifest& s) { s.puzzle.randomx = "x"; }, &not_a_point_pin,
         "service signer does not match attestation pin"},
        {"pin not a point", [&](SignedManifest& s) { s.service_public_key = not_a_point; s.puzzle.version = 9; },
         &not_a_point_pin, "signature error: Cannot decompress Edwards point"},
        {"message before signature hex",
         [](SignedManifest& s) { s.puzzle.segments = 84; s.service_signature[0] = 'F'; }, &pin,
         "invalid work parameters"},
        {"signature uppercase", [](SignedManifest& s) { s.service_signature[0] = 'F'; }, &pin, kHex},
        {"signature long", [](SignedManifest& s) { s.service_signature += "00"; }, &pin, kHex},
    };
    for (const auto& step : steps) {
        SignedManifest s = base;
        step.apply(s);
        EXPECT_EQ(verify_outcome(s, *step.pin), step.expected) << step.what;
    }
}

TEST(ManifestId, NamesExactlyOneSignedManifest) {
    const SignedManifest s = test::make_signed_manifest();
    auto id = manifest_id(s);
    ASSERT_TRUE(id) << id.error().message();
    EXPECT_EQ(id->size(), 64u);
    EXPECT_EQ(id->find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(*manifest_id(s), *id);
    // Signing is deterministic, so signing again names the same manifest.
    EXPECT_EQ(*manifest_id(*sign_manifest(s.puzzle, test::service_keys())), *id);

    SignedManifest other_signature = s;
    other_signature.service_signature[0] = other_signature.service_signature[0] == 'a' ? 'b' : 'a';
    ASSERT_TRUE(manifest_id(other_signature));
    EXPECT_NE(*manifest_id(other_signature), *id);

    SignedManifest other_epoch = s;
    other_epoch.puzzle.epoch += 1;
    EXPECT_NE(*manifest_id(other_epoch), *id);

    SignedManifest invalid = s;
    invalid.puzzle.iterations = 0;
    EXPECT_EQ(manifest_id(invalid).error().message(), "invalid work parameters");
    invalid = s;
    invalid.service_public_key.pop_back();
    EXPECT_EQ(manifest_id(invalid).error().message(), kHex);
}

}  // namespace
}  // namespace zt
