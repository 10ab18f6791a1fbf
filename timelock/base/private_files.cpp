#include "timelock/base/private_files.h"

#include <fcntl.h>
#include <sys/sysmacros.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <sstream>
#include <utility>

#include "timelock/base/utf8.h"

namespace zt {
namespace {

using file_io::Dir;
using file_io::Fd;
using file_io::FileInfo;

// Why an open with O_NOFOLLOW | O_NONBLOCK failed, naming the file where
// the failure is the file's kind.
Error private_open_error(const Error& error, const std::string& path) {
    if (error == Error::from_errno(ELOOP)) return Error(utf8_lossy(path) + " is a symbolic link; refusing to follow it");
    if (error == Error::from_errno(ENXIO) || error == Error::from_errno(EISDIR) ||
        error == Error::from_errno(ENODEV)) {
        return Error(utf8_lossy(path) + " is not a regular file");
    }
    return error;
}

// The descriptor checked and made blocking again.
Result<Fd> checked_private(Fd fd, const std::string& path) {
    ZT_TRY_ASSIGN(const FileInfo info, file_io::stat(fd.get()));
    ZT_TRY(check_private(info, path));
    ZT_TRY(file_io::make_blocking(fd.get()));
    return fd;
}

// The private file `name` in `dir`, opened read-only and checked, shown in
// messages as `path`; nothing when there is none.
Result<std::optional<Fd>> open_private_read_shown(const Dir& dir, std::string_view name, const std::string& path) {
    auto fd = file_io::open_at(dir, name, O_RDONLY | O_NONBLOCK);
    if (!fd) {
        if (fd.error() == Error::from_errno(ENOENT)) return std::optional<Fd>();
        return private_open_error(fd.error(), path);
    }
    ZT_TRY_ASSIGN(Fd checked, checked_private(std::move(fd).value(), path));
    return std::optional<Fd>(std::move(checked));
}

// Closes off whatever torn line a crash left at the end of a log.
Result<void> append_line_feed(int fd) {
    static constexpr std::uint8_t kLineFeed[1] = {'\n'};
    return file_io::write_all(fd, kLineFeed);
}

Error in_use_error(std::string_view in_use, const std::string& path, int fd) {
    const std::optional<std::string> holder = lock_holder(fd);
    return Error(std::string(in_use) + ": " + utf8_lossy(path) +
                 (holder ? " is locked by " + *holder : " is locked by another process") +
                 "; wait until it ends, or stop it");
}

// Overwrites the file `name` with zeros and flushes it, when it is this
// user's own regular file with one name; anything else is left as it is.
// Never through a link, never in a file someone else owns or also reaches
// under another name. A read-only file is first made writable through a
// descriptor of the very file that was checked, and the descriptor written
// through is checked to be that same file.
Result<void> zero_if_ours(const Dir& dir, std::string_view name) {
    auto looked = file_io::open_at(dir, name, O_RDONLY | O_NONBLOCK);
    if (!looked) return success();  // gone, a symbolic link, or not ours to open: nothing to overwrite
    ZT_TRY_ASSIGN(const FileInfo info, file_io::stat(looked->get()));
    if (!info.regular() || info.owner != file_io::effective_user() || info.links != 1) return success();
    // Where even that is refused, the name is only unlinked, as for any
    // file that cannot be opened for writing.
    if ((info.mode & 0200) == 0 && !file_io::change_mode(looked->get(), kPrivateFileMode)) return success();
    auto opened = file_io::open_at(dir, name, O_WRONLY | O_NONBLOCK);
    if (!opened) return success();  // replaced since: whatever is there now is unlinked unread
    const Fd file = std::move(opened).value();
    ZT_TRY_ASSIGN(const FileInfo written, file_io::stat(file.get()));
    if (!info.same_file(written)) return success();
    static constexpr std::array<std::uint8_t, 4096> kZeros{};
    for (std::uint64_t left = info.size; left > 0;) {
        const std::size_t n = left < kZeros.size() ? static_cast<std::size_t>(left) : kZeros.size();
        ZT_TRY(file_io::write_all(file.get(), std::span(kZeros).first(n)));
        left -= n;
    }
    return file_io::sync(file.get());
}

}  // namespace

Result<void> check_private(const FileInfo& info, const std::string& path) {
    const std::string shown = utf8_lossy(path);
    if (!info.regular()) return Error(shown + " is not a regular file");
    if (info.owner != file_io::effective_user()) return Error(shown + " belongs to another user");
    if ((info.mode & 077) != 0) {
        std::array<char, 16> mode{};
        std::snprintf(mode.data(), mode.size(), "%04o", info.mode & 07777u);
        return Error(shown + " is open to other users (mode " + mode.data() + "); make it owner-only (chmod 600)");
    }
    if (info.links != 1) {
        return Error(shown + " has " + std::to_string(info.links) +
                     " names (hard links); a private file must have only this one");
    }
    return success();
}

Result<std::optional<Fd>> open_private_read(const Dir& dir, std::string_view name) {
    return open_private_read_shown(dir, name, dir.path_of(name));
}

Result<std::optional<Fd>> open_private_read(const std::string& path) {
    auto dir = file_io::open_directory(file_io::parent_directory(path));
    if (!dir) {
        if (dir.error() == Error::from_errno(ENOENT)) return std::optional<Fd>();
        return std::move(dir).error();
    }
    // Named in messages as the user wrote it.
    return open_private_read_shown(*dir, file_io::last_component(path), path);
}

Result<Fd> open_private_append(const Dir& dir, std::string_view name) {
    const std::string path = dir.path_of(name);
    constexpr int kFlags = O_WRONLY | O_APPEND | O_NONBLOCK;
    for (;;) {
        auto fresh = file_io::open_at(dir, name, kFlags | O_CREAT | O_EXCL, kPrivateFileMode);
        if (fresh) {
            ZT_TRY_ASSIGN(Fd fd, checked_private(std::move(fresh).value(), path));
            ZT_TRY(file_io::sync(dir.fd()));
            return fd;
        }
        if (fresh.error() != Error::from_errno(EEXIST)) return private_open_error(fresh.error(), path);
        auto existing = file_io::open_at(dir, name, kFlags);
        if (existing) return checked_private(std::move(existing).value(), path);
        if (existing.error() != Error::from_errno(ENOENT)) return private_open_error(existing.error(), path);
        // Removed in between: try again.
    }
}

Result<EntryOwner> entry_owner(const Dir& dir, std::string_view name) {
    ZT_TRY_ASSIGN(const std::optional<FileInfo> info, file_io::stat_at(dir, name));
    if (!info) return EntryOwner::none;
    return info->owner == file_io::effective_user() ? EntryOwner::ours : EntryOwner::another_user;
}

Result<void> wipe_and_remove(const Dir& dir, std::string_view name) {
    const auto removing = [&](const Error& error) { return error.context("removing " + utf8_lossy(dir.path_of(name))); };
    auto entry = file_io::stat_at(dir, name);
    if (!entry) return removing(entry.error());
    // Another user's entry (in a shared sticky directory) holds nothing of
    // ours: it is neither opened nor removed, even where we could remove it.
    if (!*entry || (*entry)->owner != file_io::effective_user()) return success();
    if (auto zeroed = zero_if_ours(dir, name); !zeroed) return removing(zeroed.error());
    // Whatever else stands under the name (a symbolic link, a FIFO) is
    // unlinked unread.
    if (auto unlinked = file_io::unlink_at(dir, name); !unlinked) {
        if (unlinked.error() == Error::from_errno(ENOENT)) return success();
        // What someone else put under the name since it was checked (a
        // directory, another user's file in a shared sticky directory) holds
        // nothing of ours: it is left where it is. Failing here, after the
        // puzzle was published, would stop every later run at the same name.
        const auto now = file_io::stat_at(dir, name);
        if (now && *now && !((*now)->regular() && (*now)->owner == file_io::effective_user())) return success();
        return removing(unlinked.error());
    }
    if (auto synced = file_io::sync(dir.fd()); !synced) return removing(synced.error());
    return success();
}

std::optional<std::string> lock_holder(int fd) {
    const auto info = file_io::stat(fd);
    const std::optional<std::string> locks = file_io::read_system_text("/proc/locks");
    if (!info || !locks) return std::nullopt;
    const auto device = static_cast<dev_t>(info->device);
    std::array<char, 64> wanted{};
    std::snprintf(wanted.data(), wanted.size(), "%02x:%02x:%llu", major(device), minor(device),
                  static_cast<unsigned long long>(info->inode));
    std::istringstream lines(*locks);
    for (std::string line; std::getline(lines, line);) {
        // "1: FLOCK  ADVISORY  WRITE 4242 fd:01:1234 0 EOF"; a waiter's line has "->".
        std::istringstream fields(line);
        std::string id, kind, advisory, access, pid, file;
        if (!(fields >> id >> kind >> advisory >> access >> pid >> file) || kind == "->") continue;
        if (file != wanted.data()) continue;
        std::string name;
        if (const auto comm = file_io::read_system_text("/proc/" + pid + "/comm", 256)) {
            name = *comm;
            while (!name.empty() && name.back() == '\n') name.pop_back();
        }
        return "process " + pid + (name.empty() ? "" : " (" + name + ")");
    }
    return std::nullopt;
}

Result<void> lock_for_this_process(int fd, const std::string& path, std::string_view in_use, std::string_view user) {
    auto locked = file_io::try_lock_exclusive(fd);
    if (!locked) {
        if (locked.error() == Error::from_errno(ENOLCK) || locked.error() == Error::from_errno(EOPNOTSUPP) ||
            locked.error() == Error::from_errno(ENOSYS) || locked.error() == Error::from_errno(EBADF)) {
            return Error("cannot lock " + utf8_lossy(path) + ": this file system refuses locks, so one " +
                             std::string(user) + " per file cannot be ensured here",
                         {locked.error().message()});
        }
        return std::move(locked).error();
    }
    if (!*locked) return in_use_error(in_use, path, fd);
    return success();
}

Result<Fd> open_log(const std::string& path, unsigned mode, std::string_view in_use) {
    bool created = false;
    ZT_TRY_ASSIGN(Fd fd, file_io::open_append(path, mode, &created));
    ZT_TRY_ASSIGN(const bool locked, file_io::try_lock_exclusive(fd.get()));
    if (!locked) return in_use_error(in_use, path, fd.get());
    ZT_TRY(append_line_feed(fd.get()));
    if (created) {
        ZT_TRY_ASSIGN(const Dir dir, file_io::open_directory(file_io::parent_directory(path)));
        ZT_TRY(file_io::sync(dir.fd()));
    }
    return fd;
}

Result<Fd> open_private_log(const Dir& dir, std::string_view name, std::string_view in_use) {
    ZT_TRY_ASSIGN(Fd fd, open_private_append(dir, name));
    ZT_TRY(lock_for_this_process(fd.get(), dir.path_of(name), in_use, "worker"));
    ZT_TRY(append_line_feed(fd.get()));
    return fd;
}

}  // namespace zt
