// A fresh, empty temporary directory for one test, removed with everything
// in it when the object goes away; optionally the current directory for the
// object's life.
//
// Thread safety: one test thread; changing the current directory affects the
// whole process.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace zt::test {

class ScratchDir {
public:
    ScratchDir();
    // A directory under `base` instead of the system's temporary directory.
    explicit ScratchDir(const std::filesystem::path& base);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

    // Writes `content` to `name` inside the directory.
    void write(const std::string& name, const std::string& content) const;

    // Names of the entries of the directory `sub` (relative to this one),
    // sorted.
    std::vector<std::string> entries(const std::string& sub = ".") const;

private:
    std::filesystem::path path_;
};

// A memory file system (/dev/shm) when there is one, else the system's
// temporary directory: for tests that flush thousands of small writes, where
// the data's durability is not what they test.
std::filesystem::path memory_temp_directory();

// Makes `dir` the current directory until destroyed, then restores the old one.
class CurrentDir {
public:
    explicit CurrentDir(const std::filesystem::path& dir);
    ~CurrentDir();
    CurrentDir(const CurrentDir&) = delete;
    CurrentDir& operator=(const CurrentDir&) = delete;

private:
    std::filesystem::path previous_;
};

// Reads a whole file as bytes; throws when it cannot be read.
std::string read_file(const std::string& path);

// The permission bits of the file at `path` (not following a link); 0 when
// there is none.
unsigned file_mode(const std::string& path);

}  // namespace zt::test
