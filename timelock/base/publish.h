// Publishing output files: every file the program produces appears under
// its final name complete, durable, and without replacing anything.
//
// The content is written and flushed to an unnamed file in the target's
// directory (O_TMPFILE), which is then linked once under its final name;
// the link fails if the name exists in any form (even as a dangling symbolic
// link), and the directory is flushed. No moment exists at which the content
// has a second name. Where the file system has no unnamed files, the content
// is written and flushed under a random staged name in the directory
// (".zanth-timelock-staged-" and 32 hex digits), linked to the target, and
// the staged name removed once the link and the directory entry are
// durable.
//
// If writing, flushing or linking fails, the caller chooses what becomes of
// the content: it is kept under a staged name where it may be the only copy
// of a long computation's result, and dropped where the content can be
// produced again (a decrypted plaintext).
//
// An output is named by an OutputTarget: its directory, opened once when the
// command starts and held to the publication, and its name there. Opening a
// target checks everything that could keep the file from ever being
// published, so a long run never ends unable to publish.
//
// All file-system calls go through timelock/base/file_io.h.
//
// Thread safety: calls are independent; concurrent calls (in one or many
// processes) to the same target are safe, and exactly one of them wins.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "timelock/base/error.h"
#include "timelock/base/file_io.h"
#include "timelock/base/secret.h"

namespace zt {

inline constexpr std::string_view kStagedPrefix = ".zanth-timelock-staged-";

// What a failed publication does with its content.
enum class OnFailure {
    keep_staged,    // a costly result: kept under a staged name, perhaps its only copy
    remove_staged,  // reproducible content: leave no hidden copy behind
};

// Where one output goes.
class OutputTarget {
public:
    // The output `path`, given as `option` (for example "--key-out"), checked
    // before any work: "{option} is empty; give the file to create", "{option}
    // {path} names a directory (it ends in '/', '.' or '..'); give the file to
    // create", "cannot publish {option} {path}: directory {dir} is not there"
    // (the system's error as cause), "cannot publish {option} {path}: {dir} is
    // not a directory", "cannot publish {option} {path}: {dir} is a file system
    // of the kernel's (/proc or /sys), where no file can be created", "cannot
    // publish {option} {path}: no permission to create files in {dir}".
    // Whether something exists at `path` is not looked at here.
    static Result<OutputTarget> open(std::string_view option, const std::string& path);

    // `name` in the open directory `dir` (borrowed: it must outlive the
    // target), shown in messages as `path`, by default the directory's path
    // joined with the name.
    static OutputTarget in(const file_io::Dir& dir, std::string_view name, std::string path = {});

    const file_io::Dir& dir() const { return *dir_; }
    const std::string& name() const { return name_; }
    const std::string& path() const { return path_; }
    const std::string& option() const { return option_; }

    // Whether this and `other` name the same file: the same directory and the
    // same name ("x", "./x" and "d/../x" alike).
    bool same_as(const OutputTarget& other) const;

private:
    OutputTarget() = default;

    std::shared_ptr<const file_io::Dir> dir_;
    std::string name_;
    std::string path_;
    std::string option_;
    std::uint64_t device_ = 0;
    std::uint64_t inode_ = 0;
};

// The one wording for an output that is there already (about_file):
// "{option} {path} already exists{ (detail)}; nothing is ever replaced:
// move it away, or name another file".
Error existing_output(const OutputTarget& target, std::string_view detail = {});

// The check before any work that `target` is free: existing_output when
// anything (even a dangling symbolic link) has its name.
Result<void> check_free(const OutputTarget& target);

// "{first option} {path} and {second option} {path} name the same file; give
// each output a file of its own", for the first two of `targets` that do.
Result<void> check_distinct(std::span<const OutputTarget* const> targets);

// Publishes `bytes` as the new file `target` with mode 0600 (`owner_only`)
// or 0644, under the process's creation mask. Errors:
//   "staging {path}"                           (cause: the system's error) the file cannot be created;
//   the system's error or "failed to write whole buffer"                    writing or flushing failed;
//   "publishing {path} (will not overwrite)"   (cause: the system's error) the target exists or cannot be linked;
// {path} is the target's path with invalid UTF-8 shown as U+FFFD. Once the
// link has succeeded the file is published and the call succeeds: if the
// directory then cannot be flushed, the publication warning is given.
Result<void> publish(const OutputTarget& target, std::span<const std::uint8_t> bytes, bool owner_only,
                     OnFailure on_failure = OnFailure::keep_staged);

// publish to the path as given, its directory opened now (a failure to open
// it is "staging {path}" with the system's error as cause).
Result<void> publish_staged(const std::string& path, std::span<const std::uint8_t> bytes, bool owner_only,
                            OnFailure on_failure = OnFailure::keep_staged);

// A key file (an epoch key, a signing seed): the key as 64 lowercase hex
// digits, no line terminator, owner-only; errors and the content on failure
// as publish. The text is held in a buffer that wipes itself.
Result<void> publish_key_file(const OutputTarget& target, const Key32& key,
                              OnFailure on_failure = OnFailure::keep_staged);
Result<void> publish_key_file(const std::string& path, const Key32& key,
                              OnFailure on_failure = OnFailure::keep_staged);

// Told of a publication that succeeded but whose directory entry may not be
// durable (the directory flush failed), and of content a failed publication
// kept under a staged name: one sentence naming the file. The program shows
// it on standard error; by default (or given an empty function) nothing is
// told.
using PublicationWarning = std::function<void(const std::string& message)>;
void set_publication_warning(PublicationWarning warning);

}  // namespace zt
