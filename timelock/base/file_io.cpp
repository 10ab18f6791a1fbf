#include "timelock/base/file_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "timelock/base/utf8.h"

namespace zt::file_io {
namespace {

FaultHook& fault_hook() {
    static FaultHook hook;
    return hook;
}

// The injected failure for `op`, if the test hook asks for one.
std::optional<int> injected(Op op) {
    const FaultHook& hook = fault_hook();
    return hook ? hook(op) : std::nullopt;
}

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

// Runs `call` (returning -1 with errno on failure) under the hook; retries
// while interrupted when `retry` is set. Returns the call's result or the
// errno of its failure as a negative number.
template <typename Call>
long checked(Op op, bool retry, Call call) {
    for (;;) {
        int err = 0;
        long result = -1;
        const std::optional<int> forced = injected(op);
        if (forced && (*forced != 0 || op == Op::Write)) {
            err = *forced;
        } else {
            result = static_cast<long>(call());
            if (result >= 0) return result;
            err = errno;
        }
        if (!(retry && err == EINTR)) return -static_cast<long>(err);
    }
}

Result<Fd> open_with(Op op, const std::string& path, int flags, unsigned mode) {
    if (has_nul(path)) return Error(std::string(kNulInPath));
    const long fd = checked(op, true, [&] { return ::open(path.c_str(), flags, static_cast<mode_t>(mode)); });
    if (fd < 0) return Error::from_errno(static_cast<int>(-fd));
    return Fd(static_cast<int>(fd));
}

Result<void> status(long result) {
    if (result < 0) return Error::from_errno(static_cast<int>(-result));
    return success();
}

}  // namespace

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

void Fd::reset() {
    if (fd_ >= 0) close(release());
}

Result<Fd> open_exclusive(const std::string& path, unsigned mode) {
    return open_with(Op::OpenExclusive, path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
}

Result<Fd> open_append(const std::string& path, unsigned mode, bool* created) {
    constexpr int kFlags = O_WRONLY | O_APPEND | O_CLOEXEC;
    if (created == nullptr) return open_with(Op::OpenAppend, path, kFlags | O_CREAT, mode);
    // Created exclusively first, so the caller knows whether the name is new.
    auto fresh = open_with(Op::OpenAppend, path, kFlags | O_CREAT | O_EXCL, mode);
    if (fresh || fresh.error() != Error::from_errno(EEXIST)) {
        *created = fresh.ok();
        return fresh;
    }
    // Something is there; a dangling symbolic link is followed and its
    // target created, as without `created`, and then counts as created.
    auto existing = open_with(Op::OpenAppend, path, kFlags, mode);
    *created = !existing && existing.error() == Error::from_errno(ENOENT);
    if (!*created) return existing;
    return open_with(Op::OpenAppend, path, kFlags | O_CREAT, mode);
}

Result<void> check_private(int fd, const std::string& path) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return Error::from_errno(errno);
    const std::string shown = utf8_lossy(path);
    if (!S_ISREG(info.st_mode)) return Error(shown + " is not a regular file");
    if (info.st_uid != ::geteuid()) return Error(shown + " belongs to another user");
    if ((info.st_mode & 077) != 0) {
        std::array<char, 8> mode{};
        std::snprintf(mode.data(), mode.size(), "%04o", static_cast<unsigned>(info.st_mode & 07777));
        return Error(shown + " is open to other users (mode " + mode.data() + "); make it owner-only (chmod 600)");
    }
    return success();
}

namespace {

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
    ZT_TRY(check_private(fd.get(), path));
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags == -1 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) == -1) return Error::from_errno(errno);
    return fd;
}

}  // namespace

Result<std::optional<Fd>> open_private_read(const std::string& path) {
    if (has_nul(path)) return Error(std::string(kNulInPath));
    const long fd = checked(Op::OpenRead, true, [&] {
        return ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    });
    if (fd == -ENOENT) return std::optional<Fd>();
    if (fd < 0) return private_open_error(Error::from_errno(static_cast<int>(-fd)), path);
    ZT_TRY_ASSIGN(Fd checked_fd, checked_private(Fd(static_cast<int>(fd)), path));
    return std::optional<Fd>(std::move(checked_fd));
}

Result<Fd> open_private_append(const std::string& path) {
    constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    for (;;) {
        auto fresh = open_with(Op::OpenAppend, path, kFlags | O_CREAT | O_EXCL, kPrivateFileMode);
        if (fresh) {
            ZT_TRY_ASSIGN(Fd fd, checked_private(std::move(fresh).value(), path));
            ZT_TRY(sync_parent(path));
            return fd;
        }
        if (fresh.error() != Error::from_errno(EEXIST)) return private_open_error(fresh.error(), path);
        auto existing = open_with(Op::OpenAppend, path, kFlags, kPrivateFileMode);
        if (existing) return checked_private(std::move(existing).value(), path);
        if (existing.error() != Error::from_errno(ENOENT)) return private_open_error(existing.error(), path);
        // Removed in between: try again.
    }
}

Result<Fd> open_locked_log(const std::string& path, unsigned mode, std::string_view in_use, LogOpening opening) {
    bool created = false;
    ZT_TRY_ASSIGN(Fd fd, opening == LogOpening::private_file ? open_private_append(path)
                                                              : open_append(path, mode, &created));
    auto locked = try_lock_exclusive(fd.get());
    if (!locked) {
        if (opening == LogOpening::private_file &&
            (locked.error() == Error::from_errno(ENOLCK) || locked.error() == Error::from_errno(EOPNOTSUPP) ||
             locked.error() == Error::from_errno(ENOSYS))) {
            return Error("cannot lock " + utf8_lossy(path) +
                             ": this file system refuses locks, so one worker per file cannot be ensured here",
                         {locked.error().message()});
        }
        return std::move(locked).error();
    }
    if (!*locked) return Error(std::string(in_use));
    static constexpr std::uint8_t kLineFeed[1] = {'\n'};
    ZT_TRY(write_all(fd.get(), kLineFeed));
    if (created) ZT_TRY(sync_parent(path));
    return fd;
}

Result<void> sync_parent(const std::string& path) {
    ZT_TRY_ASSIGN(const Fd dir, open_directory(parent_directory(path)));
    return sync(dir.get());
}

std::string parent_directory(std::string_view path) {
    // Drop trailing separators and "." components, then the last component,
    // then the separators and "." components before it. A leading "." stays
    // (it is the parent of "./x"); the root has no parent.
    auto trim = [](std::string_view p) {
        for (;;) {
            if (p.size() > 1 && p.ends_with('/')) p.remove_suffix(1);
            else if (p.ends_with("/.")) p.remove_suffix(2);
            else return p;
        }
    };
    std::string_view rest = trim(path);
    if (rest.empty() || rest == "/") return ".";
    const std::size_t slash = rest.rfind('/');
    if (slash == std::string_view::npos) return ".";
    rest = trim(rest.substr(0, slash + 1));
    return rest.empty() ? "." : std::string(rest);
}

Result<std::optional<Fd>> open_read_if_exists(const std::string& path) {
    if (has_nul(path)) return Error(std::string(kNulInPath));
    const long fd = checked(Op::OpenRead, true, [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); });
    if (fd == -ENOENT) return std::optional<Fd>();
    if (fd < 0) return Error::from_errno(static_cast<int>(-fd));
    return std::optional<Fd>(Fd(static_cast<int>(fd)));
}

Result<Fd> open_for_wiping(const std::string& path) {
    return open_with(Op::OpenForWiping, path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
}

Result<Fd> open_unfollowed(const std::string& path) {
    return open_with(Op::OpenRead, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
}

Result<void> make_directory(const std::string& path, unsigned mode) {
    if (has_nul(path)) return Error(std::string(kNulInPath));
    return status(checked(Op::MakeDirectory, false, [&] { return ::mkdir(path.c_str(), static_cast<mode_t>(mode)); }));
}

Result<bool> try_lock_exclusive(int fd) {
    const long locked = checked(Op::Lock, true, [&] { return ::flock(fd, LOCK_EX | LOCK_NB); });
    if (locked >= 0) return true;
    if (-locked == EWOULDBLOCK) return false;
    return Error::from_errno(static_cast<int>(-locked));
}

Result<void> write_all(int fd, std::span<const std::uint8_t> data) {
    while (!data.empty()) {
        const long n = checked(Op::Write, true, [&] { return ::write(fd, data.data(), data.size()); });
        if (n == 0) return Error(std::string(kWriteZero));
        if (n < 0) return Error::from_errno(static_cast<int>(-n));
        data = data.subspan(static_cast<std::size_t>(n));
    }
    return success();
}

Result<void> sync(int fd) { return status(checked(Op::Sync, true, [&] { return ::fsync(fd); })); }

Result<void> sync_data(int fd) { return status(checked(Op::SyncData, true, [&] { return ::fdatasync(fd); })); }

Result<void> link(const std::string& existing, const std::string& new_path) {
    if (has_nul(existing) || has_nul(new_path)) return Error(std::string(kNulInPath));
    return status(checked(Op::Link, false, [&] {
        return ::linkat(AT_FDCWD, existing.c_str(), AT_FDCWD, new_path.c_str(), 0);
    }));
}

Result<void> unlink(const std::string& path) {
    if (has_nul(path)) return Error(std::string(kNulInPath));
    return status(checked(Op::Unlink, false, [&] { return ::unlink(path.c_str()); }));
}

Result<Fd> open_directory(const std::string& path) {
    return open_with(Op::OpenDirectory, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
}

void close(int fd) {
    static_cast<void>(injected(Op::Close));
    ::close(fd);
}

ScopedFaultHook::ScopedFaultHook(FaultHook hook) : previous_(std::exchange(fault_hook(), std::move(hook))) {}

ScopedFaultHook::~ScopedFaultHook() { fault_hook() = std::move(previous_); }

}  // namespace zt::file_io
