#include "timelock/split/assembly.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>

#include <string_view>
#include <utility>

#include "timelock/base/crypto.h"
#include "timelock/base/file_io.h"
#include "timelock/base/utf8.h"
#include "timelock/base/protocol.h"
#include "timelock/base/publish.h"
#include "timelock/formats/input_files.h"
#include "timelock/formats/manifest.h"
#include "timelock/formats/manifest_signing.h"
#include "timelock/formats/verification_outcome.h"
#include "timelock/split/segment_verify.h"
#include "timelock/split/state_dir.h"
#include "timelock/work/pool.h"
#include "timelock/base/wording.h"

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
    std::vector<std::uint32_t> missing;  // all of them are named at once
    for (const SegmentTask& task : tasks) {
        const std::string name = "result of " + segment_name(task.segment);
        auto read = read_result_file(in_dir(results_dir, result_file_name(task.segment)));
        if (!read) return Error(name + " is unreadable", {read.error().message()});
        if (!*read) {
            missing.push_back(task.segment);
            continue;
        }
        ZT_TRY(check_result(**read, task));
        results.push_back(std::move(**read));
    }
    if (missing.size() == 1) return Error("result of " + segment_name(missing.front()) + " is missing");
    if (!missing.empty()) {
        std::string list;
        for (const std::uint32_t segment : missing) {
            list += (list.empty() ? "" : ", ") + std::to_string(std::uint64_t{segment} + 1);
        }
        return Error("results of " + counted(missing.size(), "segment") + " are missing: segments " + list +
                     " (run work for each of them, then assemble again)");
    }
    return results;
}

Result<VerifiedPuzzle> verify_and_assemble(const WorkEngine& engine, const GenerationPlan& plan,
                                           std::span<const SegmentTask> tasks, std::span<const SegmentResult> results,
                                           double fraction, const Ed25519KeyPair& keys,
                                           const std::string& results_dir) {
    // Results verified in full elsewhere (verify-result) need no sample.
    std::vector<bool> has_outcome(results.size(), false);
    VerificationReport report;
    for (std::size_t i = 0; i < results.size(); ++i) {
        const std::string path = in_dir(results_dir, outcome_file_name(tasks[i].segment));
        ZT_TRY_ASSIGN(const std::optional<SecureBytes> text, read_private_secret(path, kOutcomeDocumentLimit));
        if (!text) continue;
        ZT_TRY(check_outcome_document(as_text(*text), tasks[i], results[i]));
        has_outcome[i] = true;
        ++report.segments_with_outcome;
    }
    ZT_TRY_ASSIGN(const std::size_t threads, pool_threads());
    ZT_TRY_ASSIGN(std::vector<IntervalCheck> checks, choose_interval_checks(results.size(), plan.iterations, fraction));
    std::erase_if(checks, [&](const IntervalCheck& check) { return has_outcome[check.segment]; });
    ZT_TRY(verify_interval_checks(engine, tasks, results, checks, threads));

    const std::uint64_t k = result_intervals(plan.iterations);
    report.intervals_recomputed = checks.size();
    report.intervals_total = k * results.size();
    const double covered = static_cast<double>(checks.size() + report.segments_with_outcome * k);
    report.miss_probability = 1.0 - covered / static_cast<double>(report.intervals_total);

    std::vector<Key32> digests;
    digests.reserve(results.size());
    for (const SegmentResult& result : results) digests.push_back(result.digest());
    ZT_TRY_ASSIGN(GeneratedPuzzle puzzle, assemble_puzzle(plan, digests, keys));
    return VerifiedPuzzle{std::move(puzzle), report};
}

std::string describe_verification(const VerificationReport& report) {
    std::array<char, 32> percent{};
    std::snprintf(percent.data(), percent.size(), "%.4g%%", 100.0 * report.miss_probability);
    std::string text = "Checked " + std::to_string(report.intervals_recomputed) + " of " +
                       counted(report.intervals_total, "interval") +
                       " here (the first and last of every segment and a random share of the rest)";
    if (report.segments_with_outcome > 0) {
        text += ", and " + counted(report.segments_with_outcome, "segment") + " verified in full by verify-result";
    }
    return text + "; one wrong interval would have passed unnoticed with probability " + percent.data();
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

namespace {

// The names remove_state removes in `dir` as the state directory and/or the
// results directory, the plan last; staged names are found by their prefix.
std::vector<std::string> state_names(bool state, bool results) {
    std::vector<std::string> names;
    for (std::uint32_t i = 0; i < protocol::kGeneratedSegments; ++i) {
        if (state) names.push_back(task_file_name(i));
        if (results) {
            names.push_back(result_file_name(i));
            names.push_back(std::string(progress_path(result_file_name(i))));
            names.push_back(outcome_file_name(i));
        }
    }
    if (state) names.emplace_back(kPlanFileName);
    return names;
}

// The paths remove_state removes, in its order: tasks, results, progress
// files, staged files of both directories, the plan.
Result<std::vector<std::string>> state_paths(const std::string& state_dir, const std::string& results_dir) {
    std::vector<std::string> paths;
    for (const std::string& name : state_names(false, true)) paths.push_back(in_dir(results_dir, name));
    for (const std::string& name : state_names(true, false)) {
        if (name != kPlanFileName) paths.push_back(in_dir(state_dir, name));
    }
    // Staged files that a publication killed half-way left (a result, the
    // plan or a task: secrets all of them).
    for (const std::string& dir : {state_dir, results_dir}) {
        ZT_TRY_ASSIGN(const std::vector<std::string> names, directory_entries(dir));
        for (const std::string& name : names) {
            if (name.starts_with(kStagedPrefix)) paths.push_back(in_dir(dir, name));
        }
    }
    paths.push_back(in_dir(state_dir, kPlanFileName));
    return paths;
}

// The directory entry identity of `dir`, or nothing when it cannot be had.
std::optional<std::pair<dev_t, ino_t>> identity(const std::string& dir) {
    struct stat info {};
    if (::stat(dir.c_str(), &info) != 0) return std::nullopt;
    return std::pair(info.st_dev, info.st_ino);
}

// The last component of `path`, trailing separators dropped.
std::string_view last_component(std::string_view path) {
    while (path.size() > 1 && path.ends_with('/')) path.remove_suffix(1);
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

Result<void> check_outputs_apart(std::span<const std::string> outputs, const std::string& state_dir,
                                 const std::string& results_dir) {
    const auto state_id = identity(state_dir);
    const auto results_id = identity(results_dir);
    for (const std::string& output : outputs) {
        const auto dir_id = identity(file_io::parent_directory(output));
        if (!dir_id) continue;  // check_output_path tells about a missing directory
        const bool in_state = dir_id == state_id;
        const bool in_results = dir_id == results_id;
        if (!in_state && !in_results) continue;
        const std::string_view name = last_component(output);
        const std::vector<std::string> names = state_names(in_state, in_results);
        if (name.starts_with(kStagedPrefix) || std::find(names.begin(), names.end(), name) != names.end()) {
            return Error("output " + utf8_lossy(output) +
                         " is a file of the generation's state, which is wiped once the puzzle is published; "
                         "choose another output path");
        }
    }
    return success();
}

Result<std::vector<std::string>> check_state_removable(const std::string& state_dir,
                                                       const std::string& results_dir) {
    for (const std::string& dir : {state_dir, results_dir}) {
        if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
            return Error("cannot remove files from " + utf8_lossy(dir) + " after publishing",
                         {Error::from_errno(errno).message()});
        }
    }
    ZT_TRY_ASSIGN(const std::vector<std::string> paths, state_paths(state_dir, results_dir));
    std::vector<std::string> others;
    for (const std::string& path : paths) {
        // Not ours: never opened (it may be a link or a FIFO), and left by
        // the removal as it is, the same rule on both sides of publishing.
        if (owned_by_another_user(path)) {
            others.push_back(path);
            continue;
        }
        ZT_TRY(file_io::open_private_read(path));
    }
    return others;
}

std::string left_alone_notice(const std::string& path) {
    return utf8_lossy(path) + " belongs to another user: left as it is, neither read nor removed";
}

Result<void> remove_state(const std::string& state_dir, const std::string& results_dir) {
    ZT_TRY_ASSIGN(const std::vector<std::string> paths, state_paths(state_dir, results_dir));
    for (const std::string& path : paths) ZT_TRY(wipe_and_remove(path));
    return success();
}

}  // namespace zt
