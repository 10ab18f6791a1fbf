// Which of the program's documents a file holds, told by its members, so
// that a file given in the wrong place is named for what it is ("puzzle.json
// is a signed manifest") instead of failing with a parser's complaint.
//
// Every kind the program reads or writes is here, in one table: signed
// manifests, work and verification task files, plans, segment results,
// progress files, verification outcomes, calibration reports, encrypted
// records, pastes, key files and checkpoint logs. A kind is told from the
// member names of the first JSON object in the text (of the first line, for
// the logs), which are distinct for every kind; values are not looked at,
// so a damaged or truncated document of a kind is still told as that kind,
// as long as its distinguishing member is there. A key file is 64 hex
// digits with white space around them. Positional (array) forms and
// anything else are told as nothing.
//
// Identification only names a file in a message: it decides nothing about
// trust, and the strict readers of each format stay the only judges.
//
// Thread safety: pure functions; identify_file only reads.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zt {

enum class DocumentKind {
    manifest, task, verification_task, plan, result, progress_file, outcome, calibration_report, record, paste,
    key_file, checkpoint_log,
};

// What a person calls a document of `kind`, with its article: "a signed
// manifest", "a work task file", "an encrypted record".
std::string_view document_name(DocumentKind kind);

// The kind `text` holds, or nothing. Reads at most the first object.
std::optional<DocumentKind> identify_document(std::string_view text);

// How much of a file identify_file reads.
inline constexpr std::size_t kIdentifyWindow = 65536;

// The kind of the regular file at `path`, from its first kIdentifyWindow
// bytes; nothing when it fits no kind, or is not a regular file that can be
// opened (never through a symbolic link, never blocking on a FIFO).
std::optional<DocumentKind> identify_file(const std::string& path);

}  // namespace zt
