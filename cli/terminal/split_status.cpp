#include "cli/terminal/split_status.h"

#include <algorithm>
#include <cstdio>

#include "cli/reporting.h"
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

// "done", "not started", "step 150 of 1000 (15.0%)".
std::string segment_state_text(const SegmentState& segment, std::uint64_t iterations) {
    if (segment.done) return "done";
    if (segment.steps_kept == 0) return "not started";
    char percent[32];
    std::snprintf(percent, sizeof percent, " (%.1f%%)",
                  100.0 * static_cast<double>(segment.steps_kept) / static_cast<double>(iterations));
    return "step " + std::to_string(segment.steps_kept) + " of " + std::to_string(iterations) + percent;
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

Result<SplitStatus> read_split_status(const PathArg& state_dir, const std::optional<PathArg>& results_dir) {
    constexpr std::string_view kState = "the state directory plan wrote, or a copy of its task files";
    SplitStatus status;
    ZT_TRY_ASSIGN(const file_io::Dir tasks, open_directory_input("--state", state_dir, kState));
    constexpr std::string_view kResults = "the directory the workers wrote their results to";
    ZT_TRY_ASSIGN(const file_io::Dir results, results_dir ? open_directory_input("--results", *results_dir, kResults)
                                                          : open_directory_input("--state", state_dir, kState));
    for (std::uint32_t segment = 0; segment < protocol::kGeneratedSegments; ++segment) {
        const std::string name = task_file_name(segment);
        if (const auto there = file_io::stat_at(tasks, name); there && !*there) {
            return Error(about_file("--state", state_dir, "holds no " + name, "give " + std::string(kState)));
        }
        ZT_TRY_ASSIGN(const SegmentTask task, read_task_input("--state", in_dir(state_dir, name)));
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
    // Runs of segments that read the same, counted from 1.
    for (std::size_t first = 0; first < s.segments.size();) {
        const std::string state = segment_state_text(s.segments[first], s.iterations);
        std::size_t last = first;
        while (last + 1 < s.segments.size() && segment_state_text(s.segments[last + 1], s.iterations) == state) ++last;
        out += last == first ? "segment " + std::to_string(first + 1)
                             : "segments " + std::to_string(first + 1) + "-" + std::to_string(last + 1);
        out += ": " + state + "\n";
        first = last + 1;
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
