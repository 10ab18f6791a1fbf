#include "timelock/base/publish.h"

#include <fcntl.h>

#include <array>
#include <cerrno>
#include <utility>

#include "timelock/base/crypto.h"
#include "timelock/base/utf8.h"
#include "timelock/base/wording.h"

namespace zt {
namespace {

using file_io::Dir;
using file_io::Fd;

constexpr std::size_t kLongestName = 255;

// ".zanth-timelock-staged-" and a 128-bit random number as 32 lowercase hex
// digits; of the two 64-bit draws the first gives the low half.
Result<std::string> staged_name() {
    std::array<std::uint8_t, 16> random{};
    ZT_TRY(random_bytes(random));
    std::array<std::uint64_t, 2> draws{};  // low, high
    for (std::size_t i = 0; i < 16; ++i) draws[i / 8] |= static_cast<std::uint64_t>(random[i]) << (8 * (i % 8));
    // The number high half first, each half most significant byte first.
    std::array<std::uint8_t, 16> number{};
    store_be64(std::span(number).first<8>(), draws[1]);
    store_be64(std::span(number).last<8>(), draws[0]);
    return std::string(kStagedPrefix) + encode_hex(number);
}

PublicationWarning& publication_warning() {
    static PublicationWarning warning = [](const std::string&) {};
    return warning;
}

void warn(const std::string& message) { publication_warning()(message); }

// Whether opening an unnamed file failed because the file system has none.
bool no_unnamed_files(const Error& error) {
    return error == Error::from_errno(EOPNOTSUPP) || error == Error::from_errno(EISDIR) ||
           error == Error::from_errno(EINVAL);
}

Result<void> fill(int fd, std::span<const std::uint8_t> bytes) {
    ZT_TRY(file_io::write_all(fd, bytes));
    return file_io::sync(fd);
}

// After the link: the new entry made durable, or the warning that it may not be.
void flush_published(const OutputTarget& target) {
    if (auto synced = file_io::sync(target.dir().fd()); !synced) {
        warn("published " + utf8_lossy(target.path()) + ", but its directory could not be flushed (" +
             synced.error().message() + "): the new name may not survive a system crash");
    }
}

void tell_kept(const OutputTarget& target, const std::string& staged) {
    warn(utf8_lossy(target.path()) + " was not published; what it would have held is kept in " +
         utf8_lossy(target.dir().path_of(staged)));
}

// The way without unnamed files: a staged name, linked, then removed.
Result<void> publish_through_staged_name(const OutputTarget& target, std::span<const std::uint8_t> bytes,
                                         unsigned mode, OnFailure on_failure) {
    const std::string shown = utf8_lossy(target.path());
    auto name = staged_name();
    if (!name) return name.error().context("staging " + shown);
    auto created = file_io::open_at(target.dir(), *name, O_WRONLY | O_CREAT | O_EXCL, mode);
    if (!created) return created.error().context("staging " + shown);
    const Fd file = std::move(created).value();
    // A partly written file is nobody's copy of anything: it goes.
    if (auto filled = fill(file.get(), bytes); !filled) {
        static_cast<void>(file_io::unlink_at(target.dir(), *name));
        return filled.error();
    }
    if (auto linked = file_io::link_at(target.dir(), *name, target.name()); !linked) {
        if (on_failure == OnFailure::remove_staged) static_cast<void>(file_io::unlink_at(target.dir(), *name));
        else tell_kept(target, *name);
        return linked.error().context("publishing " + shown + " (will not overwrite)");
    }
    flush_published(target);
    // The staged name would be a hidden second copy of what may be a secret.
    if (file_io::unlink_at(target.dir(), *name)) static_cast<void>(file_io::sync(target.dir().fd()));
    return success();
}

}  // namespace

Result<OutputTarget> OutputTarget::open(std::string_view option, const std::string& path) {
    if (path.empty()) return Error(std::string(option) + " is empty; give the file to create");
    const std::string named = std::string(option) + " " + utf8_lossy(path);
    const std::string cannot = "cannot publish " + named + ": ";
    if (path.find('\0') != std::string::npos) return Error(cannot + std::string(file_io::kNulInPath));
    const std::string_view name = file_io::last_component(path);
    if (path.ends_with('/') || name.empty() || name == "." || name == "..") {
        return Error(named + " names a directory (it ends in '/', '.' or '..'); give the file to create");
    }
    if (name.size() > kLongestName) {
        return Error(cannot + "its last component is longer than " + std::to_string(kLongestName) + " bytes");
    }
    const std::string directory = file_io::parent_directory(path);
    const std::string shown_dir = utf8_lossy(directory);
    auto opened = file_io::open_directory(directory);
    if (!opened) {
        if (opened.error() == Error::from_errno(ENOENT)) {
            return Error(cannot + "directory " + shown_dir + " is not there", {opened.error().message()});
        }
        if (opened.error() == Error::from_errno(ENOTDIR)) return Error(cannot + shown_dir + " is not a directory");
        return Error(cannot + "directory " + shown_dir + " cannot be opened", {opened.error().message()});
    }
    const auto dir = std::make_shared<const Dir>(std::move(opened).value());
    ZT_TRY_ASSIGN(const bool kernels, file_io::on_kernel_file_system(dir->fd()));
    if (kernels) {
        return Error(cannot + shown_dir + " is a file system of the kernel's (/proc or /sys), where no file can be created");
    }
    ZT_TRY_ASSIGN(const bool may_change, file_io::may_change(*dir));
    if (!may_change) return Error(cannot + "no permission to create files in " + shown_dir);
    ZT_TRY_ASSIGN(const file_io::FileInfo info, file_io::stat(dir->fd()));
    OutputTarget target;
    target.dir_ = dir;
    target.name_ = std::string(name);
    target.path_ = path;
    target.option_ = std::string(option);
    target.device_ = info.device;
    target.inode_ = info.inode;
    return target;
}

OutputTarget OutputTarget::in(const Dir& dir, std::string_view name, std::string path) {
    OutputTarget target;
    target.dir_ = std::shared_ptr<const Dir>(&dir, [](const Dir*) {});  // borrowed
    target.name_ = std::string(name);
    target.path_ = path.empty() ? dir.path_of(name) : std::move(path);
    if (const auto info = file_io::stat(dir.fd())) {
        target.device_ = info->device;
        target.inode_ = info->inode;
    }
    return target;
}

bool OutputTarget::same_as(const OutputTarget& other) const {
    return device_ == other.device_ && inode_ == other.inode_ && name_ == other.name_;
}

Error existing_output(const OutputTarget& target, std::string_view detail) {
    std::string what = "already exists";
    if (!detail.empty()) what.append(" (").append(detail).append(")");
    return Error(about_file(target.option(), target.path(), what,
                            "nothing is ever replaced: move it away, or name another file"));
}

Result<void> check_free(const OutputTarget& target) {
    ZT_TRY_ASSIGN(const std::optional<file_io::FileInfo> there, file_io::stat_at(target.dir(), target.name()));
    if (there) return existing_output(target);
    return success();
}

Result<void> check_distinct(std::span<const OutputTarget* const> targets) {
    for (std::size_t i = 0; i < targets.size(); ++i) {
        for (std::size_t j = i + 1; j < targets.size(); ++j) {
            if (!targets[i]->same_as(*targets[j])) continue;
            return Error(targets[i]->option() + " " + utf8_lossy(targets[i]->path()) + " and " +
                         targets[j]->option() + " " + utf8_lossy(targets[j]->path()) +
                         " name the same file; give each output a file of its own");
        }
    }
    return success();
}

Result<void> publish(const OutputTarget& target, std::span<const std::uint8_t> bytes, bool owner_only,
                     OnFailure on_failure) {
    const std::string shown = utf8_lossy(target.path());
    const unsigned mode = owner_only ? 0600 : 0644;
    auto unnamed = file_io::open_unnamed(target.dir(), mode);
    if (!unnamed) {
        if (no_unnamed_files(unnamed.error())) return publish_through_staged_name(target, bytes, mode, on_failure);
        return unnamed.error().context("staging " + shown);
    }
    const Fd file = std::move(unnamed).value();
    ZT_TRY(fill(file.get(), bytes));  // nothing named yet: a failure leaves nothing behind
    auto linked = file_io::link_open_file(file.get(), target.dir(), target.name());
    if (!linked) {
        // No /proc to link through: the staged way, from the bytes again.
        if (linked.error() == Error::from_errno(ENOENT)) {
            const auto proc = file_io::stat_path("/proc/self/fd");
            if (proc && !*proc) return publish_through_staged_name(target, bytes, mode, on_failure);
        }
        if (on_failure == OnFailure::keep_staged) {
            if (auto name = staged_name(); name && file_io::link_open_file(file.get(), target.dir(), *name)) {
                static_cast<void>(file_io::sync(target.dir().fd()));
                tell_kept(target, *name);
            }
        }
        return linked.error().context("publishing " + shown + " (will not overwrite)");
    }
    flush_published(target);
    return success();
}

Result<void> publish_staged(const std::string& path, std::span<const std::uint8_t> bytes, bool owner_only,
                            OnFailure on_failure) {
    const std::string shown = utf8_lossy(path);
    auto dir = file_io::open_directory(file_io::parent_directory(path));
    if (!dir) return dir.error().context("staging " + shown);
    // The name as the link call would take it: the path's last component,
    // and for a path that has none the path itself (which then fails).
    std::string_view name = file_io::last_component(path);
    if (path.ends_with('/') || name.empty()) name = path;
    return publish(OutputTarget::in(*dir, name, path), bytes, owner_only, on_failure);
}

void set_publication_warning(PublicationWarning warning) {
    if (!warning) warning = [](const std::string&) {};  // none: nothing is told
    publication_warning() = std::move(warning);
}

Result<void> publish_key_file(const OutputTarget& target, const Key32& key, OnFailure on_failure) {
    Secret<2 * Key32::size()> text;
    encode_hex_into(key.span(), text.span());
    return publish(target, text.span(), /*owner_only=*/true, on_failure);
}

Result<void> publish_key_file(const std::string& path, const Key32& key, OnFailure on_failure) {
    Secret<2 * Key32::size()> text;
    encode_hex_into(key.span(), text.span());
    return publish_staged(path, text.span(), /*owner_only=*/true, on_failure);
}

}  // namespace zt
