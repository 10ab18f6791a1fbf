// The end of a generation from a plan, shared by `assemble` and
// `generate --state`: gather the 96 results, check that each belongs to the
// plan and recompute a sample of their intervals, assemble the puzzle, publish
// it as `generate` does, and finally wipe the state's secret files.
//
// Thread safety: call from the main thread; verification starts and joins
// its own threads.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "timelock/ed25519.h"
#include "timelock/engine.h"
#include "timelock/error.h"
#include "timelock/generation.h"
#include "timelock/generation_plan.h"
#include "timelock/segment_result.h"
#include "timelock/segment_task.h"

namespace zt::cli {

inline constexpr double kDefaultVerifyFraction = 0.01;
inline constexpr std::string_view kBadVerifyFraction = "verify fraction must be above 0 and at most 1";

// The 96 tasks of `plan`, task i at position i.
std::vector<SegmentTask> tasks_of(const GenerationPlan& plan);

// Result i from RESULTS/result-NN.json for every task, in order, each passing
// check_result. Errors name the segment: "result of segment index I is
// missing", "result of segment index I is unreadable" (the reader's error as
// cause), or check_result's.
Result<std::vector<SegmentResult>> read_results(std::span<const SegmentTask> tasks, const std::string& results_dir);

// Recomputes a sample of `fraction` of every result's intervals on `engine`
// (segment_verify.h), then assembles the puzzle from the plan and the
// results' digests (assemble_puzzle).
Result<GeneratedPuzzle> verify_and_assemble(const WorkEngine& engine, const GenerationPlan& plan,
                                            std::span<const SegmentTask> tasks,
                                            std::span<const SegmentResult> results, double fraction,
                                            const Ed25519KeyPair& keys);

// What generate does with a finished puzzle: the epoch key (0600), then the
// manifest (0644), then the manifest id on standard output. The epoch key
// file stays if publishing the manifest fails; nothing is printed then.
Result<void> publish_puzzle(const GeneratedPuzzle& puzzle, const std::string& manifest_out,
                            const std::string& epoch_key_out);

// Wipes and removes STATE/plan.json, the task files in STATE, the result
// and progress files in RESULTS, and the staged files that a publication
// killed half-way left in either directory. The directories stay.
Result<void> remove_state(const std::string& state_dir, const std::string& results_dir);

}  // namespace zt::cli
