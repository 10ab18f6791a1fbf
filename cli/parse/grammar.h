// The option table behind parse_args and the help texts generated from it.
// Internal to the command-line front end (args.cpp parses with it, help.cpp
// renders it); handlers use the structs of cli/parse/args.h instead.
//
// Thread safety: the table is immutable; the functions are pure.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "cli/parse/args.h"

namespace zt::cli::grammar {

inline constexpr std::string_view kProgram = "zanth-timelock";
inline constexpr std::string_view kProgramAbout = "Native RandomX v2.0.1 96-segment timelock generator and solver";
inline constexpr std::string_view kHelpAbout = "Print this message or the help of the given subcommand(s)";
inline constexpr std::string_view kHelpFlagAbout = "Print help";
inline constexpr std::string_view kVersionFlag = "--version";
inline constexpr std::string_view kVersionFlagAbout = "Print the version and the RandomX it implements";

// path: bytes as given; text: valid UTF-8; number: unsigned 64-bit decimal;
// mode: a WorkMode value name; decimal: a finite number above 0 ("6.54");
// flag: no value at all (`--json`), true when given; duration: a length
// of time as parse_duration reads it, stored in seconds. count: a number of
// at least 1; steps: an iteration count, 1 to 10^12; share: a fraction above
// 0 and at most 1; factor: 1 to 100 with at most three decimals ("1.25").
// The last four are for options whose values are refused as usage errors;
// the original commands keep taking any number and let the handler refuse
// it.
enum class ValueKind { Path, Text, Number, Mode, Decimal, Flag, Duration, Count, Steps, Share, Factor };

using Value = std::variant<std::string, std::uint64_t, WorkMode, double, bool>;

struct OptionSpec {
    std::string_view name;          // "--checkpoint-interval"
    std::string_view value_name;    // "CHECKPOINT_INTERVAL"; empty for a flag
    ValueKind kind;
    std::string_view default_text;  // parsed like a given value; empty when required (or optional)
    std::string_view help;
    // Stores a parsed value into its field of the command's struct.
    void (*store)(Commands&, Value&&);
    // May be left out without a default (its field stays unset); flags always may.
    bool optional = false;
    // An option that cannot be given together with this one; a required
    // option is satisfied by it instead ("--iterations" or "--iterations-from").
    std::string_view excludes = {};
    // An option that must be given with this one ("--segment-time" needs
    // "--iterations-from").
    std::string_view needs = {};

    bool required() const {
        return default_text.empty() && !optional && kind != ValueKind::Flag;
    }
};

struct CommandSpec {
    std::string_view name;
    std::string_view about;  // may be empty
    std::span<const OptionSpec> options;
    Commands (*blank)();     // the command's struct, fields still unset
};

// Joins text pieces into one string. (Writing "literal" + temporary string
// instead trips a false -Wrestrict positive in GCC 12.)
template <typename... Parts>
std::string cat(const Parts&... parts) {
    std::string out;
    (out.append(std::string_view(parts)), ...);
    return out;
}

// Every subcommand, in dispatch order.
std::span<const CommandSpec> commands();

// A length of time: one or more groups of decimal digits and a unit, the
// units d (86400 s), h, m and s in that order, each at most once ("12h",
// "7d", "90m", "1d12h", "1h30m15s"). In seconds; nothing for any other form,
// for a total of 0 and for a total past 2^64 - 1 seconds.
std::optional<std::uint64_t> parse_duration(std::string_view text);

// "--epoch <EPOCH>"; a flag is its name alone.
std::string option_usage(const OptionSpec& option);

// "Usage: zanth-timelock <COMMAND>" and friends, without a line end.
std::string program_usage();
std::string command_usage(const CommandSpec& command);
std::string help_command_usage();

// Complete help texts, ending with a line end.
std::string program_help();
std::string command_help(const CommandSpec& command);
std::string help_command_help();

// "zanth-timelock 0.1.0" and the RandomX release, commit and algorithm the
// program implements, ending with a line end.
std::string version_text();

}  // namespace zt::cli::grammar
