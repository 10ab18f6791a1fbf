#include "tests/support/gnu_assembler.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>

namespace zt::test {

bool gnu_assembler_runs(const std::string& prefix) {
    return std::system((prefix + "as --version >/dev/null 2>&1").c_str()) == 0;
}

bool gnu_assemble(const std::string& prefix, const std::string& text, std::vector<std::uint32_t>& words) {
    char dir_template[] = "/tmp/gnu-as-XXXXXX";
    const char* dir = mkdtemp(dir_template);
    if (dir == nullptr) return false;
    const std::string d = dir;
    std::ofstream(d + "/in.s") << text;
    const std::string command = prefix + "as -o " + d + "/in.o " + d + "/in.s 2>" + d + "/err && " + prefix +
                                "objcopy -O binary -j .text " + d + "/in.o " + d + "/in.bin";
    const bool ok = std::system(command.c_str()) == 0;
    if (ok) {
        std::ifstream bin(d + "/in.bin", std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(bin)), std::istreambuf_iterator<char>());
        words.resize(bytes.size() / 4);
        std::memcpy(words.data(), bytes.data(), words.size() * 4);
    } else {
        std::ifstream err(d + "/err");
        std::cerr << err.rdbuf();
    }
    std::system(("rm -rf " + d).c_str());
    return ok;
}

void expect_same_words(const std::vector<std::uint32_t>& ours, const std::vector<std::uint32_t>& theirs,
                       const std::vector<std::pair<std::size_t, std::string>>& starts) {
    ASSERT_EQ(ours.size(), theirs.size());
    std::size_t c = 0;
    for (std::size_t i = 0; i < ours.size(); ++i) {
        while (c + 1 < starts.size() && starts[c + 1].first <= i) ++c;
        EXPECT_EQ(ours[i], theirs[i]) << std::hex << "word " << i << " of \"" << starts[c].second << "\"";
    }
}

}  // namespace zt::test
