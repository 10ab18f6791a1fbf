// The progress file of one segment's work: how `work` (and `generate
// --state`) keeps a segment's progress across runs that may be killed at
// any moment.
//
// An append-only file of compact JSON lines, one position per line, written
// at every interval end (segment_result.h: the result needs those states)
// and every `--checkpoint-interval` steps, each line flushed to disk before
// the walk goes on:
//
//   {"version":1,"plan_id":"<64 hex>","segment":I,"iteration":J,"x":"<64 hex>","mac":"<64 hex>"}\n
//
// `x` is the state after J steps (1 .. N); `mac` is HMAC-SHA256 under the
// task's work key (segment_task.h) over
//   "zanth-timelock-segment-progress-v1\0" (35) | version BE32 | plan id (32) |
//   segment BE32 | iteration BE64 | x (32)
// so a line of another task, or a damaged one, is told apart from a line
// torn by a crash.
//
// Loading reads the file from its start, line by line. A line that does not
// parse is what a crash leaves (a torn line, part of a valid one, closed off
// by the line feed the next run writes first) and is passed over; so is a
// final line without its line feed. More than kProgressLineLimit bytes
// without a line feed is no crash's doing: the file is damaged, and reading
// stops there with an error (so a huge or sparse file costs no more than its
// valid lines). A line that parses must be of this task with a good MAC,
// and the positions must rise from line to line; anything else is refused
// rather than trusted. The positions that count are the last one and every
// interval end up to it, which must all be there. Where only the position
// matters (status), only the file's last kProgressTailWindow bytes are read.
//
// One worker per file: opening takes an exclusive advisory lock, held as long
// as the descriptor; a second worker fails at once without writing.
//
// Secrets: a state lets its holder finish the segment, like the seed; the
// file is created 0600 and states are held in self-wiping holders.
//
// Thread safety: pure functions and plain values; a descriptor is used by one
// thread. Appends go through timelock/base/file_io.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "timelock/base/error.h"
#include "timelock/base/file_io.h"
#include "timelock/base/secret.h"
#include "timelock/formats/segment_task.h"

namespace zt {

inline constexpr std::uint32_t kProgressVersion = 1;
// Valid lines are under 300 bytes.
inline constexpr std::size_t kProgressLineLimit = 512;
inline constexpr std::size_t kProgressTailWindow = 8192;

inline constexpr std::string_view kProgressInUse = "progress file is in use by another worker";

// Where a segment's walk stands.
struct SegmentProgress {
    std::uint64_t iteration = 0;        // steps done
    Key32 state;                        // the state after them (the seed at 0)
    std::vector<Key32> interval_states;  // states at the interval ends passed, in order
};

// The start of a segment: no step done, the seed.
SegmentProgress fresh_progress(const SegmentTask& task);

// The line for (iteration, state), with its line feed, in a self-wiping buffer.
SecureBytes progress_line(const SegmentTask& task, const Key32& key, std::uint64_t iteration, const Key32& state);

// The progress recorded in `text` (a whole progress file, named `path` in
// messages), by the rules above. Errors: "progress file belongs to another
// task or is damaged" for a parsed line that is not this task's or fails its
// MAC, "progress file is out of order" when positions do not rise or an
// interval end is missing, "progress file {path} is damaged: more than 512
// bytes without a line end from byte N; ..." for a run no line is that long.
Result<SegmentProgress> read_progress(std::string_view text, const SegmentTask& task, const std::string& path);

// read_progress of the private file `name` in `dir` (or at `path`, its
// directory opened first), read as a stream; fresh_progress when it does not
// exist. The file is opened as a private file (private_files.h), errors
// naming it. Other failures to read are the system's errors. Reads only.
Result<SegmentProgress> load_progress(const file_io::Dir& dir, std::string_view name, const SegmentTask& task);
Result<SegmentProgress> load_progress(const std::string& path, const SegmentTask& task);

// The position of the last line of the task's in the file's final
// kProgressTailWindow bytes; 0 when there is no file or no such line. Errors
// as load_progress, for the lines it reads. Reads only.
Result<std::uint64_t> last_progress_position(const file_io::Dir& dir, std::string_view name,
                                             const SegmentTask& task);

// Opens the file as a private file for appending (created 0600 if missing,
// its directory flushed then; close-on-exec), locks it (kProgressInUse and
// the process holding it when another open file holds the lock; an error
// naming the file where the file system refuses locks) and appends one line
// feed, so that a torn last line is closed off.
Result<file_io::Fd> open_progress_file(const file_io::Dir& dir, std::string_view name);

// Appends one line with one complete write and flushes the file's data.
// A failure leaves at most an incomplete last line.
Result<void> append_progress(int fd, const SegmentTask& task, const Key32& key, std::uint64_t iteration,
                             const Key32& state);

}  // namespace zt
