#include "timelock/split/state_dir.h"

#include <dirent.h>
#include <sys/stat.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <utility>

#include "timelock/base/file_io.h"
#include "timelock/base/protocol.h"
#include "timelock/base/publish.h"
#include "timelock/base/utf8.h"
#include "timelock/formats/input_files.h"
#include "timelock/formats/verification_outcome.h"

namespace zt {
namespace {

std::string numbered(std::string_view stem, std::uint32_t segment) {
    std::array<char, 8> digits{};
    std::snprintf(digits.data(), digits.size(), "%02u", static_cast<unsigned>(segment));
    return std::string(stem) + "-" + digits.data() + ".json";
}

}  // namespace

std::string task_file_name(std::uint32_t segment) { return numbered("task", segment); }
std::string result_file_name(std::uint32_t segment) { return numbered("result", segment); }

std::string in_dir(const std::string& dir, std::string_view name) {
    std::string path = dir;
    if (!path.empty() && !path.ends_with('/')) path += '/';
    return path.append(name);
}

std::string progress_path(const std::string& result_path) { return result_path + std::string(kProgressSuffix); }

std::string outcome_file_name(std::uint32_t segment) { return result_file_name(segment) + std::string(kOutcomeSuffix); }

Result<std::vector<std::string>> directory_entries(const std::string& dir) {
    const std::unique_ptr<DIR, int (*)(DIR*)> handle(::opendir(dir.c_str()), &::closedir);
    if (!handle) return Error::from_errno(errno);
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(handle.get());
        if (entry == nullptr) break;
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    if (errno != 0) return Error::from_errno(errno);
    return names;
}

Result<void> check_new_state_dir(const std::string& dir) {
    if (dir.find('\0') != std::string::npos) return Error(std::string(file_io::kNulInPath));
    auto entries = directory_entries(dir);
    if (!entries) {
        if (entries.error() == Error::from_errno(ENOENT)) return success();
        return std::move(entries).error();
    }
    // Only staged files: a plan being published when a kill came. Nothing
    // was handed out yet, so they are wiped and the plan drawn again.
    const bool only_staged = std::all_of(entries->begin(), entries->end(),
                                         [](const std::string& name) { return name.starts_with(kStagedPrefix); });
    if (!only_staged) return Error(std::string(kStateNotEmpty));
    for (const std::string& name : *entries) ZT_TRY(wipe_and_remove(in_dir(dir, name)));
    return success();
}

Result<void> make_private_directory(const std::string& dir) {
    const std::string shown = utf8_lossy(dir);
    ZT_TRY_ASSIGN(const file_io::Fd handle, file_io::open_directory(dir));
    struct stat info {};
    if (::fstat(handle.get(), &info) != 0) return Error::from_errno(errno);
    if (info.st_uid != ::geteuid()) return Error("state directory " + shown + " belongs to another user");
    if ((info.st_mode & 07777) != kStateDirectoryMode && ::fchmod(handle.get(), kStateDirectoryMode) != 0) {
        return Error("cannot make state directory " + shown + " owner-only (0700)", {Error::from_errno(errno).message()});
    }
    return success();
}

Result<void> write_state(const std::string& dir, const GenerationPlan& plan) {
    if (auto made = file_io::make_directory(dir, kStateDirectoryMode); !made) {
        struct stat info {};
        if (::stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return made;  // an existing one is checked empty
    }
    // Also one that existed (empty) or was made under a loose creation mask.
    ZT_TRY(make_private_directory(dir));
    // Nothing here is costly to draw again, so no staged copy of a secret stays.
    ZT_TRY(publish_staged(in_dir(dir, kPlanFileName), write_plan_document(plan), true, OnFailure::remove_staged));
    for (std::uint32_t i = 0; i < protocol::kGeneratedSegments; ++i) {
        ZT_TRY(publish_staged(in_dir(dir, task_file_name(i)), write_task_document(task_of(plan, i)), true,
                              OnFailure::remove_staged));
    }
    return success();
}

Result<GenerationPlan> read_plan_file(const std::string& dir) {
    ZT_TRY_ASSIGN(const std::optional<SecureBytes> text,
                  read_private_secret(in_dir(dir, kPlanFileName), kPlanDocumentLimit));
    if (!text) return Error::from_errno(ENOENT);
    return read_plan_document(as_text(*text));
}

Result<SegmentTask> read_task_file(const std::string& path) {
    ZT_TRY_ASSIGN(const std::optional<SecureBytes> text, read_private_secret(path, kTaskDocumentLimit));
    if (!text) return Error::from_errno(ENOENT);
    return read_task_document(as_text(*text));
}

Result<std::optional<SegmentResult>> read_result_file(const std::string& path) {
    ZT_TRY_ASSIGN(const std::optional<SecureBytes> text, read_private_secret(path, kResultDocumentLimit));
    if (!text) return std::optional<SegmentResult>();
    ZT_TRY_ASSIGN(SegmentResult result, read_result_document(as_text(*text)));
    return std::optional<SegmentResult>(std::move(result));
}

Result<void> publish_result(const std::string& path, const SegmentResult& result) {
    return publish_staged(path, write_result_document(result), /*owner_only=*/true, OnFailure::keep_staged);
}

Result<void> wipe_and_remove(const std::string& path) {
    const auto removing = [&path](const Error& error) { return error.context("removing " + utf8_lossy(path)); };
    auto opened = file_io::open_for_wiping(path);
    if (!opened && opened.error() == Error::from_errno(ENOENT)) return success();
    // The bytes are overwritten only in this user's own regular file with no
    // other name: never through a link, never in a file someone else owns or
    // also reaches. Whatever else stands under the name (a symbolic link, a
    // FIFO, a file that cannot be opened for writing) is unlinked unread.
    if (opened) {
        const file_io::Fd file = std::move(opened).value();
        struct stat info {};
        if (::fstat(file.get(), &info) != 0) return removing(Error::from_errno(errno));
        if (S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && info.st_nlink == 1) {
            static constexpr std::array<std::uint8_t, 4096> kZeros{};
            for (auto left = static_cast<std::uint64_t>(info.st_size); left > 0;) {
                const std::size_t n = left < kZeros.size() ? static_cast<std::size_t>(left) : kZeros.size();
                if (auto written = file_io::write_all(file.get(), std::span(kZeros).first(n)); !written) {
                    return removing(written.error());
                }
                left -= n;
            }
            if (auto synced = file_io::sync(file.get()); !synced) return removing(synced.error());
        }
    }
    if (auto unlinked = file_io::unlink(path); !unlinked) {
        if (unlinked.error() == Error::from_errno(ENOENT)) return success();
        // What someone else put under the name since it was checked (a
        // directory, another user's file in a shared sticky directory) holds
        // nothing of ours: it is left where it is. Failing here, after the
        // puzzle was published, would stop every later run at the same name.
        struct stat info {};
        if (::lstat(path.c_str(), &info) == 0 && !(S_ISREG(info.st_mode) && info.st_uid == ::geteuid())) {
            return success();
        }
        return removing(unlinked.error());
    }
    auto directory = file_io::open_directory(staging_directory(path));
    if (!directory) return removing(directory.error());
    if (auto synced = file_io::sync(directory->get()); !synced) return removing(synced.error());
    return success();
}

}  // namespace zt
