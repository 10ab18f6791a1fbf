// The rules for files that hold secrets on storage other users may reach,
// in one place: which entries are ours, which files are private, how a
// private file is opened, how a secret file is wiped before its name goes,
// and how one process at a time is ensured with a lock (naming the holder).
// Every call goes through the seam of file_io.h.
//
// A private file is a regular file owned by this process's effective user,
// with no group or other permission bits and exactly one name. It is opened
// never through a symbolic link, never blocking on a FIFO or a device, and
// checked on the descriptor it was opened as, so the check and the use see
// the same file. Anything else under the name is refused with an error
// naming the file, before a byte is read or written.
//
// Another user's entry in a shared (sticky) directory holds nothing of ours:
// it is never opened, wiped or removed, and the callers say so instead of
// failing.
//
// Thread safety: the calls are independent; use each descriptor from one
// thread at a time.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "timelock/base/error.h"
#include "timelock/base/file_io.h"

namespace zt {

inline constexpr unsigned kPrivateFileMode = 0600;
inline constexpr unsigned kPrivateDirectoryMode = 0700;

// "{path} is a symbolic link; refusing to follow it", "{path} is not a
// regular file", "{path} belongs to another user", "{path} is open to other
// users (mode 0644); make it owner-only (chmod 600)", "{path} has 2 names
// (hard links); a private file must have only this one". {path} is shown
// with invalid UTF-8 as U+FFFD.
Result<void> check_private(const file_io::FileInfo& info, const std::string& path);

// Opens the existing private file `name` in `dir` read-only; nothing when
// there is none.
Result<std::optional<file_io::Fd>> open_private_read(const file_io::Dir& dir, std::string_view name);

// The same for a private file named by `path` (its directory opened first;
// a missing directory reads as a missing file).
Result<std::optional<file_io::Fd>> open_private_read(const std::string& path);

// Opens the private file `name` in `dir` for appending, creating it 0600
// when missing; a file it creates is made durable in its directory.
Result<file_io::Fd> open_private_append(const file_io::Dir& dir, std::string_view name);

// Who an entry belongs to, read from the entry itself (not followed).
enum class EntryOwner { none, ours, another_user };
Result<EntryOwner> entry_owner(const file_io::Dir& dir, std::string_view name);

// Removes the entry `name` from `dir` and flushes the directory; when it is
// this user's own regular file with one name, its bytes are first
// overwritten with zeros and flushed (a read-only one is made writable
// first, through a descriptor of the very file checked). Anything else of
// ours under the name (a symbolic link, a FIFO) is unlinked without being
// opened through. A missing entry is no error, and neither is an entry of
// another user, which is left as it is, nor a name that cannot be unlinked
// because it is no file of ours (a directory). Errors are the system's, with
// "removing {path}" as context.
Result<void> wipe_and_remove(const file_io::Dir& dir, std::string_view name);

// Locks the open file `fd` (shown as `path`) for this process alone. When
// another process holds the lock: "{path} is in use by process {pid}
// ({command})", or "{path} is in use by another process" where the holder
// cannot be told, with `in_use` first (for example "progress file is in use
// by another worker: ..."). Where the file system refuses locks: "cannot
// lock {path}: this file system refuses locks, so one {user} per file cannot
// be ensured here" (the system's error as cause), `user` saying who
// ("worker", "run").
Result<void> lock_for_this_process(int fd, const std::string& path, std::string_view in_use,
                                   std::string_view user);

// The process holding a lock on the file `fd` refers to (from /proc/locks),
// with its command name: "process 4242 (zanth-timelock)"; nothing when it
// cannot be told.
std::optional<std::string> lock_holder(int fd);

// Opens a log for appending, locks it (lock_for_this_process) and appends
// one line feed, so that whatever torn line a crash left at the end is
// closed off. A log it creates is made durable in its directory. The lock
// lasts as long as the returned descriptor.
//   open_log: the path followed as given, created with `mode` (the solver's
//   checkpoint log; only a lock held elsewhere is reported, as `in_use`
//   alone, and a refused lock is the system's error).
//   open_private_log: a private file in `dir` (a segment's progress file).
Result<file_io::Fd> open_log(const std::string& path, unsigned mode, std::string_view in_use);
Result<file_io::Fd> open_private_log(const file_io::Dir& dir, std::string_view name, std::string_view in_use);

}  // namespace zt
