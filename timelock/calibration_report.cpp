// The calibration report's JSON text.
#include <charconv>
#include <cmath>
#include <string>

#include "timelock/calibration.h"
#include "timelock/protocol.h"

namespace zt {

namespace {

// Magnitudes written positionally; outside them an exponent keeps the text short.
constexpr double kSmallestPositional = 1e-5;
constexpr double kLargestPositional = 1e16;

// "1.5e+20" -> "1.5e20", "2.5e-07" -> "2.5e-7".
std::string tidy_exponent(std::string text) {
    const auto e = text.find('e');
    if (e == std::string::npos) return text;
    std::string mantissa = text.substr(0, e);
    std::string exponent = text.substr(e + 1);
    std::string sign;
    if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) {
        if (exponent[0] == '-') sign = "-";
        exponent.erase(0, 1);
    }
    const auto digit = exponent.find_first_not_of('0');
    exponent = digit == std::string::npos ? "0" : exponent.substr(digit);
    return mantissa + "e" + sign + exponent;
}

void add_member(std::string& out, const char* name, const std::string& value, bool last = false) {
    out += "  \"";
    out += name;
    out += "\": ";
    out += value;
    out += last ? "\n" : ",\n";
}

std::string quoted(std::string_view text) {
    std::string out = "\"";
    out += text;  // the report's strings are fixed ASCII names
    out += '"';
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
    std::string text(buf, ec == std::errc() ? end : buf);
    if (!positional) return tidy_exponent(std::move(text));
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
        seconds += i == 0 ? "\n    " : ",\n    ";
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
