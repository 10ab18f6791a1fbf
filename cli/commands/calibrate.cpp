// The calibrate command: check the limits (samples first), measure, and
// print the report as indented JSON followed by one newline. It writes no
// file; on failure nothing is printed on standard output. When standard
// error is a terminal, a progress line is shown there during the setup and
// the sampling, and a summary (the --iterations value, what generate and
// solve would take here, what the figure was measured on and the margin a
// faster solver has) after the report. With --segment-time the user
// asked for a figure the report does not hold, so the summary is written
// whatever standard error is (plain lines). SIGUSR1 asks for one status
// line on standard error and the measurement goes on.
#include <cstddef>
#include <utility>

#include "cli/terminal/calibrate_progress.h"
#include "cli/commands/commands.h"
#include "cli/compiled_code_warning.h"
#include "cli/console.h"
#include "cli/terminal/status_request.h"
#include "timelock/work/calibration.h"
#include "timelock/work/pool.h"

namespace zt::cli {

zt::Result<void> run_calibrate(const CalibrateArgs& args) {
    const StatusRequests status_requests;  // SIGUSR1: a status line, and go on
    // 1-2. Samples within 1 .. 10^12, then workers within 1 .. 96.
    ZT_TRY(check_calibration_limits(args.samples, args.workers));
    // 3. The measurement; the engine is released before it returns. The
    // progress line is cleared before anything else is written.
    CalibrateProgress progress = CalibrateProgress::for_stderr();
    CalibrationConditions conditions;
    auto measured = calibrate(args.samples, args.workers, args.mode, &progress, &conditions);
    progress.clear();
    ZT_TRY_ASSIGN(const CalibrationReport report, std::move(measured));
    // 4. The report and one newline.
    write_stdout(write_calibration_report(report) + "\n");
    // 5. What the figures mean for generate and solve: at a terminal, or
    // wherever standard error goes when a segment length was asked for.
    if (progress.enabled() || args.segment_time) {
        // As many threads as generate would start here (one per segment at most).
        const auto threads = pool_threads();
        progress.print(format_calibration_summary(report, threads ? threads.value() : 1, args.segment_time) +
                       format_measured_on(conditions, hashes_compiled(), report.mode) +
                       compiled_code_summary_warning());
    }
    return zt::success();
}

}  // namespace zt::cli
