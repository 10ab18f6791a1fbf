// The status command: how far a solve has come, read from its manifest and
// the last checkpoint of its log, and with a rate how long it has left.
//
// It only reads: the log is never created, locked or written (a missing log
// means the solve has not started), so it is safe beside a running solve.
// A manifest that fails verification against a given pin is shown as not
// verified rather than refused; a log line that solve itself would refuse
// (another puzzle's, corrupted) ends the command with solve's error, and so
// does a file that holds no checkpoint line at all, only something else
// (another document given as --checkpoint; a log that is merely empty, or
// holds only lines a crash tore, is "not started"). Given
// the solve's key output, a key there that matches the manifest's
// commitment shows the solve as finished (the log alone cannot always tell:
// it records a segment's end only when the interval divides the
// iterations).
//
// With --state (and --results) it reports a split generation instead, per
// segment (cli/terminal/split_status.h).
#include <ctime>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "cli/commands/commands.h"
#include "cli/console.h"
#include "cli/reporting.h"
#include "cli/terminal/puzzle_status.h"
#include "cli/terminal/split_status.h"
#include "timelock/base/crypto.h"
#include "timelock/formats/checkpoint.h"
#include "timelock/formats/input_files.h"
#include "timelock/formats/manifest.h"
#include "timelock/formats/manifest_signing.h"

namespace zt::cli {

namespace {

// The rate, given or from a calibration report's fastest worker; none without either.
Result<std::pair<std::optional<double>, std::string>> status_rate(const StatusArgs& args) {
    if (args.rate) return std::pair<std::optional<double>, std::string>(*args.rate, "given");
    if (!args.calibration) return std::pair<std::optional<double>, std::string>(std::nullopt, "");
    ZT_TRY_ASSIGN(const CalibrationReport report, read_calibration_input("--calibration", *args.calibration));
    return std::pair<std::optional<double>, std::string>(report.fastest_worker_hashes_per_second,
                                                         calibration_rate_source(report));
}

Result<void> split_status(const StatusArgs& args) {
    ZT_TRY_ASSIGN(SplitStatus status, read_split_status(*args.state, args.results));
    ZT_TRY_ASSIGN(std::tie(status.rate, status.rate_source), status_rate(args));
    write_stdout(args.json ? format_split_status_json(status) : format_split_status_text(status));
    return zt::success();
}

}  // namespace

zt::Result<void> run_status(const StatusArgs& args) {
    if (args.state) return split_status(args);

    // 1. The signed manifest and its id.
    ZT_TRY_ASSIGN(const SignedManifest manifest, read_manifest_input(args.manifest, Stream::no));
    ZT_TRY_ASSIGN(PuzzleStatus status, puzzle_status_of(manifest));

    // 2. Verification against the pin, when one is given (a malformed pin is an error).
    if (args.service_public_key) {
        ZT_TRY_ASSIGN(const Bytes32 pin, parse_named_pin(*args.service_public_key));
        const Result<void> verified = verify_manifest(manifest, pin);
        status.verified = static_cast<bool>(verified);
        if (!verified) status.verification_error = verified.error().message();
    }

    // 3. The last checkpoint, judged as solve would judge it; read only.
    if (args.checkpoint) {
        const std::string& log = *args.checkpoint;
        auto latest = load_latest_checkpoint(log);
        if (!latest) return input_error("--checkpoint", log, expected::checkpoint_log, latest.error());
        if (*latest) {
            ZT_TRY(accept_checkpoint(**latest, manifest, status.manifest_id));
            status.started = true;
            status.segment = (*latest)->segment;
            status.iteration = (*latest)->iteration;
        } else {
            ZT_TRY_ASSIGN(const bool not_started, log_blank_or_torn(log));
            if (!not_started) {
                return wrong_document("--checkpoint", log, expected::checkpoint_log, "checkpoint line of this program");
            }
        }
    }

    // 4. The key output, when it is there: the solve's end.
    if (args.key_out && output_exists(*args.key_out)) {
        ZT_TRY_ASSIGN(const Key32 key, read_key_input("--key-out", *args.key_out, expected::solved_key, Stream::no));
        status.key_matches = key_commitment(key) == manifest.puzzle.key_commitment;
    }

    // 5. The rate, given or from a calibration report's fastest worker.
    ZT_TRY_ASSIGN(std::tie(status.rate, status.rate_source), status_rate(args));
    status.now = static_cast<std::int64_t>(std::time(nullptr));

    // 6. One JSON object or the text lines.
    write_stdout(args.json ? format_status_json(status) : format_status_text(status));
    return zt::success();
}

}  // namespace zt::cli
