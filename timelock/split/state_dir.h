// The files of a split generation: the private state directory that `plan`
// fills and `assemble` empties, the task, verification task and result
// files of each segment, and the progress file beside each result.
//
// Layout (segment indices as two digits, 00 .. 95):
//   STATE/plan.json          the plan (0600): every secret of the puzzle
//   STATE/task-NN.json       work task of segment NN (0600), copied to its worker
//   STATE/verify-NN.json     verification task of segment NN (0600), copied
//                            only to where its result is verified in full
//   RESULTS/result-NN.json   result of segment NN (0600), written by `work`
//   RESULTS/result-NN.json.progress   its progress while it is worked (0600)
//   RESULTS/result-NN.json.verified   the outcome of verifying it in full (0600)
// STATE is created 0700. `generate --state` keeps results and progress
// files in STATE itself and writes no verification tasks.
//
// One run at a time per state directory: `plan`, `generate --state` and
// `assemble` hold an exclusive lock on the directory itself from before they
// read or stage anything in it to their end (StateDir), and a second run
// fails at once, naming the directory and the process that holds it. A
// staged file (publish.h) is removed only under that lock, so no run ever
// takes another's live file for a killed run's leftover. `work` locks its
// own progress file instead; `status` reads without locking.
//
// Everything in a directory is reached through the directory's descriptor
// (file_io.h); files are published through publish.h and removed through
// private_files.h's wipe_and_remove.
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
#include "timelock/base/file_io.h"
#include "timelock/base/publish.h"
#include "timelock/formats/generation_plan.h"
#include "timelock/formats/segment_result.h"
#include "timelock/formats/segment_task.h"

namespace zt {

inline constexpr std::string_view kPlanFileName = "plan.json";
// The option every command that takes a state directory names it by.
inline constexpr std::string_view kStateOption = "--state";
inline constexpr std::string_view kProgressSuffix = ".progress";

inline constexpr std::string_view kStateInUse =
    "state directory is in use by another run of plan, generate --state or assemble";
inline constexpr std::string_view kStateOfAnotherPuzzle = "holds a plan for another epoch or iteration count";

// "task-07.json", "verify-07.json", "result-07.json", "result-07.json.verified".
std::string task_file_name(std::uint32_t segment);
std::string verification_file_name(std::uint32_t segment);
std::string result_file_name(std::uint32_t segment);
std::string outcome_file_name(std::uint32_t segment);

// `name` inside `dir` (one "/" between them).
std::string in_dir(const std::string& dir, std::string_view name);

// RESULT.progress, of a result's path or name.
std::string progress_path(const std::string& result_path);

// The state directory of one run, locked for it alone.
class StateDir {
public:
    // Opens the directory `path` and locks it; with `create`, makes it first
    // (0700) when it is missing. It must be this user's, and is made 0700.
    // Errors name the option and the directory (about_file): "--state {path}
    // is not there; give the directory plan wrote", "... belongs to another
    // user; ...", "... cannot be made owner-only (0700); ...", kStateInUse and
    // "{path} is locked by process N (zanth-timelock); wait until it ends, or
    // stop it",
    // the lock refusal of private_files.h, and the system's errors under
    // "--state {path} cannot be made" or "... cannot be opened".
    static Result<StateDir> open(const std::string& path, bool create);

    const file_io::Dir& dir() const { return dir_; }
    const std::string& path() const { return dir_.path(); }

private:
    explicit StateDir(file_io::Dir dir) : dir_(std::move(dir)) {}
    file_io::Dir dir_;  // holds the lock
};

// Whether a new plan may be written into `state` (generate --state without a
// plan): true when it is empty; otherwise "--state {dir} is not
// empty: it holds {up to three names} and {K} more; give a new or empty
// directory". Staged files of ours (a publication a kill cut short) are wiped
// and count as nothing.
Result<void> check_new_state_dir(const StateDir& state);

// What `plan` finds in `state`. Nothing when a new plan may be written
// there (check_new_state_dir's cases). The plan kept there when it holds
// this user's plan.json, some or all of its task and verification task
// files, each exactly as the plan makes it, and perhaps staged files of ours
// (wiped here): a plan whose writing a kill cut short, for write_state to
// finish. Errors: the not-empty one above when anything else is there
// (naming it), "--state {dir} holds a plan.json that cannot be read; ..."
// (the reader's error as cause), "--state {dir} holds {file}, which is not
// a task of its plan.json; ...", and the private-file errors
// naming a task.
Result<std::optional<GenerationPlan>> unfinished_plan(const StateDir& state);

// How many of the 96 task files are in `state`.
std::size_t task_files_in(const StateDir& state);

// What write_state writes besides plan.json.
enum class StateFiles {
    work_tasks,         // the 96 task files (generate --state)
    with_verification,  // and the 96 verification task files (plan)
};

// Publishes, owner-only, every file of `plan` that is missing in `state`:
// plan.json first, then the task files (and verification task files).
// A failure leaves what was published so far, which unfinished_plan then
// finds as the plan's.
Result<void> write_state(const StateDir& state, const GenerationPlan& plan, StateFiles files);

// Whether `state` holds a plan.json of ours that is empty or begins with a
// zero byte, which no plan document does: the plan a run was wiping (zeros
// are written from its start), the last step of removing a state after the
// puzzle was published, when it was ended. Such a run is finished by removing the
// rest (the outputs are there: nothing is removed before both are durable).
Result<bool> plan_wiped(const StateDir& state);

// plan.json in `dir`, read into self-wiping buffers.
Result<GenerationPlan> read_plan_file(const file_io::Dir& dir);

// A task file or a verification task file named by the user.
Result<SegmentTask> read_task_file(const std::string& path);
Result<VerificationTask> read_verification_task_file(const std::string& path);

// The result `name` in `dir`; nothing when no file is there.
Result<std::optional<SegmentResult>> read_result_file(const file_io::Dir& dir, std::string_view name);

// Publishes a result owner-only; it is kept under a staged name if the
// publication fails (a day of work may be in it).
Result<void> publish_result(const OutputTarget& target, const SegmentResult& result);

}  // namespace zt
