// AES rounds, AesGenerator1R/4R and AesHash1R: the software rounds must match
// the hardware rounds (AES-NI, or ARM64's cryptography extension) bit for bit, and AesGenerator1R must reproduce the traced scratchpad
// fill with either (AesGenerator4R is checked against the traced programs in
// randomx_program_test).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "randomx/aes.h"
#include "randomx/aes_generator.h"
#include "randomx/aes_hash.h"
#include "randomx/constants.h"
#include "randomx/cpu.h"
#include "tests/support/randomx_support.h"

namespace {

using zt::test::hex;
using zt::test::Json;
using zt::test::load_vectors;
using zt::test::sha256_hex;
using zt::test::unhex;

rx::AesColumn column(const std::string& hex_text) {
    const std::vector<std::uint8_t> bytes = unhex(hex_text);
    rx::AesColumn value;
    std::memcpy(value.data(), bytes.data(), value.size());
    return value;
}

std::string column_hex(const rx::AesColumn& value) { return hex(value.data(), value.size()); }

std::string repeat(const std::string& text, int times) {
    std::string result;
    for (int i = 0; i < times; ++i) {
        result += text;
    }
    return result;
}

// The AES implementations to check: software everywhere, hardware where present.
std::vector<bool> implementations() {
    return rx::cpu_has_aes() ? std::vector<bool>{false, true} : std::vector<bool>{false};
}

std::string implementation_name(bool hard) { return hard ? "hardware" : "software"; }

TEST(AesRound, KnownAnswers) {
    struct Case {
        const char* what;
        const char* state;
        const char* key;
        bool decrypt;
        std::string expected;
    };
    const Case cases[] = {
        // Round 1 of the AES-128 example cipher: state after the initial key
        // addition, round key 1, state at the start of round 2.
        {"encrypt, AES-128 example round 1", "193de3bea0f4e22b9ac68d2ae9f84808",
         "a0fafe1788542cb123a339392a6c7605", false, "a49c7ff2689f352b6b5bea43026a5049"},
        // A constant column survives (Inv)MixColumns, leaving S(0) and InvS(0).
        {"encrypt, zero state and key", "00000000000000000000000000000000",
         "00000000000000000000000000000000", false, repeat("63", 16)},
        {"decrypt, zero state and key", "00000000000000000000000000000000",
         "00000000000000000000000000000000", true, repeat("52", 16)},
        {"decrypt, key is added last", "00000000000000000000000000000000",
         "0102030405060708090a0b0c0d0e0f10", true, "535051565754555a5b58595e5f5c5d42"},
    };
    for (const bool hard : implementations()) {
        for (const Case& c : cases) {
            const rx::AesColumn state = column(c.state);
            const rx::AesColumn key = column(c.key);
            const rx::AesColumn out = c.decrypt ? rx::aes_decrypt(hard, state, key) : rx::aes_encrypt(hard, state, key);
            EXPECT_EQ(column_hex(out), c.expected) << c.what << " (" << implementation_name(hard) << ")";
        }
    }
}

TEST(AesRound, SoftwareMatchesHardwareOnRandomColumns) {
    if (!rx::cpu_has_aes()) {
        GTEST_SKIP() << "no hardware AES on this processor";
    }
    std::mt19937_64 rng(20240601);
    auto random_column = [&rng] {
        rx::AesColumn value;
        for (std::uint8_t& b : value) b = static_cast<std::uint8_t>(rng());
        return value;
    };
    for (int i = 0; i < 20000; ++i) {
        const rx::AesColumn state = random_column();
        const rx::AesColumn key = random_column();
        ASSERT_EQ(column_hex(rx::aes_encrypt(false, state, key)), column_hex(rx::aes_encrypt(true, state, key)))
            << "encrypt, state " << column_hex(state) << " key " << column_hex(key);
        ASSERT_EQ(column_hex(rx::aes_decrypt(false, state, key)), column_hex(rx::aes_decrypt(true, state, key)))
            << "decrypt, state " << column_hex(state) << " key " << column_hex(key);
    }
}

class AesTrace : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override { trace_ = load_vectors(GetParam()); }
    Json trace_;
};

// The scratchpad fill: AesGenerator1R seeded with Blake2b-512 of the input.
TEST_P(AesTrace, Generator1RFillsTheScratchpad) {
    std::vector<std::uint8_t> scratchpad(rx::kScratchpadL3);
    for (const bool hard : implementations()) {
        SCOPED_TRACE(implementation_name(hard));
        std::vector<std::uint8_t> state = unhex(trace_["input_blake2b512"].str());
        rx::aes_generator_1r(hard, state.data(), scratchpad.data(), scratchpad.size());
        EXPECT_EQ(sha256_hex(scratchpad.data(), scratchpad.size()), trace_["scratchpad_sha256_after_fill"].str());
        EXPECT_EQ(hex(scratchpad.data(), 64), trace_["scratchpad_first64_after_fill"].str());
        EXPECT_EQ(hex(scratchpad.data() + scratchpad.size() - 64, 64), trace_["scratchpad_last64_after_fill"].str());
        EXPECT_EQ(hex(state), trace_["generator_state_after_fill"].str());
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, AesTrace,
                         ::testing::Values("randomx/traces/trace-v1.json", "randomx/traces/trace-v2.json"),
                         [](const auto& info) { return info.index == 0 ? std::string("v1") : std::string("v2"); });

// Generators and AesHash1R over random inputs: the implementations agree, the
// state carries over between calls (two half fills equal one full fill), and
// every input block matters to the fingerprint.
TEST(AesBulk, ImplementationsAgreeAndStateCarriesOver) {
    std::mt19937_64 rng(7);
    std::vector<std::uint8_t> seed(64);
    for (auto& b : seed) {
        b = static_cast<std::uint8_t>(rng());
    }
    constexpr std::size_t kSize = 64 * 1024;
    std::vector<std::string> fills1;
    std::vector<std::string> fills4;
    std::vector<std::string> hashes;
    for (const bool hard : implementations()) {
        std::vector<std::uint8_t> out(kSize);
        std::vector<std::uint8_t> state = seed;
        rx::aes_generator_1r(hard, state.data(), out.data(), kSize);
        fills1.push_back(hex(out) + hex(state));

        std::vector<std::uint8_t> halves(kSize);
        std::vector<std::uint8_t> half_state = seed;
        rx::aes_generator_1r(hard, half_state.data(), halves.data(), kSize / 2);
        rx::aes_generator_1r(hard, half_state.data(), halves.data() + kSize / 2, kSize / 2);
        EXPECT_EQ(hex(halves) + hex(half_state), fills1.back());

        state = seed;
        rx::aes_generator_4r(hard, state.data(), out.data(), kSize);
        fills4.push_back(hex(out) + hex(state));

        std::uint8_t fingerprint[rx::kAesHashSize];
        rx::aes_hash_1r(hard, out.data(), kSize, fingerprint);
        hashes.push_back(hex(fingerprint, sizeof fingerprint));
        for (const std::size_t changed : {std::size_t{0}, kSize / 2 + 17, kSize - 1}) {
            out[changed] ^= 1;
            std::uint8_t other[rx::kAesHashSize];
            rx::aes_hash_1r(hard, out.data(), kSize, other);
            EXPECT_NE(hex(other, sizeof other), hashes.back()) << "flipped byte " << changed;
            out[changed] ^= 1;
        }
    }
    for (std::size_t i = 1; i < fills1.size(); ++i) {
        EXPECT_EQ(fills1[i], fills1[0]);
        EXPECT_EQ(fills4[i], fills4[0]);
        EXPECT_EQ(hashes[i], hashes[0]);
    }
}

}  // namespace
