#include "cli/terminal/split_status.h"

#include <algorithm>
#include <cstdio>

#include "cli/named_inputs.h"
#include "cli/terminal/progress.h"
#include "timelock/formats/calibration_report.h"
#include "timelock/base/protocol.h"
#include "timelock/base/utf8.h"
#include "timelock/formats/input_files.h"
#include "timelock/split/segment_job.h"
#include "timelock/split/state_dir.h"
#include "timelock/base/wording.h"

namespace zt::cli {
namespace {

std::optional<double> seconds_for(const SplitStatus& s, std::uint64_t steps) {
    if (!s.rate || !(*s.rate > 0.0)) return std::nullopt;
    return static_cast<double>(steps) / *s.rate;
}

std::string json_seconds(const std::optional<double>& seconds) {
    return seconds ? format_report_number(*seconds) : "null";
}

}  // namespace

std::size_t SplitStatus::segments_done() const {
    return static_cast<std::size_t>(std::count_if(segments.begin(), segments.end(), [](const SegmentState& s) { return s.done; }));
}

std::uint64_t SplitStatus::steps_left() const {
    std::uint64_t left = 0;
    for (const SegmentState& s : segments) left += s.done ? 0 : iterations - std::min(s.steps_kept, iterations);
    return left;
}

std::uint64_t SplitStatus::longest_steps_left() const {
    std::uint64_t longest = 0;
    for (const SegmentState& s : segments) {
        if (!s.done) longest = std::max(longest, iterations - std::min(s.steps_kept, iterations));
    }
    return longest;
}

Result<SplitStatus> read_split_status(const std::string& state_dir, const std::string& results_dir) {
    SplitStatus status;
    ZT_TRY_ASSIGN(const file_io::Dir results, open_results_directory(results_dir));
    for (std::uint32_t segment = 0; segment < protocol::kGeneratedSegments; ++segment) {
        ZT_TRY_ASSIGN(const SegmentTask task, read_task_file(in_dir(state_dir, task_file_name(segment))));
        if (segment == 0) {
            status.plan_id = task.plan_id;
            status.epoch = task.epoch;
            status.iterations = task.iterations;
        } else if (task.plan_id != status.plan_id) {
            return Error(utf8_lossy(in_dir(state_dir, task_file_name(segment))) + " is a task of another plan than " +
                         task_file_name(0) + "; give the directory of one plan's task files");
        }
        const std::string result = result_file_name(segment);
        SegmentState state;
        const auto there = file_io::stat_at(results, result);
        state.done = there && *there;
        state.steps_kept = kept_steps(task, results, result);
        status.segments.push_back(state);
    }
    return status;
}

std::string format_split_status_text(const SplitStatus& s) {
    std::string out = "plan id:       " + s.plan_id + "\n";
    out += "epoch:         " + std::to_string(s.epoch) + "\n";
    out += "iterations:    " + counted(s.iterations, "step") + " per segment\n";
    out += "segments done: " + std::to_string(s.segments_done()) + " of " + std::to_string(s.segments.size()) + "\n";
    if (const auto parallel = seconds_for(s, s.longest_steps_left())) {
        const auto serial = seconds_for(s, s.steps_left());
        out += "time left:     " + format_estimate(*parallel) + " with every segment at once, " +
               format_estimate(*serial) + " on one thread, at " + format_rate(*s.rate) + " H/s (" + s.rate_source +
               ")\n";
    } else {
        out += "time left:     unknown (give --rate or --calibration)\n";
    }
    for (std::size_t i = 0; i < s.segments.size(); ++i) {
        const SegmentState& seg = s.segments[i];
        out += "segment " + std::to_string(i + 1) + ": ";
        if (seg.done) {
            out += "done\n";
        } else if (seg.steps_kept == 0) {
            out += "not started\n";
        } else {
            char percent[32];
            std::snprintf(percent, sizeof percent, " (%.1f%%)",
                          100.0 * static_cast<double>(seg.steps_kept) / static_cast<double>(s.iterations));
            out += "step " + std::to_string(seg.steps_kept) + " of " + std::to_string(s.iterations) + percent + "\n";
        }
    }
    return out;
}

std::string format_split_status_json(const SplitStatus& s) {
    std::string out = "{\"plan_id\":\"" + s.plan_id + "\"";
    out += ",\"epoch\":" + std::to_string(s.epoch);
    out += ",\"iterations\":" + std::to_string(s.iterations);
    out += ",\"segments_done\":" + std::to_string(s.segments_done());
    out += ",\"segments_total\":" + std::to_string(s.segments.size());
    out += ",\"steps_left\":" + std::to_string(s.steps_left());
    out += ",\"rate\":" + json_seconds(s.rate);
    out += ",\"seconds_left_parallel\":" + json_seconds(seconds_for(s, s.longest_steps_left()));
    out += ",\"seconds_left_serial\":" + json_seconds(seconds_for(s, s.steps_left()));
    out += ",\"segments\":[";
    for (std::size_t i = 0; i < s.segments.size(); ++i) {
        out += i == 0 ? "{" : ",{";
        out += "\"segment\":" + std::to_string(i + 1);
        out += std::string(",\"done\":") + (s.segments[i].done ? "true" : "false");
        out += ",\"steps\":" + std::to_string(s.segments[i].steps_kept) + "}";
    }
    out += "]}\n";
    return out;
}

}  // namespace zt::cli
