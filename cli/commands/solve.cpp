// The solve command: check the key output, read the manifest and the last
// checkpoint, open the log, decode the pin, solve, publish the epoch key
// (0600, 64 lowercase hex digits, no newline) and print
// "Verified epoch {epoch} key commitment".
//
// The log is opened before the pin is decoded, so even a run that fails on
// a malformed pin has created the log (or added one line feed to it). The
// open log is locked for the whole run: a second solve on the same log fails
// at step 4 and writes nothing to it. A run
// stopped by SIGINT, SIGTERM or SIGHUP, in the walk or during the engine
// setup, has saved its position in the log; it
// publishes nothing and ends with zt::Interrupted. From the start, SIGUSR1
// asks for one status line on standard error and the run goes on.
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "cli/commands/commands.h"
#include "cli/console.h"
#include "cli/terminal/solve_progress.h"
#include "cli/terminal/status_request.h"
#include "timelock/base/publish.h"
#include "timelock/formats/checkpoint.h"
#include "timelock/formats/input_files.h"
#include "timelock/formats/manifest.h"
#include "timelock/work/solver.h"

namespace zt::cli {
namespace {

constexpr std::string_view kKeyOutputExists = "key output already exists";

// Where a stopped run stands, in the words of someone watching it (segments
// counted from 1, as in the unwrap failure message).
std::string stopped_message(const SolveStopped& stopped, const Manifest& puzzle) {
    return "Stopped at segment " + std::to_string(std::uint64_t{stopped.segment} + 1) + " of " +
           std::to_string(puzzle.segments) + ", step " + std::to_string(stopped.iteration) + " of " +
           std::to_string(puzzle.iterations) + "; run the same command to resume";
}

}  // namespace

zt::Result<void> run_solve(const SolveArgs& args) {
    // SIGUSR1 never ends a solve; the walk answers it (cli/terminal/status_request.h).
    const StatusRequests status_requests;
    // 1. Before anything is read: a long run must not end unable to publish.
    if (output_exists(args.key_out)) return Error(std::string(kKeyOutputExists));
    ZT_TRY_ASSIGN(const OutputTarget key_out, OutputTarget::open("--key-out", args.key_out));
    // 2.
    ZT_TRY_ASSIGN(const SignedManifest manifest, read_manifest_file(args.manifest));
    const Manifest& puzzle = manifest.puzzle;
    // 3. Parsed only; the solver's acceptance judges it.
    ZT_TRY_ASSIGN(const std::optional<Checkpoint> resume, load_latest_checkpoint(args.checkpoint));
    // 4. Locked while it is open; another solve holding it is an error.
    ZT_TRY_ASSIGN(file_io::Fd log, open_checkpoint_log(args.checkpoint));
    // 5.
    ZT_TRY_ASSIGN(const Bytes32 pin, parse_pin(args.service_public_key));
    // 6. The status line (on a terminal only) is cleared when `progress`
    // goes, before the driver writes any report.
    SolveProgress progress = SolveProgress::for_stderr(puzzle.segments, puzzle.iterations);
    ZT_TRY_ASSIGN(const SolveOutcome outcome,
                  solve(manifest, pin, args.mode, resume, args.checkpoint_interval, log.get(),
                        SolveOptions{.stop_on_signals = true, .observer = &progress}));
    progress.clear();
    if (const auto* stopped = std::get_if<SolveStopped>(&outcome)) {
        log.reset();
        throw Interrupted(stopped->signal, stopped_message(*stopped, puzzle));
    }
    const Key32& epoch_key = std::get<Key32>(outcome);
    // 7.
    ZT_TRY(publish_key_file(key_out, epoch_key));
    // 8.
    write_stdout("Verified epoch " + std::to_string(puzzle.epoch) + " key commitment\n");
    // 9. The key is wiped by its holder; the log is closed.
    log.reset();
    return zt::success();
}

}  // namespace zt::cli
