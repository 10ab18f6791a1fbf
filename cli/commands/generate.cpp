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
// iterations_for_one_day, or what makes a segment last --segment-time
// (cli/iteration_choice.h); what that means on the measured machine is said
// on standard error first.
//
// SIGUSR1 asks for one status line on standard error at any time, the
// RandomX set-up and (with --state) the verification of the results
// included, and the run goes on.
#include <unistd.h>

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cli/commands/commands.h"
#include "cli/console.h"
#include "cli/iteration_choice.h"
#include "cli/terminal/poller.h"
#include "cli/terminal/progress.h"
#include "cli/split_outputs.h"
#include "cli/terminal/status_request.h"
#include "timelock/base/protocol.h"
#include "timelock/base/publish.h"
#include "timelock/base/secret.h"
#include "timelock/base/stop_signals.h"
#include "timelock/base/utf8.h"
#include "timelock/ed25519/ed25519.h"
#include "timelock/formats/input_files.h"
#include "timelock/split/assembly.h"
#include "timelock/split/local_generation.h"
#include "timelock/split/state_dir.h"
#include "timelock/work/calibration.h"
#include "timelock/work/generation.h"
#include "timelock/work/pool.h"

namespace zt::cli {

namespace {

constexpr std::string_view kStoppedMessage =
    "Stopped before the puzzle was finished; nothing was published and the work done was not kept";

// The set-up time a report of the same mode measured; 0 (unknown) otherwise.
double expected_setup(const IterationChoice& choice, WorkMode mode) {
    return choice.rate && choice.report_mode == mode ? choice.setup_seconds : 0.0;
}

// Steps 5 to 8 with the work kept in `state_path` (--state).
Result<void> generate_from_state(const GenerateArgs& args, const PuzzleOutputs& outputs, const std::string& state_path,
                                 const IterationChoice& choice, const Ed25519KeyPair& keys, ProgressLine& progress) {
    const std::uint64_t iterations = choice.iterations;
    // 5a. The state, locked for this run (made if missing); no output may
    // name one of its files; the plan: drawn once, then always read back.
    ZT_TRY_ASSIGN(const StateDir state, StateDir::open(state_path, /*create=*/true));
    const file_io::Dir& dir = state.dir();
    ZT_TRY_ASSIGN(const bool removing, plan_wiped(state));
    if (removing) return finish_published(outputs, state, dir);  // ended while removing the state
    ZT_TRY(check_outputs_apart(std::array<const OutputTarget*, 2>{&outputs.manifest, &outputs.epoch_key}, state, dir));
    ZT_TRY_ASSIGN(const GenerationPlan plan, open_or_draw_plan(state, args.epoch, iterations));
    const std::vector<SegmentTask> tasks = tasks_of(plan);

    // 5b. What an earlier run of this plan published; with both outputs
    // there, only the state is left to remove.
    ZT_TRY_ASSIGN(const Published published, earlier_publication(plan, keys, outputs.manifest, outputs.epoch_key,
                                                                 ExistingWording::generate));
    if (published == Published::both) return finish_published(outputs, state, dir);

    // 5c. Every segment as a resumable job, on the pool; a stop saves each
    // job's position (one during the set-up ends it, the progress kept as it
    // is). The steps earlier runs kept show as done.
    ResumedProgress resumed(progress, kept_steps_in(tasks, dir));
    ZT_TRY_ASSIGN(const std::size_t threads, pool_threads());
    std::optional<StopSignals> signals(std::in_place);
    progress.begin_setup(args.mode, expected_setup(choice, args.mode));
    ZT_TRY_ASSIGN(const std::optional<WorkEngine> engine,
                  WorkEngine::setup_unless_stopped(plan.dataset_key, args.mode, StopSignals::flag()));
    auto worked =
        engine ? work_segments(*engine, tasks, dir, threads, &resumed, StopSignals::flag()) : Result<bool>(false);
    progress.clear();
    ZT_TRY_ASSIGN(const bool finished, std::move(worked));
    if (!finished) {
        throw Interrupted(StopSignals::flag().load(), "Stopped before the puzzle was finished; the work done is kept in " +
                                                          utf8_lossy(state_path) + ": run the same command to resume");
    }
    signals.reset();

    // 5d. The results as assemble reads them, checked and assembled; the
    // state must be removable once the puzzle is published (another user's
    // entries are named and left).
    ZT_TRY_ASSIGN(const std::vector<SegmentResult> results, results_to_assemble(tasks, state, dir));
    ZT_TRY_ASSIGN(const Outcomes outcomes, outcomes_to_take(plan, tasks, results, dir, VerifyOptions{}));
    ZT_TRY_ASSIGN(const VerifiedPuzzle verified, [&] {
        // Hours for long segments: shown at a terminal, and SIGUSR1 answered.
        StatusLine line(STDERR_FILENO, StatusLine::style_for(STDERR_FILENO));
        const StatusWatch watch(line, [&](double elapsed) {
            return format_verifying_status("generate", kDefaultVerifyFraction, results.size(), elapsed);
        });
        return verify_and_assemble(*engine, plan, tasks, results, VerifyOptions{}, outcomes, keys);
    }());

    // 6-9. Published and printed as without a state; then the state's
    // secrets go.
    return publish_verified(verified, outputs, published, state, dir, Checker::generate);
}

}  // namespace

zt::Result<void> run_generate(const GenerateArgs& args) {
    // SIGUSR1 never ends a generation; the progress line answers it.
    const StatusRequests status_requests;

    // 1-2. Neither output may exist yet (checked again, atomically, when
    // publishing), unless an earlier run of the plan kept in --state
    // published it (step 5b).
    // An empty --state would silently keep nothing: refused, like an empty output.
    if (args.state && args.state->empty()) return zt::Error("--state is empty; give the directory that keeps the work");
    const bool state_has_plan = args.state && output_exists(in_dir(*args.state, kPlanFileName));
    if (!state_has_plan && (output_exists(args.manifest_out) || output_exists(args.epoch_key_out))) {
        return zt::Error(std::string(kOutputExists));
    }
    ZT_TRY_ASSIGN(const PuzzleOutputs outputs, open_puzzle_outputs(args.manifest_out, args.epoch_key_out));

    // 3. The signing key pair from the seed file (its buffer is wiped by the reader).
    ZT_TRY_ASSIGN(const Key32 seed, read_key_file(args.signing_key));
    const Ed25519KeyPair keys = ed25519_from_seed(seed);

    // 4. The iteration count, when it comes from a calibration report, and
    // what it means on the machine the report measured.
    ZT_TRY_ASSIGN(const IterationChoice choice,
                  choose_iterations(args.iterations, args.iterations_from, args.segment_time, args.solver_speedup,
                                    args.mode));
    const std::uint64_t iterations = choice.iterations;
    write_stderr(format_opening_summary("generate", choice, protocol::kGeneratedSegments));

    // 5. The puzzle; a live progress line on standard error when it is a
    // terminal, cleared before anything else is written there.
    auto progress = ProgressLine::for_stderr("generate", protocol::kGeneratedSegments, iterations);
    if (args.state) return generate_from_state(args, outputs, *args.state, choice, keys, progress);
    progress.begin_setup(args.mode, expected_setup(choice, args.mode));
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
    ZT_TRY_ASSIGN(const std::string id, publish_puzzle(puzzle, outputs.manifest, outputs.epoch_key));
    write_stdout(id + "\n");

    // 9. The epoch key, the seed and the key pair are wiped by their holders.
    return zt::success();
}

}  // namespace zt::cli
