// Puzzle generation: the wrap context and wrapped-key format (checked
// against libsodium directly), what makes unwrapping fail and how it is
// reported, the order of generate's checks and draws (fake library), the
// generate command's outputs, and one real light-mode puzzle that unwraps
// segment by segment back to its epoch key.
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "cli/commands/commands.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_randomx.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/signed_manifest.h"
#include "timelock/base/crypto.h"
#include "timelock/formats/manifest_signing.h"
#include "timelock/work/engine.h"
#include "timelock/work/generation.h"
#include "timelock/work/randomx_calls.h"

namespace zt {
namespace {

constexpr const char* kDatasetKeyHex = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
constexpr const char* kCommitmentHex = "a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebf";
const std::string kAuthFailedSuffix = " authentication failed (bad checkpoint or manifest)";

Manifest wrap_manifest() {
    test::ManifestSpec spec;
    spec.segments = 96;
    spec.epoch = 0x0102030405060708;
    spec.iterations = 1000;
    spec.dataset_key = kDatasetKeyHex;
    Manifest m = test::make_manifest(spec);
    m.key_commitment = kCommitmentHex;
    return m;
}

Key32 filled(std::uint8_t value) {
    Key32 k;
    for (std::size_t i = 0; i < k.size(); ++i) k[i] = static_cast<std::uint8_t>(value + i);
    return k;
}

WrapNonce nonce_of(std::uint8_t value) {
    WrapNonce n{};
    n.fill(value);
    return n;
}

TEST(WrapContext, IsLabelEpochSegmentIterationsDatasetKeyCommitment) {
    const auto context = wrap_context(wrap_manifest(), 95);
    ASSERT_TRUE(context.ok());
    EXPECT_EQ(context->size(), 107u);
    EXPECT_EQ(encode_hex(*context), encode_hex(as_bytes("zanth-timelock-wrap-v1")) + "00" + "0102030405060708" +
                                        "0000005f" + "00000000000003e8" + kDatasetKeyHex + kCommitmentHex);
}

TEST(WrapContext, RefusesNoncanonicalDatasetKeyOrCommitment) {
    Manifest upper = wrap_manifest();
    upper.dataset_key[10] = 'A';
    Manifest short_commitment = wrap_manifest();
    short_commitment.key_commitment.pop_back();
    for (const Manifest& m : {upper, short_commitment}) {
        const auto context = wrap_context(m, 0);
        ASSERT_FALSE(context.ok());
        EXPECT_EQ(context.error().message(), "noncanonical hex or wrong length");
    }
}

// HKDF-SHA256 and ChaCha20-Poly1305 computed here with libsodium's own
// primitives, so a wrong salt, info, nonce placement or AAD shows up.
TEST(WrappedKey, IsNonceThenChaChaPolyUnderTheHkdfKeyWithTheContextAsAad) {
    const Manifest m = wrap_manifest();
    const Key32 digest = filled(0x40);
    const Key32 unlocked = filled(0x90);
    const WrapNonce nonce = nonce_of(0x3c);
    const auto wrapped = wrap_segment_key(m, 17, digest, nonce, unlocked);
    ASSERT_TRUE(wrapped.ok());
    ASSERT_EQ(wrapped->size(), 120u);
    EXPECT_EQ(wrapped->substr(0, 24), "3c3c3c3c3c3c3c3c3c3c3c3c");

    const Bytes context = wrap_context(m, 17).value();
    std::uint8_t prk[32], key[32];
    crypto_auth_hmacsha256_state st;
    crypto_auth_hmacsha256_init(&st, as_bytes("zanth-timelock-v1").data(), 17);
    crypto_auth_hmacsha256_update(&st, digest.data(), 32);
    crypto_auth_hmacsha256_final(&st, prk);
    crypto_auth_hmacsha256_init(&st, prk, 32);
    crypto_auth_hmacsha256_update(&st, context.data(), context.size());
    const std::uint8_t one = 1;
    crypto_auth_hmacsha256_update(&st, &one, 1);
    crypto_auth_hmacsha256_final(&st, key);
    EXPECT_EQ(encode_hex(std::span<const std::uint8_t>(key, 32)), encode_hex(wrap_key(digest, context).span()));

    const Bytes sealed = decode_hex_fixed(*wrapped, 60).value();
    std::uint8_t plain[32];
    unsigned long long plain_size = 0;
    ASSERT_EQ(crypto_aead_chacha20poly1305_ietf_decrypt(plain, &plain_size, nullptr, sealed.data() + 12, 48,
                                                        context.data(), context.size(), sealed.data(), key),
              0);
    EXPECT_EQ(encode_hex(std::span<const std::uint8_t>(plain, 32)), encode_hex(unlocked.span()));
}

TEST(UnwrapSegmentKey, RoundTripsAtEveryPositionKind) {
    for (std::uint32_t segment : {0u, 1u, 94u, 95u}) {
        Manifest m = wrap_manifest();
        const Key32 digest = filled(static_cast<std::uint8_t>(segment));
        const Key32 unlocked = filled(static_cast<std::uint8_t>(200 - segment));
        m.wrapped_keys[segment] = wrap_segment_key(m, segment, digest, nonce_of(7), unlocked).value();
        const auto opened = unwrap_segment_key(m, segment, digest);
        ASSERT_TRUE(opened.ok()) << opened.error().message();
        EXPECT_EQ(*opened, unlocked);
    }
}

struct TamperCase {
    const char* what;
    void (*tamper)(Manifest&);
    std::uint32_t unwrap_at;
    bool wrong_digest;
};

TEST(UnwrapSegmentKey, AnyChangeToKeyOrContextIsAnAuthenticationFailureOfThatSegment) {
    constexpr std::uint32_t kWrappedAt = 5;
    const TamperCase cases[] = {
        {"wrong digest", [](Manifest&) {}, kWrappedAt, true},
        {"epoch", [](Manifest& m) { m.epoch += 1; }, kWrappedAt, false},
        {"iterations", [](Manifest& m) { m.iterations -= 1; }, kWrappedAt, false},
        {"dataset_key digit", [](Manifest& m) { m.dataset_key[63] = 'e'; }, kWrappedAt, false},
        {"key_commitment digit", [](Manifest& m) { m.key_commitment[0] = 'b'; }, kWrappedAt, false},
        {"moved to the next position", [](Manifest& m) { m.wrapped_keys[6] = m.wrapped_keys[5]; }, 6, false},
        {"ciphertext digit", [](Manifest& m) { m.wrapped_keys[5][40] = m.wrapped_keys[5][40] == '0' ? '1' : '0'; },
         kWrappedAt, false},
    };
    const Key32 digest = filled(0x11);
    Manifest base = wrap_manifest();
    base.wrapped_keys[kWrappedAt] = wrap_segment_key(base, kWrappedAt, digest, nonce_of(9), filled(0x99)).value();
    for (const auto& c : cases) {
        Manifest m = base;
        c.tamper(m);
        const auto opened = unwrap_segment_key(m, c.unwrap_at, c.wrong_digest ? filled(0x12) : digest);
        ASSERT_FALSE(opened.ok()) << c.what;
        EXPECT_EQ(opened.error().message(), "segment " + std::to_string(c.unwrap_at + 1) + kAuthFailedSuffix)
            << c.what;
    }
}

TEST(UnwrapSegmentKey, MalformedWrappedKeysAreHexErrors) {
    const Key32 digest = filled(0x11);
    Manifest base = wrap_manifest();
    const std::string good = wrap_segment_key(base, 3, digest, nonce_of(1), filled(2)).value();
    std::string upper = good;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ASSERT_NE(upper, good);
    for (const std::string& text : {upper, good.substr(0, 118), good + "00"}) {
        base.wrapped_keys[3] = text;
        const auto opened = unwrap_segment_key(base, 3, digest);
        ASSERT_FALSE(opened.ok()) << text.size();
        EXPECT_EQ(opened.error().message(), "noncanonical hex or wrong length");
    }
}

// A source that records the sizes it was asked for, and can fail at one draw.
struct RecordingSource {
    std::vector<std::size_t> sizes;
    std::optional<std::size_t> fail_at;
    std::uint8_t counter = 0;

    detail::GenerationSeams seams() {
        detail::GenerationSeams s;
        s.draw = [this](std::span<std::uint8_t> out) -> Result<void> {
            if (fail_at && sizes.size() == *fail_at) return Error("getrandom: Function not implemented (os error 38)");
            sizes.push_back(out.size());
            for (auto& b : out) b = ++counter;  // distinct, reproducible values
            return success();
        };
        return s;
    }
};

// The puzzle of a run that was not stopped.
Result<GeneratedPuzzle> finished(Result<GenerationOutcome> outcome) {
    if (!outcome) return std::move(outcome).error();
    if (!std::holds_alternative<GeneratedPuzzle>(*outcome)) return Error("stopped");
    return std::get<GeneratedPuzzle>(std::move(*outcome));
}

TEST(Generate, InvalidIterationsAreRefusedBeforeAnythingIsDrawn) {
    for (std::uint64_t iterations : {std::uint64_t{0}, std::uint64_t{1'000'000'000'001}}) {
        test::ScopedFakeRandomx fake;
        RecordingSource source;
        auto puzzle = finished(detail::generate(1, iterations, test::service_keys(), WorkMode::Light, {}, source.seams()));
        ASSERT_FALSE(puzzle.ok());
        EXPECT_EQ(puzzle.error().message(), "invalid iterations");
        EXPECT_TRUE(source.sizes.empty());
        EXPECT_TRUE(fake.log().empty());
    }
}

TEST(Generate, ARandomSourceFailureIsReportedAsOsRandomnessBeforeAnyEngine) {
    for (std::size_t fail_at : {0u, 50u, 97u, 150u}) {
        test::ScopedFakeRandomx fake;
        RecordingSource source;
        source.fail_at = fail_at;
        auto puzzle = finished(detail::generate(1, 1, test::service_keys(), WorkMode::Light, {}, source.seams()));
        ASSERT_FALSE(puzzle.ok());
        EXPECT_EQ(puzzle.error().message(), "OS randomness failed");
        EXPECT_TRUE(fake.log().empty());
    }
}

// The digest of segment i as the fake library computes it.
Key32 fake_digest(const Manifest& m, std::uint32_t segment, const Key32& seed) {
    const Bytes key = decode_hex_fixed(m.dataset_key, 32).value();
    Key32 state = seed;
    for (std::uint64_t j = 0; j < m.iterations; ++j) {
        state = test::fake_hash(key, step_message(m.epoch, segment, j, state).span());
    }
    return state;
}

Key32 key_of(const std::string& hex) {
    const Bytes b = decode_hex_fixed(hex, 32).value();
    return Key32(std::span<const std::uint8_t, 32>(b.data(), 32));
}

// Walks the chain as a solver would; returns the final unlocked value.
template <typename DigestFn>
Key32 unwrap_all(const Manifest& m, DigestFn digest_of) {
    Key32 value = key_of(m.seed_1);
    for (std::uint32_t i = 0; i < m.segments; ++i) {
        const auto next = unwrap_segment_key(m, i, digest_of(i, value));
        EXPECT_TRUE(next.ok()) << "segment " << i << ": " << next.error().message();
        if (!next.ok()) return Key32();
        value = *next;
    }
    return value;
}

TEST(Generate, DrawsInOrderWorksEverySegmentAndSignsWithTheGivenKey) {
    test::ScopedFakeRandomx fake;
    RecordingSource source;
    auto puzzle = finished(detail::generate(77, 2, test::service_keys(), WorkMode::Light, {}, source.seams()));
    ASSERT_TRUE(puzzle.ok()) << puzzle.error().message();

    std::vector<std::size_t> expected(1 + 96 + 1, 32);
    expected.insert(expected.end(), 96, 12);
    EXPECT_EQ(source.sizes, expected);
    EXPECT_EQ(fake.hashes(), 96u * 2);
    EXPECT_EQ(fake.live_caches(), 0) << "engine released";

    const Manifest& m = puzzle->manifest.puzzle;
    EXPECT_EQ(m.epoch, 77u);
    EXPECT_EQ(m.iterations, 2u);
    EXPECT_EQ(m.segments, 96u);
    EXPECT_EQ(m.dataset_key, encode_hex(std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                                                  17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29,
                                                                  30, 31, 32}));
    ASSERT_EQ(m.wrapped_keys.size(), 96u);
    for (const auto& w : m.wrapped_keys) EXPECT_EQ(w.size(), 120u);
    EXPECT_EQ(m.key_commitment, key_commitment(puzzle->epoch_key));
    EXPECT_EQ(unwrap_all(m, [&m](std::uint32_t i, const Key32& seed) { return fake_digest(m, i, seed); }),
              puzzle->epoch_key);
    EXPECT_TRUE(verify_manifest(puzzle->manifest, test::service_pin()).ok());
}

TEST(Generate, TwoRunsShareOnlyTheFixedFields) {
    test::ScopedFakeRandomx fake;
    auto a = finished(generate(5, 1, test::service_keys(), WorkMode::Light));
    auto b = finished(generate(5, 1, test::service_keys(), WorkMode::Light));
    ASSERT_TRUE(a.ok() && b.ok());
    const Manifest& x = a->manifest.puzzle;
    const Manifest& y = b->manifest.puzzle;
    EXPECT_NE(x.dataset_key, y.dataset_key);
    EXPECT_NE(x.seed_1, y.seed_1);
    EXPECT_NE(x.key_commitment, y.key_commitment);
    for (std::size_t i = 0; i < 96; ++i) EXPECT_NE(x.wrapped_keys[i], y.wrapped_keys[i]);
    EXPECT_NE(a->manifest.service_signature, b->manifest.service_signature);
    EXPECT_EQ(a->manifest.service_public_key, b->manifest.service_public_key);
    EXPECT_EQ(x.epoch, y.epoch);
    EXPECT_EQ(x.iterations, y.iterations);
}

// ---- Stopping on request ------------------------------------------------------

decltype(detail::RandomxCalls::init_cache) g_fake_init_cache = nullptr;

int init_cache_then_sighup(randomx_cache* cache, const void* key, std::size_t size, int (*stop)(const void*),
                           const void* context) {
    const int done = g_fake_init_cache(cache, key, size, stop, context);
    ::raise(SIGHUP);
    return done;
}

// A stop during the engine setup reaches the workers before their first
// step: nothing hashed, nothing returned, the engine released and the
// signal's usual disposition back.
TEST(Generate, ASignalStopsTheWorkersAndNothingIsKept) {
    test::ScopedFakeRandomx fake;
    detail::RandomxCalls calls = detail::randomx_calls();
    g_fake_init_cache = calls.init_cache;
    calls.init_cache = init_cache_then_sighup;
    const detail::ScopedRandomxCalls install(calls);
    auto outcome = generate(1, 3, test::service_keys(), WorkMode::Light, GenerateOptions{.stop_on_signals = true});
    ASSERT_TRUE(outcome.ok()) << outcome.error().message();
    ASSERT_TRUE(std::holds_alternative<GenerationStopped>(*outcome));
    EXPECT_EQ(std::get<GenerationStopped>(*outcome).signal, SIGHUP);
    EXPECT_EQ(fake.hashes(), 0u);
    EXPECT_EQ(fake.live_vms(), 0);
    EXPECT_EQ(fake.live_caches(), 0);
    struct sigaction now {};
    sigaction(SIGHUP, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
}

// Through the program: a long light-mode generation stopped by each signal
// exits with 128 + its number, says that the work was not kept, and
// publishes nothing (no output, no staged file).
class RealLightStopGenerate : public testing::TestWithParam<int> {};

TEST_P(RealLightStopGenerate, PublishesNothingAndExitsWithTheSignalsStatus) {
    const int signal_number = GetParam();
    test::ScratchDir dir;
    dir.write("signing.key", test::kServiceSeedHex);
    std::filesystem::create_directory(dir.path() / "out");
    test::ChildProcess child(ZT_BINARY,
                             {"generate", "--epoch", "3", "--iterations", "1000000", "--signing-key",
                              dir / "signing.key", "--manifest-out", dir / "m.json", "--epoch-key-out",
                              dir / "e.hex", "--mode", "light"},
                             dir / "out");
    ASSERT_TRUE(child.wait_until_catching(signal_number, std::chrono::minutes(1)));
    child.send(signal_number);
    const test::ProcessResult stopped = child.wait();
    EXPECT_EQ(stopped.status, 128 + signal_number);
    EXPECT_EQ(stopped.out, "");
    EXPECT_EQ(stopped.err,
              "Stopped before the puzzle was finished; nothing was published and the work done was not kept\n");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"out", "signing.key"}));
}

INSTANTIATE_TEST_SUITE_P(Signals, RealLightStopGenerate, testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const testing::TestParamInfo<int>& param_info) {
                             return std::string(param_info.param == SIGINT ? "Sigint" : param_info.param == SIGTERM ? "Sigterm" : "Sighup");
                         });

TEST(GenerateCommand, ChecksBothOutputsBeforeReadingTheSigningKey) {
    test::ScratchDir dir;
    dir.write("m.json", "{}");
    dir.write("e.hex", "");
    const struct {
        const char* manifest_out;
        const char* epoch_key_out;
    } cases[] = {{"m.json", "new.hex"}, {"new.json", "e.hex"}};
    for (const auto& c : cases) {
        const auto done = cli::run_generate(
            {1, 1, dir / "missing.key", dir / c.manifest_out, dir / c.epoch_key_out, WorkMode::Light});
        ASSERT_FALSE(done.ok());
        EXPECT_EQ(done.error().message(), "output already exists");
    }
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"e.hex", "m.json"}));
}

TEST(GenerateCommand, PublishesThePrivateKeyAndTheManifestAndPrintsTheId) {
    test::ScopedFakeRandomx fake;
    test::ScratchDir dir;
    dir.write("signing.key", std::string(test::kServiceSeedHex) + "\n");
    testing::internal::CaptureStdout();
    const auto done =
        cli::run_generate({9, 1, dir / "signing.key", dir / "m.json", dir / "e.hex", WorkMode::Light});
    const std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(done.ok()) << done.error().message();

    const std::string key_text = test::read_file(dir / "e.hex");
    ASSERT_EQ(key_text.size(), 64u);
    EXPECT_EQ(key_text.find_first_not_of("0123456789abcdef"), std::string::npos);
    const auto manifest = read_signed_manifest(test::read_file(dir / "m.json"));
    ASSERT_TRUE(manifest.ok()) << manifest.error().message();
    EXPECT_EQ(manifest->puzzle.key_commitment, key_commitment(key_of(key_text)));
    EXPECT_EQ(printed, manifest_id(*manifest).value() + "\n");

    struct stat st {};
    ASSERT_EQ(stat((dir / "e.hex").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((dir / "m.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777 & ~0022u, 0644u & ~0022u);
}

// One real puzzle in light mode with one iteration per segment: 96 hashes on
// the pool, then 96 more to walk it as a solver would. One test, because
// each test runs in its own process and the puzzle is the expensive part.
TEST(RealLightPuzzle, VerifiesCommitsAndUnwrapsSegmentBySegmentToTheEpochKey) {
    auto puzzle = finished(generate(1234, 1, test::service_keys(), WorkMode::Light));
    ASSERT_TRUE(puzzle.ok()) << puzzle.error().message();
    EXPECT_TRUE(verify_manifest(puzzle->manifest, test::service_pin()).ok());
    const Manifest& m = puzzle->manifest.puzzle;
    EXPECT_EQ(m.key_commitment, encode_hex(sha256(puzzle->epoch_key.span())));

    auto engine = WorkEngine::setup(key_of(m.dataset_key), WorkMode::Light);
    ASSERT_TRUE(engine.ok());
    auto vm = engine->create_vm();
    ASSERT_TRUE(vm.ok());
    const Key32 last = unwrap_all(m, [&](std::uint32_t i, const Key32& seed) {
        return segment_chain(*vm, m.epoch, i, m.iterations, seed);
    });
    EXPECT_EQ(last, puzzle->epoch_key);
}

}  // namespace
}  // namespace zt
