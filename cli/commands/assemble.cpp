// The assemble command: from the plan in STATE and the 96 results in
// RESULTS, check that every result is there and belongs to the plan,
// recompute a random sample of their intervals (a result whose recomputed
// state differs is refused, naming its segment), then wrap, sign and publish
// exactly as generate does: the epoch key (0600), the manifest (0644), the
// manifest id on standard output. Only after both outputs are durable are
// the state's secret files (plan, tasks, results, progress files) wiped and
// removed; until then a failed run can simply be run again. A run stopped
// between publishing and removing is finished by running it again: outputs
// that are this plan's are kept, the rest is done (assembly.h). SIGUSR1 asks
// for one status line on standard error (the set-up, then the verification,
// with the time spent) and the run goes on. The state directory is locked
// for the whole run: a second plan, generate --state or assemble on it fails
// at once.
#include <unistd.h>

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands/commands.h"
#include "cli/console.h"
#include "cli/reporting.h"
#include "cli/terminal/poller.h"
#include "cli/terminal/progress.h"
#include "cli/split_outputs.h"
#include "cli/terminal/status_request.h"
#include "timelock/base/publish.h"
#include "timelock/ed25519/ed25519.h"
#include "timelock/formats/generation_plan.h"
#include "timelock/formats/input_files.h"
#include "timelock/split/assembly.h"
#include "timelock/split/state_dir.h"
#include "timelock/work/engine.h"

namespace zt::cli {

zt::Result<void> run_assemble(const AssembleArgs& args) {
    const StatusRequests status_requests;  // SIGUSR1: a status line, and go on
    // 1-2. Both outputs can be published, and are two files; neither may
    // exist yet, unless an earlier run of this plan published it (step 6;
    // checked again, atomically, when publishing).
    ZT_TRY_ASSIGN(const PuzzleOutputs outputs, open_puzzle_outputs(args.manifest_out, args.epoch_key_out));
    if (!output_exists(in_dir(args.state, kPlanFileName))) {
        ZT_TRY(check_free(outputs.manifest));
        ZT_TRY(check_free(outputs.epoch_key));
    }

    // 3. Some checking, but never a full redo unless asked for.
    const VerifyOptions verify{.fraction = args.verify_fraction, .all = args.verify_all};
    if (!args.verify_all && !(args.verify_fraction > 0.0 && args.verify_fraction <= 1.0)) {
        return zt::Error(std::string(kBadVerifyFraction));
    }

    // 4. The state, locked for this run, its plan and tasks (every secret of
    // the puzzle; they wipe themselves), and the results directory.
    ZT_TRY_ASSIGN(const StateDir state, StateDir::open(args.state, /*create=*/false));
    ZT_TRY_ASSIGN(const file_io::Dir results_dir,
                  open_directory_input("--results", args.results, "the directory the workers wrote their results to"));
    ZT_TRY_ASSIGN(const bool removing, plan_wiped(state));
    if (removing) return finish_published(outputs, state, results_dir);  // ended while removing the state
    auto read_plan = read_plan_file(state.dir());
    if (!read_plan) {
        return input_error("--state", in_dir(args.state, kPlanFileName), expected::plan, read_plan.error());
    }
    const GenerationPlan& plan = *read_plan;
    const std::vector<SegmentTask> tasks = tasks_of(plan);

    // 5. The signing key pair.
    ZT_TRY_ASSIGN(const Key32 seed,
                  read_key_input("--signing-key", args.signing_key, expected::signing_key, Stream::no));
    const Ed25519KeyPair keys = ed25519_from_seed(seed);

    // 6. What an earlier run published; with both outputs there, only the
    // state is left to remove.
    ZT_TRY_ASSIGN(const Published published,
                  earlier_publication(plan, keys, outputs.manifest, outputs.epoch_key, ExistingWording::named));
    if (published == Published::both) return finish_published(outputs, state, results_dir);

    // 7. All 96 results, each of this plan and its segment; no output may
    // name a state file, and everything of ours removed after publishing
    // must be removable, so that nothing is published that cannot be
    // finished; another user's entries under state names are named and left.
    ZT_TRY(check_outputs_apart(std::array<const OutputTarget*, 2>{&outputs.manifest, &outputs.epoch_key}, state,
                               results_dir));
    ZT_TRY_ASSIGN(const std::vector<SegmentResult> results, results_to_assemble(tasks, state, results_dir));
    ZT_TRY_ASSIGN(const Outcomes outcomes, outcomes_to_take(plan, tasks, results, results_dir, verify));

    // 8. Every result's first and last interval and a sample (or all) of the
    // rest recomputed, then wraps and signature; the engine goes before
    // anything is published.
    ZT_TRY_ASSIGN(const VerifiedPuzzle verified, [&]() -> Result<VerifiedPuzzle> {
        StatusLine line(STDERR_FILENO, StatusLine::style_for(STDERR_FILENO));
        std::optional<SetupWatch> setup(std::in_place, line, "assemble", args.mode);
        ZT_TRY_ASSIGN(const WorkEngine engine, WorkEngine::setup(plan.dataset_key, args.mode));
        setup.reset();
        const double fraction = args.verify_all ? 1.0 : args.verify_fraction;
        StatusWatch watch(line, [&](double elapsed) {
            return format_verifying_status("assemble", fraction, results.size(), elapsed);
        });
        auto assembled = verify_and_assemble(engine, plan, tasks, results, verify, outcomes, keys);
        watch.stop();
        line.clear();
        return assembled;
    }());

    // 9-11. The epoch key, the manifest and the manifest id, as generate;
    // then the state's secrets go.
    return publish_verified(verified, outputs, published, state, results_dir, Checker::assemble);
}

}  // namespace zt::cli
