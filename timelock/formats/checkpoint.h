// The checkpoint log: how `solve` keeps its progress across runs that may
// be stopped at any moment.
//
// The log is an append-only file of compact JSON lines, one Checkpoint per
// line: the 32-byte state reached after `iteration` steps of `segment` of
// the puzzle named by `manifest_id`, sealed with an unkeyed SHA-256 digest
// that catches damage and mix-ups (not forgery: anyone can recompute it).
//
//   {"version":1,"manifest_id":"<64 hex>","segment":S,"iteration":J,"x":"<64 hex>","digest":"<64 hex>"}\n
//
// Digest input, 109 bytes, integers big-endian:
//   "zanth-timelock-checkpoint-v1\0" (29) | version (4) | manifest id (32) |
//   segment (4) | iteration (8) | x (32)
//
// Only the last 8192 bytes of the file are ever read, and only complete
// lines (ended by a line feed) count, so a line torn by a crash is passed
// over and the line before it is used. Loading only parses; whether the
// line may be trusted is decided by accept_checkpoint, and a line that
// parses but is refused there ends the run rather than falling back to an
// older line.
//
// The program never truncates, rewrites or deletes the log, and never
// writes the epoch key into it.
//
// A checkpoint holds no secret. Its state `x` is written to the log in
// clear, by design: it is the work done so far, and whoever can read the
// log can resume from it. So a Checkpoint, its line and its digest input
// are plain values that nobody wipes. Only the epoch key, the value after
// the last segment, is secret, and it never becomes a checkpoint; the
// solver keeps its running state in a self-wiping Key32 for that reason.
//
// One solver per log: opening the log for appending takes an exclusive
// advisory lock on it, held until the descriptor is closed, and a second
// solver that finds the lock taken fails at once without writing anything.
//
// Thread safety: pure functions and plain values; a log descriptor is used
// by one thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "timelock/base/error.h"
#include "timelock/base/file_io.h"
#include "timelock/base/secret.h"
#include "timelock/formats/manifest.h"

namespace zt {

inline constexpr std::size_t kCheckpointDigestInputSize = 109;
using CheckpointDigestInput = std::array<std::uint8_t, kCheckpointDigestInputSize>;

struct Checkpoint {
    std::uint32_t version = 0;
    std::string manifest_id;  // 64 hex digits
    std::uint32_t segment = 0;
    std::uint64_t iteration = 0;  // steps of `segment` done, 0 .. iterations
    std::string x;                // the state after those steps, 64 hex digits
    std::string digest;           // 64 hex digits

    friend bool operator==(const Checkpoint&, const Checkpoint&) = default;
};

inline constexpr std::uint32_t kCheckpointVersion = 1;
// How much of the end of the log is examined, and the longest line that is
// considered at all (valid lines are under 300 bytes).
inline constexpr std::size_t kCheckpointWindow = 8192;
inline constexpr std::size_t kCheckpointLineLimit = 2048;
inline constexpr unsigned kCheckpointLogMode = 0600;

inline constexpr std::string_view kCheckpointTooLarge = "checkpoint too large";
inline constexpr std::string_view kCheckpointOtherPuzzle = "checkpoint belongs to another puzzle";
inline constexpr std::string_view kCheckpointCoordinates = "invalid checkpoint coordinates";
inline constexpr std::string_view kCheckpointCorrupted = "checkpoint corrupted";
inline constexpr std::string_view kInvalidInitialCheckpoint = "invalid initial checkpoint";
inline constexpr std::string_view kCheckpointLogInUse = "checkpoint log is in use by another solve";

// A version-1 checkpoint of `state` with its digest. Fails only when
// `manifest_id` is not 64 canonical hex digits.
Result<Checkpoint> new_checkpoint(std::string_view manifest_id, std::uint32_t segment, std::uint64_t iteration,
                                  const Key32& state);

// The 109 bytes the digest is taken over; "noncanonical hex or wrong length"
// when manifest_id or x is not 64 canonical hex digits.
Result<CheckpointDigestInput> checkpoint_digest_input(const Checkpoint& checkpoint);

// encode_hex(sha256(digest input)), or the hex error above.
Result<std::string> checkpoint_digest(const Checkpoint& checkpoint);

// The record as one compact JSON line, members in field order, followed by
// a line feed.
std::string checkpoint_line(const Checkpoint& checkpoint);

// Parses one line (without its line feed) with the strict JSON rules:
// object or six-value array form, every member known, present and unique.
Result<Checkpoint> parse_checkpoint(std::string_view line);

// The last complete line of the log's final 8192 bytes that parses, or
// nothing (no file, or no such line). Errors: the system's error for a
// failure other than "not found" while opening, sizing or reading, and
// "checkpoint too large" when a line over 2048 bytes is met before a line
// that parses. Reads the file only.
Result<std::optional<Checkpoint>> load_latest_checkpoint(const std::string& path);

// Whether a log in which load_latest_checkpoint finds nothing holds only
// what a solve may leave before its first checkpoint: nothing (or no file),
// blank lines, and lines torn by a crash (each the start of a checkpoint
// line cut short). False when the window holds anything else: the file is
// no checkpoint log of this program. Reads the same window, only.
Result<bool> log_blank_or_torn(const std::string& path);

// Opens the log for appending (created 0600 if missing, close-on-exec),
// locks it (kCheckpointLogInUse, then the file and the process holding the
// lock where it can be told, when another open file holds the lock; the file
// is then left as it was, though created if it was missing) and
// appends one line feed at once, so whatever torn line a crash left at the
// end is closed off and the next line starts clean. The lock lasts as long
// as the returned descriptor.
Result<file_io::Fd> open_checkpoint_log(const std::string& path);

// Writes the checkpoint's line with one complete write (continuing after
// partial writes and interruptions), then flushes the file's data to stable
// storage. Errors are the system's; a failure leaves at most an incomplete
// last line, which the next load passes over.
Result<void> append_checkpoint(int log_fd, const Checkpoint& checkpoint);

// Whether the solver may start from `checkpoint`, in this order: version 1
// and the verified manifest's id ("checkpoint belongs to another puzzle");
// segment below `segments` and iteration at most `iterations` ("invalid
// checkpoint coordinates"); the digest ("checkpoint corrupted", or the hex
// error when x is not canonical); at (0, 0) x equal to seed_1 ("invalid
// initial checkpoint").
Result<void> accept_checkpoint(const Checkpoint& checkpoint, const SignedManifest& manifest,
                               std::string_view manifest_id);

}  // namespace zt
