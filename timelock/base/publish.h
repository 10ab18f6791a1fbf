// Publishing output files: every file the program produces appears under
// its final name complete, durable, and without replacing anything.
//
// The content is first written and flushed under a random staged name in
// the target's directory; the target is then created as a hard link to it,
// which the file system refuses if the name exists in any form (even as a
// dangling symbolic link). Once the link and the directory entry are
// durable, the staged name is removed, so a published secret has exactly one
// name. If writing, flushing or linking fails, what happens to the staged
// file is the caller's choice: it stays where it may hold the only copy of a
// long computation's result, and goes (best effort) where the content can be
// produced again, such as a decrypted plaintext.
//
// All writes go through timelock/base/file_io.h.
//
// Thread safety: calls are independent; concurrent calls (in one or many
// processes) to the same target are safe, and exactly one of them wins.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "timelock/base/error.h"
#include "timelock/base/secret.h"

namespace zt {

inline constexpr std::string_view kStagedPrefix = ".zanth-timelock-staged-";

// What a failed publication does with its staged file.
enum class OnFailure {
    keep_staged,    // a costly result: the staged file may be its only copy
    remove_staged,  // reproducible content: leave no hidden copy behind
};

// Publishes `bytes` as the new file `path` with mode 0600 (`owner_only`) or
// 0644, under the process's creation mask. Errors:
//   "staging {path}"                           (cause: the system's error) the staged file cannot be created;
//   the system's error or "failed to write whole buffer"                    writing or flushing failed;
//   "publishing {path} (will not overwrite)"   (cause: the system's error) the target exists or cannot be linked;
// {path} is `path` with invalid UTF-8 shown as U+FFFD. Once the link has
// succeeded the file is published and the call succeeds: if the directory
// then cannot be flushed, the staged name is still removed (no hidden copy
// of a secret stays) and the publication warning is given instead.
Result<void> publish_staged(const std::string& path, std::span<const std::uint8_t> bytes, bool owner_only,
                            OnFailure on_failure = OnFailure::keep_staged);

// Publishes a key file (an epoch key, a signing seed): the key as 64
// lowercase hex digits, no line terminator, owner-only; errors and the
// staged file on failure as publish_staged. The text is held in a buffer
// that wipes itself whether or not it is published.
Result<void> publish_key_file(const std::string& path, const Key32& key,
                              OnFailure on_failure = OnFailure::keep_staged);
inline Result<void> publish_epoch_key(const std::string& path, const Key32& key) { return publish_key_file(path, key); }

// Told of a publication that succeeded but whose directory entry may not be
// durable (the directory flush failed): one sentence naming the file. The
// program shows it on standard error; by default (or given an empty
// function) nothing is told.
using PublicationWarning = std::function<void(const std::string& message)>;
void set_publication_warning(PublicationWarning warning);

// Whether `path`, given as `option` (for example "--key-out"), could be
// published at all, checked before long work: "{option} is empty; give the
// file to create", "cannot publish {option} {path}: directory {dir} is not
// there" (the system's error as cause), "cannot publish {option} {path}:
// {dir} is not a directory". Whether something exists at `path` is not
// looked at here.
Result<void> check_output_path(std::string_view option, const std::string& path);

// The directory a target is staged in: its lexical parent (the last
// component dropped, a trailing "/" not counting as one), or "." when that
// is empty or there is none.
std::string staging_directory(std::string_view path);

}  // namespace zt
