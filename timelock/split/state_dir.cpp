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

namespace {

// What a state directory holds, sorted by kind.
struct StateContents {
    bool plan = false;
    std::vector<std::uint32_t> tasks;  // segments whose task file is there
    std::vector<std::string> staged;   // names of staged files of ours
    std::vector<std::string> other;    // names of anything else, and of another user's entries
};

// The segment a "task-NN.json" name stands for.
std::optional<std::uint32_t> task_segment(std::string_view name) {
    for (std::uint32_t i = 0; i < protocol::kGeneratedSegments; ++i) {
        if (name == task_file_name(i)) return i;
    }
    return std::nullopt;
}

// The contents of `dir`; nothing when it does not exist.
Result<std::optional<StateContents>> contents_of(const std::string& dir) {
    if (dir.find('\0') != std::string::npos) return Error(std::string(file_io::kNulInPath));
    auto entries = directory_entries(dir);
    if (!entries) {
        if (entries.error() == Error::from_errno(ENOENT)) return std::optional<StateContents>();
        return std::move(entries).error();
    }
    std::sort(entries->begin(), entries->end());
    StateContents contents;
    for (const std::string& name : *entries) {
        if (owned_by_another_user(in_dir(dir, name))) contents.other.push_back(name);
        else if (name == kPlanFileName) contents.plan = true;
        else if (const auto segment = task_segment(name)) contents.tasks.push_back(*segment);
        else if (name.starts_with(kStagedPrefix)) contents.staged.push_back(name);
        else contents.other.push_back(name);
    }
    return std::optional<StateContents>(std::move(contents));
}

// "state directory {dir} is not empty: it holds a, b, c and 4 more; give a
// new or empty directory".
Error not_empty(const std::string& dir, std::span<const std::string> names) {
    constexpr std::size_t kShown = 3;
    std::string list;
    for (std::size_t i = 0; i < names.size() && i < kShown; ++i) {
        list += (i == 0 ? "" : ", ") + utf8_lossy(names[i]);
    }
    if (names.size() > kShown) list += " and " + std::to_string(names.size() - kShown) + " more";
    return Error("state directory " + utf8_lossy(dir) + " is not empty: it holds " + list +
                 "; give a new or empty directory");
}

// Every name in the contents: plan, tasks, then anything else.
std::vector<std::string> all_names(const StateContents& contents) {
    std::vector<std::string> names;
    if (contents.plan) names.emplace_back(kPlanFileName);
    for (const std::uint32_t segment : contents.tasks) names.push_back(task_file_name(segment));
    names.insert(names.end(), contents.other.begin(), contents.other.end());
    names.insert(names.end(), contents.staged.begin(), contents.staged.end());
    return names;
}

// Staged files that a publication killed half-way left: a plan or a task
// not yet handed out, wiped.
Result<void> wipe_staged(const std::string& dir, std::span<const std::string> staged) {
    for (const std::string& name : staged) ZT_TRY(wipe_and_remove(in_dir(dir, name)));
    return success();
}

}  // namespace

Result<void> check_new_state_dir(const std::string& dir) {
    ZT_TRY_ASSIGN(const std::optional<StateContents> contents, contents_of(dir));
    if (!contents) return success();
    if (contents->plan || !contents->tasks.empty() || !contents->other.empty()) {
        return not_empty(dir, all_names(*contents));
    }
    // Only staged files: a plan being published when a kill came. Nothing
    // was handed out yet, so they are wiped and the plan drawn again.
    return wipe_staged(dir, contents->staged);
}

Result<std::optional<GenerationPlan>> unfinished_plan(const std::string& dir) {
    ZT_TRY_ASSIGN(const std::optional<StateContents> contents, contents_of(dir));
    if (!contents) return std::optional<GenerationPlan>();
    if (!contents->other.empty()) return not_empty(dir, contents->other);
    if (!contents->plan) {
        if (!contents->tasks.empty()) return not_empty(dir, all_names(*contents));
        ZT_TRY(wipe_staged(dir, contents->staged));
        return std::optional<GenerationPlan>();
    }
    const std::string shown = utf8_lossy(dir);
    auto plan = read_plan_file(dir);
    if (!plan) {
        return Error("state directory " + shown + " holds a plan.json that cannot be read; give a new or empty directory",
                     {plan.error().message()});
    }
    // Every task file already there must be the plan's own, byte for byte.
    for (const std::uint32_t segment : contents->tasks) {
        const std::string name = task_file_name(segment);
        ZT_TRY_ASSIGN(const std::optional<SecureBytes> text,
                      read_private_secret(in_dir(dir, name), kTaskDocumentLimit));
        if (!text || *text != write_task_document(task_of(*plan, segment))) {
            return Error("state directory " + shown + " holds " + name +
                         ", which is not a task of its plan.json; give a new or empty directory");
        }
    }
    ZT_TRY(wipe_staged(dir, contents->staged));
    return std::optional<GenerationPlan>(std::move(plan).value());
}

std::size_t task_files_in(const std::string& dir) {
    std::size_t count = 0;
    for (std::uint32_t i = 0; i < protocol::kGeneratedSegments; ++i) count += output_exists(in_dir(dir, task_file_name(i)));
    return count;
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

Result<void> finish_state(const std::string& dir, const GenerationPlan& plan) {
    ZT_TRY(make_private_directory(dir));
    for (std::uint32_t i = 0; i < protocol::kGeneratedSegments; ++i) {
        const std::string path = in_dir(dir, task_file_name(i));
        if (output_exists(path)) continue;  // checked by unfinished_plan to be the plan's
        ZT_TRY(publish_staged(path, write_task_document(task_of(plan, i)), true, OnFailure::remove_staged));
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

bool owned_by_another_user(const std::string& path) {
    struct stat info {};
    return path.find('\0') == std::string::npos && ::lstat(path.c_str(), &info) == 0 && info.st_uid != ::geteuid();
}

namespace {

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Overwrites the file at `path` with zeros and flushes it, when it is this
// user's own regular file with no other name; anything else is left as it
// is. Never through a link, never in a file someone else owns or also
// reaches under another name (one of ours that another user hard-linked
// there, say). A read-only file is first made writable through a
// descriptor of the very file that was checked, and the descriptor written
// through is checked to be that same file.
Result<void> zero_if_ours(const std::string& path) {
    auto looked = file_io::open_unfollowed(path);
    if (!looked) return success();  // gone, a symbolic link, or not ours to open: nothing to overwrite
    struct stat info {};
    if (::fstat(looked->get(), &info) != 0) return Error::from_errno(errno);
    if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid() || info.st_nlink != 1) return success();
    // Made writable through the descriptor of the very file checked; where
    // even that is refused, the name is only unlinked, as for any file that
    // cannot be opened for writing.
    if ((info.st_mode & S_IWUSR) == 0 && ::fchmod(looked->get(), file_io::kPrivateFileMode) != 0) return success();
    auto opened = file_io::open_for_wiping(path);
    if (!opened) return success();  // replaced since: whatever is there now is unlinked unread
    const file_io::Fd file = std::move(opened).value();
    struct stat written_info {};
    if (::fstat(file.get(), &written_info) != 0) return Error::from_errno(errno);
    if (!same_file(info, written_info)) return success();
    static constexpr std::array<std::uint8_t, 4096> kZeros{};
    for (auto left = static_cast<std::uint64_t>(info.st_size); left > 0;) {
        const std::size_t n = left < kZeros.size() ? static_cast<std::size_t>(left) : kZeros.size();
        ZT_TRY(file_io::write_all(file.get(), std::span(kZeros).first(n)));
        left -= n;
    }
    return file_io::sync(file.get());
}

}  // namespace

Result<void> wipe_and_remove(const std::string& path) {
    const auto removing = [&path](const Error& error) { return error.context("removing " + utf8_lossy(path)); };
    if (path.find('\0') != std::string::npos) return removing(Error(std::string(file_io::kNulInPath)));
    struct stat entry {};
    if (::lstat(path.c_str(), &entry) != 0) {
        if (errno == ENOENT) return success();
        return removing(Error::from_errno(errno));
    }
    // Another user's entry (in a shared sticky directory) holds nothing of
    // ours: it is neither opened nor removed, even where we could remove it.
    if (entry.st_uid != ::geteuid()) return success();
    if (auto zeroed = zero_if_ours(path); !zeroed) return removing(zeroed.error());
    // Whatever else stands under the name (a symbolic link, a FIFO) is
    // unlinked unread.
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
    if (auto synced = file_io::sync_parent(path); !synced) return removing(synced.error());
    return success();
}

}  // namespace zt
