// The file-system seam for durable writes: publishing output files,
// appending to the checkpoint and progress logs and opening them again to
// read them back go through these few calls and nothing else, so a test can
// make any one of them fail, or stop the process right before it ("crash"),
// and then look at what is left on disk.
//
// Every call maps onto one POSIX call (retried while interrupted where the
// call is safe to repeat; open_locked_log strings three of them together)
// and reports failures as Error::from_errno. A path
// holding a zero byte cannot reach the system and fails with
// "file name contained an unexpected NUL byte". Nothing here deletes a file
// except unlink, and nothing is ever overwritten except through
// open_for_wiping, which exists to overwrite a secret with zeros before
// it is unlinked; every other open creates a new file exclusively, appends
// or only reads.
//
// Thread safety: the calls are safe from any thread. The fault hook is a
// process-wide test facility; install and remove it only while no other
// thread uses this seam.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

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

// Creates `path` write-only, failing if anything exists under that name
// (including a dangling symbolic link); close-on-exec; permission bits
// `mode` under the process's creation mask.
Result<Fd> open_exclusive(const std::string& path, unsigned mode);

// Opens `path` write-only for appending, creating it with `mode` if missing
// (the path is followed as given). With `created`, it is told whether this
// call created the file.
Result<Fd> open_append(const std::string& path, unsigned mode, bool* created = nullptr);

// ---- Private files ---------------------------------------------------------
//
// The split generation's files (plan, tasks, results, progress files) hold
// secrets and may live on storage that other users reach. They are opened
// only as private files: never through a symbolic link (O_NOFOLLOW on the
// last component), never blocking on a FIFO or a device (O_NONBLOCK at the
// open, cleared after it), and only when the open file is a regular file
// owned by this process's user with no group or other permission bits.
// Anything else is refused with an error naming the file, before a byte is
// read or written.
inline constexpr unsigned kPrivateFileMode = 0600;

// "{path} is a symbolic link; refusing to follow it", "{path} is not a
// regular file", "{path} belongs to another user", "{path} is open to other
// users (mode 0644); make it owner-only (chmod 600)". {path} is shown with
// invalid UTF-8 as U+FFFD.
Result<void> check_private(int fd, const std::string& path);

// Opens an existing private file read-only; nothing when it does not exist.
Result<std::optional<Fd>> open_private_read(const std::string& path);

// Opens a private file for appending, creating it 0600 when missing; a file
// it creates is made durable in its directory (the directory is flushed).
Result<Fd> open_private_append(const std::string& path);

// How open_locked_log opens its file.
enum class LogOpening {
    as_given,      // open_append with the mode given: the path followed (the solver's checkpoint log)
    private_file,  // open_private_append, always kPrivateFileMode (a segment's progress file)
};

// Opens a log for appending, locks it (try_lock_exclusive; `in_use` is the
// error when another open file holds the lock, and the file is then left as
// it was, though created if it was missing) and appends one line feed, so
// that whatever torn line a crash left at the end is closed off. A log it
// creates is made durable in its directory. The lock lasts as long as the
// returned descriptor. A lock the system refuses is its error; for a
// private file (ENOLCK, EOPNOTSUPP, ENOSYS) the error names the file: "cannot lock
// {path}: this file system refuses locks, so one worker per file cannot be
// ensured here" (the system's error as cause).
Result<Fd> open_locked_log(const std::string& path, unsigned mode, std::string_view in_use,
                           LogOpening opening = LogOpening::as_given);

// Opens `path` read-only (close-on-exec); nothing when it does not exist.
Result<std::optional<Fd>> open_read_if_exists(const std::string& path);

// Flushes the directory that holds `path` (its parent_directory), so that a
// name created there survives a crash.
Result<void> sync_parent(const std::string& path);

// The directory a file is created in: the lexical parent of `path` (the last
// component dropped, a trailing "/" not counting as one), or "." when that
// is empty or there is none.
std::string parent_directory(std::string_view path);

// Opens an existing file write-only at offset 0, without creating or
// truncating it (close-on-exec, no symbolic link followed, not blocking), for
// overwriting its bytes with zeros before it is removed. Nothing else may
// use it.
Result<Fd> open_for_wiping(const std::string& path);

// Opens an existing file read-only (close-on-exec, no symbolic link
// followed, not blocking on a FIFO or a device), for looking at what it is
// through fstat before anything else is done to it.
Result<Fd> open_unfollowed(const std::string& path);

// Creates the directory `path` with permission bits `mode` (under the
// creation mask); fails if anything exists under that name.
Result<void> make_directory(const std::string& path, unsigned mode);

// Takes an exclusive advisory lock (flock) on the open file, without
// waiting: true when it is held, false when another open file holds one (in
// this process or another). The lock goes with the last descriptor of the
// open file. Other failures are the system's errors.
Result<bool> try_lock_exclusive(int fd);

// Writes all of `data`, continuing after partial writes. A write that
// reports no progress fails with "failed to write whole buffer".
Result<void> write_all(int fd, std::span<const std::uint8_t> data);

// fsync and fdatasync.
Result<void> sync(int fd);
Result<void> sync_data(int fd);

// A hard link `new_path` to `existing` (linkat relative to the current
// directory, no flags): fails if `new_path` exists in any form.
Result<void> link(const std::string& existing, const std::string& new_path);

Result<void> unlink(const std::string& path);

// Opens a directory read-only (close-on-exec), for flushing its entries.
Result<Fd> open_directory(const std::string& path);

// Closes `fd`. Errors are ignored: nothing is pending on a descriptor that
// was synced, and a close on Linux must not be retried.
void close(int fd);

// ---- Test facility --------------------------------------------------------

enum class Op {
    OpenExclusive, OpenAppend, Write, Sync, SyncData, Link, Unlink, OpenDirectory, Close, Lock,
    OpenForWiping, MakeDirectory, OpenRead
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
