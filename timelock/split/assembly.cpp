#include "timelock/split/assembly.h"

#include <sys/stat.h>

#include <string_view>
#include <utility>

#include "timelock/base/crypto.h"
#include "timelock/base/protocol.h"
#include "timelock/base/publish.h"
#include "timelock/formats/input_files.h"
#include "timelock/formats/manifest.h"
#include "timelock/formats/manifest_signing.h"
#include "timelock/split/segment_verify.h"
#include "timelock/split/state_dir.h"
#include "timelock/work/pool.h"

namespace zt {

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
    ZT_TRY_ASSIGN(const std::size_t threads, pool_threads());
    ZT_TRY_ASSIGN(const std::vector<IntervalCheck> checks,
                  choose_interval_checks(results.size(), plan.iterations, fraction));
    ZT_TRY(verify_interval_checks(engine, tasks, results, checks, threads));
    std::vector<Key32> digests;
    digests.reserve(results.size());
    for (const SegmentResult& result : results) digests.push_back(result.digest());
    return assemble_puzzle(plan, digests, keys);
}

namespace {

bool is_regular_file(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Whether the file at `path` is the plan's epoch key as publish_epoch_key writes it.
bool holds_epoch_key(const std::string& path, const GenerationPlan& plan) {
    if (!is_regular_file(path)) return false;
    const auto key = read_key_file(path);
    return key.ok() && *key == plan.epoch_key;
}

// Whether the file at `path` is a manifest of the plan's puzzle signed by `keys`.
bool holds_manifest_of(const std::string& path, const GenerationPlan& plan, const Ed25519KeyPair& keys) {
    if (!is_regular_file(path)) return false;
    const auto manifest = read_manifest_file(path);
    return manifest.ok() && verify_manifest(*manifest, keys.public_key).ok() &&
           manifest->puzzle.epoch == plan.epoch && manifest->puzzle.key_commitment == key_commitment(plan.epoch_key);
}

}  // namespace

Result<Published> earlier_publication(const GenerationPlan& plan, const Ed25519KeyPair& keys,
                                      const std::string& manifest_out, const std::string& epoch_key_out) {
    const bool manifest_there = output_exists(manifest_out);
    if (!output_exists(epoch_key_out)) {
        if (manifest_there) return Error(std::string(kOutputExists));
        return Published::nothing;
    }
    if (!holds_epoch_key(epoch_key_out, plan)) return Error(std::string(kOutputExists));
    if (!manifest_there) return Published::epoch_key;
    if (!holds_manifest_of(manifest_out, plan, keys)) return Error(std::string(kOutputExists));
    return Published::both;
}

Result<std::string> published_id(const std::string& manifest_out) {
    ZT_TRY_ASSIGN(const SignedManifest manifest, read_manifest_file(manifest_out));
    return manifest_id(manifest);
}

Result<std::string> publish_puzzle(const GeneratedPuzzle& puzzle, const std::string& manifest_out,
                            const std::string& epoch_key_out, Published already) {
    if (already == Published::nothing) ZT_TRY(publish_epoch_key(epoch_key_out, puzzle.epoch_key));
    const std::string manifest_text = write_signed_manifest(puzzle.manifest);
    ZT_TRY(publish_staged(manifest_out, as_bytes(manifest_text), /*owner_only=*/false));
    return manifest_id(puzzle.manifest);
}

Result<void> remove_state(const std::string& state_dir, const std::string& results_dir) {
    for (std::uint32_t i = 0; i < protocol::kGeneratedSegments; ++i) {
        ZT_TRY(wipe_and_remove(in_dir(state_dir, task_file_name(i))));
        const std::string result = in_dir(results_dir, result_file_name(i));
        ZT_TRY(wipe_and_remove(result));
        ZT_TRY(wipe_and_remove(progress_path(result)));
    }
    // Staged files that a publication killed half-way left (a result, the
    // plan or a task: secrets all of them).
    for (const std::string& dir : {state_dir, results_dir}) {
        ZT_TRY_ASSIGN(const std::vector<std::string> names, directory_entries(dir));
        for (const std::string& name : names) {
            if (name.starts_with(kStagedPrefix)) ZT_TRY(wipe_and_remove(in_dir(dir, name)));
        }
    }
    return wipe_and_remove(in_dir(state_dir, kPlanFileName));
}

}  // namespace zt
