// The main of the RandomX test binaries. With --cpu-mask=FEATURES (any of
// aes, avx2, bmi2, ssse3, comma separated) the tests run as on a processor
// without those features: the library is told before it first reads them
// (rx::mask_cpu_features), so every fallback it would take there runs. The
// option is this test main's own; the library never reads one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "randomx/cpu.h"

namespace {

bool hide(const std::string& list, rx::CpuFeatures& hidden) {
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t end = std::min(list.find(',', start), list.size());
        const std::string name = list.substr(start, end - start);
        if (name == "aes") {
            hidden.aes = true;
        } else if (name == "avx2") {
            hidden.avx2 = true;
        } else if (name == "bmi2") {
            hidden.bmi2 = true;
        } else if (name == "ssse3") {
            hidden.ssse3 = true;
        } else {
            std::fprintf(stderr, "--cpu-mask: unknown feature \"%s\" (aes, avx2, bmi2, ssse3)\n", name.c_str());
            return false;
        }
        start = end + 1;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    constexpr const char* kOption = "--cpu-mask=";
    std::vector<char*> rest;
    rx::CpuFeatures hidden;
    std::string masked;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && std::strncmp(argv[i], kOption, std::strlen(kOption)) == 0) {
            masked = argv[i] + std::strlen(kOption);
            if (!hide(masked, hidden)) return 2;
        } else {
            rest.push_back(argv[i]);
        }
    }
    if (!masked.empty()) {
        if (!rx::mask_cpu_features(hidden)) {
            std::fputs("--cpu-mask: the CPU features were read before the mask\n", stderr);
            return 2;
        }
        std::printf("CPU features hidden: %s\n", masked.c_str());
    }
    int count = static_cast<int>(rest.size());
    rest.push_back(nullptr);
    ::testing::InitGoogleTest(&count, rest.data());
    return RUN_ALL_TESTS();
}
