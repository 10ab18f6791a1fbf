#include "timelock/split/assembly.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <string_view>
#include <utility>

#include "timelock/base/crypto.h"
#include "timelock/base/private_files.h"
#include "timelock/base/protocol.h"
#include "timelock/base/utf8.h"
#include "timelock/base/wording.h"
#include "timelock/formats/input_files.h"
#include "timelock/formats/manifest.h"
#include "timelock/formats/manifest_signing.h"
#include "timelock/formats/verification_outcome.h"
#include "timelock/work/pool.h"

namespace zt {

using file_io::Dir;

std::vector<SegmentTask> tasks_of(const GenerationPlan& plan) {
    std::vector<SegmentTask> tasks;
    tasks.reserve(protocol::kGeneratedSegments);
    for (std::uint32_t i = 0; i < protocol::kGeneratedSegments; ++i) tasks.push_back(task_of(plan, i));
    return tasks;
}

Result<std::vector<SegmentResult>> read_results(std::span<const SegmentTask> tasks, const Dir& results_dir) {
    std::vector<SegmentResult> results;
    results.reserve(tasks.size());
    std::vector<std::uint32_t> missing;  // all of them are named at once
    for (const SegmentTask& task : tasks) {
        const std::string name = "result of " + segment_name(task.segment);
        auto read = read_result_file(results_dir, result_file_name(task.segment));
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
        std::vector<std::uint64_t> numbers;  // counted from 1
        for (const std::uint32_t segment : missing) numbers.push_back(std::uint64_t{segment} + 1);
        return Error("results of " + counted(missing.size(), "segment") + " are missing: segments " + ranges(numbers) +
                     " (run work for each of them, then assemble again)");
    }
    return results;
}

namespace {

// Whether the outcome beside result `i` is taken (outcome_counts); when it
// is there and not taken, why, in `notices`.
Result<bool> outcome_taken(const GenerationPlan& plan, const SegmentTask& task, const SegmentResult& result,
                           const Dir& results_dir, std::vector<std::string>& notices) {
    const std::string name = outcome_file_name(task.segment);
    const std::string shown = utf8_lossy(results_dir.path_of(name));
    const std::string sampled = "; " + segment_name(task.segment) + " is sampled as if it had none";
    ZT_TRY_ASSIGN(const EntryOwner owner, entry_owner(results_dir, name));
    if (owner == EntryOwner::none) return false;
    if (owner == EntryOwner::another_user) {
        notices.push_back(shown + " belongs to another user: not read" + sampled);
        return false;
    }
    auto text = read_private_secret(results_dir, name, kOutcomeDocumentLimit);
    if (!text) {
        notices.push_back(text.error().message() + sampled);
        return false;
    }
    const std::optional<std::string_view> document =
        *text ? std::optional<std::string_view>(as_text(**text)) : std::nullopt;
    const auto counts = outcome_counts(document, task, verification_task_of(plan, task.segment).verify_key, result);
    if (!counts) {
        notices.push_back(shown + ": " + counts.error().message() + sampled);
        return false;
    }
    return *counts;
}

}  // namespace

Result<Outcomes> read_outcomes(const GenerationPlan& plan, std::span<const SegmentTask> tasks,
                               std::span<const SegmentResult> results, const Dir& results_dir) {
    Outcomes outcomes;
    outcomes.vouched.assign(results.size(), false);
    for (std::size_t i = 0; i < results.size(); ++i) {
        ZT_TRY_ASSIGN(const bool taken, outcome_taken(plan, tasks[i], results[i], results_dir, outcomes.not_taken));
        outcomes.vouched[i] = taken;
    }
    return outcomes;
}

Result<VerifiedPuzzle> verify_and_assemble(const WorkEngine& engine, const GenerationPlan& plan,
                                           std::span<const SegmentTask> tasks, std::span<const SegmentResult> results,
                                           const VerifyOptions& options, const Outcomes& outcomes,
                                           const Ed25519KeyPair& keys) {
    VerificationReport report;
    const double fraction = options.all ? 1.0 : options.fraction;
    // Results whose middle was verified in full elsewhere (verify-result);
    // never with --verify-all, which believes no outcome.
    const auto vouched = [&](std::size_t i) {
        return !options.all && i < outcomes.vouched.size() && outcomes.vouched[i];
    };
    for (std::size_t i = 0; i < results.size(); ++i) report.segments_with_outcome += vouched(i);
    const std::uint64_t k = result_intervals(plan.iterations);
    ZT_TRY_ASSIGN(const std::size_t threads, pool_threads());
    ZT_TRY_ASSIGN(std::vector<IntervalCheck> checks, choose_interval_checks(results.size(), plan.iterations, fraction));
    // The first and last interval of every segment are recomputed whatever
    // an outcome says.
    std::erase_if(checks, [&](const IntervalCheck& check) {
        return vouched(check.segment) && check.interval != 1 && check.interval != k;
    });
    ZT_TRY(verify_interval_checks(engine, tasks, results, checks, threads));

    report.intervals_recomputed = checks.size();
    report.intervals_total = k * results.size();
    const std::uint64_t middle = k > 2 ? k - 2 : 0;
    const double covered = static_cast<double>(checks.size() + report.segments_with_outcome * middle);
    report.miss_probability = std::max(0.0, 1.0 - covered / static_cast<double>(report.intervals_total));

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
        text += ", and the other intervals of " + counted(report.segments_with_outcome, "segment") +
                " verified in full by verify-result";
    }
    return text + "; one wrong interval would have passed unnoticed with probability " + percent.data();
}

namespace {

// The output's file itself, when it is a regular file (not followed).
std::optional<file_io::Fd> open_output_file(const OutputTarget& target) {
    auto fd = file_io::open_at(target.dir(), target.name(), O_RDONLY | O_NONBLOCK);
    if (!fd) return std::nullopt;
    const auto info = file_io::stat(fd->get());
    if (!info || !info->regular()) return std::nullopt;
    return std::optional<file_io::Fd>(std::move(fd).value());
}

bool output_there(const OutputTarget& target) {
    const auto info = file_io::stat_at(target.dir(), target.name());
    return !info || *info;  // what cannot be looked at is not taken as absent
}

// Whether the output holds the plan's epoch key as publish_key_file writes it.
bool holds_epoch_key(const OutputTarget& target, const GenerationPlan& plan) {
    const auto file = open_output_file(target);
    if (!file) return false;
    const auto key = read_key_file(*file);
    return key.ok() && *key == plan.epoch_key;
}

// Whether the output holds a manifest of the plan's puzzle signed by `keys`.
bool holds_manifest_of(const OutputTarget& target, const GenerationPlan& plan, const Ed25519KeyPair& keys) {
    const auto file = open_output_file(target);
    if (!file) return false;
    const auto manifest = read_manifest_file(*file);
    return manifest.ok() && verify_manifest(*manifest, keys.public_key).ok() &&
           manifest->puzzle.epoch == plan.epoch && manifest->puzzle.key_commitment == key_commitment(plan.epoch_key);
}

}  // namespace

Result<Published> earlier_publication(const GenerationPlan& plan, const Ed25519KeyPair& keys,
                                      const OutputTarget& manifest_out, const OutputTarget& epoch_key_out,
                                      ExistingWording wording) {
    const auto taken = [&](const OutputTarget& output, std::string_view holds) {
        if (wording == ExistingWording::generate) return Error(std::string(kOutputExists));
        return existing_output(output, holds);
    };
    const bool manifest_there = output_there(manifest_out);
    if (!output_there(epoch_key_out)) {
        if (manifest_there) return taken(manifest_out, "and the epoch key of this plan is not beside it");
        return Published::nothing;
    }
    if (!holds_epoch_key(epoch_key_out, plan)) return taken(epoch_key_out, "not this plan's epoch key");
    if (!manifest_there) return Published::epoch_key;
    if (!holds_manifest_of(manifest_out, plan, keys)) return taken(manifest_out, "not this plan's manifest");
    return Published::both;
}

Result<std::string> published_id(const OutputTarget& manifest_out) {
    const auto file = open_output_file(manifest_out);
    if (!file) return Error(std::string(kOutputExists));
    ZT_TRY_ASSIGN(const SignedManifest manifest, read_manifest_file(*file));
    return manifest_id(manifest);
}

Result<std::string> publish_puzzle(const GeneratedPuzzle& puzzle, const OutputTarget& manifest_out,
                                   const OutputTarget& epoch_key_out, Published already) {
    if (already == Published::nothing) ZT_TRY(publish_key_file(epoch_key_out, puzzle.epoch_key));
    const std::string manifest_text = write_signed_manifest(puzzle.manifest);
    ZT_TRY(publish(manifest_out, as_bytes(manifest_text), /*owner_only=*/false));
    return manifest_id(puzzle.manifest);
}

namespace {

// The names remove_state removes in a state directory and/or a results
// directory, the plan last; staged names are found by their prefix.
std::vector<std::string> state_names(bool state, bool results) {
    std::vector<std::string> names;
    for (std::uint32_t i = 0; i < protocol::kGeneratedSegments; ++i) {
        if (state) {
            names.push_back(task_file_name(i));
            names.push_back(verification_file_name(i));
        }
        if (results) {
            names.push_back(result_file_name(i));
            names.push_back(progress_path(result_file_name(i)));
            names.push_back(outcome_file_name(i));
        }
    }
    if (state) names.emplace_back(kPlanFileName);
    return names;
}

// One entry remove_state removes.
struct StateEntry {
    const Dir* dir;
    std::string name;
};

// An outcome is only ever believed after its own checks, and one that fails
// them (a forged or foreign one) must not keep the state from going.
bool is_outcome_name(std::string_view name) { return name.ends_with(kOutcomeSuffix); }

// The entries remove_state removes, in its order: results, progress files
// and outcomes, tasks, staged files of both directories, the plan.
Result<std::vector<StateEntry>> state_entries(const StateDir& state, const Dir& results_dir) {
    std::vector<StateEntry> entries;
    for (std::string& name : state_names(false, true)) entries.push_back({&results_dir, std::move(name)});
    for (std::string& name : state_names(true, false)) {
        if (name != kPlanFileName) entries.push_back({&state.dir(), std::move(name)});
    }
    // Staged files that a publication killed half-way left (a result, the
    // plan or a task: secrets all of them). Under the state's lock they are
    // no live run's.
    ZT_TRY_ASSIGN(const file_io::FileInfo state_id, file_io::stat(state.dir().fd()));
    ZT_TRY_ASSIGN(const file_io::FileInfo results_id, file_io::stat(results_dir.fd()));
    const bool one_directory = state_id.same_file(results_id);  // generate --state
    for (const Dir* dir : {&results_dir, &state.dir()}) {
        if (dir != &results_dir && one_directory) break;
        ZT_TRY_ASSIGN(const std::vector<std::string> names, file_io::list(*dir));
        for (const std::string& name : names) {
            if (name.starts_with(kStagedPrefix)) entries.push_back({dir, name});
        }
    }
    entries.push_back({&state.dir(), std::string(kPlanFileName)});
    return entries;
}

}  // namespace

Result<void> check_outputs_apart(std::span<const OutputTarget* const> outputs, const StateDir& state,
                                 const Dir& results_dir) {
    ZT_TRY_ASSIGN(const file_io::FileInfo state_id, file_io::stat(state.dir().fd()));
    ZT_TRY_ASSIGN(const file_io::FileInfo results_id, file_io::stat(results_dir.fd()));
    for (const OutputTarget* output : outputs) {
        ZT_TRY_ASSIGN(const file_io::FileInfo dir_id, file_io::stat(output->dir().fd()));
        const bool in_state = dir_id.same_file(state_id);
        const bool in_results = dir_id.same_file(results_id);
        if (!in_state && !in_results) continue;
        const std::vector<std::string> names = state_names(in_state, in_results);
        if (output->name().starts_with(kStagedPrefix) ||
            std::find(names.begin(), names.end(), output->name()) != names.end()) {
            return Error("output " + utf8_lossy(output->path()) +
                         " is a file of the generation's state, which is wiped once the puzzle is published; "
                         "choose another output path");
        }
    }
    return success();
}

Result<std::vector<std::string>> check_state_removable(const StateDir& state, const Dir& results_dir) {
    for (const Dir* dir : {&state.dir(), &results_dir}) {
        ZT_TRY_ASSIGN(const bool may, file_io::may_change(*dir));
        if (!may) {
            return Error("cannot remove files from " + utf8_lossy(dir->path()) + " after publishing",
                         {Error::from_errno(EACCES).message()});
        }
    }
    ZT_TRY_ASSIGN(const std::vector<StateEntry> entries, state_entries(state, results_dir));
    std::vector<std::string> others;
    for (const StateEntry& entry : entries) {
        // Not ours: never opened (it may be a link or a FIFO), and left by
        // the removal as it is, the same rule on both sides of publishing.
        ZT_TRY_ASSIGN(const EntryOwner owner, entry_owner(*entry.dir, entry.name));
        if (owner == EntryOwner::another_user) {
            others.push_back(entry.dir->path_of(entry.name));
            continue;
        }
        if (!is_outcome_name(entry.name)) ZT_TRY(open_private_read(*entry.dir, entry.name));
    }
    return others;
}

std::string left_alone_notice(const std::string& path) {
    return utf8_lossy(path) + " belongs to another user: left as it is, neither read nor removed";
}

Result<void> remove_state(const StateDir& state, const Dir& results_dir) {
    ZT_TRY_ASSIGN(const std::vector<StateEntry> entries, state_entries(state, results_dir));
    for (const StateEntry& entry : entries) ZT_TRY(wipe_and_remove(*entry.dir, entry.name));
    return success();
}

}  // namespace zt
