// The calibrate command: check the limits (samples first), measure, and
// print the report as indented JSON followed by one newline. It writes no
// file; on failure nothing is printed on standard output.
#include "cli/commands/commands.h"
#include "cli/driver.h"
#include "timelock/calibration.h"

namespace zt::cli {

zt::Result<void> run_calibrate(const CalibrateArgs& args) {
    // 1-2. Samples within 1 .. 10^12, then workers within 1 .. 96.
    ZT_TRY(check_calibration_limits(args.samples, args.workers));
    // 3. The measurement; the engine is released before it returns.
    ZT_TRY_ASSIGN(const CalibrationReport report, calibrate(args.samples, args.workers, args.mode));
    // 4. The report and one newline.
    write_stdout(write_calibration_report(report) + "\n");
    return zt::success();
}

}  // namespace zt::cli
