#include "timelock/split/state_dir.h"

#include <dirent.h>
#include <sys/stat.h>

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
    if (!entries->empty()) return Error(std::string(kStateNotEmpty));
    return success();
}

Result<void> write_state(const std::string& dir, const GenerationPlan& plan) {
    if (auto made = file_io::make_directory(dir, kStateDirectoryMode); !made) {
        struct stat info {};
        if (::stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return made;  // an existing one is checked empty
    }
    // Nothing here is costly to draw again, so no staged copy of a secret stays.
    ZT_TRY(publish_staged(in_dir(dir, kPlanFileName), write_plan_document(plan), true, OnFailure::remove_staged));
    for (std::uint32_t i = 0; i < protocol::kGeneratedSegments; ++i) {
        ZT_TRY(publish_staged(in_dir(dir, task_file_name(i)), write_task_document(task_of(plan, i)), true,
                              OnFailure::remove_staged));
    }
    return success();
}

Result<GenerationPlan> read_plan_file(const std::string& dir) {
    ZT_TRY_ASSIGN(const SecureBytes text, read_limited_secret(in_dir(dir, kPlanFileName), kPlanDocumentLimit));
    return read_plan_document(as_text(text));
}

Result<SegmentTask> read_task_file(const std::string& path) {
    ZT_TRY_ASSIGN(const SecureBytes text, read_limited_secret(path, kTaskDocumentLimit));
    return read_task_document(as_text(text));
}

Result<std::optional<SegmentResult>> read_result_file(const std::string& path) {
    if (!output_exists(path)) return std::optional<SegmentResult>();
    ZT_TRY_ASSIGN(const SecureBytes text, read_limited_secret(path, kResultDocumentLimit));
    ZT_TRY_ASSIGN(SegmentResult result, read_result_document(as_text(text)));
    return std::optional<SegmentResult>(std::move(result));
}

Result<void> publish_result(const std::string& path, const SegmentResult& result) {
    return publish_staged(path, write_result_document(result), /*owner_only=*/true, OnFailure::keep_staged);
}

Result<void> wipe_and_remove(const std::string& path) {
    const auto removing = [&path](const Error& error) { return error.context("removing " + utf8_lossy(path)); };
    auto opened = file_io::open_for_wiping(path);
    if (!opened) {
        if (opened.error() == Error::from_errno(ENOENT)) return success();
        return removing(opened.error());
    }
    const file_io::Fd file = std::move(opened).value();
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) return removing(Error::from_errno(errno));
    static constexpr std::array<std::uint8_t, 4096> kZeros{};
    for (auto left = static_cast<std::uint64_t>(info.st_size); left > 0;) {
        const std::size_t n = left < kZeros.size() ? static_cast<std::size_t>(left) : kZeros.size();
        if (auto written = file_io::write_all(file.get(), std::span(kZeros).first(n)); !written) {
            return removing(written.error());
        }
        left -= n;
    }
    if (auto synced = file_io::sync(file.get()); !synced) return removing(synced.error());
    if (auto unlinked = file_io::unlink(path); !unlinked) return removing(unlinked.error());
    auto directory = file_io::open_directory(staging_directory(path));
    if (!directory) return removing(directory.error());
    if (auto synced = file_io::sync(directory->get()); !synced) return removing(synced.error());
    return success();
}

}  // namespace zt
