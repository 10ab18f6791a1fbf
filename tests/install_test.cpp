// `cmake --install` of the build tree the tests belong to, into a DESTDIR:
// the program, its man page (gzip -9n) and the bash and zsh completion land
// at the GNUInstallDirs places, the man page and both completions know every
// command and option of the grammar (so a new option cannot be forgotten),
// and every file the installed man page and guides name is installed.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "cli/parse/grammar.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/subprocess.h"

namespace zt {
namespace {

namespace fs = std::filesystem;

// The man page writes a hyphen in an option as "\-".
std::string roff(std::string_view text) {
    std::string out;
    for (char c : text) out += c == '-' ? std::string("\\-") : std::string(1, c);
    return out;
}

TEST(Install, TheTreeHoldsTheProgramManPageAndCompletions) {
    test::ScratchDir dest;
    const std::string build_dir = fs::path(ZT_BINARY).parent_path().string();
    const auto installed = test::run_program(
        "/bin/sh", {"-c", "DESTDIR='" + dest.path().string() + "' cmake --install '" + build_dir +
                              "' --prefix /usr >/dev/null"});
    ASSERT_EQ(installed.status, 0) << installed.err;

    const fs::path root = dest.path() / "usr";
    const fs::path program = root / "bin" / "zanth-timelock";
    const fs::path man = root / "share" / "man" / "man1" / "zanth-timelock.1.gz";
    const fs::path bash = root / "share" / "bash-completion" / "completions" / "zanth-timelock";
    const fs::path zsh = root / "share" / "zsh" / "site-functions" / "_zanth-timelock";
    const fs::path docs = root / "share" / "doc" / "zanth-timelock";
    const fs::path guide = docs / "examples" / "cluster" / "README.md";
    for (const fs::path& path : {program, man, bash, zsh, docs / "README.md", docs / "copyright", guide}) {
        EXPECT_TRUE(fs::is_regular_file(path)) << path;
    }
    EXPECT_TRUE((fs::status(program).permissions() & fs::perms::owner_exec) != fs::perms::none);
    const auto version = test::run_program(program.string(), {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("zanth-timelock ", 0), 0u) << version.out;

    // No name or time stamp in the gzip header (-n): the same page, the same bytes.
    EXPECT_EQ(test::read_file(man.string()).substr(3, 5), std::string(5, '\0'));
    const auto unzipped = test::run_program("/bin/sh", {"-c", "gzip -dc '" + man.string() + "'"});
    ASSERT_EQ(unzipped.status, 0) << unzipped.err;
    const std::string man_text = unzipped.out;
    const std::string bash_text = test::read_file(bash.string());
    const std::string zsh_text = test::read_file(zsh.string());
    EXPECT_EQ(man_text.rfind(".TH ZANTH-TIMELOCK 1", 0), 0u);
    for (const char* section : {".SH COMMANDS", ".SH MODES", ".SH FILES", ".SH SIGNALS", ".SH EXIT STATUS",
                                ".SH EXAMPLE", "SIGUSR1", ".B 101", ".SH RECORDS AND PASTES", ".SH DURATIONS",
                                // the installed guides it points at
                                "/usr/share/doc/zanth\\-timelock/README.md",
                                "/usr/share/doc/zanth\\-timelock/examples/cluster/README.md"}) {
        EXPECT_NE(man_text.find(section), std::string::npos) << section;
    }
    for (const auto& command : cli::grammar::commands()) {
        EXPECT_NE(man_text.find(".B " + roff(command.name)), std::string::npos) << command.name;
        EXPECT_NE(bash_text.find(std::string(command.name) + ")"), std::string::npos) << command.name;
        EXPECT_NE(zsh_text.find(std::string(command.name)), std::string::npos) << command.name;
        for (const auto& option : command.options) {
            EXPECT_NE(man_text.find(roff(option.name)), std::string::npos) << option.name;
            EXPECT_NE(bash_text.find(std::string(option.name)), std::string::npos) << option.name;
            const std::string name(option.name);
            EXPECT_TRUE(zsh_text.find(name + "=[") != std::string::npos || zsh_text.find(name + "[") != std::string::npos)
                << option.name;
        }
    }
    const auto syntax = test::run_program("/bin/bash", {"-n", bash.string()});
    EXPECT_EQ(syntax.status, 0) << syntax.err;

    // Named files: the man page's under /usr/share/doc/zanth-timelock; the
    // README's and the guides' examples/... (from the documentation
    // directory, as from a checkout's root); the cluster guide's slurm/... and
    // kubernetes/... (beside it). Source paths (tests/, scripts/, ...) are not
    // installed. A full stop after a path ends the sentence.
    const auto check_named = [](const std::string& text, const char* pattern, const fs::path& base) {
        const std::regex named(pattern);
        int count = 0;
        for (std::sregex_iterator it(text.begin(), text.end(), named), end; it != end; ++it, ++count) {
            std::string path = (*it)[1];
            while (path.back() == '.') path.pop_back();
            EXPECT_TRUE(fs::exists(base / path)) << path << " is named but not installed";
        }
        return count;
    };
    const std::string man_hyphens = std::regex_replace(man_text, std::regex(R"(\\-)"), "-");
    EXPECT_GE(check_named(man_hyphens, R"(/(usr/share/doc/zanth-timelock/[\w./-]*))", dest.path()), 3);
    for (const fs::path& doc : {docs / "README.md", docs / "examples" / "README.md", guide}) {
        check_named(test::read_file(doc.string()), R"((?:^|[^\w/])(examples/[\w./-]*))", docs);
    }
    EXPECT_GE(check_named(test::read_file(guide.string()), R"((?:^|[^\w/])((?:slurm|kubernetes)/[\w.-]+))",
                          guide.parent_path()),
              3);
}

}  // namespace
}  // namespace zt
