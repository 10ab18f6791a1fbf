#include "cli/terminal/puzzle_status.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include "cli/terminal/progress.h"
#include "timelock/formats/manifest_signing.h"
#include "timelock/json/text.h"
#include "timelock/work/calibration.h"
#include "timelock/base/wording.h"

namespace zt::cli {
namespace {

// Past this the expected finish is not a date worth printing.
constexpr double kLongestForecastSeconds = 1e11;

std::string percent(double fraction) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f%%", 100.0 * fraction);
    return buf;
}

std::string json_number(const std::optional<double>& value) {
    return value ? format_report_number(*value) : "null";
}

const char* state_name(const PuzzleStatus& s) {
    if (s.key_matches && *s.key_matches) return "finished";
    if (!s.started) return "not_started";
    return s.work_done() ? "work_done" : "in_progress";
}

using Rows = std::vector<std::pair<std::string, std::string>>;

void add_puzzle_rows(Rows& rows, const PuzzleStatus& s) {
    rows.emplace_back("manifest id", s.manifest_id);
    rows.emplace_back("epoch", std::to_string(s.epoch));
    rows.emplace_back("segments", std::to_string(s.segments));
    rows.emplace_back("iterations", counted(s.iterations, "step") + " per segment");
    if (!s.verified) rows.emplace_back("verified", "not checked (no --service-public-key)");
    else if (*s.verified) rows.emplace_back("verified", "yes, signed by the pinned service key");
    else rows.emplace_back("verified", "NO: " + s.verification_error);
}

// "name:" and the value, the values aligned in one column.
std::string render(const Rows& rows) {
    std::size_t width = 0;
    for (const auto& row : rows) width = std::max(width, row.first.size());
    std::string out;
    for (const auto& [name, value] : rows) {
        out += name + ":" + std::string(width - name.size() + 1, ' ') + value + "\n";
    }
    return out;
}

}  // namespace

std::uint64_t PuzzleStatus::steps_total() const {
    // segments <= 96 and iterations <= 10^12 in any valid manifest: no overflow.
    return std::uint64_t{segments} * iterations;
}

std::uint64_t PuzzleStatus::steps_done() const {
    if (key_matches && *key_matches) return steps_total();
    if (!started) return 0;
    return std::uint64_t{segment} * iterations + iteration;
}

double PuzzleStatus::fraction_done() const {
    const std::uint64_t total = steps_total();
    return total == 0 ? 0.0 : static_cast<double>(steps_done()) / static_cast<double>(total);
}

std::optional<double> PuzzleStatus::seconds_left() const {
    if (!rate || !(*rate > 0.0) || !std::isfinite(*rate)) return std::nullopt;
    return static_cast<double>(steps_left()) / *rate;
}

std::optional<std::int64_t> PuzzleStatus::finish() const {
    const auto left = seconds_left();
    if (!left || *left > kLongestForecastSeconds) return std::nullopt;
    return now + static_cast<std::int64_t>(std::ceil(*left));
}

Result<PuzzleStatus> puzzle_status_of(const SignedManifest& manifest) {
    PuzzleStatus status;
    ZT_TRY_ASSIGN(status.manifest_id, manifest_id(manifest));
    status.epoch = manifest.puzzle.epoch;
    status.segments = manifest.puzzle.segments;
    status.iterations = manifest.puzzle.iterations;
    return status;
}

std::string calibration_rate_source(const CalibrationReport& report) {
    return std::string(work_mode_name(report.mode)) + "-mode calibration";
}

std::string format_utc(std::int64_t seconds) {
    const auto t = static_cast<time_t>(seconds);
    struct tm parts {};
    if (gmtime_r(&t, &parts) == nullptr) return "--";
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return buf;
}

std::string format_verify_text(const PuzzleStatus& s) {
    Rows rows;
    rows.reserve(8);
    add_puzzle_rows(rows, s);
    if (const auto left = s.seconds_left()) {
        const double per_segment = static_cast<double>(s.iterations) / *s.rate;
        rows.emplace_back("solve time", format_estimate(*left) + " at " + format_rate(*s.rate) + " H/s (" +
                                            s.rate_source + "), " + format_about(per_segment) + " per segment");
    } else {
        rows.emplace_back("solve time", "unknown (give --rate or --calibration)");
    }
    return render(rows);
}

std::string format_status_text(const PuzzleStatus& s) {
    Rows rows;
    rows.reserve(12);  // every row at once (growing it trips a false -Wnull-dereference in GCC 12)
    add_puzzle_rows(rows, s);

    std::string position = "segment " + std::to_string(std::uint64_t{s.segment} + 1) + " of " +
                           std::to_string(s.segments) + ", step " + std::to_string(s.iteration) + " of " +
                           std::to_string(s.iterations);
    if (s.key_matches && *s.key_matches) position = "finished";
    else if (!s.started) position = "not started";
    else if (s.work_done()) position += " (all steps done)";
    rows.emplace_back("position", position);
    if (s.key_matches) {
        rows.emplace_back("finished", *s.key_matches ? "yes: the key output holds the puzzle's epoch key"
                                                     : "NO: the key output holds another key, not this puzzle's");
    } else if (s.work_done()) {
        rows.emplace_back("finished", "yes: the log holds the last step");
    }
    rows.emplace_back("done", percent(s.fraction_done()) + " (" + std::to_string(s.steps_done()) + " of " +
                                  counted(s.steps_total(), "step") + ")");
    rows.emplace_back("steps left", std::to_string(s.steps_left()));
    if (const auto left = s.seconds_left()) {
        rows.emplace_back("time left", format_estimate(*left) + " at " + format_rate(*s.rate) + " H/s (" +
                                           s.rate_source + ")");
        const auto finish = s.finish();
        rows.emplace_back("expected finish", finish ? format_utc(*finish) : "--");
    } else {
        rows.emplace_back("time left", "unknown (give --rate or --calibration)");
    }
    return render(rows);
}

std::string format_verify_json(const PuzzleStatus& s) {
    const auto left = s.seconds_left();
    std::optional<double> per_segment;
    if (left) per_segment = static_cast<double>(s.iterations) / s.rate.value_or(1.0);
    std::string out = "{";
    out += "\"manifest_id\":" + json::quoted(s.manifest_id);
    out += ",\"epoch\":" + std::to_string(s.epoch);
    out += ",\"segments\":" + std::to_string(s.segments);
    out += ",\"iterations\":" + std::to_string(s.iterations);
    out += std::string(",\"verified\":") + (s.verified && *s.verified ? "true" : "false");
    out += ",\"rate\":" + json_number(left ? s.rate : std::nullopt);
    out += ",\"rate_source\":" + (left ? json::quoted(s.rate_source) : std::string("null"));
    out += ",\"seconds_to_solve\":" + json_number(left);
    out += ",\"seconds_per_segment\":" + json_number(per_segment);
    out += "}\n";
    return out;
}

std::string format_status_json(const PuzzleStatus& s) {
    const auto finish = s.finish();
    std::string out = "{";
    out += "\"manifest_id\":" + json::quoted(s.manifest_id);
    out += ",\"epoch\":" + std::to_string(s.epoch);
    out += ",\"segments\":" + std::to_string(s.segments);
    out += ",\"iterations\":" + std::to_string(s.iterations);
    out += std::string(",\"verified\":") + (!s.verified ? "null" : *s.verified ? "true" : "false");
    out += ",\"verification_error\":" +
           (s.verified && !*s.verified ? json::quoted(s.verification_error) : std::string("null"));
    out += std::string(",\"state\":\"") + state_name(s) + "\"";
    out += ",\"segment\":" + std::to_string(std::uint64_t{s.segment} + 1);
    out += ",\"iteration\":" + std::to_string(s.iteration);
    out += ",\"steps_done\":" + std::to_string(s.steps_done());
    out += ",\"steps_total\":" + std::to_string(s.steps_total());
    out += ",\"steps_left\":" + std::to_string(s.steps_left());
    out += ",\"fraction_done\":" + format_report_number(s.fraction_done());
    out += ",\"rate\":" + json_number(s.seconds_left() ? s.rate : std::nullopt);
    out += ",\"seconds_left\":" + json_number(s.seconds_left());
    out += ",\"finish_utc\":" + (finish ? json::quoted(format_utc(*finish)) : std::string("null"));
    out += "}\n";
    return out;
}

}  // namespace zt::cli
