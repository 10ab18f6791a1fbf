// The checkpoint log: record and digest against reference lines, loading the
// last usable line from the end of the file, acceptance in order, opening
// and appending through the file seam with injected faults and crashes.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/signed_manifest.h"
#include "timelock/base/crypto.h"
#include "timelock/base/file_io.h"
#include "timelock/formats/checkpoint.h"
#include "timelock/formats/segment_progress.h"
#include "timelock/formats/manifest_signing.h"

namespace zt {

void PrintTo(const Checkpoint& checkpoint, std::ostream* out) { *out << checkpoint_line(checkpoint); }

namespace {

using test::ScratchDir;
using test::read_file;

const std::string kId = "47dfe649201418985584d445e69070c85173252f7d7a6889d2b9d61c9fc7804e";

Key32 key_of(std::uint8_t first) {
    Key32 key;
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(first + i);
    return key;
}

Checkpoint make(std::uint32_t segment, std::uint64_t iteration, std::uint8_t state = 0x40,
                const std::string& id = kId) {
    auto checkpoint = new_checkpoint(id, segment, iteration, key_of(state));
    EXPECT_TRUE(checkpoint.ok());
    return checkpoint.value();
}

// A line without its line feed.
std::string bare(const Checkpoint& checkpoint) {
    std::string line = checkpoint_line(checkpoint);
    line.pop_back();
    return line;
}

std::vector<std::string> reference_lines() {
    std::ifstream in(std::string(ZT_TEST_DATA_DIR) + "/checkpoints/good_reference_lines.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// ---- Record, digest, line -------------------------------------------------

TEST(CheckpointRecord, ReferenceLinesRoundTripAndTheirDigestsRecompute) {
    const auto lines = reference_lines();
    ASSERT_EQ(lines.size(), 7u);
    for (const std::string& line : lines) {
        SCOPED_TRACE(line);
        auto parsed = parse_checkpoint(line);
        ASSERT_TRUE(parsed.ok()) << parsed.error().message();
        EXPECT_EQ(checkpoint_digest(*parsed).value(), parsed->digest);
        EXPECT_EQ(checkpoint_line(*parsed), line + "\n");
        auto state = decode_hex_fixed<32>(parsed->x);
        ASSERT_TRUE(state.ok());
        const Key32 x(std::span<const std::uint8_t, 32>(state->data(), 32));
        auto made = new_checkpoint(parsed->manifest_id, parsed->segment, parsed->iteration, x);
        ASSERT_TRUE(made.ok());
        EXPECT_EQ(*made, *parsed);
    }
}

TEST(CheckpointRecord, DigestInputLayout) {
    Checkpoint c = make(0x01020304, 0x05060708090a0b0cULL, 0xa0, encode_hex(key_of(0x00).span()));
    auto input = checkpoint_digest_input(c);
    ASSERT_TRUE(input.ok());
    const auto& bytes = *input;
    static_assert(kCheckpointDigestInputSize == 109);
    const std::string label(reinterpret_cast<const char*>(bytes.data()), 29);
    EXPECT_EQ(label, std::string("zanth-timelock-checkpoint-v1\0", 29));
    const std::vector<std::uint8_t> version(bytes.data() + 29, bytes.data() + 33);
    EXPECT_EQ(version, (std::vector<std::uint8_t>{0, 0, 0, 1}));
    for (std::size_t i = 0; i < 32; ++i) EXPECT_EQ(bytes[33 + i], i) << i;
    const std::vector<std::uint8_t> coordinates(bytes.data() + 65, bytes.data() + 77);
    EXPECT_EQ(coordinates, (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    for (std::size_t i = 0; i < 32; ++i) EXPECT_EQ(bytes[77 + i], 0xa0 + i) << i;
    EXPECT_EQ(c.digest, encode_hex(sha256(bytes)));
}

TEST(CheckpointRecord, DigestChangesWithEachCoordinate) {
    const Checkpoint fresh = make(0, 0);
    EXPECT_NE(make(1, 0).digest, fresh.digest);
    EXPECT_NE(make(0, 1).digest, fresh.digest);
    EXPECT_NE(make(0, 0, 0x41).digest, fresh.digest);
    Checkpoint v2 = fresh;
    v2.version = 2;
    EXPECT_NE(checkpoint_digest(v2).value(), fresh.digest);
}

TEST(CheckpointRecord, FreshLineIs267BytesAndALineFeed) {
    const std::string line = checkpoint_line(make(0, 0));
    EXPECT_EQ(line.size(), 268u);
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find(' '), std::string::npos);
    const std::string head = "{\"version\":1,\"manifest_id\":\"" + kId + "\",\"segment\":0,\"iteration\":0,\"x\":\"";
    EXPECT_EQ(line.rfind(head, 0), 0u);
    // The largest coordinates still stay under 300 bytes.
    EXPECT_LT(checkpoint_line(make(UINT32_MAX, UINT64_MAX)).size(), 300u);
}

TEST(CheckpointRecord, NonCanonicalHexIsRefused) {
    EXPECT_EQ(new_checkpoint("47DF" + kId.substr(4), 0, 0, key_of(1)).error().message(), kNoncanonicalHex);
    EXPECT_EQ(new_checkpoint(kId.substr(2), 0, 0, key_of(1)).error().message(), kNoncanonicalHex);
    Checkpoint c = make(0, 0);
    c.x[0] = 'A';
    EXPECT_EQ(checkpoint_digest(c).error().message(), kNoncanonicalHex);
}

// ---- Load latest ------------------------------------------------------------

struct LoadCase {
    const char* name;
    std::optional<std::string> content;  // no file when absent
    std::optional<Checkpoint> expected;  // nothing when absent (and no error)
    const char* error = nullptr;
};

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
}

// Unparseable lines of 100 bytes (line feed included) and one shorter line,
// `size` bytes in all.
std::string filler(std::size_t size) {
    std::string out;
    while (size - out.size() > 100) out += std::string(99, 'x') + "\n";
    if (size > out.size()) out += std::string(size - out.size() - 1, 'y') + "\n";
    return out;
}

std::vector<LoadCase> load_cases() {
    const Checkpoint older = make(0, 1, 0x11);
    const Checkpoint newer = make(0, 2, 0x22);
    const std::string a = bare(older);
    const std::string b = bare(newer);
    Checkpoint tampered = newer;
    tampered.digest[5] = tampered.digest[5] == '0' ? '1' : '0';
    const std::string array_form = "[1,\"" + kId + "\",0,2,\"" + newer.x + "\",\"" + newer.digest + "\"]";
    return {
        {"NoFile", std::nullopt, std::nullopt},
        {"EmptyFile", "", std::nullopt},
        {"OnlyLineFeeds", "\n\n\n", std::nullopt},
        {"OnlyUnparseableLines", "garbage\n{\"version\":1}\n[]\n" + a.substr(5) + "\n", std::nullopt},
        {"NoLineFeedAtAll", a, std::nullopt},
        {"CutOffLastLine", a + "\n" + b.substr(0, 120), older},
        {"GarbageAfterLastLineFeed", a + "\n" + "\x01\xff not json", older},
        {"ValidLastLineWithoutItsLineFeed", a + "\n" + b, older},
        {"LastLineWithExtraMember", a + "\n" + replaced(b, "}", ",\"note\":1}") + "\n", older},
        {"LastLineWithMissingMember", a + "\n" + replaced(b, ",\"segment\":0", "") + "\n", older},
        {"LastLineWithSegmentMinusOne", a + "\n" + replaced(b, "\"segment\":0", "\"segment\":-1") + "\n", older},
        {"LastLineWithRepeatedMember", a + "\n" + replaced(b, "}", ",\"segment\":0}") + "\n", older},
        {"EmptyLinesAfterTheLastGoodLine", a + "\n" + b + "\n\n\n", newer},
        {"ArrayForm", a + "\n" + array_form + "\n", newer},
        {"JsonWhitespaceAroundTheLine", a + "\n \t" + b + " \r\n", newer},
        {"WrongDigestIsStillTheResult", a + "\n" + bare(tampered) + "\n", tampered},
        {"LongestAcceptedLine", a + "\n" + b + std::string(kCheckpointLineLimit - b.size(), ' ') + "\n", newer},
        {"LineOf2049Bytes", a + "\n" + std::string(2049, 'x') + "\n", std::nullopt, "checkpoint too large"},
        {"ValidLinePaddedTo2049Bytes", a + "\n" + b + std::string(2049 - b.size(), ' ') + "\n", std::nullopt,
         "checkpoint too large"},
        {"LongLineBeforeTheGoodOneIsNeverReached", std::string(3000, 'x') + "\n" + b + "\n", newer},
        {"LineStartingExactlyAtTheWindow", a + "\n" + filler(kCheckpointWindow - a.size() - 1), older},
        // The window starts one byte into the file: that byte is the line feed before the line.
        {"LineStartingAtTheFirstByteOfTheWindow", "\n" + a + "\n" + filler(kCheckpointWindow - a.size() - 1), older},
        {"LineStartingOneByteBeforeTheWindow", a + "\n" + filler(kCheckpointWindow - a.size()), std::nullopt},
        {"LineFarBeforeTheWindow", b + "\n" + filler(20000), std::nullopt},
    };
}

class LoadLatest : public testing::TestWithParam<LoadCase> {};

TEST_P(LoadLatest, FindsTheLastParseableCompleteLine) {
    const LoadCase& c = GetParam();
    ScratchDir dir;
    const std::string path = dir / "progress.log";
    if (c.content) dir.write("progress.log", *c.content);
    auto loaded = load_latest_checkpoint(path);
    if (c.error != nullptr) {
        ASSERT_FALSE(loaded.ok());
        EXPECT_EQ(loaded.error().message(), c.error);
    } else {
        ASSERT_TRUE(loaded.ok()) << loaded.error().message();
        EXPECT_EQ(*loaded, c.expected);
    }
    // Loading only reads.
    if (c.content) {
        EXPECT_EQ(read_file(path), *c.content);
    } else {
        EXPECT_FALSE(std::filesystem::exists(path));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, LoadLatest, testing::ValuesIn(load_cases()),
                         [](const testing::TestParamInfo<LoadCase>& param_info) { return param_info.param.name; });

TEST(LoadLatestErrors, OtherOpenAndReadFailuresAreTheSystemsErrors) {
    ScratchDir dir;
    std::filesystem::create_directory(dir.path() / "adir");
    EXPECT_EQ(load_latest_checkpoint(dir / "adir").error().message(), "Is a directory (os error 21)");
    dir.write("file", "x");
    EXPECT_EQ(load_latest_checkpoint(dir / "file/below").error().message(), "Not a directory (os error 20)");
}

// ---- Accept -------------------------------------------------------------------

struct AcceptCase {
    const char* name;
    std::function<void(Checkpoint&, const Manifest&)> change;
    bool recompute_digest;
    const char* error;  // null: accepted
};

std::vector<AcceptCase> accept_cases() {
    const auto at = [](std::uint32_t s, std::uint64_t j) {
        return [s, j](Checkpoint& c, const Manifest&) {
            c.segment = s;
            c.iteration = j;
        };
    };
    const auto flip_digest = [](Checkpoint& c) { c.digest[7] = c.digest[7] == 'a' ? 'b' : 'a'; };
    const std::string other_id = test::random_hex(32);
    return {
        {"Fresh", [](Checkpoint&, const Manifest&) {}, false, nullptr},
        {"IterationEqualToIterations", at(6, 3), true, nullptr},
        {"MidSegment", at(3, 1), true, nullptr},
        {"Version2", [](Checkpoint& c, const Manifest&) { c.version = 2; }, true,
         "checkpoint belongs to another puzzle"},
        {"OtherManifestId", [other_id](Checkpoint& c, const Manifest&) { c.manifest_id = other_id; }, true,
         "checkpoint belongs to another puzzle"},
        {"ManifestIdInUppercase",
         [](Checkpoint& c, const Manifest&) {
             for (char& ch : c.manifest_id) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
         },
         false, "checkpoint belongs to another puzzle"},
        {"SegmentEqualToSegments", at(7, 0), true, "invalid checkpoint coordinates"},
        {"IterationAboveIterations", at(0, 4), true, "invalid checkpoint coordinates"},
        {"DigestChangedInOneDigit", [flip_digest](Checkpoint& c, const Manifest&) { flip_digest(c); }, false,
         "checkpoint corrupted"},
        {"StateChangedAfterSealing", [](Checkpoint& c, const Manifest&) { c.x[0] = c.x[0] == 'f' ? 'e' : 'f'; },
         false, "checkpoint corrupted"},
        {"StateInUppercase",
         [](Checkpoint& c, const Manifest&) { c.x = std::string(64, 'A'); }, false,
         "noncanonical hex or wrong length"},
        {"InitialCheckpointWithAnotherState",
         [](Checkpoint& c, const Manifest&) { c.x = encode_hex(key_of(0x77).span()); }, true,
         "invalid initial checkpoint"},
        // The first failing rule decides.
        {"OtherPuzzleBeforeCoordinates",
         [other_id](Checkpoint& c, const Manifest&) {
             c.manifest_id = other_id;
             c.segment = 9;
         },
         false, "checkpoint belongs to another puzzle"},
        {"CoordinatesBeforeDigest", [](Checkpoint& c, const Manifest&) { c.segment = 7; }, false,
         "invalid checkpoint coordinates"},
        {"DigestBeforeInitialState",
         [](Checkpoint& c, const Manifest&) { c.x = encode_hex(key_of(0x77).span()); }, false,
         "checkpoint corrupted"},
    };
}

class Accept : public testing::TestWithParam<AcceptCase> {};

TEST_P(Accept, ChecksInOrder) {
    // 7 segments of 3 iterations.
    static const SignedManifest manifest = test::make_signed_manifest();
    static const std::string id = manifest_id(manifest).value();
    const AcceptCase& c = GetParam();
    auto seed = decode_hex_fixed<32>(manifest.puzzle.seed_1);
    ASSERT_TRUE(seed.ok());
    auto fresh = new_checkpoint(id, 0, 0, Key32(std::span<const std::uint8_t, 32>(seed->data(), 32)));
    ASSERT_TRUE(fresh.ok());
    Checkpoint checkpoint = *fresh;
    c.change(checkpoint, manifest.puzzle);
    if (c.recompute_digest) checkpoint.digest = checkpoint_digest(checkpoint).value();
    const auto accepted = accept_checkpoint(checkpoint, manifest, id);
    if (c.error == nullptr) {
        EXPECT_TRUE(accepted.ok()) << accepted.error().message();
    } else {
        ASSERT_FALSE(accepted.ok());
        EXPECT_EQ(accepted.error().message(), c.error);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Accept, testing::ValuesIn(accept_cases()),
                         [](const testing::TestParamInfo<AcceptCase>& param_info) { return param_info.param.name; });

// ---- Open log and append ---------------------------------------------------

class UmaskGuard {
public:
    explicit UmaskGuard(mode_t mask) : previous_(::umask(mask)) {}
    ~UmaskGuard() { ::umask(previous_); }

private:
    mode_t previous_;
};

TEST(OpenLog, CreatesAnOwnerOnlyFileHoldingOneLineFeed) {
    const UmaskGuard mask(022);
    ScratchDir dir;
    auto log = open_checkpoint_log(dir / "progress.log");
    ASSERT_TRUE(log.ok());
    EXPECT_EQ(read_file(dir / "progress.log"), "\n");
    EXPECT_EQ(test::file_mode(dir / "progress.log"), 0600u);
}

TEST(OpenLog, AppendsALineFeedToAnExistingFileAndKeepsItsMode) {
    const UmaskGuard mask(022);
    ScratchDir dir;
    const std::string torn = bare(make(0, 1)).substr(0, 80);
    dir.write("progress.log", torn);
    ::chmod((dir / "progress.log").c_str(), 0644);
    auto log = open_checkpoint_log(dir / "progress.log");
    ASSERT_TRUE(log.ok());
    ASSERT_TRUE(append_checkpoint(log->get(), make(0, 2)).ok());
    // The torn line is closed off, so the new line stands on its own.
    EXPECT_EQ(read_file(dir / "progress.log"), torn + "\n" + checkpoint_line(make(0, 2)));
    EXPECT_EQ(load_latest_checkpoint(dir / "progress.log").value(), make(0, 2));
    EXPECT_EQ(test::file_mode(dir / "progress.log"), 0644u);
}

TEST(OpenLog, FailuresAreTheSystemsErrors) {
    ScratchDir dir;
    std::filesystem::create_directory(dir.path() / "adir");
    EXPECT_EQ(open_checkpoint_log(dir / "adir").error().message(), "Is a directory (os error 21)");
    EXPECT_EQ(open_checkpoint_log(dir / "missing/progress.log").error().message(),
              "No such file or directory (os error 2)");
}

// One solver per log: the second opening is refused, writes nothing, and
// the log is free again once the first descriptor is closed.
TEST(OpenLog, ASecondOpeningIsRefusedWhileTheFirstIsOpen) {
    ScratchDir dir;
    const std::string path = dir / "progress.log";
    {
        auto first = open_checkpoint_log(path);
        ASSERT_TRUE(first.ok());
        ASSERT_TRUE(append_checkpoint(first->get(), make(0, 2)).ok());
        const std::string before = read_file(path);
        auto second = open_checkpoint_log(path);
        ASSERT_FALSE(second.ok());
        EXPECT_TRUE(second.error().message().starts_with(std::string(kCheckpointLogInUse) + ": " + path +
                                                         " is locked by process " + std::to_string(::getpid()) + " ("))
            << second.error().message();
        EXPECT_EQ(read_file(path), before) << "the refused run leaves the log untouched";
    }
    auto third = open_checkpoint_log(path);
    ASSERT_TRUE(third.ok()) << third.error().message();
    EXPECT_EQ(read_file(path), "\n" + checkpoint_line(make(0, 2)) + "\n");
}

TEST(OpenLog, ALockTheSystemCannotTakeIsItsError) {
    ScratchDir dir;
    std::vector<file_io::Op> ops;
    const file_io::ScopedFaultHook hook([&](file_io::Op op) -> std::optional<int> {
        ops.push_back(op);
        return op == file_io::Op::Lock ? std::optional<int>(ENOLCK) : std::nullopt;
    });
    auto log = open_checkpoint_log(dir / "progress.log");
    ASSERT_FALSE(log.ok());
    EXPECT_EQ(log.error().message(), "No locks available (os error 37)");
    EXPECT_EQ(read_file(dir / "progress.log"), "") << "nothing appended without the lock";
    EXPECT_EQ(std::count(ops.begin(), ops.end(), file_io::Op::Write), 0);
}

// A log or progress file the call creates is made durable in its directory
// (the directory flushed); one that was there is not flushed again. Where
// locks are refused, a progress file's error names it.
TEST(OpenLog, ANewLogIsFlushedIntoItsDirectoryAndARefusedLockOnAProgressFileNamesIt) {
    ScratchDir dir;
    for (const auto open : {+[](const std::string& p) { return open_checkpoint_log(p); },
                            +[](const std::string& p) {
                                return open_progress_file(file_io::open_directory(file_io::parent_directory(p)).value(),
                                                          file_io::last_component(p));
                            }}) {
        std::filesystem::remove(dir / "new.log");
        for (const bool creates : {true, false}) {
            std::vector<file_io::Op> ops;
            const file_io::ScopedFaultHook hook([&](file_io::Op op) -> std::optional<int> {
                ops.push_back(op);
                return std::nullopt;
            });
            ASSERT_TRUE(open(dir / "new.log").ok());
            EXPECT_EQ(std::count(ops.begin(), ops.end(), file_io::Op::Sync), creates ? 1 : 0);
        }
    }
    const file_io::ScopedFaultHook refuse([](file_io::Op op) -> std::optional<int> {
        return op == file_io::Op::Lock ? std::optional<int>(ENOLCK) : std::nullopt;
    });
    const auto refused = open_progress_file(file_io::open_directory(dir.path()).value(), "p.progress");
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message(), "cannot lock " + dir / "p.progress" +
                                             ": this file system refuses locks, so one worker per file cannot be "
                                             "ensured here");
}

// Records the seam's calls and injects one result for chosen calls.
struct Injection {
    file_io::Op op;
    int occurrence;  // 1-based count of `op`
    int result;      // errno to inject (0: a write that makes no progress)
};

struct AppendCase {
    const char* name;
    std::vector<Injection> injections;
    std::vector<file_io::Op> expected_ops;
    const char* error;  // null: success
    bool line_written;
};

std::vector<AppendCase> append_cases() {
    using enum file_io::Op;
    return {
        {"Plain", {}, {Write, SyncData}, nullptr, true},
        {"InterruptedWriteIsRepeated", {{Write, 1, EINTR}, {Write, 2, EINTR}}, {Write, Write, Write, SyncData},
         nullptr, true},
        {"InterruptedFlushIsRepeated", {{SyncData, 1, EINTR}}, {Write, SyncData, SyncData}, nullptr, true},
        {"WriteFails", {{Write, 1, EIO}}, {Write}, "Input/output error (os error 5)", false},
        {"WriteMakesNoProgress", {{Write, 1, 0}}, {Write}, "failed to write whole buffer", false},
        {"FlushFails", {{SyncData, 1, ENOSPC}}, {Write, SyncData}, "No space left on device (os error 28)", true},
    };
}

class Append : public testing::TestWithParam<AppendCase> {};

TEST_P(Append, OneCompleteWriteThenADataFlush) {
    const AppendCase& c = GetParam();
    ScratchDir dir;
    auto log = open_checkpoint_log(dir / "progress.log");
    ASSERT_TRUE(log.ok());
    std::vector<file_io::Op> ops;
    Result<void> appended;
    {
        const file_io::ScopedFaultHook hook([&](file_io::Op op) -> std::optional<int> {
            ops.push_back(op);
            int seen = 0;
            for (file_io::Op o : ops) seen += o == op;
            for (const Injection& i : c.injections) {
                if (i.op == op && i.occurrence == seen) return i.result;
            }
            return std::nullopt;
        });
        appended = append_checkpoint(log->get(), make(2, 5));
    }
    EXPECT_EQ(ops, c.expected_ops);
    if (c.error == nullptr) {
        EXPECT_TRUE(appended.ok()) << appended.error().message();
    } else {
        ASSERT_FALSE(appended.ok());
        EXPECT_EQ(appended.error().message(), c.error);
    }
    EXPECT_EQ(read_file(dir / "progress.log"), c.line_written ? "\n" + checkpoint_line(make(2, 5)) : "\n");
}

INSTANTIATE_TEST_SUITE_P(Cases, Append, testing::ValuesIn(append_cases()),
                         [](const testing::TestParamInfo<AppendCase>& param_info) { return param_info.param.name; });

// A file-size limit `room` bytes above the log's size makes the kernel
// accept only part of the next write; the limit is lifted again before the
// second write call when `lift` is set.
int append_against_size_limit(const std::string& path, std::size_t room, bool lift, std::vector<file_io::Op>* ops) {
    std::signal(SIGXFSZ, SIG_IGN);
    auto log = open_checkpoint_log(path);
    if (!log) return 10;
    rlimit original{};
    getrlimit(RLIMIT_FSIZE, &original);
    rlimit limited = original;
    limited.rlim_cur = std::filesystem::file_size(path) + room;
    if (setrlimit(RLIMIT_FSIZE, &limited) != 0) return 11;
    int writes = 0;
    const file_io::ScopedFaultHook hook([&](file_io::Op op) -> std::optional<int> {
        ops->push_back(op);
        if (op == file_io::Op::Write && ++writes == 2 && lift) setrlimit(RLIMIT_FSIZE, &original);
        return std::nullopt;
    });
    auto appended = append_checkpoint(log->get(), make(3, 7));
    if (lift) return appended.ok() && *ops == std::vector{file_io::Op::Write, file_io::Op::Write,
                                                          file_io::Op::SyncData}
                         ? 0
                         : 12;
    return !appended.ok() && appended.error().message() == "File too large (os error 27)" ? 0 : 13;
}

TEST(AppendPartialWrites, TheRestOfAPartlyWrittenLineIsWritten) {
    ScratchDir dir;
    const std::string path = dir / "progress.log";
    dir.write("progress.log", checkpoint_line(make(3, 6)));
    const int status = test::run_in_child([&] {
        std::vector<file_io::Op> ops;
        return append_against_size_limit(path, 100, /*lift=*/true, &ops);
    });
    ASSERT_EQ(status, 0);
    EXPECT_EQ(read_file(path), checkpoint_line(make(3, 6)) + "\n" + checkpoint_line(make(3, 7)));
    EXPECT_EQ(load_latest_checkpoint(path).value(), make(3, 7));
}

TEST(AppendPartialWrites, AFailedWriteLeavesATornLineThatLoadingPassesOver) {
    ScratchDir dir;
    const std::string path = dir / "progress.log";
    dir.write("progress.log", checkpoint_line(make(3, 6)));
    const int status = test::run_in_child([&] {
        std::vector<file_io::Op> ops;
        return append_against_size_limit(path, 100, /*lift=*/false, &ops);
    });
    ASSERT_EQ(status, 0);
    const std::string torn = checkpoint_line(make(3, 7)).substr(0, 100);
    EXPECT_EQ(read_file(path), checkpoint_line(make(3, 6)) + "\n" + torn);
    EXPECT_EQ(load_latest_checkpoint(path).value(), make(3, 6));
    // The next run closes the torn line off and goes on.
    auto log = open_checkpoint_log(path);
    ASSERT_TRUE(log.ok());
    ASSERT_TRUE(append_checkpoint(log->get(), make(3, 7)).ok());
    EXPECT_EQ(load_latest_checkpoint(path).value(), make(3, 7));
}

TEST(AppendCrash, AProcessEndingBetweenWriteAndFlushLeavesTheWholeLine) {
    ScratchDir dir;
    const std::string path = dir / "progress.log";
    const int status = test::run_in_child([&] {
        auto log = open_checkpoint_log(path);
        if (!log) return 10;
        if (!append_checkpoint(log->get(), make(4, 1)).ok()) return 11;
        const file_io::ScopedFaultHook crash([](file_io::Op op) -> std::optional<int> {
            if (op == file_io::Op::SyncData) ::_exit(3);
            return std::nullopt;
        });
        static_cast<void>(append_checkpoint(log->get(), make(4, 2)));
        return 12;
    });
    ASSERT_EQ(status, 3);
    EXPECT_EQ(read_file(path), "\n" + checkpoint_line(make(4, 1)) + checkpoint_line(make(4, 2)));
    EXPECT_EQ(load_latest_checkpoint(path).value(), make(4, 2));
}

}  // namespace
}  // namespace zt
