// The calibration report's JSON text, written and read back.
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "timelock/base/protocol.h"
#include "timelock/formats/calibration_report.h"
#include "timelock/json/reader.h"

namespace zt {
namespace {

// The report as its JSON holds it, before the names are checked; null
// numbers stand for non-finite ones.
struct ReportDocument {
    std::string randomx;
    std::string algorithm;
    std::uint64_t samples = 0;
    std::optional<double> setup_seconds;
    std::optional<double> hash_seconds;
    std::optional<double> hashes_per_second;
    std::uint64_t workers = 0;
    std::vector<std::optional<double>> worker_seconds;
    std::optional<double> fastest_worker_hashes_per_second;
    std::optional<double> slowest_worker_hashes_per_second;
    std::uint64_t iterations_for_one_day = 0;
    std::string mode;
};

}  // namespace
}  // namespace zt

template <>
struct zt::json::Schema<zt::ReportDocument> {
    static constexpr std::string_view name = "CalibrationReport";
    static constexpr std::array fields{
        json::field<&ReportDocument::randomx>("randomx"),
        json::field<&ReportDocument::algorithm>("algorithm"),
        json::field<&ReportDocument::samples>("samples"),
        json::field<&ReportDocument::setup_seconds>("setup_seconds"),
        json::field<&ReportDocument::hash_seconds>("hash_seconds"),
        json::field<&ReportDocument::hashes_per_second>("hashes_per_second"),
        json::field<&ReportDocument::workers>("workers"),
        json::field<&ReportDocument::worker_seconds>("worker_seconds"),
        json::field<&ReportDocument::fastest_worker_hashes_per_second>("fastest_worker_hashes_per_second"),
        json::field<&ReportDocument::slowest_worker_hashes_per_second>("slowest_worker_hashes_per_second"),
        json::field<&ReportDocument::iterations_for_one_day>("iterations_for_one_day"),
        json::field<&ReportDocument::mode>("mode"),
    };
};

namespace zt {

namespace {

// Magnitudes written positionally; outside them an exponent keeps the text short.
constexpr double kSmallestPositional = 1e-5;
constexpr double kLargestPositional = 1e16;

// "1.5e+20" -> "1.5e20", "2.5e-07" -> "2.5e-7".
std::string tidy_exponent(std::string_view text) {
    const auto e = text.find('e');
    if (e == std::string_view::npos) return std::string(text);
    std::string out(text.substr(0, e + 1));
    std::string_view exponent = text.substr(e + 1);
    if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) {
        if (exponent[0] == '-') out.push_back('-');
        exponent.remove_prefix(1);
    }
    while (exponent.size() > 1 && exponent[0] == '0') exponent.remove_prefix(1);
    out.append(exponent);
    return out;
}

void add_member(std::string& out, const char* name, const std::string& value, bool last = false) {
    out += "  \"";
    out += name;
    out += "\": ";
    out += value;
    out += last ? "\n" : ",\n";
}

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    out.append(text);  // the report's strings are fixed ASCII names
    out.push_back('"');
    return out;
}

double or_nan(const std::optional<double>& value) {
    return value ? *value : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace

Result<CalibrationReport> read_calibration_report(std::string_view text) {
    ZT_TRY_ASSIGN(const ReportDocument document, json::parse<ReportDocument>(text));
    if (document.randomx != protocol::kRandomxRelease || document.algorithm != protocol::kRandomxAlgorithm) {
        return Error(std::string(kCalibrationReportForeign));
    }
    const std::optional<WorkMode> mode = work_mode_from_name(document.mode);
    if (!mode) return Error(std::string(kCalibrationReportMode));
    CalibrationReport report;
    report.samples = document.samples;
    report.setup_seconds = or_nan(document.setup_seconds);
    report.hash_seconds = or_nan(document.hash_seconds);
    report.hashes_per_second = or_nan(document.hashes_per_second);
    report.workers = document.workers;
    for (const auto& seconds : document.worker_seconds) report.worker_seconds.push_back(or_nan(seconds));
    report.fastest_worker_hashes_per_second = or_nan(document.fastest_worker_hashes_per_second);
    report.slowest_worker_hashes_per_second = or_nan(document.slowest_worker_hashes_per_second);
    report.iterations_for_one_day = document.iterations_for_one_day;
    report.mode = *mode;
    return report;
}

std::string format_report_number(double value) {
    if (!std::isfinite(value)) return "null";
    char buf[64];
    const double magnitude = std::fabs(value);
    const bool positional = magnitude == 0.0 || (magnitude >= kSmallestPositional && magnitude < kLargestPositional);
    // Without a precision, to_chars writes the shortest digits that read
    // back as the same double.
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value,
                                         positional ? std::chars_format::fixed : std::chars_format::scientific);
    const std::string_view written(buf, static_cast<std::size_t>((ec == std::errc() ? end : buf) - buf));
    if (!positional) return tidy_exponent(written);
    std::string text(written);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
}

std::string write_calibration_report(const CalibrationReport& r) {
    std::string out = "{\n";
    add_member(out, "randomx", quoted(protocol::kRandomxRelease));
    add_member(out, "algorithm", quoted(protocol::kRandomxAlgorithm));
    add_member(out, "samples", std::to_string(r.samples));
    add_member(out, "setup_seconds", format_report_number(r.setup_seconds));
    add_member(out, "hash_seconds", format_report_number(r.hash_seconds));
    add_member(out, "hashes_per_second", format_report_number(r.hashes_per_second));
    add_member(out, "workers", std::to_string(r.workers));
    std::string seconds = "[";
    for (std::size_t i = 0; i < r.worker_seconds.size(); ++i) {
        seconds.append(i == 0 ? "\n    " : ",\n    ");
        seconds += format_report_number(r.worker_seconds[i]);
    }
    seconds += r.worker_seconds.empty() ? "]" : "\n  ]";
    add_member(out, "worker_seconds", seconds);
    add_member(out, "fastest_worker_hashes_per_second", format_report_number(r.fastest_worker_hashes_per_second));
    add_member(out, "slowest_worker_hashes_per_second", format_report_number(r.slowest_worker_hashes_per_second));
    add_member(out, "iterations_for_one_day", std::to_string(r.iterations_for_one_day));
    add_member(out, "mode", quoted(work_mode_name(r.mode)), /*last=*/true);
    out += "}";
    return out;
}

}  // namespace zt
