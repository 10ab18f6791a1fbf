// The generate command: refuse existing outputs, read the service's Ed25519
// seed, generate the puzzle, publish the epoch key (0600) and then the signed
// manifest (0644), and print the manifest id. The epoch key file stays if
// publishing the manifest fails; nothing is printed then.
//
// Without --state the work lives in memory only: SIGINT, SIGTERM or SIGHUP
// during the work stop the workers, publish nothing and end with
// zt::Interrupted, and the work is lost. With --state DIR the same steps are
// those of plan, work and assemble: the plan is drawn into DIR once (or read
// back from it), each segment is worked by a resumable job into DIR, and the
// puzzle is assembled from the results; a run stopped by a signal, a crash or
// a reboot is resumed by running the same command again, and nothing is
// drawn twice. After publication the state's secret files are wiped and
// removed; a run stopped between the two is finished by running it again.
//
// With --iterations-from, the iteration count is the calibration report's
// iterations_for_one_day; a light-mode report is refused for a full-mode
// puzzle, whose segments it would make last about thirteen times too long.
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cli/assembly.h"
#include "cli/commands/commands.h"
#include "cli/compiled_code_warning.h"
#include "cli/inputs.h"
#include "cli/progress.h"
#include "cli/segment_job.h"
#include "cli/state_dir.h"
#include "cli/utf8.h"
#include "timelock/calibration.h"
#include "timelock/ed25519.h"
#include "timelock/generation.h"
#include "timelock/pool.h"
#include "timelock/protocol.h"
#include "timelock/secret.h"
#include "timelock/stop_signals.h"

namespace zt::cli {

namespace {

constexpr std::string_view kLightCalibration =
    "the calibration report was measured in light mode; a full-mode puzzle needs a full-mode calibration "
    "(or generate with --mode light)";
constexpr std::string_view kStoppedMessage =
    "Stopped before the puzzle was finished; nothing was published and the work done was not kept";

// The iteration count: given, or taken from a calibration report.
Result<std::uint64_t> iteration_count(const GenerateArgs& args) {
    if (!args.iterations_from) return args.iterations;
    ZT_TRY_ASSIGN(const CalibrationReport report, read_calibration_file(*args.iterations_from));
    warn_without_compiled_code();
    if (report.mode == WorkMode::Light && args.mode != WorkMode::Light) return Error(std::string(kLightCalibration));
    return report.iterations_for_one_day;
}

// The plan kept in `dir`, or a new one drawn into it.
Result<GenerationPlan> open_state(const GenerateArgs& args, std::uint64_t iterations) {
    if (output_exists(in_dir(args.state, kPlanFileName))) {
        ZT_TRY_ASSIGN(GenerationPlan plan, read_plan_file(args.state));
        if (plan.epoch != args.epoch || plan.iterations != iterations) {
            return Error(std::string(kStateOfAnotherPuzzle));
        }
        return plan;
    }
    ZT_TRY(check_new_state_dir(args.state));
    ZT_TRY_ASSIGN(GenerationPlan plan, draw_plan(args.epoch, iterations));
    ZT_TRY(write_state(args.state, plan));
    return plan;
}

// Steps 5 to 8 with the work kept in args.state.
Result<void> generate_from_state(const GenerateArgs& args, std::uint64_t iterations, const Ed25519KeyPair& keys,
                                 ProgressLine& progress) {
    // 5a. The plan: drawn once, then always read back.
    ZT_TRY_ASSIGN(const GenerationPlan plan, open_state(args, iterations));
    const std::vector<SegmentTask> tasks = tasks_of(plan);

    // 5b. What an earlier run of this plan published; with both outputs
    // there, only the state is left to remove.
    ZT_TRY_ASSIGN(const Published published,
                  earlier_publication(plan, keys, args.manifest_out, args.epoch_key_out));
    if (published == Published::both) {
        ZT_TRY(print_published_id(args.manifest_out));
        return remove_state(args.state, args.state);
    }

    // 5c. Every segment as a resumable job, on the pool; a stop (also one
    // during the setup) saves each job's position. The steps earlier runs
    // kept show as done.
    std::uint64_t steps_kept = 0;
    for (const SegmentTask& task : tasks) {
        steps_kept += kept_steps(task, in_dir(args.state, result_file_name(task.segment)));
    }
    ResumedProgress resumed(progress, steps_kept);
    ZT_TRY_ASSIGN(const std::size_t threads, pool_threads());
    std::optional<StopSignals> signals(std::in_place);
    ZT_TRY_ASSIGN(const WorkEngine engine, WorkEngine::setup(plan.dataset_key, args.mode));
    const SegmentWork work = [&](RandomxVm& vm, std::uint32_t segment,
                                 std::atomic<std::uint64_t>& steps_done) -> Result<std::optional<Key32>> {
        const SegmentTask& task = tasks[segment];
        ZT_TRY_ASSIGN(SegmentJob job, SegmentJob::open(task, in_dir(args.state, result_file_name(segment))));
        if (job.done()) return std::optional<Key32>(job.done()->digest());
        const auto result = job.run(vm, WalkOptions{.stop = &StopSignals::flag(), .steps_done = &steps_done});
        if (!result) return result.error();
        if (!result->has_value()) return std::optional<Key32>();  // stopped, the position saved
        return std::optional<Key32>((*result)->digest());
    };
    auto worked = run_segment_pool(engine, tasks.size(), work, threads, &resumed,
                                   StopSignals::flag());
    progress.clear();
    ZT_TRY(worked);
    if (const int signal = StopSignals::flag().load(); signal != 0) {
        throw Interrupted(signal, "Stopped before the puzzle was finished; the work done is kept in " +
                                      utf8_lossy(args.state) + ": run the same command to resume");
    }
    signals.reset();

    // 5d. The results as assemble reads them, checked and assembled.
    ZT_TRY_ASSIGN(const std::vector<SegmentResult> results, read_results(tasks, args.state));
    ZT_TRY_ASSIGN(const GeneratedPuzzle puzzle,
                  verify_and_assemble(engine, plan, tasks, results, kDefaultVerifyFraction, keys));

    // 6-8. Published and printed as without a state.
    ZT_TRY(publish_puzzle(puzzle, args.manifest_out, args.epoch_key_out, published));

    // 9. Both outputs are durable: the state's secrets go.
    return remove_state(args.state, args.state);
}

}  // namespace

zt::Result<void> run_generate(const GenerateArgs& args) {
    // 1-2. Neither output may exist yet (checked again, atomically, when
    // publishing), unless an earlier run of the plan kept in --state
    // published it (step 5b).
    const bool state_has_plan = !args.state.empty() && output_exists(in_dir(args.state, kPlanFileName));
    if (!state_has_plan && (output_exists(args.manifest_out) || output_exists(args.epoch_key_out))) {
        return zt::Error(std::string(kOutputExists));
    }

    // 3. The signing key pair from the seed file (its buffer is wiped by the reader).
    ZT_TRY_ASSIGN(const Key32 seed, read_key_file(args.signing_key));
    const Ed25519KeyPair keys = ed25519_from_seed(seed);

    // 4. The iteration count, when it comes from a calibration report.
    ZT_TRY_ASSIGN(const std::uint64_t iterations, iteration_count(args));

    // 5. The puzzle; a live progress line on standard error when it is a
    // terminal, cleared before anything else is written there.
    auto progress = ProgressLine::for_stderr("generate", protocol::kGeneratedSegments, iterations);
    if (!args.state.empty()) return generate_from_state(args, iterations, keys, progress);
    auto generated = generate(args.epoch, iterations, keys, args.mode,
                              GenerateOptions{.observer = &progress, .stop_on_signals = true});
    progress.clear();
    if (!generated) return std::move(generated).error();
    if (const auto* stopped = std::get_if<GenerationStopped>(&generated.value())) {
        throw Interrupted(stopped->signal, std::string(kStoppedMessage));
    }
    const GeneratedPuzzle& puzzle = std::get<GeneratedPuzzle>(generated.value());

    // 6-8. The epoch key (owner-only) before the manifest (readable by all),
    // then the manifest id.
    ZT_TRY(publish_puzzle(puzzle, args.manifest_out, args.epoch_key_out));

    // 9. The epoch key, the seed and the key pair are wiped by their holders.
    return zt::success();
}

}  // namespace zt::cli
