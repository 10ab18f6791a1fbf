// The worked example in examples/ does what its README says: the commands
// shown there, run on a copy of the folder, print and write exactly what the
// page promises.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/scratch_dir.h"
#include "tests/support/subprocess.h"

namespace zt {
namespace {

namespace fs = std::filesystem;

const std::string kPin = "26e2cad1287aea4e9352a8cde49bf3aca0479d3e4deaad93d4c08aa7a26ff97f";

class Example : public ::testing::Test {
protected:
    void SetUp() override {
        const fs::path examples = fs::path(ZT_TEST_DATA_DIR) / ".." / ".." / "examples";
        for (const char* name : {"manifest.json", "epoch.key", "record.json", "paste.json"}) {
            fs::copy_file(examples / name, dir_.path() / name);
        }
    }

    test::ProcessResult run(const std::vector<std::string>& args) { return test::run_program(ZT_BINARY, args); }

    std::vector<std::string> record_args(const std::string& key = "epoch.key", const std::string& pin = kPin) {
        return {"decrypt-record", "--manifest", "manifest.json", "--service-public-key", pin,
                "--epoch-key", key, "--record", "record.json", "--plaintext-out", "record.txt"};
    }
    std::vector<std::string> paste_args(const std::string& key = "epoch.key") {
        return {"decrypt-paste", "--manifest", "manifest.json", "--service-public-key", kPin,
                "--epoch-key", key, "--paste", "paste.json", "--plaintext-out", "paste.txt"};
    }

    test::ScratchDir dir_;
    test::CurrentDir cwd_{dir_.path()};
};

TEST_F(Example, RecordAndPasteOpenAsDocumented) {
    const auto record = run(record_args());
    EXPECT_EQ(record.status, 0) << record.err;
    EXPECT_EQ(record.out + record.err, "");
    EXPECT_EQ(test::read_file("record.txt"), "The example record: sealed for epoch 7 of the example puzzle.\n");
    EXPECT_EQ(test::file_mode("record.txt"), 0600u);

    const auto paste = run(paste_args());
    EXPECT_EQ(paste.status, 0) << paste.err;
    EXPECT_EQ(paste.out + paste.err, "");
    EXPECT_EQ(test::read_file("paste.txt"), "An archived paste, readable once the epoch key is known.\n");
    EXPECT_EQ(test::file_mode("paste.txt"), 0600u);
}

TEST_F(Example, RefusalsReadAsDocumented) {
    dir_.write("zero.key", std::string(64, '0'));
    ASSERT_EQ(run(record_args()).status, 0);
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::vector<Case> cases = {
        {record_args(), "Error: publishing record.txt (will not overwrite)\n\nCaused by:\n    File exists (os error 17)\n"},
        {record_args("zero.key"), "Error: epoch key commitment mismatch\n"},
        {paste_args("zero.key"), "Error: epoch key commitment mismatch\n"},
        {record_args("epoch.key", std::string(64, '0')), "Error: service signer does not match attestation pin\n"},
    };
    for (const auto& c : cases) {
        const auto result = run(c.args);
        EXPECT_EQ(result.status, 1) << c.args[0];
        EXPECT_EQ(result.err, c.err) << c.args[0];
    }
    EXPECT_FALSE(fs::exists("paste.txt"));
}

// A plaintext whose publication is refused (the target exists) leaves the
// target as it was and no staged copy of itself behind, for both commands.
TEST_F(Example, ARefusedPlaintextLeavesNoStagedFile) {
    const struct {
        std::vector<std::string> args;
        const char* target;
    } cases[] = {{record_args(), "record.txt"}, {paste_args(), "paste.txt"}};
    for (const auto& c : cases) {
        dir_.write(c.target, "kept");
        const auto refused = run(c.args);
        EXPECT_EQ(refused.status, 1) << c.target;
        EXPECT_EQ(refused.err, "Error: publishing " + std::string(c.target) +
                                   " (will not overwrite)\n\nCaused by:\n    File exists (os error 17)\n");
        EXPECT_EQ(test::read_file(c.target), "kept");
        for (const auto& entry : fs::directory_iterator(dir_.path())) {
            EXPECT_EQ(entry.path().filename().string().rfind(".zanth-timelock-staged-", 0), std::string::npos)
                << entry.path() << " left by " << c.target;
        }
    }
}

}  // namespace
}  // namespace zt
