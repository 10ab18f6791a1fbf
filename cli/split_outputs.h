// The front end's part in finishing a split generation, shared by assemble
// and generate --state: what it prints around the core's assembly
// (timelock/split/assembly.h) and in which order.
//
// Thread safety: call from the command's thread. A failure leaves the
// state as it was, apart from what the named core function says.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "timelock/base/error.h"
#include "timelock/base/file_io.h"
#include "timelock/base/publish.h"
#include "timelock/formats/segment_result.h"
#include "timelock/formats/segment_task.h"
#include "timelock/split/assembly.h"
#include "timelock/split/state_dir.h"

namespace zt::cli {

// The two outputs of assemble and generate: opened before any work (each
// must be publishable), and refused when both name one file.
struct PuzzleOutputs {
    OutputTarget manifest;
    OutputTarget epoch_key;
};
Result<PuzzleOutputs> open_puzzle_outputs(const std::string& manifest_out, const std::string& epoch_key_out);

// Both outputs were published by an earlier run of the plan: its manifest
// id printed, then the state removed. "--manifest-out {path} is not there,
// though a run that had published it was removing the state; ..." when the
// manifest is gone.
Result<void> finish_published(const PuzzleOutputs& outputs, const StateDir& state, const file_io::Dir& results_dir);

// Every task's result, read once the state is known to be removable after
// publishing; another user's entries under state names are named on
// standard error and left.
Result<std::vector<SegmentResult>> results_to_assemble(std::span<const SegmentTask> tasks, const StateDir& state,
                                                       const file_io::Dir& results_dir);

// The outcomes beside the results that assemble takes (none with
// `options.all`); each one not taken is named on standard error.
Result<Outcomes> outcomes_to_take(const GenerationPlan& plan, std::span<const SegmentTask> tasks,
                                  std::span<const SegmentResult> results, const file_io::Dir& results_dir,
                                  const VerifyOptions& options);

// Who checks the results: assemble, or generate --state (which has no
// option to check them all).
enum class Checker { assemble, generate };

// The verification's report on standard error (after a sample that could
// miss a wrong interval, with how to check them all), the puzzle published
// (what `published` says an earlier run left is kept), its id printed, then
// the state removed.
Result<void> publish_verified(const VerifiedPuzzle& verified, const PuzzleOutputs& outputs, Published published,
                              const StateDir& state, const file_io::Dir& results_dir, Checker checker);

}  // namespace zt::cli
