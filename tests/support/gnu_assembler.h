// The GNU assembler of a cross binutils (installed by scripts/setup.sh), for
// the tests that hold an assembler of ours against it: text assembled and
// its .text section returned as 32-bit words.
//
// Thread safety: each call works in a fresh temporary directory.
#pragma once

#include <cstddef>
#include <cstdint>
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

}  // namespace zt::test
