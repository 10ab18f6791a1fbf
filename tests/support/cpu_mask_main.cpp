// The main of the RandomX test binaries. With --cpu-mask=FEATURES (any of
// aes, avx2, bmi2, ssse3, zba, zbb, comma separated) the tests run as on a
// processor without those features: the library is told before it first
// reads them (rx::mask_cpu_features), so every fallback it would take there
// runs. --cpu-assume=FEATURES reports features as present that detection
// cannot see (rx::assume_cpu_features: Zba and Zbb under qemu-riscv64, which
// answers no riscv_hwprobe), for a processor known to have them. The options
// are this test main's own; the library never reads one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "randomx/cpu.h"

namespace {

// Sets the features named in `list` in `features`.
bool parse(const char* option, const std::string& list, rx::CpuFeatures& features) {
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t end = std::min(list.find(',', start), list.size());
        const std::string name = list.substr(start, end - start);
        bool* feature = name == "aes"     ? &features.aes
                        : name == "avx2"  ? &features.avx2
                        : name == "bmi2"  ? &features.bmi2
                        : name == "ssse3" ? &features.ssse3
                        : name == "zba"   ? &features.zba
                        : name == "zbb"   ? &features.zbb
                                          : nullptr;
        if (feature == nullptr) {
            std::fprintf(stderr, "%s: unknown feature \"%s\" (aes, avx2, bmi2, ssse3, zba, zbb)\n", option,
                         name.c_str());
            return false;
        }
        *feature = true;
        start = end + 1;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    constexpr const char* kMask = "--cpu-mask=";
    constexpr const char* kAssume = "--cpu-assume=";
    std::vector<char*> rest;
    rx::CpuFeatures hidden;
    rx::CpuFeatures assumed;
    std::string masked;
    std::string assuming;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && std::strncmp(argv[i], kMask, std::strlen(kMask)) == 0) {
            masked = argv[i] + std::strlen(kMask);
            if (!parse("--cpu-mask", masked, hidden)) return 2;
        } else if (i > 0 && std::strncmp(argv[i], kAssume, std::strlen(kAssume)) == 0) {
            assuming = argv[i] + std::strlen(kAssume);
            if (!parse("--cpu-assume", assuming, assumed)) return 2;
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
    if (!assuming.empty()) {
        if (!rx::assume_cpu_features(assumed)) {
            std::fputs("--cpu-assume: the CPU features were read before\n", stderr);
            return 2;
        }
        std::printf("CPU features assumed: %s\n", assuming.c_str());
    }
    int count = static_cast<int>(rest.size());
    rest.push_back(nullptr);
    ::testing::InitGoogleTest(&count, rest.data());
    return RUN_ALL_TESTS();
}
