// The verify command: does this signed manifest come from the pinned
// service? Exit 0 and a description of the puzzle when it verifies; exit 1
// with the error report (why not) when it does not. Given a rate or a
// calibration report, the description includes the expected solve time.
// The description is lines of text, or with --json one JSON object; with
// --quiet nothing is printed at all, and a manifest that does not verify
// ends with status 1 and no report (one that cannot be read still has one).
// Reads only; "-" reads the manifest from standard input.
#include <string>

#include "cli/commands/commands.h"
#include "cli/console.h"
#include "cli/driver.h"
#include "cli/reporting.h"
#include "cli/terminal/puzzle_status.h"
#include "timelock/formats/manifest_signing.h"

namespace zt::cli {

zt::Result<void> run_verify(const VerifyArgs& args) {
    // 1. The manifest and the pin.
    ZT_TRY_ASSIGN(const SignedManifest manifest, read_manifest_input(args.manifest, Stream::allowed));
    ZT_TRY_ASSIGN(const Bytes32 pin, parse_named_pin(args.service_public_key));

    // 2. The verdict; a failure is the command's failure.
    if (auto verified = verify_manifest(manifest, pin); !verified) {
        if (args.quiet) return told_by_exit_status();
        return std::move(verified).error().context(
            "--manifest does not verify against --service-public-key: do not solve or trust this puzzle");
    }

    // 3. What it is, and at a known rate how long it takes to open.
    ZT_TRY_ASSIGN(PuzzleStatus status, puzzle_status_of(manifest));
    status.verified = true;
    if (args.rate) {
        status.rate = *args.rate;
        status.rate_source = "given";
    } else if (args.calibration) {
        ZT_TRY_ASSIGN(const CalibrationReport report, read_calibration_input("--calibration", *args.calibration));
        status.rate = report.fastest_worker_hashes_per_second;
        status.rate_source = calibration_rate_source(report);
    }
    if (!args.quiet) write_stdout(args.json ? format_verify_json(status) : format_verify_text(status));
    return zt::success();
}

}  // namespace zt::cli
