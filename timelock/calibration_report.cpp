// The calibration report's JSON text.
#include <charconv>
#include <cmath>
#include <string>
#include <string_view>

#include "timelock/calibration.h"
#include "timelock/protocol.h"

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

}  // namespace

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
