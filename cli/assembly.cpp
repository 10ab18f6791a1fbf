#include "cli/assembly.h"

#include <dirent.h>

#include <cerrno>
#include <memory>
#include <string_view>
#include <utility>

#include "cli/driver.h"
#include "cli/inputs.h"
#include "cli/publish.h"
#include "cli/state_dir.h"
#include "timelock/manifest.h"
#include "timelock/manifest_signing.h"
#include "timelock/pool.h"
#include "timelock/processors.h"
#include "timelock/protocol.h"
#include "timelock/segment_verify.h"

namespace zt::cli {

std::vector<SegmentTask> tasks_of(const GenerationPlan& plan) {
    std::vector<SegmentTask> tasks;
    tasks.reserve(protocol::kGeneratedSegments);
    for (std::uint32_t i = 0; i < protocol::kGeneratedSegments; ++i) tasks.push_back(task_of(plan, i));
    return tasks;
}

Result<std::vector<SegmentResult>> read_results(std::span<const SegmentTask> tasks, const std::string& results_dir) {
    std::vector<SegmentResult> results;
    results.reserve(tasks.size());
    for (const SegmentTask& task : tasks) {
        const std::string name = "result of " + segment_name(task.segment);
        auto read = read_result_file(in_dir(results_dir, result_file_name(task.segment)));
        if (!read) return Error(name + " is unreadable", {read.error().message()});
        if (!*read) return Error(name + " is missing");
        ZT_TRY(check_result(**read, task));
        results.push_back(std::move(**read));
    }
    return results;
}

Result<GeneratedPuzzle> verify_and_assemble(const WorkEngine& engine, const GenerationPlan& plan,
                                            std::span<const SegmentTask> tasks,
                                            std::span<const SegmentResult> results, double fraction,
                                            const Ed25519KeyPair& keys) {
    ZT_TRY_ASSIGN(const std::size_t processors, available_processors());
    ZT_TRY_ASSIGN(const std::vector<IntervalCheck> checks,
                  choose_interval_checks(results.size(), plan.iterations, fraction));
    ZT_TRY(verify_interval_checks(engine, tasks, results, checks, std::min(processors, kMaxPoolThreads)));
    std::vector<Key32> digests;
    digests.reserve(results.size());
    for (const SegmentResult& result : results) digests.push_back(result.digest());
    return assemble_puzzle(plan, digests, keys);
}

Result<void> publish_puzzle(const GeneratedPuzzle& puzzle, const std::string& manifest_out,
                            const std::string& epoch_key_out) {
    ZT_TRY(publish_epoch_key(epoch_key_out, puzzle.epoch_key));
    const std::string manifest_text = write_signed_manifest(puzzle.manifest);
    ZT_TRY(publish_staged(manifest_out, as_bytes(manifest_text), /*owner_only=*/false));
    ZT_TRY_ASSIGN(const std::string id, manifest_id(puzzle.manifest));
    write_stdout(id + "\n");
    return success();
}

namespace {

// Staged files that a publication killed half-way left in `dir` (a result,
// the plan or a task: secrets all of them).
Result<std::vector<std::string>> leftover_staged_files(const std::string& dir) {
    std::vector<std::string> found;
    const std::unique_ptr<DIR, int (*)(DIR*)> handle(::opendir(dir.c_str()), &::closedir);
    if (!handle) return Error::from_errno(errno);
    errno = 0;
    while (const dirent* entry = ::readdir(handle.get())) {
        const std::string_view name = entry->d_name;
        if (name.starts_with(kStagedPrefix)) found.push_back(in_dir(dir, name));
    }
    if (errno != 0) return Error::from_errno(errno);
    return found;
}

}  // namespace

Result<void> remove_state(const std::string& state_dir, const std::string& results_dir) {
    ZT_TRY(wipe_and_remove(in_dir(state_dir, kPlanFileName)));
    for (std::uint32_t i = 0; i < protocol::kGeneratedSegments; ++i) {
        ZT_TRY(wipe_and_remove(in_dir(state_dir, task_file_name(i))));
        const std::string result = in_dir(results_dir, result_file_name(i));
        ZT_TRY(wipe_and_remove(result));
        ZT_TRY(wipe_and_remove(progress_path(result)));
    }
    for (const std::string& dir : {state_dir, results_dir}) {
        ZT_TRY_ASSIGN(const std::vector<std::string> staged, leftover_staged_files(dir));
        for (const std::string& path : staged) ZT_TRY(wipe_and_remove(path));
    }
    return success();
}

}  // namespace zt::cli
