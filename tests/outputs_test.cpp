// Every output a command could never publish is refused before any work,
// naming the option: a path ending in "/", a parent that is a file, a place
// under /proc, and two outputs of one run naming one file. generate is asked
// for segments that would never end, so a refusal that came after the work
// would never come at all.
#include <gtest/gtest.h>

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

namespace zt {
namespace {

using Args = std::vector<std::string>;

struct Command {
    std::string option;                                 // the output option
    std::function<Args(const std::string& out)> args;  // the command with `out` at that option
};

TEST(Outputs, EveryOutputThatCouldNeverBePublishedIsRefusedBeforeAnyWork) {
    test::ScratchDir dir;
    const test::TestPuzzle puzzle = test::make_test_puzzle(3);
    dir.write("m.json", write_signed_manifest(puzzle.manifest));
    dir.write("e.hex", encode_hex(puzzle.epoch_key.span()));
    dir.write("signing.key", test::kServiceSeedHex);
    dir.write("plaintext", "x");
    dir.write("afile", "");
    const test::CurrentDir here(dir.path());
    ASSERT_EQ(test::run_program(ZT_BINARY, {"plan", "--epoch", "1", "--iterations", "5", "--state", "st"}).status, 0);
    std::filesystem::create_directory("res");
    const std::string endless = "1000000000000";
    const std::vector<Command> commands = {
        {"--manifest-out", [&](const std::string& out) -> Args {
             return {"generate", "--epoch", "1", "--iterations", endless, "--mode", "light", "--signing-key",
                     "signing.key", "--manifest-out", out, "--epoch-key-out", "new.hex"};
         }},
        {"--epoch-key-out", [&](const std::string& out) -> Args {
             return {"generate", "--epoch", "1", "--iterations", endless, "--mode", "light", "--signing-key",
                     "signing.key", "--manifest-out", "new.json", "--epoch-key-out", out};
         }},
        {"--key-out", [](const std::string& out) -> Args {
             return {"solve", "--manifest", "m.json", "--service-public-key", test::kServicePublicKeyHex,
                     "--checkpoint", "log", "--key-out", out, "--mode", "light"};
         }},
        {"--result", [](const std::string& out) -> Args {
             return {"work", "--task", "st/task-00.json", "--result", out, "--mode", "light"};
         }},
        {"--epoch-key-out", [](const std::string& out) -> Args {
             return {"assemble", "--state", "st", "--results", "res", "--signing-key", "signing.key",
                     "--manifest-out", "new.json", "--epoch-key-out", out};
         }},
        {"--signing-key-out", [](const std::string& out) -> Args { return {"keygen", "--signing-key-out", out}; }},
        {"--record-out", [](const std::string& out) -> Args {
             return {"seal-record", "--manifest", "m.json", "--service-public-key", test::kServicePublicKeyHex,
                     "--epoch-key", "e.hex", "--plaintext", "plaintext", "--sequence", "1", "--record-out", out};
         }},
        {"--paste-out", [](const std::string& out) -> Args {
             return {"seal-paste", "--manifest", "m.json", "--signing-key", "signing.key", "--epoch-key", "e.hex",
                     "--plaintext", "plaintext", "--tag-id", std::string(64, '7'), "--evidence-artifact",
                     std::string(64, 'e') + ".attestation.json", "--sequence", "1", "--paste-out", out};
         }},
        {"--state", [&](const std::string& out) -> Args {
             return {"plan", "--epoch", "1", "--iterations", endless, "--state", out};
         }},
    };
    const struct {
        std::string out;
        std::string says;
        bool for_state;  // a path a state directory cannot take either
    } kinds[] = {
        {"new/", "names a directory", false},
        {"afile/new", "afile is not a directory", true},
        {"/proc/self/new", "/proc/self is a file system of the kernel's", true},
        {"missing/new", "missing is not there", true},
    };
    const auto before = dir.entries();
    for (const Command& command : commands) {
        for (const auto& kind : kinds) {
            if (command.option == "--state" && !kind.for_state) continue;
            SCOPED_TRACE(command.args(kind.out)[0] + " " + command.option + " " + kind.out);
            const test::ProcessResult run = test::run_program(ZT_BINARY, command.args(kind.out));
            EXPECT_EQ(run.status, 1);
            EXPECT_NE(run.err.find(command.option + " " + kind.out), std::string::npos) << run.err;
            EXPECT_NE(run.err.find(kind.says), std::string::npos) << run.err;
            EXPECT_EQ(dir.entries(), before) << "nothing made";
        }
    }
    // Two outputs of one run naming one file, however it is spelt.
    for (const auto& [manifest_out, epoch_key_out] :
         std::vector<std::pair<std::string, std::string>>{{"out", "./out"}, {"res/../out", "out"}}) {
        for (const Args& args : {commands[0].args(manifest_out), commands[4].args(epoch_key_out)}) {
            Args both = args;
            for (std::size_t i = 0; i + 1 < both.size(); ++i) {
                if (both[i] == "--manifest-out") both[i + 1] = manifest_out;
                if (both[i] == "--epoch-key-out") both[i + 1] = epoch_key_out;
            }
            const test::ProcessResult run = test::run_program(ZT_BINARY, both);
            EXPECT_EQ(run.status, 1) << both[0];
            EXPECT_NE(run.err.find("name the same file"), std::string::npos) << run.err;
        }
    }
    EXPECT_EQ(dir.entries(), before);
}

}  // namespace
}  // namespace zt
