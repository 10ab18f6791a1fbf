#include "timelock/base/file_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

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

Result<Fd> open_append(const std::string& path, unsigned mode) {
    return open_with(Op::OpenAppend, path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, mode);
}

Result<Fd> open_locked_log(const std::string& path, unsigned mode, std::string_view in_use) {
    ZT_TRY_ASSIGN(Fd fd, open_append(path, mode));
    ZT_TRY_ASSIGN(const bool locked, try_lock_exclusive(fd.get()));
    if (!locked) return Error(std::string(in_use));
    static constexpr std::uint8_t kLineFeed[1] = {'\n'};
    ZT_TRY(write_all(fd.get(), kLineFeed));
    return fd;
}

Result<std::optional<Fd>> open_read_if_exists(const std::string& path) {
    if (has_nul(path)) return Error(std::string(kNulInPath));
    const long fd = checked(Op::OpenRead, true, [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); });
    if (fd == -ENOENT) return std::optional<Fd>();
    if (fd < 0) return Error::from_errno(static_cast<int>(-fd));
    return std::optional<Fd>(Fd(static_cast<int>(fd)));
}

Result<Fd> open_for_wiping(const std::string& path) {
    return open_with(Op::OpenForWiping, path, O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0);
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
