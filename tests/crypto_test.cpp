// Hex rules, hashing, HKDF, the AEAD modes and randomness, checked against
// the published vectors in tests/data/vectors and the edge cases of each rule.
#include <gtest/gtest.h>
#include <sodium.h>

#include <bit>
#include <string>
#include <vector>

#include "tests/support/vector_json.h"
#include "timelock/base/char_debug.h"
#include "timelock/base/crypto.h"

namespace zt {
namespace {

using test::Json;
using test::load_vectors;
using test::unhex;

std::vector<std::uint8_t> to_vec(std::span<const std::uint8_t> s) { return {s.begin(), s.end()}; }

std::vector<std::uint8_t> concat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Key32 key_from(const std::vector<std::uint8_t>& bytes) {
    EXPECT_EQ(bytes.size(), 32u);
    return Key32(std::span<const std::uint8_t, 32>(bytes.data(), 32));
}

// ---------------------------------------------------------------- hex text

TEST(HexFixed, AcceptsOnlyExactLengthLowercase) {
    const std::string lower(64, 'a');
    const std::string upper(64, 'A');
    struct Case {
        std::string text;
        std::size_t n;
        bool ok;
    } cases[] = {
        {lower, 32, true},
        {upper, 32, false},                          // uppercase refused
        {lower.substr(0, 63), 32, false},            // one digit short
        {lower + "0", 32, false},                    // one digit long
        {std::string(62, '0') + "0A", 32, false},    // one uppercase digit at the end
        {std::string(62, '0') + " 0", 32, false},    // space
        {"", 0, true},
        {"00", 0, false},
        {std::string(48, 'f'), 24, true},
        {std::string(120, '9'), 60, true},
        {std::string(128, 'e'), 64, true},
        {std::string(128, 'g'), 64, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text + " n=" + std::to_string(c.n));
        const auto r = decode_hex_fixed(c.text, c.n);
        ASSERT_EQ(r.ok(), c.ok);
        if (c.ok) {
            EXPECT_EQ(encode_hex(*r), c.text);
        } else {
            EXPECT_EQ(r.error(), Error(std::string(kNoncanonicalHex)));
        }
    }
}

TEST(HexFixed, TemplateDecodesHighNibbleFirstAndLeavesBufferOnFailure) {
    const auto r = decode_hex_fixed<4>("00ff0a7b");
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, (std::array<std::uint8_t, 4>{0x00, 0xff, 0x0a, 0x7b}));

    // The character scan runs before any byte is written.
    std::array<std::uint8_t, 4> out{1, 2, 3, 4};
    EXPECT_FALSE(decode_hex_fixed_into("0000000G", out).ok());
    EXPECT_EQ(out, (std::array<std::uint8_t, 4>{1, 2, 3, 4}));
    EXPECT_FALSE(decode_hex_fixed<32>(std::string(64, 'A')).ok());
}

TEST(HexBytes, LenientDecoding) {
    struct Case {
        std::string text;
        std::vector<std::uint8_t> bytes;
    } cases[] = {
        {"", {}},
        {"0A", {0x0a}},
        {"0a", {0x0a}},
        {"fF00Ab", {0xff, 0x00, 0xab}},
    };
    for (const auto& c : cases) {
        const auto r = decode_hex_bytes(c.text);
        ASSERT_TRUE(r.ok()) << c.text;
        EXPECT_EQ(*r, c.bytes) << c.text;
    }
}

TEST(HexBytes, FailuresNameTheFirstBadCharacter) {
    struct Case {
        std::string text;
        std::string message;
    } cases[] = {
        {"a", "Odd number of digits"},
        {"abc", "Odd number of digits"},
        {"zzz", "Odd number of digits"},  // length is checked before characters
        {"0g", "Invalid character 'g' at position 1"},
        {"g0", "Invalid character 'g' at position 0"},
        {"gz", "Invalid character 'g' at position 0"},
        {"00 0", "Invalid character ' ' at position 2"},
        {"0\n", "Invalid character '\\n' at position 1"},
        {"\xC3\xA9", "Invalid character '\xC3\x83' at position 0"},  // byte 0xC3 shows as U+00C3
        {"00a\x7f", "Invalid character '\\u{7f}' at position 3"},
        {std::string("0\0", 2), "Invalid character '\\0' at position 1"},
    };
    for (const auto& c : cases) {
        const auto r = decode_hex_bytes(c.text);
        ASSERT_FALSE(r.ok()) << c.message;
        EXPECT_EQ(r.error(), Error(c.message));
    }
}

TEST(CharDebug, EscapesLikeTheHexLibrary) {
    struct Case {
        std::uint8_t byte;
        std::string shown;
    } cases[] = {
        {'g', "'g'"},       {' ', "' '"},           {'"', "'\"'"},          {'~', "'~'"},
        {'\t', "'\\t'"},    {'\r', "'\\r'"},        {'\n', "'\\n'"},        {0x00, "'\\0'"},
        {'\'', "'\\''"},    {'\\', "'\\\\'"},       {0x01, "'\\u{1}'"},     {0x1f, "'\\u{1f}'"},
        {0x7f, "'\\u{7f}'"}, {0x80, "'\\u{80}'"},   {0x9f, "'\\u{9f}'"},    {0xa0, "'\\u{a0}'"},
        {0xad, "'\\u{ad}'"}, {0xa1, "'\xC2\xA1'"},  {0xac, "'\xC2\xAC'"},   {0xae, "'\xC2\xAE'"},
        {0xc3, "'\xC3\x83'"}, {0xff, "'\xC3\xBF'"},
    };
    for (const auto& c : cases) EXPECT_EQ(char_debug(c.byte), c.shown) << int{c.byte};
}

TEST(HexEncode, LowercaseRoundTripOfEveryByte) {
    std::vector<std::uint8_t> all(256);
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i);
    const std::string text = encode_hex(all);
    EXPECT_EQ(text.substr(0, 8), "00010203");
    EXPECT_EQ(text.substr(text.size() - 4), "feff");
    const auto back = decode_hex_fixed(text, all.size());
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, all);
    EXPECT_EQ(encode_hex({}), "");
}

// ---------------------------------------------------------------- hashing

TEST(Hashing, Sha256AndKeyCommitment) {
    EXPECT_EQ(encode_hex(sha256(as_bytes("abc"))),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string commitment = key_commitment(Key32{});
    EXPECT_EQ(commitment, "66687aadf862bd776c8fc18b8e9f8e20089714856ee233b3902a591d0d5f2925");
    EXPECT_EQ(commitment, encode_hex(sha256(std::vector<std::uint8_t>(32, 0))));
}

TEST(Hashing, HmacSha256WycheproofVectors) {
    const Json doc = load_vectors("vectors/wycheproof/hmac_sha256_test.json");
    int valid = 0, refused = 0;
    for (const Json& group : doc["testGroups"].items()) {
        const auto tag_bytes = static_cast<std::size_t>(group["tagSize"].num() / 8);
        for (const Json& t : group["tests"].items()) {
            SCOPED_TRACE("tcId " + std::to_string(t["tcId"].num()));
            const Key32 mac = hmac_sha256(unhex(t["key"].str()), unhex(t["msg"].str()));
            // A truncated tag is the leading bytes of the full one.
            const auto computed = to_vec(std::span(mac.data(), tag_bytes));
            if (t["result"].str() == "valid") {
                EXPECT_EQ(computed, unhex(t["tag"].str()));
                ++valid;
            } else {
                EXPECT_NE(computed, unhex(t["tag"].str()));
                ++refused;
            }
        }
    }
    EXPECT_EQ(valid, 66);
    EXPECT_EQ(refused, 108);
}

// ---------------------------------------------------------------- HKDF

TEST(Hkdf, RfcVectorsExtractAndFirstBlock) {
    const Json doc = load_vectors("vectors/rfc.json");
    for (const Json& v : doc["hkdf_sha256"].items()) {
        SCOPED_TRACE(v["name"].str());
        const auto salt = unhex(v["salt"].str());
        const auto ikm = unhex(v["ikm"].str());
        const auto okm = unhex(v["okm"].str());
        ASSERT_GE(okm.size(), 32u);
        EXPECT_EQ(to_vec(hmac_sha256(salt, ikm).span()), unhex(v["prk"].str()));
        // T(1) does not depend on the output length: it is the first 32 bytes of any OKM.
        const Key32 t1 = hkdf_sha256_32(salt, ikm, unhex(v["info"].str()));
        EXPECT_EQ(to_vec(t1.span()), std::vector<std::uint8_t>(okm.begin(), okm.begin() + 32));
    }
}

TEST(Hkdf, WycheproofVectors) {
    const Json doc = load_vectors("vectors/wycheproof/hkdf_sha256_test.json");
    int exact = 0, prefix = 0, through_derive_key = 0, skipped = 0;
    for (const Json& group : doc["testGroups"].items()) {
        for (const Json& t : group["tests"].items()) {
            SCOPED_TRACE("tcId " + std::to_string(t["tcId"].num()));
            if (t["result"].str() != "valid") {
                // Only over-long outputs (8161 bytes) are invalid; a fixed
                // 32-byte derivation cannot ask for them.
                EXPECT_GT(t["size"].num(), 255 * 32);
                ++skipped;
                continue;
            }
            const auto salt = unhex(t["salt"].str());
            const auto ikm = unhex(t["ikm"].str());
            const auto info = unhex(t["info"].str());
            const auto okm = unhex(t["okm"].str());
            const Key32 t1 = hkdf_sha256_32(salt, ikm, info);
            // Other output lengths share T(1) as their first min(L, 32) bytes.
            const std::size_t n = std::min<std::size_t>(okm.size(), 32);
            EXPECT_EQ(to_vec(std::span(t1.data(), n)), std::vector<std::uint8_t>(okm.begin(), okm.begin() + static_cast<long>(n)));
            (okm.size() == 32 ? exact : prefix)++;
            if (okm.size() == 32 && ikm.size() == 32) {
                const std::string_view salt_text(reinterpret_cast<const char*>(salt.data()), salt.size());
                EXPECT_EQ(to_vec(derive_key(salt_text, key_from(ikm), info).span()), okm);
                ++through_derive_key;
            }
        }
    }
    EXPECT_EQ(skipped, 3);
    EXPECT_GT(exact, 0);
    EXPECT_GT(through_derive_key, 0);
    EXPECT_EQ(exact + prefix + skipped, 86);
}

TEST(Hkdf, DeriveKeyDependsOnEveryInput) {
    Key32 ikm;
    for (std::size_t i = 0; i < 32; ++i) ikm[i] = static_cast<std::uint8_t>(i);
    std::vector<std::uint8_t> info(labels::wrap_context.begin(), labels::wrap_context.end());
    const Key32 base = derive_key(labels::step, ikm, info);

    auto bits_apart = [](const Key32& a, const Key32& b) {
        int n = 0;
        for (std::size_t i = 0; i < 32; ++i) n += std::popcount(static_cast<unsigned>(a[i] ^ b[i]));
        return n;
    };
    // Unrelated outputs differ in about half of their 256 bits; 64 is far
    // below any plausible chance result and far above a partial dependence.
    info.back() ^= 1;
    EXPECT_GT(bits_apart(base, derive_key(labels::step, ikm, info)), 64);
    info.back() ^= 1;
    const auto step = as_bytes(labels::step);
    const std::string_view info_text(labels::wrap_context);
    EXPECT_GT(bits_apart(base, derive_key(info_text, ikm, step)), 64);  // salt and info swapped
    Key32 other = ikm;
    other[31] ^= 0x80;
    EXPECT_GT(bits_apart(base, derive_key(labels::step, other, info)), 64);
    EXPECT_EQ(base, derive_key(labels::step, ikm, info));  // deterministic
}

TEST(Labels, ByteLengthsAndTerminators) {
    struct Case {
        std::string_view label;
        std::size_t bytes;
        bool zero_terminated;
    } cases[] = {
        {labels::step, 17, false},          {labels::wrap_context, 23, true},
        {labels::signed_manifest, 34, true}, {labels::checkpoint, 29, true},
        {labels::record_key, 19, false},    {labels::record_aad, 26, true},
        {labels::paste_context, 32, true},  {labels::paste_content_key, 35, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.label.size(), c.bytes) << c.label;
        EXPECT_EQ(c.label.back() == '\0', c.zero_terminated) << c.label;
        // Exactly one zero byte, at the end, where there is one at all.
        EXPECT_EQ(c.label.find('\0'), c.zero_terminated ? c.bytes - 1 : std::string_view::npos) << c.label;
    }
}

// ---------------------------------------------------------------- AEAD

struct AeadCase {
    std::vector<std::uint8_t> key, nonce, aad, msg, sealed;
};

AeadCase aead_case(const Json& t, const char* nonce, const char* msg, const char* ct, const char* tag) {
    return {unhex(t["key"].str()), unhex(t[nonce].str()), unhex(t["aad"].str()), unhex(t[msg].str()),
            concat(unhex(t[ct].str()), unhex(t[tag].str()))};
}

void check_chacha(const AeadCase& c, bool valid) {
    const Key32 key = key_from(c.key);
    const std::span<const std::uint8_t, 12> nonce(c.nonce.data(), 12);
    const auto opened = open_chacha(key, nonce, c.aad, c.sealed);
    if (!valid) {
        EXPECT_FALSE(opened.has_value());
        return;
    }
    const auto sealed = seal_chacha(key, nonce, c.aad, c.msg);
    ASSERT_TRUE(sealed.ok());
    EXPECT_EQ(*sealed, c.sealed);
    ASSERT_TRUE(opened.has_value());
    EXPECT_EQ(to_vec(*opened), c.msg);
}

void check_xchacha(const AeadCase& c, bool valid) {
    const auto opened = open_xchacha(key_from(c.key), std::span<const std::uint8_t, 24>(c.nonce.data(), 24), c.aad,
                                     c.sealed);
    ASSERT_EQ(opened.has_value(), valid);
    if (valid) {
        EXPECT_EQ(to_vec(*opened), c.msg);
    }
}

TEST(Aead, RfcVectors) {
    const Json doc = load_vectors("vectors/rfc.json");
    for (const Json& v : doc["chacha20_poly1305_ietf"].items()) {
        check_chacha(aead_case(v, "nonce", "plaintext", "ciphertext", "tag"), true);
    }
    for (const Json& v : doc["xchacha20_poly1305_ietf"].items()) {
        check_xchacha(aead_case(v, "nonce", "plaintext", "ciphertext", "tag"), true);
    }
}

// Runs every test of a Wycheproof AEAD file whose nonce size the mode takes;
// groups of other nonce sizes cannot be expressed through the fixed-size
// nonce parameter and are skipped (each holds one invalid test).
void run_wycheproof_aead(const char* file, std::int64_t nonce_bits, void (*check)(const AeadCase&, bool),
                         int expect_valid, int expect_refused) {
    const Json doc = load_vectors(file);
    int valid = 0, refused = 0, skipped = 0;
    for (const Json& group : doc["testGroups"].items()) {
        for (const Json& t : group["tests"].items()) {
            if (group["ivSize"].num() != nonce_bits) {
                EXPECT_EQ(t["result"].str(), "invalid");
                ++skipped;
                continue;
            }
            SCOPED_TRACE("tcId " + std::to_string(t["tcId"].num()));
            const bool is_valid = t["result"].str() == "valid";
            check(aead_case(t, "iv", "msg", "ct", "tag"), is_valid);
            (is_valid ? valid : refused)++;
        }
    }
    EXPECT_EQ(valid, expect_valid);
    EXPECT_EQ(refused, expect_refused);
    EXPECT_EQ(skipped, 9);
}

TEST(Aead, ChaChaWycheproofVectors) {
    run_wycheproof_aead("vectors/wycheproof/chacha20_poly1305_test.json", 96, check_chacha, 256, 60);
}

TEST(Aead, XChaChaWycheproofVectors) {
    run_wycheproof_aead("vectors/wycheproof/xchacha20_poly1305_test.json", 192, check_xchacha, 246, 60);
}

TEST(Aead, XChaChaTagOnlyInputs) {
    Key32 key;
    key[0] = 7;
    const std::array<std::uint8_t, 24> nonce{1, 2, 3};
    const auto aad = as_bytes(labels::record_aad);
    std::array<std::uint8_t, 16> tag{};
    unsigned long long tag_len = 0;
    ASSERT_EQ(crypto_aead_xchacha20poly1305_ietf_encrypt(tag.data(), &tag_len, nullptr, 0, aad.data(), aad.size(),
                                                         nullptr, nonce.data(), key.data()),
              0);
    const auto opened = open_xchacha(key, nonce, aad, tag);
    ASSERT_TRUE(opened.has_value());
    EXPECT_TRUE(opened->empty());

    EXPECT_FALSE(open_xchacha(key, nonce, aad, std::span(tag).first(15)).has_value());
    // The same tag under the label without its zero byte does not open.
    EXPECT_FALSE(open_xchacha(key, nonce, aad.first(aad.size() - 1), tag).has_value());
}

TEST(Aead, ChaChaRoundTripAndRefusals) {
    Key32 key;
    key[5] = 1;
    const std::array<std::uint8_t, 12> nonce{9};
    const auto aad = as_bytes(labels::wrap_context);
    const std::vector<std::uint8_t> secret(32, 0x5a);
    const auto sealed = seal_chacha(key, nonce, aad, secret);
    ASSERT_TRUE(sealed.ok());
    ASSERT_EQ(sealed->size(), 48u);  // 32-byte secret + tag; with the nonce, a 60-byte wrapped key

    const auto opened = open_chacha(key, nonce, aad, *sealed);
    ASSERT_TRUE(opened.has_value());
    EXPECT_EQ(to_vec(*opened), secret);

    EXPECT_FALSE(open_chacha(key, nonce, aad.first(aad.size() - 1), *sealed).has_value());
    Key32 wrong = key;
    wrong[0] ^= 1;
    EXPECT_FALSE(open_chacha(wrong, nonce, aad, *sealed).has_value());
    Bytes flipped = *sealed;
    flipped[0] ^= 1;
    EXPECT_FALSE(open_chacha(key, nonce, aad, flipped).has_value());
    EXPECT_FALSE(open_chacha(key, nonce, aad, std::span(*sealed).first(15)).has_value());
}

// ---------------------------------------------------------------- randomness

TEST(Randomness, FillsBuffersOfAnySize) {
    EXPECT_TRUE(random_bytes({}).ok());
    std::vector<std::uint8_t> a(32), b(32);
    ASSERT_TRUE(random_bytes(a).ok());
    ASSERT_TRUE(random_bytes(b).ok());
    EXPECT_NE(a, b);  // equal by chance with probability 2^-256

    // Larger than one getrandom block; every 4 KiB page must have been written.
    std::vector<std::uint8_t> big(1 << 20, 0);
    ASSERT_TRUE(random_bytes(big).ok());
    for (std::size_t page = 0; page < big.size(); page += 4096) {
        const auto first = big.begin() + static_cast<long>(page);
        EXPECT_TRUE(std::any_of(first, first + 4096, [](std::uint8_t x) { return x != 0; })) << page;
    }
}

}  // namespace
}  // namespace zt
