// The file-system seam: every file-system call the program makes goes
// through the functions below and nothing else, so a test can make any one
// of them fail, or end the process right before it ("crash"), and then look
// at what is left on disk.
//
// Directories that hold several files of one run (a state directory, a
// results directory, the directory of an output) are opened once as a Dir
// and everything in them is done relative to that descriptor (openat,
// fstatat, linkat, unlinkat), never through the last component of a symbolic
// link: a check and the use that follows it see the same file. Paths the user
// names as inputs, and the solver's checkpoint log, are opened once by path,
// as given.
//
// Every call maps onto one system call (retried while interrupted where the
// call is safe to repeat) and reports failures as Error::from_errno. A name
// holding a zero byte cannot reach the system and fails with "file name
// contained an unexpected NUL byte". Nothing here overwrites a file, except
// a file opened for writing without O_APPEND (which only wiping does), and
// nothing deletes one except unlink_at.
//
// The rules built on these calls (which files are ours and private, how a
// secret is wiped, who holds a lock) are in private_files.h; publishing is in
// publish.h.
//
// Thread safety: the calls are safe from any thread. The fault hook is a
// process-wide test facility; install and remove it only while no other
// thread uses this seam (it is called from every thread that does).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "timelock/base/error.h"

namespace zt::file_io {

inline constexpr std::string_view kNulInPath = "file name contained an unexpected NUL byte";
// A write that reports no progress.
inline constexpr std::string_view kWriteZero = "failed to write whole buffer";

// An owned file descriptor, closed (through close below) when destroyed.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset();

private:
    int fd_ = -1;
};

// What the system tells about a file (fstat, fstatat).
struct FileInfo {
    enum class Kind { regular, directory, symlink, other };
    Kind kind = Kind::other;
    unsigned mode = 0;  // permission bits, 07777
    unsigned owner = 0;
    std::uint64_t links = 0;
    std::uint64_t size = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;

    bool regular() const { return kind == Kind::regular; }
    bool same_file(const FileInfo& other) const { return device == other.device && inode == other.inode; }
};

// The effective user of this process, whose files are "ours".
unsigned effective_user();

// An open directory (read-only, close-on-exec) and the path it was opened
// by, which messages show.
class Dir {
public:
    Dir() = default;
    Dir(Fd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}

    int fd() const { return fd_.get(); }
    bool valid() const { return fd_.valid(); }
    const std::string& path() const { return path_; }
    // `name` as a path through this directory's path ("dir/name"; a bare
    // name in "."), for messages and for callers that must hand on a path.
    std::string path_of(std::string_view name) const;

private:
    Fd fd_;
    std::string path_;
};

// `name` inside `dir` as a path: one "/" between them, none added after a
// trailing one; a bare name for an empty `dir`.
std::string join_path(std::string_view dir, std::string_view name);

// The directory a file named by `path` is created in: its lexical parent
// (the last component dropped, a trailing "/" not counting as one), or "."
// when that is empty or there is none.
std::string parent_directory(std::string_view path);

// The last component of `path` ("" for "/" or ""), trailing "/" dropped.
std::string_view last_component(std::string_view path);

// ---- By path ----------------------------------------------------------------

// Opens `path` read-only (close-on-exec), following it as given.
Result<Fd> open_read(const std::string& path);

// open_read, but nothing when it does not exist.
Result<std::optional<Fd>> open_read_if_exists(const std::string& path);

// Opens `path` write-only for appending, creating it with `mode` if missing
// (the path is followed as given). With `created`, it is told whether this
// call created the file.
Result<Fd> open_append(const std::string& path, unsigned mode, bool* created = nullptr);

// Opens the directory `path`, following it as given.
Result<Dir> open_directory(const std::string& path);

// What `path` names, following symbolic links; nothing when it does not
// exist (or a component is not a directory).
Result<std::optional<FileInfo>> stat_path(const std::string& path);

// Creates the directory `path` with permission bits `mode` (under the
// creation mask); fails if anything exists under that name.
Result<void> make_directory(const std::string& path, unsigned mode);

// ---- Relative to an open directory ------------------------------------------

// openat with O_NOFOLLOW and O_CLOEXEC added to `flags`.
Result<Fd> open_at(const Dir& dir, std::string_view name, int flags, unsigned mode = 0);

// An unnamed regular file in `dir` (O_TMPFILE), write-only, for linking once
// under its final name. "Operation not supported (os error 95)" and the like
// where the file system has no unnamed files.
Result<Fd> open_unnamed(const Dir& dir, unsigned mode);

// The entry `name` itself (a symbolic link is not followed); nothing when
// there is none.
Result<std::optional<FileInfo>> stat_at(const Dir& dir, std::string_view name);

// A hard link `to_name` in `dir` to the entry `from_name` there; fails if
// `to_name` exists in any form.
Result<void> link_at(const Dir& dir, std::string_view from_name, std::string_view to_name);

// Gives the open file `fd` (an unnamed file of open_unnamed, say) the name
// `name` in `dir` (linkat through /proc/self/fd); fails if the name exists
// in any form.
Result<void> link_open_file(int fd, const Dir& dir, std::string_view name);

Result<void> unlink_at(const Dir& dir, std::string_view name);

// The names in `dir` other than "." and "..", sorted.
Result<std::vector<std::string>> list(const Dir& dir);

// Whether this process may create and remove entries in `dir`.
Result<bool> may_change(const Dir& dir);

// Whether the open file `fd` is on one of the kernel's own file systems
// (/proc, /sys), where no file or directory of the user's can be created.
Result<bool> on_kernel_file_system(int fd);

// ---- On open files -----------------------------------------------------------

Result<FileInfo> stat(int fd);
Result<void> change_mode(int fd, unsigned mode);
// Clears O_NONBLOCK (set at an open that must not wait on a FIFO).
Result<void> make_blocking(int fd);

// Reads up to out.size() bytes; 0 at the end of the file.
Result<std::size_t> read(int fd, std::span<std::uint8_t> out);
// Reads up to out.size() bytes at `offset`, continuing after short reads
// until the end of the file.
Result<std::size_t> read_at(int fd, std::span<std::uint8_t> out, std::uint64_t offset);

// A small text file of the system's (/proc, /sys), read whole: nothing when
// it cannot be opened or read, or holds more than `limit` bytes.
std::optional<std::string> read_system_text(const std::string& path, std::size_t limit = 1 << 20);

// The file's last `window` bytes as of its size taken once now (fewer if it
// is shorter, or shrank meanwhile), and the offset they start at.
struct Tail {
    std::string bytes;
    std::uint64_t offset = 0;
};
Result<Tail> read_tail(int fd, std::size_t window);

// Writes all of `data`, continuing after partial writes. A write that
// reports no progress fails with "failed to write whole buffer".
Result<void> write_all(int fd, std::span<const std::uint8_t> data);

// fsync and fdatasync.
Result<void> sync(int fd);
Result<void> sync_data(int fd);

// Takes an exclusive advisory lock (flock) on the open file, without
// waiting: true when it is held, false when another open file holds one (in
// this process or another). The lock goes with the last descriptor of the
// open file. Other failures are the system's errors.
Result<bool> try_lock_exclusive(int fd);

// Closes `fd`. Errors are ignored: nothing is pending on a descriptor that
// was synced, and a close on Linux must not be retried.
void close(int fd);

// ---- The process -------------------------------------------------------------

// A standard descriptor (0, 1, 2) that starts out closed is taken by a
// read-only /dev/null, so that no file the command opens (an output, a log)
// can land on it and receive what is meant for standard output; writes to it
// still fail, as they would on the closed descriptor.
void occupy_closed_standard_descriptors();

// ---- Test facility ------------------------------------------------------------

enum class Op {
    OpenExclusive, OpenAppend, OpenRead, OpenForWiping, OpenUnnamed, OpenDirectory, Write, Read, Sync, SyncData,
    Link, Unlink, MakeDirectory, Stat, ChangeMode, Control, Access, List, Lock, Close
};

// Consulted before every system call the seam is about to make (each retry
// and each partial write counts). Returning nothing lets the call happen;
// returning an errno value skips the call and makes it fail with that value
// (EINTR is retried like a real interruption; the value 0 makes a write
// report no progress and is ignored for the other calls). A hook that wants a
// crash ends the process itself (in a forked child, with _exit). For Close
// the returned value is ignored: the descriptor is closed regardless.
using FaultHook = std::function<std::optional<int>(Op)>;

// Installs `hook` for the life of this object, restoring the previous one.
class ScopedFaultHook {
public:
    explicit ScopedFaultHook(FaultHook hook);
    ~ScopedFaultHook();
    ScopedFaultHook(const ScopedFaultHook&) = delete;
    ScopedFaultHook& operator=(const ScopedFaultHook&) = delete;

private:
    FaultHook previous_;
};

}  // namespace zt::file_io
