// Private files: whatever stands under a private file's name other than a
// regular, owner-only file of ours with one name is refused before a byte is
// read or written, through every way of opening one, and the error names it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "tests/support/scratch_dir.h"
#include "timelock/base/file_io.h"
#include "timelock/base/private_files.h"

namespace zt {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kOtherUser = 4321;

struct Case {
    const char* what;
    std::function<void(const test::ScratchDir&)> make;  // puts something at "f"
    std::string error;                                  // after "{dir}/f"; empty: opened
};

const Case kCases[] = {
    {"owner-only file", [](const test::ScratchDir& d) { d.write("f", "x"); ::chmod((d / "f").c_str(), 0600); }, ""},
    // A link to a private file of ours is refused as a link, not for its target's mode.
    {"link to our own owner-only file",
     [](const test::ScratchDir& d) {
         d.write("target", "x");
         ::chmod((d / "target").c_str(), 0600);
         fs::create_symlink(d / "target", d / "f");
     },
     " is a symbolic link; refusing to follow it"},
    {"second name of our own owner-only file",
     [](const test::ScratchDir& d) {
         d.write("target", "x");
         ::chmod((d / "target").c_str(), 0600);
         fs::create_hard_link(d / "target", d / "f");
     },
     " has 2 names (hard links); a private file must have only this one"},
    {"FIFO", [](const test::ScratchDir& d) { ::mkfifo((d / "f").c_str(), 0600); }, " is not a regular file"},
    {"directory", [](const test::ScratchDir& d) { fs::create_directory(d / "f"); }, " is not a regular file"},
    {"group-readable file",
     [](const test::ScratchDir& d) { d.write("f", "x"); ::chmod((d / "f").c_str(), 0640); },
     " is open to other users (mode 0640); make it owner-only (chmod 600)"},
    {"another user's file",
     [](const test::ScratchDir& d) {
         d.write("f", "x");
         ::chmod((d / "f").c_str(), 0600);
         if (::geteuid() == 0) EXPECT_EQ(::chown((d / "f").c_str(), kOtherUser, kOtherUser), 0);
     },
     " belongs to another user"},
};

TEST(PrivateFiles, EveryOpeningRefusesAllButAnOwnerOnlyFileOfOursWithOneName) {
    for (const Case& c : kCases) {
        if (std::string(c.error) == " belongs to another user" && ::geteuid() != 0) continue;  // needs chown
        SCOPED_TRACE(c.what);
        test::ScratchDir dir;
        c.make(dir);
        const file_io::Dir opened = file_io::open_directory(dir.path()).value();
        const std::string expected = dir / "f" + c.error;
        const auto by_dir = open_private_read(opened, "f");
        const auto by_path = open_private_read(dir / "f");
        const auto appended = open_private_append(opened, "f");
        const auto logged = open_private_log(opened, "f", "in use");
        for (const auto* result : {&by_dir, &by_path}) {
            if (c.error.empty()) EXPECT_TRUE(result->ok() && result->value().has_value());
            else EXPECT_EQ(result->error().message(), expected);
        }
        for (const auto* result : {&appended, &logged}) {
            if (c.error.empty()) EXPECT_TRUE(result->ok());
            else EXPECT_EQ(result->error().message(), expected);
        }
        if (!c.error.empty() && fs::is_regular_file(fs::symlink_status(dir / "f"))) {
            EXPECT_EQ(test::read_file(dir / "f"), "x") << "nothing appended";
        }
        if (fs::exists(dir / "target")) EXPECT_EQ(test::read_file(dir / "target"), "x") << "nothing appended";
    }
}

// A missing file reads as nothing; appending creates it owner-only.
TEST(PrivateFiles, AMissingFileReadsAsNothingAndIsCreatedOwnerOnly) {
    test::ScratchDir dir;
    const file_io::Dir opened = file_io::open_directory(dir.path()).value();
    EXPECT_FALSE(open_private_read(opened, "f").value().has_value());
    EXPECT_FALSE(open_private_read(dir / "missing/f").value().has_value());
    const mode_t old = ::umask(0);
    EXPECT_TRUE(open_private_append(opened, "f").ok());
    ::umask(old);
    EXPECT_EQ(test::file_mode(dir / "f"), 0600u);
}

}  // namespace
}  // namespace zt
