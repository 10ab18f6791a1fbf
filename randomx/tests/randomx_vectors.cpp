// The library's own vector check, built by the stand-alone project
// (cmake -S randomx) where no test framework may exist (a riscv64 cross
// build, say): every case of hashes.json hashed in light mode through the C
// API with the processor's flags, then without compiled code and without
// hardware AES where those differ, each result compared with the file.
//
// Usage: randomx_vectors HASHES_JSON [--keys N] [--cases N]
//   --keys N   only the first N keys (each costs a cache initialisation)
//   --cases N  only the first N cases of each key and variant
// Prints one line per key and closes with "N passed, N failed"; exits 0
// only when every comparison passed and at least one ran.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "randomx/randomx.h"

namespace {

struct Case {
    std::string variant;
    std::string key_hex;
    std::string input_hex;
    std::string hash_hex;
};

// The string fields of one flat JSON object, as `"name": "value"` pairs
// (the file's values hold no escapes).
std::map<std::string, std::string> string_fields(const std::string& object) {
    std::map<std::string, std::string> fields;
    std::size_t at = 0;
    while (true) {
        const std::size_t name_start = object.find('"', at);
        if (name_start == std::string::npos) break;
        const std::size_t name_end = object.find('"', name_start + 1);
        const std::size_t colon = object.find_first_not_of(" \t\r\n", name_end + 1);
        if (name_end == std::string::npos || colon == std::string::npos || object[colon] != ':') break;
        const std::size_t value_start = object.find_first_not_of(" \t\r\n", colon + 1);
        if (value_start == std::string::npos) break;
        if (object[value_start] != '"') {
            at = object.find_first_of(",}", value_start);
            if (at == std::string::npos) break;
            continue;
        }
        const std::size_t value_end = object.find('"', value_start + 1);
        if (value_end == std::string::npos) break;
        fields[object.substr(name_start + 1, name_end - name_start - 1)] =
            object.substr(value_start + 1, value_end - value_start - 1);
        at = value_end + 1;
    }
    return fields;
}

std::vector<Case> load_cases(const char* path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string json = text.str();
    std::vector<Case> cases;
    std::size_t at = 0;
    while ((at = json.find('{', at)) != std::string::npos) {
        const std::size_t end = json.find('}', at);
        if (end == std::string::npos) break;
        auto fields = string_fields(json.substr(at, end - at));
        cases.push_back({fields["variant"], fields["key_hex"], fields["input_hex"], fields["hash_hex"]});
        at = end + 1;
    }
    return cases;
}

std::vector<std::uint8_t> unhex(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string hex(const std::uint8_t* bytes, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 15]);
    }
    return text;
}

std::string describe(unsigned flags) {
    std::string text = (flags & RANDOMX_FLAG_V2) != 0 ? "v2" : "v1";
    text += (flags & RANDOMX_FLAG_JIT) != 0 ? ", compiled" : ", interpreted";
    text += (flags & RANDOMX_FLAG_HARD_AES) != 0 ? ", hardware AES" : ", software AES";
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s HASHES_JSON [--keys N] [--cases N]\n", argv[0]);
        return 2;
    }
    long max_keys = -1;
    long max_cases = -1;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--keys") {
            max_keys = std::atol(argv[i + 1]);
        } else if (option == "--cases") {
            max_cases = std::atol(argv[i + 1]);
        } else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }
    const std::vector<Case> cases = load_cases(argv[1]);
    if (cases.empty()) {
        std::fprintf(stderr, "no cases in %s\n", argv[1]);
        return 1;
    }

    // The processor's flags, and the fallbacks each of them replaces.
    const auto offered = static_cast<unsigned>(randomx_get_flags());
    std::vector<unsigned> backends{offered};
    for (const unsigned fallback : {unsigned{RANDOMX_FLAG_JIT}, unsigned{RANDOMX_FLAG_HARD_AES}}) {
        if ((offered & fallback) != 0) backends.push_back(offered & ~fallback);
    }
    std::printf("randomx_get_flags() = %u\n", offered);

    randomx_cache* cache = randomx_alloc_cache(static_cast<randomx_flags>(offered));
    if (cache == nullptr) {
        std::fprintf(stderr, "randomx_alloc_cache failed\n");
        return 1;
    }
    int passed = 0;
    int failed = 0;
    std::vector<std::string> keys_done;
    for (const Case& first : cases) {
        bool seen = false;
        for (const std::string& k : keys_done) seen = seen || k == first.key_hex;
        if (seen) continue;
        if (max_keys >= 0 && static_cast<long>(keys_done.size()) >= max_keys) break;
        keys_done.push_back(first.key_hex);
        const std::vector<std::uint8_t> key = unhex(first.key_hex);
        randomx_init_cache(cache, key.data(), key.size());
        std::map<std::string, long> taken;
        int key_passed = 0;
        for (const Case& c : cases) {
            if (c.key_hex != first.key_hex) continue;
            if (max_cases >= 0 && taken[c.variant]++ >= max_cases) continue;
            const std::vector<std::uint8_t> input = unhex(c.input_hex);
            for (const unsigned backend : backends) {
                const unsigned flags = backend | (c.variant == "v2" ? unsigned{RANDOMX_FLAG_V2} : 0U);
                randomx_vm* vm = randomx_create_vm(static_cast<randomx_flags>(flags), cache, nullptr);
                if (vm == nullptr) {
                    std::printf("FAIL key %s: randomx_create_vm (%s)\n", c.key_hex.c_str(), describe(flags).c_str());
                    ++failed;
                    continue;
                }
                std::uint8_t hash[RANDOMX_HASH_SIZE];
                randomx_calculate_hash(vm, input.data(), input.size(), hash);
                randomx_destroy_vm(vm);
                if (hex(hash, sizeof hash) == c.hash_hex) {
                    ++passed;
                    ++key_passed;
                } else {
                    std::printf("FAIL key %s input %s (%s): got %s, want %s\n", c.key_hex.c_str(), c.input_hex.c_str(),
                                describe(flags).c_str(), hex(hash, sizeof hash).c_str(), c.hash_hex.c_str());
                    ++failed;
                }
            }
        }
        std::printf("key %s: %d hashes match\n", first.key_hex.c_str(), key_passed);
        std::fflush(stdout);
    }
    randomx_release_cache(cache);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
