#include "cli/split_outputs.h"

#include <array>

#include "cli/console.h"
#include "timelock/base/utf8.h"

namespace zt::cli {

Result<PuzzleOutputs> open_puzzle_outputs(const std::string& manifest_out, const std::string& epoch_key_out) {
    ZT_TRY_ASSIGN(OutputTarget manifest, OutputTarget::open("--manifest-out", manifest_out));
    ZT_TRY_ASSIGN(OutputTarget epoch_key, OutputTarget::open("--epoch-key-out", epoch_key_out));
    ZT_TRY(check_distinct(std::array<const OutputTarget*, 2>{&manifest, &epoch_key}));
    return PuzzleOutputs{std::move(manifest), std::move(epoch_key)};
}

Result<void> finish_published(const PuzzleOutputs& outputs, const StateDir& state, const file_io::Dir& results_dir) {
    auto id = published_id(outputs.manifest);
    if (!id) {
        return Error("--manifest-out " + utf8_lossy(outputs.manifest.path()) +
                         " is not the manifest of the run whose state is being removed; give that run's outputs",
                     {id.error().message()});
    }
    write_stdout(*id + "\n");
    return remove_state(state, results_dir);
}

Result<std::vector<SegmentResult>> results_to_assemble(std::span<const SegmentTask> tasks, const StateDir& state,
                                                       const file_io::Dir& results_dir) {
    ZT_TRY_ASSIGN(std::vector<SegmentResult> results, read_results(tasks, results_dir));
    ZT_TRY_ASSIGN(const std::vector<std::string> left_alone, check_state_removable(state, results_dir));
    for (const std::string& path : left_alone) write_stderr("Warning: " + left_alone_notice(path) + "\n");
    return results;
}

Result<Outcomes> outcomes_to_take(const GenerationPlan& plan, std::span<const SegmentTask> tasks,
                                  std::span<const SegmentResult> results, const file_io::Dir& results_dir,
                                  const VerifyOptions& options) {
    if (options.all) return Outcomes{};
    ZT_TRY_ASSIGN(Outcomes outcomes, read_outcomes(plan, tasks, results, results_dir));
    for (const std::string& notice : outcomes.not_taken) write_stderr("Warning: " + notice + "\n");
    return outcomes;
}

Result<void> publish_verified(const VerifiedPuzzle& verified, const PuzzleOutputs& outputs, Published published,
                              const StateDir& state, const file_io::Dir& results_dir, Checker checker) {
    write_stderr(describe_verification(verified.report) + "\n");
    if (verified.report.miss_probability > 0.0) {
        write_stderr(checker == Checker::assemble
                         ? "For a probability of 0%, have every interval recomputed: assemble with --verify-all, or "
                           "verify-result on every result (the verification array) before assemble\n"
                         : "For a probability of 0%, make the puzzle with plan, work and assemble --verify-all, which "
                           "recompute every interval\n");
    }
    ZT_TRY_ASSIGN(const std::string id,
                  publish_puzzle(verified.puzzle, outputs.manifest, outputs.epoch_key, published));
    write_stdout(id + "\n");
    // Both outputs are durable: the state's secrets go.
    return remove_state(state, results_dir);
}

}  // namespace zt::cli
