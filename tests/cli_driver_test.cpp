// The driver: the error report's exact layout, the mapping of outcomes to
// exit statuses, and the built program's statuses and streams.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

#include "cli/console.h"
#include "cli/driver.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/subprocess.h"

namespace zt::cli {
namespace {

struct ReportCase {
    const char* name;
    Error error;
    std::string expected;
};

void PrintTo(const ReportCase& c, std::ostream* os) { *os << c.name; }

class ErrorReport : public testing::TestWithParam<ReportCase> {};

TEST_P(ErrorReport, ExactText) { EXPECT_EQ(format_error_report(GetParam().error), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Driver, ErrorReport,
    testing::Values(
        ReportCase{"NoCause", Error("No such file or directory (os error 2)"),
                   "Error: No such file or directory (os error 2)\n"},
        ReportCase{"OneCause", Error("staging out/key.hex", {"Permission denied (os error 13)"}),
                   "Error: staging out/key.hex\n\nCaused by:\n    Permission denied (os error 13)\n"},
        ReportCase{"TwoCauses", Error("outer", {"middle", "inner"}),
                   "Error: outer\n\nCaused by:\n    0: middle\n    1: inner\n"},
        ReportCase{"ThreeCauses", Error("a", {"b", "c", "d"}),
                   "Error: a\n\nCaused by:\n    0: b\n    1: c\n    2: d\n"},
        ReportCase{"MultiLineSingleCause", Error("top", {"line one\nline two\n\nline four"}),
                   "Error: top\n\nCaused by:\n    line one\n    line two\n    \n    line four\n"},
        ReportCase{"MultiLineNumberedCause", Error("top", {"first\nsecond", "third"}),
                   "Error: top\n\nCaused by:\n    0: first\n       second\n    1: third\n"},
        ReportCase{"MultiLineMessage", Error("one\ntwo"), "Error: one\ntwo\n"},
        ReportCase{"ElevenCausesKeepTheColumn", Error("m", {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}),
                   "Error: m\n\nCaused by:\n    0: 0\n    1: 1\n    2: 2\n    3: 3\n    4: 4\n    5: 5\n    6: 6\n"
                   "    7: 7\n    8: 8\n    9: 9\n   10: 10\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// Redirects a descriptor into a file for the life of the object.
class Redirect {
public:
    Redirect(int fd, const std::string& path) : fd_(fd), saved_(::dup(fd)) {
        const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(file, fd_);
        ::close(file);
    }
    ~Redirect() {
        ::dup2(saved_, fd_);
        ::close(saved_);
    }
    Redirect(const Redirect&) = delete;
    Redirect& operator=(const Redirect&) = delete;

private:
    int fd_;
    int saved_;
};

struct Guarded {
    int status;
    std::string err;
};

Guarded guarded(const std::function<Result<void>()>& body) {
    test::ScratchDir dir;
    const std::string path = dir / "stderr";
    int status = 0;
    {
        Redirect redirect(STDERR_FILENO, path);
        status = run_guarded(body);
    }
    return {status, test::read_file(path)};
}

TEST(RunGuarded, SuccessIsZeroAndSilent) {
    const Guarded g = guarded([] { return success(); });
    EXPECT_EQ(g.status, 0);
    EXPECT_EQ(g.err, "");
}

TEST(RunGuarded, ErrorIsOneWithTheReport) {
    const Error error("publishing a (will not overwrite)", {"File exists (os error 17)"});
    const Guarded g = guarded([&]() -> Result<void> { return error; });
    EXPECT_EQ(g.status, 1);
    EXPECT_EQ(g.err, format_error_report(error));
}

// A command stopped on request exits with 128 + the signal and its message
// alone, no error report.
TEST(RunGuarded, AStopIs128PlusTheSignalWithItsMessage) {
    for (const auto& [signal_number, status] : {std::pair{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}}) {
        const int stopped_by = signal_number;  // clang 14 cannot capture a structured binding
        const Guarded g = guarded([stopped_by]() -> Result<void> { throw Interrupted(stopped_by, "Stopped here"); });
        EXPECT_EQ(g.status, status);
        EXPECT_EQ(g.err, "Stopped here\n");
    }
}

TEST(RunGuarded, FaultsAre101OutsideTheReport) {
    struct FaultCase {
        std::function<Result<void>()> body;
        std::string what;
    };
    const std::vector<FaultCase> cases{
        {[]() -> Result<void> { throw InternalFault("thread start failed"); }, "thread start failed"},
        {[]() -> Result<void> { throw std::runtime_error("unexpected"); }, "unexpected"}};
    for (const FaultCase& c : cases) {
        const Guarded g = guarded(c.body);
        EXPECT_EQ(g.status, 101);
        EXPECT_FALSE(g.err.starts_with("Error:")) << g.err;
        EXPECT_NE(g.err.find(c.what), std::string::npos) << g.err;
        EXPECT_TRUE(g.err.ends_with("\n"));
    }
}

TEST(WriteStdout, FailedWriteThrowsInternalFault) {
    std::signal(SIGPIPE, SIG_IGN);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);  // nobody will read: the write fails with EPIPE
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(fds[1], STDOUT_FILENO);
    ::close(fds[1]);
    bool threw = false;
    std::string what;
    try {
        write_stdout("hello\n");
    } catch (const InternalFault& fault) {
        threw = true;
        what = fault.what();
    }
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    EXPECT_TRUE(threw);
    EXPECT_NE(what.find("Broken pipe (os error 32)"), std::string::npos) << what;
}

// ---- The built program -------------------------------------------------------

test::ProcessResult run(const std::vector<std::string>& args, test::StdoutMode mode = test::StdoutMode::Capture) {
    return test::run_program(ZT_BINARY, args, mode);
}

TEST(Program, BareInvocationPrintsHelpOnStderrWithStatus2) {
    const auto r = run({});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Usage: zanth-timelock <COMMAND>"), std::string::npos) << r.err;
}

TEST(Program, HelpGoesToStdoutWithStatus0) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--help"}, {"help", "generate"}}) {
        const auto r = run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_NE(r.out.find("Usage: zanth-timelock"), std::string::npos);
    }
}

TEST(Program, UsageErrorIsStatus2OnStderr) {
    const auto r = run({"calibrate", "--mode", "FULL"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with("error: invalid value 'FULL' for '--mode <MODE>'")) << r.err;
}

TEST(Program, FailedCommandIsStatus1WithTheReport) {
    test::ScratchDir dir;
    const auto r = run({"decrypt-record", "--manifest", dir / "absent.json", "--service-public-key",
                        std::string(64, '0'), "--epoch-key", dir / "absent.key", "--record", dir / "absent.rec",
                        "--plaintext-out", dir / "out.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with("Error: ")) << r.err;
    EXPECT_TRUE(r.err.ends_with("\n"));
    EXPECT_TRUE(dir.entries().empty());
}

TEST(Program, UnwritableStdoutIsStatus101) {
    for (auto mode : {test::StdoutMode::Closed, test::StdoutMode::BrokenPipe}) {
        const auto r = run({"--help"}, mode);
        EXPECT_EQ(r.status, 101);
        EXPECT_FALSE(r.err.empty());
        EXPECT_FALSE(r.err.starts_with("Error:")) << r.err;
    }
}

}  // namespace
}  // namespace zt::cli
