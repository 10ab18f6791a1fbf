// The command-line grammar: the subcommands with long options only, help on
// every level, the program's version, and usage errors.
//
// parse_args turns the process arguments into Args or into the text and exit
// status that end the process right there (a help request or a usage error);
// no file is touched in either case. Only syntax and types are checked here:
// ranges, key contents and the existence of files are the handlers' business.
// Options without a default are required; the defaults, like everything else
// about an option, stand in the one option table in args.cpp.
//
// Thread safety: pure functions over their arguments.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "timelock/base/work_mode.h"

namespace zt::cli {

// A file-system path exactly as the command line gave it, byte for byte.
using PathArg = std::string;

struct DecryptPasteArgs {
    PathArg manifest;
    std::string service_public_key;
    PathArg epoch_key;
    PathArg paste;
    PathArg plaintext_out;
    friend bool operator==(const DecryptPasteArgs&, const DecryptPasteArgs&) = default;
};

struct DecryptRecordArgs {
    PathArg manifest;
    std::string service_public_key;
    PathArg epoch_key;
    PathArg record;
    PathArg plaintext_out;
    friend bool operator==(const DecryptRecordArgs&, const DecryptRecordArgs&) = default;
};

struct CalibrateArgs {
    std::uint64_t samples = 0;
    std::uint64_t workers = 0;
    WorkMode mode = WorkMode::Full;
    std::optional<std::uint64_t> segment_time;  // seconds; for the summary
    friend bool operator==(const CalibrateArgs&, const CalibrateArgs&) = default;
};

struct GenerateArgs {
    std::uint64_t epoch = 0;
    std::uint64_t iterations = 0;  // 0 when taken from `iterations_from`
    PathArg signing_key;
    PathArg manifest_out;
    PathArg epoch_key_out;
    WorkMode mode = WorkMode::Full;
    // A calibration report whose iterations_for_one_day replaces --iterations
    // (exactly one of the two is given).
    std::optional<PathArg> iterations_from;
    std::optional<PathArg> state;  // absent: the work is not kept
    // Seconds one segment should take at the report's rate (with iterations_from).
    std::optional<std::uint64_t> segment_time;
    // How many times faster than the report's machine the solver is taken
    // to be (with iterations_from): 1 to 100, at most three decimals.
    std::optional<double> solver_speedup;
    friend bool operator==(const GenerateArgs&, const GenerateArgs&) = default;
};

struct SolveArgs {
    PathArg manifest;
    std::string service_public_key;
    PathArg checkpoint;
    PathArg key_out;
    std::uint64_t checkpoint_interval = 0;
    WorkMode mode = WorkMode::Full;
    friend bool operator==(const SolveArgs&, const SolveArgs&) = default;
};

struct KeygenArgs {
    PathArg signing_key_out;
    friend bool operator==(const KeygenArgs&, const KeygenArgs&) = default;
};

struct PubkeyArgs {
    PathArg signing_key;
    friend bool operator==(const PubkeyArgs&, const PubkeyArgs&) = default;
};

struct StatusArgs {
    PathArg manifest;                        // empty with `state`
    std::optional<std::string> service_public_key;
    std::optional<PathArg> checkpoint;
    std::optional<double> rate;              // hashes per second, finite and above 0
    std::optional<PathArg> calibration;      // a calibration report (exclusive with `rate`)
    bool json = false;
    std::optional<PathArg> key_out;          // the solve's key output, to recognise a finished solve
    std::optional<PathArg> state;            // a split generation's state directory (instead of a solve)
    std::optional<PathArg> results;          // its results directory, when not `state`
    friend bool operator==(const StatusArgs&, const StatusArgs&) = default;
};

struct PlanArgs {
    std::uint64_t epoch = 0;
    std::uint64_t iterations = 0;  // 0 when taken from `iterations_from`
    PathArg state;
    std::optional<PathArg> iterations_from;
    std::optional<std::uint64_t> segment_time;
    std::optional<double> solver_speedup;  // as generate's
    friend bool operator==(const PlanArgs&, const PlanArgs&) = default;
};

struct WorkArgs {
    PathArg task;
    PathArg result;
    WorkMode mode = WorkMode::Full;
    std::uint64_t checkpoint_interval = 0;
    friend bool operator==(const WorkArgs&, const WorkArgs&) = default;
};

struct AssembleArgs {
    PathArg state;
    PathArg results;
    PathArg signing_key;
    PathArg manifest_out;
    PathArg epoch_key_out;
    double verify_fraction = 0.0;
    bool verify_all = false;
    WorkMode mode = WorkMode::Full;
    friend bool operator==(const AssembleArgs&, const AssembleArgs&) = default;
};

struct VerifyResultArgs {
    PathArg task;
    PathArg result;
    WorkMode mode = WorkMode::Full;
    friend bool operator==(const VerifyResultArgs&, const VerifyResultArgs&) = default;
};

struct SealRecordArgs {
    PathArg manifest;
    std::string service_public_key;
    PathArg epoch_key;
    PathArg plaintext;
    std::uint64_t sequence = 0;
    PathArg record_out;
    friend bool operator==(const SealRecordArgs&, const SealRecordArgs&) = default;
};

struct SealPasteArgs {
    PathArg manifest;
    PathArg signing_key;
    PathArg epoch_key;
    PathArg plaintext;
    std::string tag_id;
    std::optional<std::string> puzzle_artifact;  // default: the manifest id + ".puzzle.json"
    std::string evidence_artifact;
    std::uint64_t sequence = 0;
    std::optional<std::uint64_t> created_at_ms;  // default: now
    PathArg paste_out;
    friend bool operator==(const SealPasteArgs&, const SealPasteArgs&) = default;
};

struct VerifyArgs {
    PathArg manifest;  // "-": standard input
    std::string service_public_key;
    std::optional<double> rate;
    std::optional<PathArg> calibration;
    bool json = false;   // one JSON object instead of text
    bool quiet = false;  // nothing at all; the exit status tells
    friend bool operator==(const VerifyArgs&, const VerifyArgs&) = default;
};

// One alternative per subcommand, in the order of the help listing and of
// the driver's dispatch.
using Commands = std::variant<DecryptPasteArgs, DecryptRecordArgs, CalibrateArgs, GenerateArgs, SolveArgs,
                              KeygenArgs, PubkeyArgs, StatusArgs, PlanArgs, WorkArgs, AssembleArgs,
                              VerifyResultArgs, SealRecordArgs, SealPasteArgs, VerifyArgs>;

struct Args {
    Commands command;
};

// A parse that ends the process: status 0 with help text for standard
// output, or status 2 with help or a usage error for standard error.
struct ParseExit {
    int status = 0;
    std::string text;
};

// `args` are the process arguments after the program's own path.
std::variant<Args, ParseExit> parse_args(std::span<const std::string> args);

}  // namespace zt::cli
