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
#include "timelock/formats/segment_result.h"
#include "timelock/formats/segment_task.h"
#include "timelock/split/assembly.h"

namespace zt::cli {

// Both outputs were published by an earlier run of the plan: its manifest
// id printed, then the state removed.
Result<void> finish_published(const std::string& manifest_out, const std::string& state_dir,
                              const std::string& results_dir);

// Every task's result, read once the state is known to be removable after
// publishing; another user's entries under state names are named on
// standard error and left.
Result<std::vector<SegmentResult>> results_to_assemble(std::span<const SegmentTask> tasks,
                                                       const std::string& state_dir, const std::string& results_dir);

// The verification's report on standard error, the puzzle published (what
// `published` says an earlier run left is kept), its id printed, then the
// state removed.
Result<void> publish_verified(const VerifiedPuzzle& verified, const std::string& manifest_out,
                              const std::string& epoch_key_out, Published published, const std::string& state_dir,
                              const std::string& results_dir);

}  // namespace zt::cli
