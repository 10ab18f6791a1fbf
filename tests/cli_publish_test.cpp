// Staged publishing: never overwrite, never a partial target, the staged
// name gone after success and kept after a failure that may have lost work;
// failures and crashes at every step through the file-system seam; several
// processes racing for one target.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "tests/support/scratch_dir.h"
#include "timelock/base/crypto.h"
#include "timelock/base/file_io.h"
#include "timelock/base/publish.h"

namespace zt::cli {
namespace {

namespace fs = std::filesystem;
using file_io::Op;

std::span<const std::uint8_t> bytes_of(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

bool is_staged_name(const std::string& name) {
    if (name.size() != kStagedPrefix.size() + 32 || !name.starts_with(kStagedPrefix)) return false;
    return std::all_of(name.begin() + static_cast<long>(kStagedPrefix.size()), name.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// Runs every test in a fresh current directory under umask 022.
class Publish : public testing::Test {
protected:
    Publish() : cwd_(dir_.path()), old_umask_(::umask(022)) {}
    ~Publish() override { ::umask(old_umask_); }

    std::vector<std::string> staged(const std::string& sub = ".") const {
        std::vector<std::string> names;
        for (const std::string& name : dir_.entries(sub)) {
            if (name.starts_with(kStagedPrefix)) {
                EXPECT_TRUE(is_staged_name(name)) << name;
                names.push_back(sub + "/" + name);
            }
        }
        return names;
    }

    test::ScratchDir dir_;
    test::CurrentDir cwd_;
    mode_t old_umask_;
};

TEST_F(Publish, NewFileHasExactContentModeAndOneName) {
    for (const bool owner_only : {true, false}) {
        const std::string target = owner_only ? "key.hex" : "manifest.json";
        ASSERT_TRUE(publish_staged(target, bytes_of("content\n"), owner_only).ok());
        EXPECT_EQ(test::read_file(target), "content\n");
        EXPECT_EQ(test::file_mode(target), owner_only ? 0600u : 0644u);
        EXPECT_EQ(fs::hard_link_count(target), 1u);
    }
    EXPECT_TRUE(staged().empty());
    EXPECT_EQ(dir_.entries(), (std::vector<std::string>{"key.hex", "manifest.json"}));
}

TEST_F(Publish, EmptyContent) {
    ASSERT_TRUE(publish_staged("empty", {}, true).ok());
    EXPECT_EQ(fs::file_size("empty"), 0u);
}

TEST_F(Publish, EpochKeyIsLowercaseHexWithoutLineEndOwnerOnly) {
    Key32 key;
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(0x0f + 0x31 * i);
    ASSERT_TRUE(publish_key_file("epoch.key", key).ok());
    EXPECT_EQ(test::read_file("epoch.key"), "0f4071a2d304356697c8f92a5b8cbdee1f5081b2e3144576a7d8093a6b9ccdfe");
    EXPECT_EQ(test::file_mode("epoch.key"), 0600u);
    EXPECT_TRUE(staged().empty());
    EXPECT_EQ(publish_key_file("epoch.key", key).error().message(), "publishing epoch.key (will not overwrite)");
}

TEST_F(Publish, StagesInTheTargetsDirectory) {
    fs::create_directories("a/b");
    ASSERT_TRUE(publish_staged("a/b/out.bin", bytes_of("x"), false).ok());
    ASSERT_TRUE(publish_staged(dir_ / "a/abs.bin", bytes_of("y"), false).ok());
    EXPECT_EQ(test::read_file("a/b/out.bin"), "x");
    EXPECT_EQ(test::read_file("a/abs.bin"), "y");
    EXPECT_EQ(dir_.entries("a/b"), std::vector<std::string>{"out.bin"});
    EXPECT_EQ(dir_.entries("a"), (std::vector<std::string>{"abs.bin", "b"}));
}

TEST_F(Publish, ExistingTargetIsUntouchedAndTheNewDataStaysStaged) {
    dir_.write("out.json", "old");
    ASSERT_EQ(::chmod("out.json", 0640), 0);
    const auto result = publish_staged("out.json", bytes_of("new data"), true);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), Error("publishing out.json (will not overwrite)", {"File exists (os error 17)"}));
    EXPECT_EQ(test::read_file("out.json"), "old");
    EXPECT_EQ(test::file_mode("out.json"), 0640u);
    const auto left = staged();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(test::read_file(left[0]), "new data");
    EXPECT_EQ(test::file_mode(left[0]), 0600u);
}

TEST_F(Publish, EachCallDrawsItsOwnStagedName) {
    dir_.write("one", "1");
    dir_.write("two", "2");
    EXPECT_FALSE(publish_staged("one", bytes_of("a"), false).ok());
    EXPECT_FALSE(publish_staged("two", bytes_of("b"), false).ok());
    EXPECT_EQ(staged().size(), 2u);
}

TEST_F(Publish, MissingDirectoryCreatesNothing) {
    const auto result = publish_staged("missing/out.bin", bytes_of("x"), true);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), Error("staging missing/out.bin", {"No such file or directory (os error 2)"}));
    EXPECT_TRUE(dir_.entries().empty());
}

TEST_F(Publish, DanglingSymlinkIsNotFollowed) {
    fs::create_symlink("elsewhere", "link");
    const auto result = publish_staged("link", bytes_of("x"), true);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), Error("publishing link (will not overwrite)", {"File exists (os error 17)"}));
    EXPECT_EQ(fs::read_symlink("link"), "elsewhere");
    EXPECT_FALSE(fs::exists("elsewhere"));
}

TEST_F(Publish, NulByteInTheName) {
    const std::string target("out\0.bin", 8);
    const auto result = publish_staged(target, bytes_of("x"), true);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), Error(std::string("publishing out\0.bin (will not overwrite)", 40),
                                    {"file name contained an unexpected NUL byte"}));
    EXPECT_EQ(staged().size(), 1u);

    const auto in_dir = publish_staged(std::string("d\0/x", 4), bytes_of("x"), true);
    EXPECT_EQ(in_dir.error(), Error(std::string("staging d\0/x", 12), {"file name contained an unexpected NUL byte"}));
}

TEST_F(Publish, InvalidUtf8IsShownAsReplacementCharacter) {
    dir_.write("\xff.bin", "old");
    EXPECT_EQ(publish_staged("\xff.bin", bytes_of("x"), true).error().message(),
              "publishing \xEF\xBF\xBD.bin (will not overwrite)");
}

TEST(ParentDirectory, LexicalParentOrDot) {
    const std::map<std::string, std::string> cases{
        {"out.json", "."},  {"/tmp/x/out.bin", "/tmp/x"}, {"/out", "/"},    {"/", "."},
        {"", "."},          {"a/b/", "a"},                {"./x", "."},     {"a//b", "a"},
        {"a/./b", "a"},     {"a/b/.", "a"},               {"x/..", "x"},    {"../x", ".."},
        {"dir/", "."},      {"//a", "/"}};
    for (const auto& [path, parent] : cases) EXPECT_EQ(file_io::parent_directory(path), parent) << path;
}

// ---- Failures injected through the seam ----------------------------------------

struct FaultCase {
    const char* name;
    Op op;
    int occurrence;  // which call of `op` fails (1 = the first)
    int error;       // errno to inject; 0 = a write that makes no progress
    std::optional<Error> expected;  // nothing: the publication succeeds
    bool target_published;
    std::size_t staged_left;
    bool no_unnamed_files = false;  // the file system refuses O_TMPFILE: the staged way
    const char* warning = nullptr;  // the start of the one warning given
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class InjectedFault : public Publish, public testing::WithParamInterface<FaultCase> {};

// Fails the case's occurrence of its call (and every unnamed file where the
// case has none).
file_io::FaultHook fault_of(const FaultCase& c) {
    return [&c, seen = std::map<Op, int>{}](Op op) mutable -> std::optional<int> {
        if (c.no_unnamed_files && op == Op::OpenUnnamed) return EOPNOTSUPP;
        if (++seen[op] == c.occurrence && op == c.op) return c.error;
        return std::nullopt;
    };
}

TEST_P(InjectedFault, LeavesTheRightFiles) {
    const FaultCase& c = GetParam();
    std::vector<std::string> warnings;
    set_publication_warning([&warnings](const std::string& message) { warnings.push_back(message); });
    const file_io::ScopedFaultHook hook(fault_of(c));
    const std::string content(100000, 'c');
    const auto result = publish_staged("out.bin", bytes_of(content), true);
    set_publication_warning({});
    if (c.warning) {
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_TRUE(warnings[0].starts_with(c.warning)) << warnings[0];
    } else {
        EXPECT_TRUE(warnings.empty()) << warnings[0];
    }
    if (c.expected) {
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error(), *c.expected);
    } else {
        EXPECT_TRUE(result.ok()) << result.error().message();
    }
    EXPECT_EQ(fs::exists("out.bin"), c.target_published);
    if (c.target_published) EXPECT_EQ(test::read_file("out.bin"), content);
    const auto left = staged();
    ASSERT_EQ(left.size(), c.staged_left);
    if (!left.empty()) EXPECT_EQ(test::read_file(left[0]), content) << "a kept copy is whole";
}

// Reproducible content (a decrypted plaintext) leaves no staged copy when the
// publication fails; once the target is published nothing changes.
TEST_P(InjectedFault, ReproducibleContentLeavesNoStagedCopy) {
    const FaultCase& c = GetParam();
    const file_io::ScopedFaultHook hook(fault_of(c));
    const auto result = publish_staged("out.bin", bytes_of("plaintext"), true, OnFailure::remove_staged);
    if (c.expected) EXPECT_EQ(result.error(), *c.expected);
    EXPECT_EQ(fs::exists("out.bin"), c.target_published);
    EXPECT_EQ(staged().size(), c.target_published ? c.staged_left : 0u);
}

const Error kIo("Input/output error (os error 5)");
const char* const kNotFlushed = "published out.bin, but its directory could not be flushed";
const char* const kKept = "out.bin was not published; what it would have held is kept in .zanth-timelock-staged-";

INSTANTIATE_TEST_SUITE_P(
    Seam, InjectedFault,
    testing::Values(
        FaultCase{"DirectoryOpenFails", Op::OpenDirectory, 1, EACCES,
                  Error("staging out.bin", {"Permission denied (os error 13)"}), false, 0},
        FaultCase{"CreateFails", Op::OpenUnnamed, 1, EACCES,
                  Error("staging out.bin", {"Permission denied (os error 13)"}), false, 0},
        FaultCase{"CreateInterrupted", Op::OpenUnnamed, 1, EINTR, std::nullopt, true, 0},
        // Nothing is named before the link: a failure leaves nothing behind.
        FaultCase{"WriteFails", Op::Write, 1, EIO, kIo, false, 0},
        FaultCase{"WriteNoProgress", Op::Write, 1, 0, Error("failed to write whole buffer"), false, 0},
        FaultCase{"WriteInterrupted", Op::Write, 1, EINTR, std::nullopt, true, 0},
        FaultCase{"FileSyncFails", Op::Sync, 1, EIO, kIo, false, 0},
        FaultCase{"FileSyncInterrupted", Op::Sync, 1, EINTR, std::nullopt, true, 0},
        // The content is kept under a staged name, and the warning says where.
        FaultCase{"LinkFails", Op::Link, 1, EXDEV,
                  Error("publishing out.bin (will not overwrite)", {"Invalid cross-device link (os error 18)"}),
                  false, 1, false, kKept},
        // Once linked, the file is published; a warning tells the flush failed.
        FaultCase{"DirectorySyncFails", Op::Sync, 2, EIO, std::nullopt, true, 0, false, kNotFlushed},
        // Without unnamed files: a staged name, removed once published.
        FaultCase{"StagedCreateFails", Op::OpenExclusive, 1, EACCES,
                  Error("staging out.bin", {"Permission denied (os error 13)"}), false, 0, true},
        FaultCase{"StagedWriteFails", Op::Write, 1, EIO, kIo, false, 0, true},
        FaultCase{"StagedLinkFails", Op::Link, 1, EXDEV,
                  Error("publishing out.bin (will not overwrite)", {"Invalid cross-device link (os error 18)"}),
                  false, 1, true, kKept},
        FaultCase{"StagedDirectorySyncFails", Op::Sync, 2, EIO, std::nullopt, true, 0, true, kNotFlushed},
        FaultCase{"StagedUnlinkFailsQuietly", Op::Unlink, 1, EIO, std::nullopt, true, 1, true},
        FaultCase{"StagedPublished", Op::Close, 99, 0, std::nullopt, true, 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Publish, EveryDescriptorIsClosedOnEveryPath) {
    for (const Op failing : {Op::OpenUnnamed, Op::Write, Op::Sync, Op::Link, Op::OpenDirectory}) {
        int opened = 0;
        int closed = 0;
        bool failed = false;
        const file_io::ScopedFaultHook hook([&](Op op) -> std::optional<int> {
            if (op == failing && !failed) {
                failed = true;
                return EIO;
            }
            if (op == Op::OpenUnnamed || op == Op::OpenDirectory) ++opened;
            if (op == Op::Close) ++closed;
            return std::nullopt;
        });
        static_cast<void>(publish_staged("f" + std::to_string(static_cast<int>(failing)), bytes_of("x"), true));
        EXPECT_EQ(opened, closed) << static_cast<int>(failing);
    }
}

// ---- Crashes ----------------------------------------------------------------

// Publishes in a child that dies right before its `crash_at`-th call into
// the seam; returns whether the child got that far.
bool crash_child_at(int crash_at, const std::string& target, const std::string& content) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        int calls = 0;
        const file_io::ScopedFaultHook hook([&](Op) -> std::optional<int> {
            if (++calls == crash_at) ::_exit(42);
            return std::nullopt;
        });
        static_cast<void>(publish_staged(target, bytes_of(content), true));
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 42;
}

TEST_F(Publish, CrashAtAnyPointLeavesNoPartialTarget) {
    const std::string content(300000, 'k');
    int published_after_crash = 0;
    int absent_after_crash = 0;
    for (int crash_at = 1;; ++crash_at) {
        ASSERT_LT(crash_at, 100);
        const std::string sub = "c" + std::to_string(crash_at);
        fs::create_directory(sub);
        const std::string target = sub + "/out.bin";
        const bool crashed = crash_child_at(crash_at, target, content);
        if (!crashed) {
            // The first run that outlived its crash point simply succeeded.
            EXPECT_EQ(test::read_file(target), content);
            EXPECT_TRUE(staged(sub).empty());
            break;
        }
        if (fs::exists(target)) {
            EXPECT_EQ(test::read_file(target), content) << "crash before call " << crash_at;
            ++published_after_crash;
        } else {
            ++absent_after_crash;
        }
        EXPECT_LE(staged(sub).size(), 1u) << crash_at;
    }
    EXPECT_GT(published_after_crash, 0);
    EXPECT_GT(absent_after_crash, 0);
}

// ---- Racing processes ------------------------------------------------------------

// Starts `n` children that publish "race.bin" at once (child i writes
// "content i"); returns each child's exit status: 0 won, 1 refused as
// expected, 2 failed otherwise.
std::vector<int> race(int n) {
    int gate[2];
    EXPECT_EQ(::pipe(gate), 0);
    std::vector<pid_t> pids;
    for (int i = 0; i < n; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(gate[1]);
            char go = 0;
            static_cast<void>(::read(gate[0], &go, 1));  // returns when the parent closes the gate
            const auto result = publish_staged("race.bin", bytes_of("content " + std::to_string(i)), true);
            if (result.ok()) ::_exit(0);
            const bool refused =
                result.error() == Error("publishing race.bin (will not overwrite)", {"File exists (os error 17)"});
            ::_exit(refused ? 1 : 2);
        }
        pids.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    std::vector<int> statuses;
    for (const pid_t pid : pids) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        statuses.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    }
    return statuses;
}

TEST_F(Publish, ExactlyOneOfManyProcessesWins) {
    const auto statuses = race(8);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 0), 1);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 1), 7);
    const auto winner = std::find(statuses.begin(), statuses.end(), 0) - statuses.begin();
    EXPECT_EQ(test::read_file("race.bin"), "content " + std::to_string(winner));
    EXPECT_EQ(staged().size(), 7u);  // each loser keeps its data
}

TEST_F(Publish, RacersNeverTouchAnExistingFile) {
    dir_.write("race.bin", "precious");
    const auto statuses = race(6);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 1), 6);
    EXPECT_EQ(test::read_file("race.bin"), "precious");
}

// ---- The seam's own calls -------------------------------------------------------

TEST_F(Publish, AppendCreatesOwnerOnlyAndAppends) {
    for (const char* part : {"one\n", "two\n"}) {
        auto file = file_io::open_append("log", 0600);
        ASSERT_TRUE(file.ok()) << file.error().message();
        ASSERT_TRUE(file_io::write_all(file->get(), bytes_of(part)).ok());
        ASSERT_TRUE(file_io::sync_data(file->get()).ok());
    }
    EXPECT_EQ(test::read_file("log"), "one\ntwo\n");
    EXPECT_EQ(test::file_mode("log"), 0600u);
    EXPECT_EQ(file_io::open_at(file_io::open_directory(".").value(), "log", O_WRONLY | O_CREAT | O_EXCL, 0600).error(),
              Error("File exists (os error 17)"));
    EXPECT_EQ(file_io::open_append(std::string("l\0g", 3), 0600).error(),
              Error("file name contained an unexpected NUL byte"));
}

}  // namespace
}  // namespace zt::cli
