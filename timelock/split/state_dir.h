// The files of a split generation: the private state directory that `plan`
// fills and `assemble` empties, the task and result files of each segment,
// and the progress file beside each result.
//
// Layout (segment indices as two digits, 00 .. 95):
//   STATE/plan.json          the plan (0600): every secret of the puzzle
//   STATE/task-NN.json       task of segment NN (0600), copied to the workers
//   RESULTS/result-NN.json   result of segment NN (0600), written by `work`
//   RESULTS/result-NN.json.progress   its progress while it is worked (0600)
// STATE is created 0700. `generate --state` keeps results and progress
// files in STATE itself.
//
// Every file is written through the staged, no-overwrite publisher and
// every removal through timelock/base/file_io.h. A secret file is removed by
// wiping: its bytes are overwritten with zeros and flushed, then the name is
// unlinked and the directory flushed.
//
// Thread safety: independent calls on different files are safe from any
// thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "timelock/base/error.h"
#include "timelock/formats/generation_plan.h"
#include "timelock/formats/segment_result.h"
#include "timelock/formats/segment_task.h"

namespace zt {

inline constexpr std::string_view kPlanFileName = "plan.json";
inline constexpr std::string_view kProgressSuffix = ".progress";
inline constexpr unsigned kStateDirectoryMode = 0700;

inline constexpr std::string_view kStateOfAnotherPuzzle = "state directory holds a plan for another epoch or iteration count";

// "task-07.json", "result-07.json".
std::string task_file_name(std::uint32_t segment);
std::string result_file_name(std::uint32_t segment);

// `name` inside `dir` (one "/" between them).
std::string in_dir(const std::string& dir, std::string_view name);

std::string progress_path(const std::string& result_path);

// "result-07.json.verified": the verification outcome beside a result.
std::string outcome_file_name(std::uint32_t segment);

// The names in `dir` other than "." and "..", in the order the system lists
// them. Errors: the system's.
Result<std::vector<std::string>> directory_entries(const std::string& dir);

// Whether a new plan may be written into `dir`: true when it does not exist
// or is an empty directory; the system's error when it cannot be read or is
// no directory; otherwise "state directory {dir} is not empty: it holds
// {up to three names} and {K} more; give a new or empty directory". A
// directory holding nothing but staged files of ours (a plan whose
// publication a kill cut short) has them wiped and counts as empty.
Result<void> check_new_state_dir(const std::string& dir);

// What `plan` finds in `dir`. Nothing when a new plan may be written there
// (check_new_state_dir's cases). The plan kept there when `dir` holds this
// user's plan.json, some or all of its task files, each exactly as the plan
// makes it, and perhaps staged files of ours (wiped here): a plan whose
// writing a kill cut short, for finish_state to complete. Errors: the
// not-empty one above when anything else is there (naming it), "state
// directory {dir} holds a plan.json that cannot be read; ..." (the reader's
// error as cause), "state directory {dir} holds task-NN.json, which is not
// a task of its plan.json; ...", and the private-file errors naming a task.
Result<std::optional<GenerationPlan>> unfinished_plan(const std::string& dir);

// How many of the 96 task files are in `dir`.
std::size_t task_files_in(const std::string& dir);

// Creates `dir` (0700) unless it exists, makes it 0700 if it does ("state
// directory {dir} belongs to another user", "cannot make state directory
// {dir} owner-only (0700)"), then publishes plan.json and the 96 task
// files, owner-only. A failure leaves what was published so far.
Result<void> write_state(const std::string& dir, const GenerationPlan& plan);

// Makes `dir` 0700 as write_state does and publishes the task files of
// `plan` that are missing there (unfinished_plan checked the others).
Result<void> finish_state(const std::string& dir, const GenerationPlan& plan);

// STATE/plan.json, read into self-wiping buffers.
Result<GenerationPlan> read_plan_file(const std::string& dir);

Result<SegmentTask> read_task_file(const std::string& path);

// The result at `path`; nothing when no file is there.
Result<std::optional<SegmentResult>> read_result_file(const std::string& path);

// Publishes a result owner-only; its staged file is kept if the publication
// fails (a day of work may be in it).
Result<void> publish_result(const std::string& path, const SegmentResult& result);

// Plan, task and result files are private files (file_io.h): a symbolic
// link, a FIFO, a foreign or a group- or world-accessible file under their
// names is refused with an error naming it.
//
// Whether the entry `path` (not followed) exists and belongs to another
// user than this process's effective one. Such an entry in a shared results
// directory holds nothing of ours (a file of ours hard-linked there by
// someone else still belongs to us): it is never opened, wiped or removed.
bool owned_by_another_user(const std::string& path);

// Removes the name `path` and flushes its directory; when it is this
// user's own regular file with no other name, its bytes are first
// overwritten with zeros and flushed (a read-only one made writable first,
// through a descriptor of the file checked). Anything else of ours under the
// name (a symbolic link, a FIFO) is unlinked without being opened through.
// A missing file is no error, and neither is an entry of another user
// (owned_by_another_user), which is left as it is, nor a name that cannot be
// unlinked because it is no regular file of ours (a directory): nothing of
// ours is there. Errors are the system's, with "removing {path}" as context.
Result<void> wipe_and_remove(const std::string& path);

}  // namespace zt
