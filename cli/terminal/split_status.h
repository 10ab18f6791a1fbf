// What `status --state DIR [--results DIR]` tells about a split generation
// (plan, work, assemble; or generate --state): per segment whether its
// result is there, or how far its progress file has come, and with a rate
// how long the rest takes when every unfinished segment runs at once (a
// cluster) and on one thread after another.
//
// Segments are counted from 1, as everywhere a person reads them.
//
// Thread safety: pure functions; read_split_status only reads files (the
// plan, results and progress files are never locked or written).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/parse/args.h"

#include "timelock/base/error.h"

namespace zt::cli {

struct SegmentState {
    bool done = false;              // its result file is there
    std::uint64_t steps_kept = 0;   // steps its progress file holds (all, when done)
};

struct SplitStatus {
    std::string plan_id;
    std::uint64_t epoch = 0;
    std::uint64_t iterations = 0;  // steps per segment
    std::vector<SegmentState> segments;
    std::optional<double> rate;    // hashes per second of one thread
    std::string rate_source;

    std::size_t segments_done() const;
    std::uint64_t steps_left() const;            // all segments together
    std::uint64_t longest_steps_left() const;    // the segment furthest from its end
};

// Reads the 96 task files in `state_dir` (--state: a state directory, or
// the copy of its task files that a cluster's workers read; the plan is not
// needed) and what each segment's result path in `results_dir` (--results;
// by default the state directory) shows. Errors name the option and the
// file (cli/reporting.h); task files of different plans.
Result<SplitStatus> read_split_status(const PathArg& state_dir, const std::optional<PathArg>& results_dir);

// "plan id:", "epoch:", "iterations:", "segments done:", the time left (or
// how to get one) and the segments, runs of them that read the same in one
// line: "segments 1-17: done", "segment 18: step 150 of 1000 (15.0%)",
// "segments 19-96: not started".
std::string format_split_status_text(const SplitStatus& status);

// One JSON object on one line: plan_id, epoch, iterations, segments_done,
// segments_total, steps_left, rate, seconds_left_parallel,
// seconds_left_serial (null without a rate) and segments, an array of
// {"segment":n (from 1),"done":bool,"steps":k}.
std::string format_split_status_json(const SplitStatus& status);

}  // namespace zt::cli
