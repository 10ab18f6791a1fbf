#include "timelock/base/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
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

bool has_nul(std::string_view name) { return name.find('\0') != std::string_view::npos; }

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

// The error of a failed `checked` call (its negative result).
Error failure(long result) { return Error::from_errno(static_cast<int>(-result)); }

Result<void> status(long result) {
    if (result < 0) return failure(result);
    return success();
}

Result<Fd> descriptor(long fd) {
    if (fd < 0) return failure(fd);
    return Fd(static_cast<int>(fd));
}

Result<Fd> open_path(Op op, const std::string& path, int flags, unsigned mode) {
    if (has_nul(path)) return Error(std::string(kNulInPath));
    return descriptor(checked(op, true, [&] { return ::open(path.c_str(), flags, static_cast<mode_t>(mode)); }));
}

FileInfo info_of(const struct stat& st) {
    FileInfo info;
    if (S_ISREG(st.st_mode)) info.kind = FileInfo::Kind::regular;
    else if (S_ISDIR(st.st_mode)) info.kind = FileInfo::Kind::directory;
    else if (S_ISLNK(st.st_mode)) info.kind = FileInfo::Kind::symlink;
    info.mode = static_cast<unsigned>(st.st_mode & 07777);
    info.owner = static_cast<unsigned>(st.st_uid);
    info.links = static_cast<std::uint64_t>(st.st_nlink);
    info.size = static_cast<std::uint64_t>(st.st_size);
    info.device = static_cast<std::uint64_t>(st.st_dev);
    info.inode = static_cast<std::uint64_t>(st.st_ino);
    return info;
}

// The operation an openat with `flags` stands for, as the hook sees it.
Op open_op(int flags) {
    if ((flags & O_DIRECTORY) != 0) return Op::OpenDirectory;
    if ((flags & O_CREAT) != 0 && (flags & O_EXCL) != 0) return Op::OpenExclusive;
    if ((flags & O_APPEND) != 0) return Op::OpenAppend;
    if ((flags & O_ACCMODE) != O_RDONLY) return Op::OpenForWiping;
    return Op::OpenRead;
}

// A name of one component: not empty, no "/", no zero byte.
Result<void> check_name(std::string_view name) {
    if (has_nul(name)) return Error(std::string(kNulInPath));
    if (name.empty() || name.find('/') != std::string_view::npos) return Error::from_errno(EINVAL);
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

unsigned effective_user() { return static_cast<unsigned>(::geteuid()); }

std::string Dir::path_of(std::string_view name) const {
    // The current directory as "." names its files bare, as a user writes them.
    return path_ == "." ? std::string(name) : join_path(path_, name);
}

std::string join_path(std::string_view dir, std::string_view name) {
    std::string path(dir);
    if (!path.empty() && !path.ends_with('/')) path += '/';
    return path.append(name);
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

std::string_view last_component(std::string_view path) {
    while (!path.empty() && path.ends_with('/')) path.remove_suffix(1);
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// ---- By path ----------------------------------------------------------------

Result<Fd> open_read(const std::string& path) { return open_path(Op::OpenRead, path, O_RDONLY | O_CLOEXEC, 0); }

Result<std::optional<Fd>> open_read_if_exists(const std::string& path) {
    auto fd = open_read(path);
    if (fd) return std::optional<Fd>(std::move(fd).value());
    if (fd.error() == Error::from_errno(ENOENT)) return std::optional<Fd>();
    return std::move(fd).error();
}

Result<Fd> open_append(const std::string& path, unsigned mode, bool* created) {
    constexpr int kFlags = O_WRONLY | O_APPEND | O_CLOEXEC;
    if (created == nullptr) return open_path(Op::OpenAppend, path, kFlags | O_CREAT, mode);
    // Created exclusively first, so the caller knows whether the name is new.
    auto fresh = open_path(Op::OpenAppend, path, kFlags | O_CREAT | O_EXCL, mode);
    if (fresh || fresh.error() != Error::from_errno(EEXIST)) {
        *created = fresh.ok();
        return fresh;
    }
    // Something is there; a dangling symbolic link is followed and its
    // target created, as without `created`, and then counts as created.
    auto existing = open_path(Op::OpenAppend, path, kFlags, mode);
    *created = !existing && existing.error() == Error::from_errno(ENOENT);
    if (!*created) return existing;
    return open_path(Op::OpenAppend, path, kFlags | O_CREAT, mode);
}

Result<Dir> open_directory(const std::string& path) {
    ZT_TRY_ASSIGN(Fd fd, open_path(Op::OpenDirectory, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    return Dir(std::move(fd), path);
}

Result<std::optional<FileInfo>> stat_path(const std::string& path) {
    if (has_nul(path)) return Error(std::string(kNulInPath));
    struct stat st {};
    const long r = checked(Op::Stat, true, [&] { return ::stat(path.c_str(), &st); });
    if (r == -ENOENT || r == -ENOTDIR) return std::optional<FileInfo>();
    if (r < 0) return failure(r);
    return std::optional<FileInfo>(info_of(st));
}

Result<void> make_directory(const std::string& path, unsigned mode) {
    if (has_nul(path)) return Error(std::string(kNulInPath));
    return status(checked(Op::MakeDirectory, false, [&] { return ::mkdir(path.c_str(), static_cast<mode_t>(mode)); }));
}

// ---- Relative to an open directory ------------------------------------------

Result<Fd> open_at(const Dir& dir, std::string_view name, int flags, unsigned mode) {
    ZT_TRY(check_name(name));
    const std::string n(name);
    return descriptor(checked(open_op(flags), true, [&] {
        return ::openat(dir.fd(), n.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, static_cast<mode_t>(mode));
    }));
}

Result<Fd> open_unnamed(const Dir& dir, unsigned mode) {
    return descriptor(checked(Op::OpenUnnamed, true, [&] {
        return ::openat(dir.fd(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, static_cast<mode_t>(mode));
    }));
}

Result<std::optional<FileInfo>> stat_at(const Dir& dir, std::string_view name) {
    ZT_TRY(check_name(name));
    const std::string n(name);
    struct stat st {};
    const long r = checked(Op::Stat, true, [&] { return ::fstatat(dir.fd(), n.c_str(), &st, AT_SYMLINK_NOFOLLOW); });
    if (r == -ENOENT) return std::optional<FileInfo>();
    if (r < 0) return failure(r);
    return std::optional<FileInfo>(info_of(st));
}

Result<void> link_at(const Dir& dir, std::string_view from_name, std::string_view to_name) {
    ZT_TRY(check_name(from_name));
    ZT_TRY(check_name(to_name));
    const std::string from(from_name);
    const std::string to(to_name);
    return status(checked(Op::Link, false, [&] { return ::linkat(dir.fd(), from.c_str(), dir.fd(), to.c_str(), 0); }));
}

Result<void> link_open_file(int fd, const Dir& dir, std::string_view name) {
    ZT_TRY(check_name(name));
    const std::string to(name);
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return status(checked(Op::Link, false, [&] {
        return ::linkat(AT_FDCWD, self.c_str(), dir.fd(), to.c_str(), AT_SYMLINK_FOLLOW);
    }));
}

Result<void> unlink_at(const Dir& dir, std::string_view name) {
    ZT_TRY(check_name(name));
    const std::string n(name);
    return status(checked(Op::Unlink, false, [&] { return ::unlinkat(dir.fd(), n.c_str(), 0); }));
}

Result<std::vector<std::string>> list(const Dir& dir) {
    // A descriptor of its own: the listing moves its offset, and closedir
    // closes it.
    const long copy = checked(Op::List, true, [&] { return ::openat(dir.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (copy < 0) return failure(copy);
    DIR* handle = ::fdopendir(static_cast<int>(copy));
    if (handle == nullptr) {
        const int err = errno;
        ::close(static_cast<int>(copy));
        return Error::from_errno(err);
    }
    std::vector<std::string> names;
    int err = 0;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(handle);
        if (entry == nullptr) {
            err = errno;
            break;
        }
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(handle);
    if (err != 0) return Error::from_errno(err);
    std::sort(names.begin(), names.end());
    return names;
}

Result<bool> may_change(const Dir& dir) {
    const long r = checked(Op::Access, true, [&] { return ::faccessat(dir.fd(), ".", W_OK | X_OK, AT_EACCESS); });
    if (r == -EACCES || r == -EROFS || r == -EPERM) return false;
    if (r < 0) return failure(r);
    return true;
}

Result<bool> on_kernel_file_system(int fd) {
    // statfs type numbers of procfs and sysfs.
    constexpr std::int64_t kProc = 0x9fa0;
    constexpr std::int64_t kSys = 0x62656572;
    struct statfs info {};
    const long r = checked(Op::Stat, true, [&] { return ::fstatfs(fd, &info); });
    if (r < 0) return failure(r);
    const auto type = static_cast<std::int64_t>(info.f_type);
    return type == kProc || type == kSys;
}

// ---- On open files -----------------------------------------------------------

Result<FileInfo> stat(int fd) {
    struct stat st {};
    const long r = checked(Op::Stat, true, [&] { return ::fstat(fd, &st); });
    if (r < 0) return failure(r);
    return info_of(st);
}

Result<void> change_mode(int fd, unsigned mode) {
    return status(checked(Op::ChangeMode, true, [&] { return ::fchmod(fd, static_cast<mode_t>(mode)); }));
}

Result<void> make_blocking(int fd) {
    const long flags = checked(Op::Control, true, [&] { return ::fcntl(fd, F_GETFL); });
    if (flags < 0) return failure(flags);
    return status(checked(Op::Control, true, [&] { return ::fcntl(fd, F_SETFL, static_cast<int>(flags) & ~O_NONBLOCK); }));
}

Result<std::size_t> read(int fd, std::span<std::uint8_t> out) {
    const long n = checked(Op::Read, true, [&] { return ::read(fd, out.data(), out.size()); });
    if (n < 0) return failure(n);
    return static_cast<std::size_t>(n);
}

Result<std::size_t> read_at(int fd, std::span<std::uint8_t> out, std::uint64_t offset) {
    std::size_t got = 0;
    while (got < out.size()) {
        const long n = checked(Op::Read, true, [&] {
            return ::pread(fd, out.data() + got, out.size() - got, static_cast<off_t>(offset + got));
        });
        if (n < 0) return failure(n);
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

std::optional<std::string> read_system_text(const std::string& path, std::size_t limit) {
    auto fd = open_read(path);
    if (!fd) return std::nullopt;
    std::string text;
    std::array<std::uint8_t, 4096> chunk{};
    for (;;) {
        const auto n = read(fd->get(), chunk);
        if (!n) return std::nullopt;
        if (*n == 0) return text;
        if (text.size() + *n > limit) return std::nullopt;
        text.append(reinterpret_cast<const char*>(chunk.data()), *n);
    }
}

Result<Tail> read_tail(int fd, std::size_t window) {
    ZT_TRY_ASSIGN(const FileInfo info, stat(fd));
    Tail tail;
    tail.offset = info.size > window ? info.size - window : 0;
    tail.bytes.resize(static_cast<std::size_t>(info.size - tail.offset));
    ZT_TRY_ASSIGN(const std::size_t got,
                  read_at(fd, std::span(reinterpret_cast<std::uint8_t*>(tail.bytes.data()), tail.bytes.size()),
                          tail.offset));
    tail.bytes.resize(got);
    return tail;
}

Result<void> write_all(int fd, std::span<const std::uint8_t> data) {
    while (!data.empty()) {
        const long n = checked(Op::Write, true, [&] { return ::write(fd, data.data(), data.size()); });
        if (n == 0) return Error(std::string(kWriteZero));
        if (n < 0) return failure(n);
        data = data.subspan(static_cast<std::size_t>(n));
    }
    return success();
}

Result<void> sync(int fd) { return status(checked(Op::Sync, true, [&] { return ::fsync(fd); })); }

Result<void> sync_data(int fd) { return status(checked(Op::SyncData, true, [&] { return ::fdatasync(fd); })); }

Result<bool> try_lock_exclusive(int fd) {
    const long locked = checked(Op::Lock, true, [&] { return ::flock(fd, LOCK_EX | LOCK_NB); });
    if (locked >= 0) return true;
    if (-locked == EWOULDBLOCK) return false;
    return failure(locked);
}

void close(int fd) {
    static_cast<void>(injected(Op::Close));
    ::close(fd);
}

void occupy_closed_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (checked(Op::Control, true, [&] { return ::fcntl(fd, F_GETFD); }) == -EBADF) {
            auto null = open_path(Op::OpenRead, "/dev/null", O_RDONLY, 0);  // the lowest free descriptor: `fd`
            if (null && null->get() == fd) null->release();
        }
    }
}

ScopedFaultHook::ScopedFaultHook(FaultHook hook) : previous_(std::exchange(fault_hook(), std::move(hook))) {}

ScopedFaultHook::~ScopedFaultHook() { fault_hook() = std::move(previous_); }

}  // namespace zt::file_io
