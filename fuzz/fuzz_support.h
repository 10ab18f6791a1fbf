// Shared by the fuzz targets: the fixed inputs they check documents
// against, and a file that holds each input for the readers that take a
// path.
//
// A target aborts (__builtin_trap) when one of its properties fails, which
// libFuzzer reports as a crash and keeps the input. Thread safety: one
// thread, as libFuzzer runs its targets.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
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

// One private file whose content is replaced by every input, named by a
// path the readers can open: a regular file of the user's, mode 0600, not
// reached through a symbolic link (the split generation's readers refuse
// anything else). Removed when the process ends.
class InputFile {
public:
    InputFile() : path_(temp_template()), fd_(::mkstemp(path_.data())) { require(fd_ >= 0); }
    ~InputFile() {
        ::unlink(path_.c_str());
        ::close(fd_);
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    const std::string& hold(std::string_view content) {
        require(::ftruncate(fd_, 0) == 0);
        require(::pwrite(fd_, content.data(), content.size(), 0) == static_cast<ssize_t>(content.size()));
        return path_;
    }

private:
    static std::string temp_template() {
        const char* dir = std::getenv("TMPDIR");
        return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/zt-fuzz-input-XXXXXX";
    }

    std::string path_;
    int fd_;
};

}  // namespace zt::fuzz
