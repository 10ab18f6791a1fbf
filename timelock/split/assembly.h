// The end of a generation from a plan, shared by `assemble` and
// `generate --state`: gather the 96 results, check that each belongs to the
// plan and recompute a sample of their intervals, assemble the puzzle, publish
// it as `generate` does, and finally wipe the state's secret files.
//
// A run stopped after publishing (the epoch key alone, or both outputs)
// but before the state was removed is finished by running it again: what
// is already at an output is kept when it is this plan's, and the rest is
// done as usual.
//
// The state directory is held locked (StateDir) by the caller for the whole
// run; the results directory (the state directory itself for generate
// --state) is held open.
//
// Thread safety: call from the main thread; verification starts and joins
// its own threads.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "timelock/base/error.h"
#include "timelock/base/file_io.h"
#include "timelock/base/publish.h"
#include "timelock/ed25519/ed25519.h"
#include "timelock/formats/generation_plan.h"
#include "timelock/formats/segment_result.h"
#include "timelock/formats/segment_task.h"
#include "timelock/split/segment_verify.h"
#include "timelock/split/state_dir.h"
#include "timelock/work/engine.h"
#include "timelock/work/generation.h"

namespace zt {

inline constexpr double kDefaultVerifyFraction = 0.01;

// What an earlier run of the same plan already published.
enum class Published { nothing, epoch_key, both };

// How an output holding something else is refused: existing_output,
// naming it (assemble), or generate's own "output already exists".
enum class ExistingWording { named, generate };

// Nothing when neither output exists. epoch_key when the epoch key output is
// a regular file holding the plan's epoch key and the manifest output does
// not exist; both when, in addition, the manifest output is a manifest of
// the plan's epoch signed by `keys` and committing to that key. Any other
// file at an output is refused in `wording`.
Result<Published> earlier_publication(const GenerationPlan& plan, const Ed25519KeyPair& keys,
                                      const OutputTarget& manifest_out, const OutputTarget& epoch_key_out,
                                      ExistingWording wording);

// The 96 tasks of `plan`, task i at position i.
std::vector<SegmentTask> tasks_of(const GenerationPlan& plan);

// Result i from RESULTS/result-NN.json for every task, in order, each passing
// check_result. Errors name the segment (counted from 1): "result of
// segment N is unreadable" (the reader's error as cause) or check_result's,
// at the first such result; otherwise every missing result at once,
// "result of segment N is missing" or "results of K segments are missing:
// segments N-M, P, ..." (runs of consecutive segments as ranges).
Result<std::vector<SegmentResult>> read_results(std::span<const SegmentTask> tasks, const file_io::Dir& results_dir);

// How the results are checked.
struct VerifyOptions {
    double fraction = kDefaultVerifyFraction;  // of the middle intervals, sampled
    bool all = false;                          // every interval recomputed; no outcome read
};

// The verification outcomes beside the results (RESULTS/result-NN.json.verified)
// that are taken: vouched[i] when result i has one that outcome_counts takes.
// An outcome of another user, or one that is not taken, is told in
// `not_taken` (one sentence each, naming the file and saying that its
// segment is sampled as if it had none).
struct Outcomes {
    std::vector<bool> vouched;
    std::vector<std::string> not_taken;
};
Result<Outcomes> read_outcomes(const GenerationPlan& plan, std::span<const SegmentTask> tasks,
                               std::span<const SegmentResult> results, const file_io::Dir& results_dir);

// What the check of the results covered.
struct VerificationReport {
    std::size_t intervals_recomputed = 0;   // here, on this machine
    std::uint64_t intervals_total = 0;      // of all 96 results
    std::size_t segments_with_outcome = 0;  // their middle verified in full by verify-result
    double miss_probability = 0.0;          // that one wrong interval passed unnoticed
};

struct VerifiedPuzzle {
    GeneratedPuzzle puzzle;
    VerificationReport report;
};

// Checks every result, then assembles the puzzle from the plan and the
// results' digests (assemble_puzzle). Every result has its first and last
// interval recomputed on `engine` with all processors (segment_verify.h).
// Its middle intervals are sampled (`options.fraction`), recomputed in full
// (`options.all`, which takes no outcome), or left to its outcome where
// `outcomes` vouches for it.
Result<VerifiedPuzzle> verify_and_assemble(const WorkEngine& engine, const GenerationPlan& plan,
                                           std::span<const SegmentTask> tasks, std::span<const SegmentResult> results,
                                           const VerifyOptions& options, const Outcomes& outcomes,
                                           const Ed25519KeyPair& keys);

// The report in one sentence for the operator, without a line end.
std::string describe_verification(const VerificationReport& report);

// What generate does with a finished puzzle: the epoch key (0600), then the
// manifest (0644); returns the manifest id, for the caller to print. The
// epoch key file stays if publishing the manifest fails. With `already` at
// epoch_key the epoch key is taken as published.
Result<std::string> publish_puzzle(const GeneratedPuzzle& puzzle, const OutputTarget& manifest_out,
                                   const OutputTarget& epoch_key_out, Published already = Published::nothing);

// The id of the manifest at `manifest_out` (published by an earlier run).
Result<std::string> published_id(const OutputTarget& manifest_out);

// Refuses (before anything is published) an output that names a file
// remove_state would wipe: plan.json, a task, a verification task, a result,
// a progress file, an outcome or a staged file in the state or results
// directory (compared by directory identity, so "res/../res/x" is "res/x").
// "output {path} is a file of the generation's state, which is wiped once
// the puzzle is published; choose another output path".
Result<void> check_outputs_apart(std::span<const OutputTarget* const> outputs, const StateDir& state,
                                 const file_io::Dir& results_dir);

// Refuses (before anything is published) a state that remove_state could
// not remove afterwards: a directory this user cannot remove files from
// ("cannot remove files from {dir} after publishing"), or under any name it
// removes something of this user's other than a private file
// (private_files.h's errors, naming the file). Entries of another user under
// those names (a staged name planted in a shared sticky results directory,
// say) are not looked into: they are returned, for the caller to name
// (left_alone_notice), and remove_state leaves them. What it lets through,
// remove_state removes.
Result<std::vector<std::string>> check_state_removable(const StateDir& state, const file_io::Dir& results_dir);

// "{path} belongs to another user: left as it is, neither read nor removed".
std::string left_alone_notice(const std::string& path);

// Wipes and removes the task and verification task files in STATE, the
// result, progress and outcome files in RESULTS, the staged files that a
// publication killed half-way left in either directory and, last,
// STATE/plan.json (so that a run stopped half-way through can be finished by
// running it again). The directories stay, and so does every entry of
// another user (wipe_and_remove).
Result<void> remove_state(const StateDir& state, const file_io::Dir& results_dir);

}  // namespace zt
