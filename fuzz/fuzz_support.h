// Shared by the fuzz targets: the fixed inputs they check documents
// against, and a file that holds each input for the readers that take a
// path.
//
// A target aborts (__builtin_trap) when one of its properties fails, which
// libFuzzer reports as a crash and keeps the input. Thread safety: one
// thread, as libFuzzer runs its targets.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "timelock/base/secret.h"
#include "timelock/formats/input_files.h"
#include "timelock/formats/manifest.h"

namespace zt::fuzz {

// Stops the run on a broken property; libFuzzer saves the input.
inline void require(bool property) {
    if (!property) __builtin_trap();
}

inline std::string_view as_view(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

inline std::string read_data_file(const std::string& name) {
    std::ifstream in(std::string(ZT_FUZZ_DATA_DIR) + "/" + name, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    require(!text.empty());
    return text;
}

// The service key every manifest of tests/data is signed with.
inline constexpr std::string_view kPinHex = "26e2cad1287aea4e9352a8cde49bf3aca0479d3e4deaad93d4c08aa7a26ff97f";

// The 7-segment puzzle of tests/data/sealed with its epoch key: the
// context in which records and pastes are opened.
struct SealedPuzzle {
    SignedManifest manifest;
    Bytes32 pin{};
    Key32 epoch_key;
};

inline const SealedPuzzle& sealed_puzzle() {
    static const SealedPuzzle puzzle = [] {
        SealedPuzzle p;
        auto manifest = read_signed_manifest(read_data_file("sealed/manifest.json"));
        auto pin = zt::parse_pin(kPinHex);
        auto key = zt::parse_key_hex(read_data_file("sealed/epoch.key"));
        require(manifest.ok() && pin.ok() && key.ok());
        p.manifest = std::move(manifest).value();
        p.pin = *pin;
        p.epoch_key = *key;
        return p;
    }();
    return puzzle;
}

// One in-memory file whose content is replaced by every input, named by a
// path the readers can open.
class InputFile {
public:
    InputFile() : fd_(::memfd_create("fuzz-input", 0)), path_("/proc/self/fd/" + std::to_string(fd_)) {
        require(fd_ >= 0);
    }
    const std::string& hold(std::string_view content) {
        require(::ftruncate(fd_, 0) == 0);
        require(::pwrite(fd_, content.data(), content.size(), 0) == static_cast<ssize_t>(content.size()));
        return path_;
    }

private:
    int fd_;
    std::string path_;
};

}  // namespace zt::fuzz
