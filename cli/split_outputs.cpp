#include "cli/split_outputs.h"

#include "cli/console.h"

namespace zt::cli {

Result<void> finish_published(const std::string& manifest_out, const std::string& state_dir,
                              const std::string& results_dir) {
    ZT_TRY_ASSIGN(const std::string id, published_id(manifest_out));
    write_stdout(id + "\n");
    return remove_state(state_dir, results_dir);
}

Result<std::vector<SegmentResult>> results_to_assemble(std::span<const SegmentTask> tasks,
                                                       const std::string& state_dir, const std::string& results_dir) {
    ZT_TRY_ASSIGN(std::vector<SegmentResult> results, read_results(tasks, results_dir));
    ZT_TRY_ASSIGN(const std::vector<std::string> left_alone, check_state_removable(state_dir, results_dir));
    for (const std::string& path : left_alone) write_stderr("Warning: " + left_alone_notice(path) + "\n");
    return results;
}

Result<void> publish_verified(const VerifiedPuzzle& verified, const std::string& manifest_out,
                              const std::string& epoch_key_out, Published published, const std::string& state_dir,
                              const std::string& results_dir) {
    write_stderr(describe_verification(verified.report) + "\n");
    ZT_TRY_ASSIGN(const std::string id, publish_puzzle(verified.puzzle, manifest_out, epoch_key_out, published));
    write_stdout(id + "\n");
    // Both outputs are durable: the state's secrets go.
    return remove_state(state_dir, results_dir);
}

}  // namespace zt::cli
