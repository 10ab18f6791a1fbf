// The README's whole session, from keygen through verify, sealing, solving
// and status to decrypt-record and decrypt-paste, runs as written: the
// commands of its block (lines after "$ ", with their continuation lines)
// run in order as one shell script in a fresh directory, with the built
// program first on PATH, and together print exactly the output the block
// shows, each 64-digit hex value standing for any such value.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>

#include "tests/support/scratch_dir.h"
#include "tests/support/subprocess.h"

namespace zt {
namespace {

namespace fs = std::filesystem;

struct Session {
    std::string script;
    std::string output;
};

Session read_session() {
    const std::string readme = test::read_file((fs::path(ZT_TEST_DATA_DIR) / ".." / ".." / "README.md").string());
    const auto heading = readme.find("### A whole session, end to end");
    const auto open = readme.find("```sh\n", heading);
    const auto close = readme.find("```\n", open + 6);
    if (heading == std::string::npos || open == std::string::npos || close == std::string::npos) return {};
    std::istringstream block(readme.substr(open + 6, close - open - 6));
    Session session;
    bool continued = false;
    for (std::string line; std::getline(block, line);) {
        if (continued || line.rfind("$ ", 0) == 0) {
            const std::string command = continued ? line : line.substr(2);
            session.script += command + "\n";
            continued = !line.empty() && line.back() == '\\';
        } else {
            session.output += line + "\n";
        }
    }
    return session;
}

std::string as_pattern(const std::string& text) {
    const std::string escaped = std::regex_replace(text, std::regex(R"([\[\]{}().*+?^$|\\])"), R"(\$&)");
    return std::regex_replace(escaped, std::regex("[0-9a-f]{64}"), "[0-9a-f]{64}");
}

TEST(RealLightReadmeSession, RunsAsWrittenFromKeygenToDecryptPaste) {
    const Session session = read_session();
    for (const char* command : {"keygen", "verify", "seal-record", "seal-paste", "solve", "decrypt-record",
                                "decrypt-paste"}) {
        EXPECT_NE(session.script.find(std::string("zanth-timelock ") + command), std::string::npos) << command;
    }
    test::ScratchDir dir;
    const std::string prelude = "set -eu\ncd '" + dir.path().string() + "'\nPATH='" +
                                fs::path(ZT_BINARY).parent_path().string() + "':$PATH\n";
    const auto result = test::run_program("/bin/sh", {"-c", prelude + session.script});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(std::regex_match(result.out, std::regex(as_pattern(session.output))))
        << "got:\n" << result.out << "\nexpected:\n" << session.output;
}

}  // namespace
}  // namespace zt
