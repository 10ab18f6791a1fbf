#include "timelock/split/state_dir.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "timelock/base/private_files.h"
#include "timelock/base/protocol.h"
#include "timelock/base/utf8.h"
#include "timelock/base/wording.h"
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
std::string verification_file_name(std::uint32_t segment) { return numbered("verify", segment); }
std::string result_file_name(std::uint32_t segment) { return numbered("result", segment); }
std::string outcome_file_name(std::uint32_t segment) { return result_file_name(segment) + std::string(kOutcomeSuffix); }

std::string in_dir(const std::string& dir, std::string_view name) { return file_io::join_path(dir, name); }

std::string progress_path(const std::string& result_path) { return result_path + std::string(kProgressSuffix); }

Result<StateDir> StateDir::open(const std::string& path, bool create) {
    const auto refused = [&](std::string_view what, std::string_view fix) {
        return Error(about_file(kStateOption, path, what, fix));
    };
    const std::string_view give =
        create ? "give a new or empty directory, or the one plan wrote" : "give the directory plan wrote";
    if (create) {
        // Where it would be made: a parent that is there, is a directory,
        // and is no file system of the kernel's.
        const std::string parent = file_io::parent_directory(path);
        const auto no_parent = [&] {
            return refused("cannot be made: its parent " + utf8_lossy(parent) + " is not there",
                           "create that first, or give another path");
        };
        auto in = file_io::open_directory(parent);
        if (!in && in.error() == Error::from_errno(ENOENT)) return no_parent();
        if (!in && in.error() == Error::from_errno(ENOTDIR)) {
            return refused("cannot be made: " + utf8_lossy(parent) + " is not a directory", "give another path");
        }
        if (in) {
            ZT_TRY_ASSIGN(const bool kernels, file_io::on_kernel_file_system(in->fd()));
            if (kernels) {
                return refused("cannot be made: " + utf8_lossy(parent) +
                                   " is a file system of the kernel's (/proc or /sys)",
                               "give a directory on your own storage");
            }
        }
        if (auto made = file_io::make_directory(path, kPrivateDirectoryMode);
            !made && made.error() != Error::from_errno(EEXIST)) {
            if (made.error() == Error::from_errno(ENOENT)) return no_parent();
            return made.error().context(about_file(kStateOption, path, "cannot be made", give));
        }
    }
    auto opened = file_io::open_directory(path);
    if (!opened) {
        if (opened.error() == Error::from_errno(ENOENT)) return refused("is not there", give);
        if (opened.error() == Error::from_errno(ENOTDIR)) return refused("is not a directory", give);
        return opened.error().context(about_file(kStateOption, path, "cannot be opened", give));
    }
    file_io::Dir dir = std::move(opened).value();
    ZT_TRY_ASSIGN(const file_io::FileInfo info, file_io::stat(dir.fd()));
    if (info.owner != file_io::effective_user()) {
        return refused("belongs to another user", "give a directory of your own");
    }
    // Locked before anything in it is read or staged, and made private
    // (also one that existed, or was made under a loose creation mask).
    ZT_TRY(lock_for_this_process(dir.fd(), path, kStateInUse, "run"));
    if (info.mode != kPrivateDirectoryMode) {
        if (auto made = file_io::change_mode(dir.fd(), kPrivateDirectoryMode); !made) {
            return Error(
                about_file(kStateOption, path, "cannot be made owner-only (0700)", "give a directory of your own"),
                {made.error().message()});
        }
    }
    return StateDir(std::move(dir));
}

namespace {

// What a state directory holds, sorted by kind.
struct StateContents {
    bool plan = false;
    std::vector<std::string> files;   // task and verification task files, by name
    std::vector<std::string> staged;  // names of staged files of ours
    std::vector<std::string> other;   // names of anything else, and of another user's entries
};

bool is_task_file(std::string_view name) {
    for (std::uint32_t i = 0; i < protocol::kGeneratedSegments; ++i) {
        if (name == task_file_name(i) || name == verification_file_name(i)) return true;
    }
    return false;
}

Result<StateContents> contents_of(const StateDir& state) {
    ZT_TRY_ASSIGN(const std::vector<std::string> names, file_io::list(state.dir()));
    StateContents contents;
    for (const std::string& name : names) {
        ZT_TRY_ASSIGN(const EntryOwner owner, entry_owner(state.dir(), name));
        if (owner == EntryOwner::another_user) contents.other.push_back(name);
        else if (name == kPlanFileName) contents.plan = true;
        else if (is_task_file(name)) contents.files.push_back(name);
        else if (name.starts_with(kStagedPrefix)) contents.staged.push_back(name);
        else contents.other.push_back(name);
    }
    return contents;
}

// "--state {dir} is not empty: it holds a, b, c and 4 more; give a new or
// empty directory".
Error not_empty(const StateDir& state, std::span<const std::string> names) {
    constexpr std::size_t kShown = 3;
    std::string list;
    for (std::size_t i = 0; i < names.size() && i < kShown; ++i) {
        list += (i == 0 ? "" : ", ") + utf8_lossy(names[i]);
    }
    if (names.size() > kShown) list += " and " + std::to_string(names.size() - kShown) + " more";
    return Error(
        about_file(kStateOption, state.path(), "is not empty: it holds " + list, "give a new or empty directory"));
}

// Every name in the contents: plan, tasks, then anything else.
std::vector<std::string> all_names(const StateContents& contents) {
    std::vector<std::string> names;
    if (contents.plan) names.emplace_back(kPlanFileName);
    names.insert(names.end(), contents.files.begin(), contents.files.end());
    names.insert(names.end(), contents.other.begin(), contents.other.end());
    names.insert(names.end(), contents.staged.begin(), contents.staged.end());
    return names;
}

// Staged files that a publication killed half-way left (under the lock, no
// live run's): a plan or a task not yet handed out, wiped.
Result<void> wipe_staged(const StateDir& state, std::span<const std::string> staged) {
    for (const std::string& name : staged) ZT_TRY(wipe_and_remove(state.dir(), name));
    return success();
}

// The document `name` should hold in a state of `plan`; nothing for a name
// that is no task file.
std::optional<SecureBytes> expected_document(const GenerationPlan& plan, std::string_view name) {
    for (std::uint32_t i = 0; i < protocol::kGeneratedSegments; ++i) {
        if (name == task_file_name(i)) return write_task_document(task_of(plan, i));
        if (name == verification_file_name(i)) return write_verification_task_document(verification_task_of(plan, i));
    }
    return std::nullopt;
}

}  // namespace

Result<void> check_new_state_dir(const StateDir& state) {
    ZT_TRY_ASSIGN(const StateContents contents, contents_of(state));
    if (contents.plan || !contents.files.empty() || !contents.other.empty()) {
        return not_empty(state, all_names(contents));
    }
    // Only staged files: a plan being published when a kill came. Nothing
    // was handed out yet, so they are wiped and the plan drawn again.
    return wipe_staged(state, contents.staged);
}

Result<std::optional<GenerationPlan>> unfinished_plan(const StateDir& state) {
    ZT_TRY_ASSIGN(const StateContents contents, contents_of(state));
    if (!contents.other.empty()) return not_empty(state, contents.other);
    if (!contents.plan) {
        if (!contents.files.empty()) return not_empty(state, all_names(contents));
        ZT_TRY(wipe_staged(state, contents.staged));
        return std::optional<GenerationPlan>();
    }
    auto plan = read_plan_file(state.dir());
    if (!plan) {
        return Error(about_file(kStateOption, state.path(), "holds a plan.json that cannot be read",
                                "give a new or empty directory"),
                     {plan.error().message()});
    }
    // Every task file already there must be the plan's own, byte for byte.
    for (const std::string& name : contents.files) {
        ZT_TRY_ASSIGN(const std::optional<SecureBytes> text,
                      read_private_secret(state.dir(), name, kTaskDocumentLimit));
        if (!text || *text != *expected_document(*plan, name)) {
            return Error(about_file(kStateOption, state.path(),
                                    "holds " + utf8_lossy(name) + ", which is not a task of its plan.json",
                                    "give a new or empty directory"));
        }
    }
    ZT_TRY(wipe_staged(state, contents.staged));
    return std::optional<GenerationPlan>(std::move(plan).value());
}

std::size_t task_files_in(const StateDir& state) {
    std::size_t count = 0;
    for (std::uint32_t i = 0; i < protocol::kGeneratedSegments; ++i) {
        const auto info = file_io::stat_at(state.dir(), task_file_name(i));
        count += info && *info;
    }
    return count;
}

Result<void> write_state(const StateDir& state, const GenerationPlan& plan, StateFiles files) {
    // Nothing here is costly to draw again, so no staged copy of a secret stays.
    const auto publish_missing = [&](const std::string& name, const SecureBytes& document) -> Result<void> {
        ZT_TRY_ASSIGN(const std::optional<file_io::FileInfo> there, file_io::stat_at(state.dir(), name));
        if (there) return success();  // unfinished_plan checked it to be the plan's
        return publish(OutputTarget::in(state.dir(), name), document, /*owner_only=*/true, OnFailure::remove_staged);
    };
    ZT_TRY(publish_missing(std::string(kPlanFileName), write_plan_document(plan)));
    for (std::uint32_t i = 0; i < protocol::kGeneratedSegments; ++i) {
        ZT_TRY(publish_missing(task_file_name(i), write_task_document(task_of(plan, i))));
    }
    if (files == StateFiles::with_verification) {
        for (std::uint32_t i = 0; i < protocol::kGeneratedSegments; ++i) {
            ZT_TRY(publish_missing(verification_file_name(i),
                                   write_verification_task_document(verification_task_of(plan, i))));
        }
    }
    return success();
}

Result<bool> plan_wiped(const StateDir& state) {
    ZT_TRY_ASSIGN(const EntryOwner owner, entry_owner(state.dir(), kPlanFileName));
    if (owner != EntryOwner::ours) return false;
    auto text = read_private_secret(state.dir(), kPlanFileName, kPlanDocumentLimit);
    if (!text || !*text) return false;  // not a private file, or too large: not what a wipe leaves
    return (*text)->empty() || (*text)->front() == 0;
}

Result<GenerationPlan> read_plan_file(const file_io::Dir& dir) {
    ZT_TRY_ASSIGN(const std::optional<SecureBytes> text, read_private_secret(dir, kPlanFileName, kPlanDocumentLimit));
    if (!text) return Error::from_errno(ENOENT);
    return read_plan_document(as_text(*text));
}

Result<SegmentTask> read_task_file(const std::string& path) {
    ZT_TRY_ASSIGN(const std::optional<SecureBytes> text, read_private_secret(path, kTaskDocumentLimit));
    if (!text) return Error::from_errno(ENOENT);
    return read_task_document(as_text(*text));
}

Result<VerificationTask> read_verification_task_file(const std::string& path) {
    ZT_TRY_ASSIGN(const std::optional<SecureBytes> text, read_private_secret(path, kTaskDocumentLimit));
    if (!text) return Error::from_errno(ENOENT);
    return read_verification_task_document(as_text(*text));
}

Result<std::optional<SegmentResult>> read_result_file(const file_io::Dir& dir, std::string_view name) {
    ZT_TRY_ASSIGN(const std::optional<SecureBytes> text, read_private_secret(dir, name, kResultDocumentLimit));
    if (!text) return std::optional<SegmentResult>();
    ZT_TRY_ASSIGN(SegmentResult result, read_result_document(as_text(*text)));
    return std::optional<SegmentResult>(std::move(result));
}

Result<void> publish_result(const OutputTarget& target, const SegmentResult& result) {
    return publish(target, write_result_document(result), /*owner_only=*/true, OnFailure::keep_staged);
}

}  // namespace zt
