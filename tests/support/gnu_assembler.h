// The GNU assembler of a cross binutils (installed by scripts/setup.sh), for
// the tests that hold an assembler of ours against it: text assembled and
// its .text section returned as 32-bit words.
//
// Thread safety: each call works in a fresh temporary directory.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace zt::test {

// Whether `<prefix>as` (e.g. "aarch64-linux-gnu-") runs on this machine.
bool gnu_assembler_runs(const std::string& prefix);

// Assembles `text` (directives first where the architecture needs them) with
// `<prefix>as` into `words`; false, with the assembler's messages on
// standard error, where it rejects the text or cannot run.
bool gnu_assemble(const std::string& prefix, const std::string& text, std::vector<std::uint32_t>& words);

// Fails the calling test for every word of `ours` that differs from `theirs`,
// naming the case it belongs to: `starts` lists each case's first word and
// its text, in order.
void expect_same_words(const std::vector<std::uint32_t>& ours, const std::vector<std::uint32_t>& theirs,
                       const std::vector<std::pair<std::size_t, std::string>>& starts);

// One row of an assembler's table: our emitters, and the same as assembly
// text (one line per instruction; "1:" and "2:" bind the two labels).
template <class Assembler>
struct AssemblerCase {
    using Label = typename Assembler::Label;
    std::function<void(Assembler&, Label&, Label&)> emit;
    std::string text;
};

// Every case emitted by our assembler, and its text (after `directives`)
// assembled by `<prefix>as`: the words compared, each difference naming its
// case. Skips the calling test where the GNU assembler cannot run.
template <class Assembler>
void expect_encodes_like_gnu(const std::string& prefix, const std::string& directives,
                             const std::vector<AssemblerCase<Assembler>>& cases) {
    if (!gnu_assembler_runs(prefix)) GTEST_SKIP() << prefix << "as cannot run here";
    std::vector<std::uint32_t> ours(4096);
    Assembler a(reinterpret_cast<std::uint8_t*>(ours.data()), ours.size() * 4);
    typename Assembler::Label l1;
    typename Assembler::Label l2;
    std::string text = directives;
    std::vector<std::pair<std::size_t, std::string>> starts;  // first word of each case
    for (const AssemblerCase<Assembler>& c : cases) {
        starts.emplace_back(a.size() / 4, c.text);
        c.emit(a, l1, l2);
        text += c.text + "\n";
    }
    ASSERT_FALSE(a.overflowed());
    ours.resize(a.size() / 4);
    std::vector<std::uint32_t> theirs;
    ASSERT_TRUE(gnu_assemble(prefix, text, theirs));
    expect_same_words(ours, theirs, starts);
}

}  // namespace zt::test
