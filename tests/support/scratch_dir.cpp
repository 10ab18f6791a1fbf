#include "tests/support/scratch_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace zt::test {

ScratchDir::ScratchDir() : ScratchDir(std::filesystem::temp_directory_path()) {}

ScratchDir::ScratchDir(const std::filesystem::path& base) {
    std::string pattern = (base / "zt-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

std::filesystem::path memory_temp_directory() {
    std::error_code ignored;
    const std::filesystem::path shm = "/dev/shm";
    return std::filesystem::is_directory(shm, ignored) && ::access(shm.c_str(), W_OK) == 0
               ? shm
               : std::filesystem::temp_directory_path();
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void ScratchDir::write(const std::string& name, const std::string& content) const {
    std::ofstream out(path_ / name, std::ios::binary);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + name);
    // Owner-only, as the program writes its own files: the split
    // generation's files are refused otherwise.
    std::filesystem::permissions(path_ / name, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

std::vector<std::string> ScratchDir::entries(const std::string& sub) const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_ / sub)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

CurrentDir::CurrentDir(const std::filesystem::path& dir) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
}

CurrentDir::~CurrentDir() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream data;
    data << in.rdbuf();
    return data.str();
}

unsigned file_mode(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

}  // namespace zt::test
