// What the status command tells about a solve: the puzzle, whether its
// manifest verified against the pin, the position of the last checkpoint,
// the share done and, given a rate, the time left and the expected finish.
//
// Positions are counted as the solve status line counts them: segment s of
// n from 1, step j of N the steps of that segment done. The log records the
// end of the last segment only when the checkpoint interval divides the
// iterations, so a finished solve may show a few steps left of its last
// segment; "work done" means the log holds the last segment's last step.
//
// Pure formatting over plain values: nothing here reads a file or a clock.
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "timelock/base/error.h"
#include "timelock/formats/calibration_report.h"
#include "timelock/formats/manifest.h"

namespace zt::cli {

struct PuzzleStatus {
    std::string manifest_id;
    std::uint64_t epoch = 0;
    std::uint32_t segments = 0;
    std::uint64_t iterations = 0;
    std::optional<bool> verified;        // none: no pin was given
    std::string verification_error;      // why not, when verified is false
    bool started = false;                // a checkpoint was found in the log
    std::uint32_t segment = 0;           // from 0
    std::uint64_t iteration = 0;         // steps of `segment` done
    std::optional<bool> key_matches;     // the key output is there: whether it is the puzzle's key
    std::optional<double> rate;          // hashes per second (finite, above 0)
    std::string rate_source;             // "given", "Full-mode calibration", ...
    std::int64_t now = 0;                // seconds since 1970-01-01 UTC

    std::uint64_t steps_total() const;
    std::uint64_t steps_done() const;
    std::uint64_t steps_left() const { return steps_total() - steps_done(); }
    double fraction_done() const;
    bool work_done() const { return steps_total() != 0 && steps_left() == 0; }
    // The key output holds the puzzle's key, or the log holds the last step.
    bool finished() const { return (key_matches && *key_matches) || (started && work_done()); }
    std::optional<double> seconds_left() const;
    // now + seconds_left rounded up; none without a rate (or past year 9999).
    std::optional<std::int64_t> finish() const;
};

// Lines of "name: value" text, ending with a line end.
std::string format_status_text(const PuzzleStatus& status);

// What verify prints about a verified manifest: the id, epoch, segments,
// iterations, "verified: yes, ..." and the expected solve time (from the
// start, at the rate) or how to get one; the rows and words of
// format_status_text.
std::string format_verify_text(const PuzzleStatus& status);

// What verify --json prints: one JSON object on one line with a line end,
// manifest_id, epoch, segments, iterations, verified (true), rate,
// rate_source, seconds_to_solve and seconds_per_segment (the last four null
// without a rate).
std::string format_verify_json(const PuzzleStatus& status);

// One JSON object on one line with a line end: manifest_id, epoch, segments,
// iterations, verified (true, false or null), verification_error (null
// unless false), state ("not_started", "in_progress", "work_done", or
// "finished" when the key output holds the puzzle's key), segment
// (from 1), iteration, steps_done, steps_total, steps_left, fraction_done,
// rate, seconds_left and finish_utc (null without a rate).
std::string format_status_json(const PuzzleStatus& status);

// A status of the puzzle `manifest` signs: its id, epoch, segments and
// iterations, nothing known yet of a solve.
Result<PuzzleStatus> puzzle_status_of(const SignedManifest& manifest);

// Where a rate from `report` came from: "Full-mode calibration", ...
std::string calibration_rate_source(const CalibrationReport& report);

// "2025-06-01T12:00:00Z" for seconds since 1970-01-01 UTC.
std::string format_utc(std::int64_t seconds);

}  // namespace zt::cli
