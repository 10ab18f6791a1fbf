#include "cli/parse/args.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>
#include <vector>

#include "cli/parse/grammar.h"
#include "timelock/base/protocol.h"
#include "timelock/base/utf8.h"

namespace zt::cli {
namespace grammar {
namespace {

template <typename M>
struct MemberOf;
template <typename C, typename T>
struct MemberOf<T C::*> {
    using Class = C;
    using Type = T;
};

template <typename T>
struct StoredAs {
    using Type = T;
};
template <typename T>
struct StoredAs<std::optional<T>> {
    using Type = T;
};

template <auto Member>
void store(Commands& command, Value&& value) {
    using M = MemberOf<decltype(Member)>;
    std::get<typename M::Class>(command).*Member = std::get<typename StoredAs<typename M::Type>::Type>(std::move(value));
}

template <typename Command>
Commands blank() {
    return Command{};
}

using K = ValueKind;

// Descriptions shared by several commands.
constexpr std::string_view kModeHelp = "RandomX memory mode: full (2080 MiB dataset, fast) or light (256 MiB cache)";
constexpr std::string_view kPinHelp = "Pinned Ed25519 public key of the service (64 hex digits)";
constexpr std::string_view kEpochKeyHelp = "File holding the puzzle's epoch key (64 hex digits)";
constexpr std::string_view kSealingEpochKeyHelp = "File holding the puzzle's epoch key, as generate wrote it";
constexpr std::string_view kPlaintextOutHelp = "New file for the plaintext (owner-only, never replaced)";
constexpr std::string_view kSolverSpeedupHelp =
    "Size the segments for a solver this many times as fast as the calibrated machine, 1 to 100 (1.4: bare "
    "hardware and the fastest implementation against a virtual machine; see calibrate) [default: 1]";

// The whole grammar. Per subcommand the rows are in declaration order, which
// is also the order of help and usage. An empty default means required,
// unless the row is marked optional (or is a flag).
constexpr OptionSpec kDecryptPaste[] = {
    {"--manifest", "MANIFEST", K::Path, "", "Signed manifest of the puzzle the paste belongs to",
     &store<&DecryptPasteArgs::manifest>},
    {"--service-public-key", "SERVICE_PUBLIC_KEY", K::Text, "", kPinHelp,
     &store<&DecryptPasteArgs::service_public_key>},
    {"--epoch-key", "EPOCH_KEY", K::Path, "", kEpochKeyHelp, &store<&DecryptPasteArgs::epoch_key>},
    {"--paste", "PASTE", K::Path, "", "Archived paste to open (JSON)", &store<&DecryptPasteArgs::paste>},
    {"--plaintext-out", "PLAINTEXT_OUT", K::Path, "", kPlaintextOutHelp, &store<&DecryptPasteArgs::plaintext_out>},
};

constexpr OptionSpec kDecryptRecord[] = {
    {"--manifest", "MANIFEST", K::Path, "", "Signed manifest of the puzzle the record belongs to",
     &store<&DecryptRecordArgs::manifest>},
    {"--service-public-key", "SERVICE_PUBLIC_KEY", K::Text, "", kPinHelp,
     &store<&DecryptRecordArgs::service_public_key>},
    {"--epoch-key", "EPOCH_KEY", K::Path, "", kEpochKeyHelp, &store<&DecryptRecordArgs::epoch_key>},
    {"--record", "RECORD", K::Path, "", "Encrypted record to open (JSON)", &store<&DecryptRecordArgs::record>},
    {"--plaintext-out", "PLAINTEXT_OUT", K::Path, "", kPlaintextOutHelp, &store<&DecryptRecordArgs::plaintext_out>},
};

constexpr OptionSpec kCalibrate[] = {
    {"--samples", "SAMPLES", K::Number, "1000", "Chained RandomX steps each worker times",
     &store<&CalibrateArgs::samples>},
    {"--workers", "WORKERS", K::Number, "1", "Threads measuring at once, 1 to 96 (1 gives a solver's speed)",
     &store<&CalibrateArgs::workers>},
    {"--mode", "MODE", K::Mode, "full", kModeHelp, &store<&CalibrateArgs::mode>},
    {"--segment-time", "SEGMENT_TIME", K::Duration, "",
     "Segment length for the summary's --iterations figure (12h, 7d, 1d12h) [default: 1d]",
     &store<&CalibrateArgs::segment_time>, true},
};

constexpr OptionSpec kGenerate[] = {
    {"--epoch", "EPOCH", K::Number, "", "Epoch whose key the puzzle locks", &store<&GenerateArgs::epoch>},
    {"--iterations", "ITERATIONS", K::Number, "", "Serial RandomX steps per segment (see calibrate)",
     &store<&GenerateArgs::iterations>, false, "--iterations-from"},
    {"--signing-key", "SIGNING_KEY", K::Path, "",
     "File containing a 32-byte Ed25519 seed in lowercase hexadecimal", &store<&GenerateArgs::signing_key>},
    {"--manifest-out", "MANIFEST_OUT", K::Path, "", "New file for the signed manifest (0644)",
     &store<&GenerateArgs::manifest_out>},
    {"--epoch-key-out", "EPOCH_KEY_OUT", K::Path, "", "New file for the epoch key (0600); keep it private",
     &store<&GenerateArgs::epoch_key_out>},
    {"--mode", "MODE", K::Mode, "full", kModeHelp, &store<&GenerateArgs::mode>},
    {"--iterations-from", "ITERATIONS_FROM", K::Path, "",
     "Calibration report whose iterations_for_one_day (or --segment-time) gives the iterations",
     &store<&GenerateArgs::iterations_from>, true, "--iterations"},
    {"--state", "STATE", K::Path, "",
     "Private directory that keeps the work, so that a stopped generation resumes", &store<&GenerateArgs::state>,
     true},
    {"--segment-time", "SEGMENT_TIME", K::Duration, "",
     "How long one segment should take to solve (12h, 7d, 1d12h); the iterations come from --iterations-from",
     &store<&GenerateArgs::segment_time>, true, "--iterations", "--iterations-from"},
    {"--solver-speedup", "SOLVER_SPEEDUP", K::Factor, "", kSolverSpeedupHelp, &store<&GenerateArgs::solver_speedup>,
     true, "--iterations", "--iterations-from"},
};

constexpr OptionSpec kSolve[] = {
    {"--manifest", "MANIFEST", K::Path, "", "Signed manifest of the puzzle to solve", &store<&SolveArgs::manifest>},
    {"--service-public-key", "SERVICE_PUBLIC_KEY", K::Text, "",
     "Attestation-verified Ed25519 public key (64 lowercase hex digits)", &store<&SolveArgs::service_public_key>},
    {"--checkpoint", "CHECKPOINT", K::Path, "", "Checkpoint log: progress is appended to it, and a run resumes from it",
     &store<&SolveArgs::checkpoint>},
    {"--key-out", "KEY_OUT", K::Path, "", "New file for the recovered epoch key (0600)", &store<&SolveArgs::key_out>},
    {"--checkpoint-interval", "CHECKPOINT_INTERVAL", K::Number, "10000",
     "Steps between checkpoints within a segment (segment ends are always saved)",
     &store<&SolveArgs::checkpoint_interval>},
    {"--mode", "MODE", K::Mode, "full", kModeHelp, &store<&SolveArgs::mode>},
};

constexpr OptionSpec kKeygen[] = {
    {"--signing-key-out", "SIGNING_KEY_OUT", K::Path, "",
     "New file for the 32-byte Ed25519 seed in lowercase hexadecimal (0600)", &store<&KeygenArgs::signing_key_out>},
};

constexpr OptionSpec kPubkey[] = {
    {"--signing-key", "SIGNING_KEY", K::Path, "",
     "File containing a 32-byte Ed25519 seed in hexadecimal (- reads standard input)",
     &store<&PubkeyArgs::signing_key>},
};

constexpr OptionSpec kStatus[] = {
    {"--manifest", "MANIFEST", K::Path, "", "Signed manifest of the puzzle being solved", &store<&StatusArgs::manifest>,
     false, "--state"},
    {"--service-public-key", "SERVICE_PUBLIC_KEY", K::Text, "", "Pinned public key to verify the manifest against",
     &store<&StatusArgs::service_public_key>, true},
    {"--checkpoint", "CHECKPOINT", K::Path, "", "The solve's checkpoint log (read only; missing: not started)",
     &store<&StatusArgs::checkpoint>, true},
    {"--rate", "RATE", K::Decimal, "", "Solve speed in hashes per second, for the time left and the expected finish",
     &store<&StatusArgs::rate>, true, "--calibration"},
    {"--calibration", "CALIBRATION", K::Path, "", "Calibration report whose fastest worker gives the solve speed",
     &store<&StatusArgs::calibration>, true, "--rate"},
    {"--json", "", K::Flag, "", "Print one JSON object instead of text", &store<&StatusArgs::json>},
    {"--key-out", "KEY_OUT", K::Path, "", "The solve's key output: there and matching the manifest means finished",
     &store<&StatusArgs::key_out>, true},
    {"--state", "STATE", K::Path, "", "A split generation's state directory or copy of its task files, instead of a solve",
     &store<&StatusArgs::state>, true, "--manifest"},
    {"--results", "RESULTS", K::Path, "", "Results directory of that generation [default: the state directory]",
     &store<&StatusArgs::results>, true, "", "--state"},
};

constexpr OptionSpec kPlan[] = {
    {"--epoch", "EPOCH", K::Number, "", "Epoch whose key the puzzle locks", &store<&PlanArgs::epoch>},
    {"--iterations", "ITERATIONS", K::Steps, "", "Serial RandomX steps per segment, 1 to 10^12 (see calibrate)",
     &store<&PlanArgs::iterations>, false, "--iterations-from"},
    {"--state", "STATE", K::Path, "", "New private directory for the plan and the task files",
     &store<&PlanArgs::state>},
    {"--iterations-from", "ITERATIONS_FROM", K::Path, "",
     "Calibration report whose iterations_for_one_day (or --segment-time) gives the iterations",
     &store<&PlanArgs::iterations_from>, true, "--iterations"},
    {"--segment-time", "SEGMENT_TIME", K::Duration, "",
     "How long one segment should take to solve (12h, 7d, 1d12h); the iterations come from --iterations-from",
     &store<&PlanArgs::segment_time>, true, "--iterations", "--iterations-from"},
    {"--solver-speedup", "SOLVER_SPEEDUP", K::Factor, "", kSolverSpeedupHelp, &store<&PlanArgs::solver_speedup>,
     true, "--iterations", "--iterations-from"},
};

constexpr OptionSpec kWork[] = {
    {"--task", "TASK", K::Path, "", "Task file of one segment", &store<&WorkArgs::task>},
    {"--result", "RESULT", K::Path, "", "Result file to publish; its progress is kept beside it",
     &store<&WorkArgs::result>},
    {"--mode", "MODE", K::Mode, "full", kModeHelp, &store<&WorkArgs::mode>},
    {"--checkpoint-interval", "CHECKPOINT_INTERVAL", K::Count, "10000",
     "Steps between progress lines (the segment's end is always saved)", &store<&WorkArgs::checkpoint_interval>},
};

constexpr OptionSpec kAssemble[] = {
    {"--state", "STATE", K::Path, "", "Directory that plan filled", &store<&AssembleArgs::state>},
    {"--results", "RESULTS", K::Path, "", "Directory holding the 96 result files", &store<&AssembleArgs::results>},
    {"--signing-key", "SIGNING_KEY", K::Path, "",
     "File containing a 32-byte Ed25519 seed in lowercase hexadecimal", &store<&AssembleArgs::signing_key>},
    {"--manifest-out", "MANIFEST_OUT", K::Path, "", "New file for the signed manifest (0644)",
     &store<&AssembleArgs::manifest_out>},
    {"--epoch-key-out", "EPOCH_KEY_OUT", K::Path, "", "New file for the epoch key (0600); keep it private",
     &store<&AssembleArgs::epoch_key_out>},
    {"--verify-fraction", "VERIFY_FRACTION", K::Share, "0.01",
     "Share of each segment's other intervals recomputed to check its result (the first and last always are)",
     &store<&AssembleArgs::verify_fraction>},
    {"--verify-all", "", K::Flag, "", "Recompute every interval of every result, on all threads",
     &store<&AssembleArgs::verify_all>, false, "--verify-fraction"},
    {"--mode", "MODE", K::Mode, "full", kModeHelp, &store<&AssembleArgs::mode>},
};

constexpr OptionSpec kVerifyResult[] = {
    {"--task", "TASK", K::Path, "", "Task file of the result's segment", &store<&VerifyResultArgs::task>},
    {"--result", "RESULT", K::Path, "", "Result file to check; the outcome is published beside it (.verified)",
     &store<&VerifyResultArgs::result>},
    {"--mode", "MODE", K::Mode, "full", kModeHelp, &store<&VerifyResultArgs::mode>},
};

constexpr OptionSpec kSealRecord[] = {
    {"--manifest", "MANIFEST", K::Path, "", "Signed manifest of the puzzle to seal for", &store<&SealRecordArgs::manifest>},
    {"--service-public-key", "SERVICE_PUBLIC_KEY", K::Text, "", "Public key of the service (64 hex digits); the manifest must verify against it",
     &store<&SealRecordArgs::service_public_key>},
    {"--epoch-key", "EPOCH_KEY", K::Path, "", kSealingEpochKeyHelp, &store<&SealRecordArgs::epoch_key>},
    {"--plaintext", "PLAINTEXT", K::Path, "", "File to seal, at most 16 MiB (- reads standard input)",
     &store<&SealRecordArgs::plaintext>},
    {"--sequence", "SEQUENCE", K::Number, "", "Number of the record, bound into it", &store<&SealRecordArgs::sequence>},
    {"--record-out", "RECORD_OUT", K::Path, "",
     "New file for the encrypted record (0644, never replaced; - writes it to standard output)",
     &store<&SealRecordArgs::record_out>},
};

constexpr OptionSpec kSealPaste[] = {
    {"--manifest", "MANIFEST", K::Path, "", "Signed manifest of the puzzle to seal for", &store<&SealPasteArgs::manifest>},
    {"--signing-key", "SIGNING_KEY", K::Path, "", "The service's signing key file, the one that signed the manifest",
     &store<&SealPasteArgs::signing_key>},
    {"--epoch-key", "EPOCH_KEY", K::Path, "", kSealingEpochKeyHelp, &store<&SealPasteArgs::epoch_key>},
    {"--plaintext", "PLAINTEXT", K::Path, "", "File to seal, at most 100 KiB (- reads standard input)",
     &store<&SealPasteArgs::plaintext>},
    {"--tag-id", "TAG_ID", K::Text, "", "Tag identifier (64 lowercase hex digits)", &store<&SealPasteArgs::tag_id>},
    {"--puzzle-artifact", "PUZZLE_ARTIFACT", K::Text, "",
     "Puzzle artefact name: 64 lowercase hex digits and .puzzle.json [default: the manifest id's]",
     &store<&SealPasteArgs::puzzle_artifact>, true},
    {"--evidence-artifact", "EVIDENCE_ARTIFACT", K::Text, "",
     "Evidence artefact name: 64 lowercase hex digits and .attestation.json", &store<&SealPasteArgs::evidence_artifact>},
    {"--sequence", "SEQUENCE", K::Number, "", "Sequence number of the paste", &store<&SealPasteArgs::sequence>},
    {"--created-at-ms", "CREATED_AT_MS", K::Number, "",
     "Creation time in milliseconds since 1970-01-01 UTC [default: now]", &store<&SealPasteArgs::created_at_ms>, true},
    {"--paste-out", "PASTE_OUT", K::Path, "",
     "New file for the signed paste (0644, never replaced; - writes it to standard output)",
     &store<&SealPasteArgs::paste_out>},
};

constexpr OptionSpec kVerify[] = {
    {"--manifest", "MANIFEST", K::Path, "", "Signed manifest to check (- reads standard input)",
     &store<&VerifyArgs::manifest>},
    {"--service-public-key", "SERVICE_PUBLIC_KEY", K::Text, "", "Pinned public key of the service (64 hex digits)",
     &store<&VerifyArgs::service_public_key>},
    {"--rate", "RATE", K::Decimal, "", "Solve speed in hashes per second, for the expected solve time",
     &store<&VerifyArgs::rate>, true, "--calibration"},
    {"--calibration", "CALIBRATION", K::Path, "", "Calibration report whose fastest worker gives the solve speed",
     &store<&VerifyArgs::calibration>, true, "--rate"},
    {"--json", "", K::Flag, "", "Print one JSON object instead of text", &store<&VerifyArgs::json>, false, "--quiet"},
    {"--quiet", "", K::Flag, "",
     "Print nothing, not even why a manifest does not verify: the exit status tells (0 verifies, 1 not)",
     &store<&VerifyArgs::quiet>, false, "--json"},
};

constexpr CommandSpec kCommands[] = {
    {"decrypt-paste", "Decrypt an archived paste after recovering its existing epoch key", kDecryptPaste,
     &blank<DecryptPasteArgs>},
    {"decrypt-record", "Decrypt an encrypted record with its puzzle's epoch key", kDecryptRecord,
     &blank<DecryptRecordArgs>},
    {"calibrate", "Measure genuine serial RandomX work; production calibration requires full mode", kCalibrate,
     &blank<CalibrateArgs>},
    {"generate", "Generate 96 segments with a bounded worker pool. Keep epoch-key-out private", kGenerate,
     &blank<GenerateArgs>},
    {"solve", "Recover a puzzle's epoch key by redoing its serial work; resumes from the checkpoint log", kSolve,
     &blank<SolveArgs>},
    {"keygen", "Make a service signing key (owner-only) and print its public key, the pin", kKeygen,
     &blank<KeygenArgs>},
    {"pubkey", "Print the public key (the pin) of a signing key file", kPubkey, &blank<PubkeyArgs>},
    {"status", "Show how far a solve has come and what is left; reads only", kStatus, &blank<StatusArgs>},
    {"plan", "Draw a puzzle's random values into a private state directory, with one task file per segment",
     kPlan, &blank<PlanArgs>},
    {"work", "Work one segment task into its result file; resumable, and done at once if already done", kWork,
     &blank<WorkArgs>},
    {"assemble", "Check the segment results against the plan, then wrap, sign and publish the puzzle", kAssemble,
     &blank<AssembleArgs>},
    {"verify-result",
     "Recompute every interval of one segment result on all threads; publish an outcome that assemble accepts",
     kVerifyResult, &blank<VerifyResultArgs>},
    {"seal-record", "Seal a file into an encrypted record of a puzzle, opened by decrypt-record", kSealRecord,
     &blank<SealRecordArgs>},
    {"seal-paste", "Seal a file into a paste of a puzzle, signed by the service, opened by decrypt-paste",
     kSealPaste, &blank<SealPasteArgs>},
    {"verify", "Check a signed manifest against the pinned service key; exit 0 when it verifies, 1 when not",
     kVerify, &blank<VerifyArgs>},
};

static_assert(std::size(kCommands) == std::variant_size_v<Commands>);

}  // namespace

std::span<const CommandSpec> commands() { return kCommands; }

std::optional<std::uint64_t> parse_duration(std::string_view text) {
    constexpr std::pair<char, std::uint64_t> kUnits[] = {{'d', 86400}, {'h', 3600}, {'m', 60}, {'s', 1}};
    std::size_t next_unit = 0;  // units must come in the order of kUnits, each once
    std::uint64_t total = 0;
    std::size_t i = 0;
    if (text.empty()) return std::nullopt;
    while (i < text.size()) {
        std::uint64_t value = 0;
        const std::size_t start = i;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
            const auto digit = static_cast<std::uint64_t>(text[i] - '0');
            if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
            value = value * 10 + digit;
        }
        if (i == start || i == text.size()) return std::nullopt;  // no digits, or no unit
        const char unit = text[i++];
        while (next_unit < std::size(kUnits) && kUnits[next_unit].first != unit) ++next_unit;
        if (next_unit == std::size(kUnits)) return std::nullopt;  // unknown, repeated or out of order
        const std::uint64_t seconds_per = kUnits[next_unit++].second;
        if (value > UINT64_MAX / seconds_per || total > UINT64_MAX - value * seconds_per) return std::nullopt;
        total += value * seconds_per;
    }
    if (total == 0) return std::nullopt;
    return total;
}

}  // namespace grammar

namespace {

using grammar::CommandSpec;
using grammar::OptionSpec;
using grammar::Value;
using grammar::ValueKind;

ParseExit usage_error(const std::string& message, const std::string& usage) {
    return {2, grammar::cat("error: ", message, "\n\n", usage, "\n\nFor more information, try '--help'.\n")};
}

std::string quoted(std::string_view raw) { return grammar::cat("'", utf8_lossy(raw), "'"); }

// Unsigned decimal with an optional leading '+', the whole 64-bit range;
// the reasons are those of the usual integer parser, first fault first.
std::optional<std::string> parse_number(std::string_view text, std::uint64_t& out) {
    if (text.empty()) return "cannot parse integer from empty string";
    std::string_view digits = text;
    if (digits.front() == '+' && digits.size() > 1) digits.remove_prefix(1);
    std::uint64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return "invalid digit found in string";
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return "number too large to fit in target type";
        value = value * 10 + digit;
    }
    out = value;
    return std::nullopt;
}

// Digits with at most one point, followed by digits ("6.54", "12", "0.01");
// no sign, exponent or spaces. The value, or nothing for another form.
std::optional<double> parse_plain_decimal(std::string_view text) {
    const std::size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction = point == std::string_view::npos ? "" : text.substr(point + 1);
    auto digits = [](std::string_view part) {
        return part.find_first_not_of("0123456789") == std::string_view::npos;
    };
    if (whole.empty() || !digits(whole) || !digits(fraction) || (point != std::string_view::npos && fraction.empty())) {
        return std::nullopt;
    }
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

// A finite decimal number above 0 ("6.54", "12", "0.5").
std::optional<double> parse_decimal(std::string_view text) {
    const std::optional<double> value = parse_plain_decimal(text);
    if (!value || !(*value > 0.0)) return std::nullopt;
    return value;
}

// A factor from 1 to 100 with at most three decimals ("1.5", "2", "1.375"),
// so that its thousandths are exact.
std::optional<double> parse_factor(std::string_view text) {
    const std::size_t point = text.find('.');
    if (point != std::string_view::npos && text.size() - point - 1 > 3) return std::nullopt;
    const std::optional<double> value = parse_plain_decimal(text);
    if (!value || !(*value >= 1.0 && *value <= 100.0)) return std::nullopt;
    return value;
}

// Parses `raw` as the value of `option` into `out`; on failure returns the
// usage error's message and leaves `out` alone.
std::optional<std::string> parse_value(const OptionSpec& option, const std::string& raw, Value& out) {
    const std::string what = grammar::cat("invalid value ", quoted(raw), " for '", grammar::option_usage(option), "'");
    switch (option.kind) {
        case ValueKind::Path:
            out = raw;
            return std::nullopt;
        case ValueKind::Text:
            if (check_utf8(raw)) return grammar::cat(what, ": invalid UTF-8");
            out = raw;
            return std::nullopt;
        case ValueKind::Number: {
            std::uint64_t number = 0;
            if (auto reason = parse_number(raw, number)) return grammar::cat(what, ": ", *reason);
            out = number;
            return std::nullopt;
        }
        case ValueKind::Mode: {
            if (auto mode = work_mode_from_arg(raw)) {
                out = *mode;
                return std::nullopt;
            }
            std::string possible;
            for (WorkMode mode : kWorkModes) possible += grammar::cat(possible.empty() ? "" : ", ", work_mode_arg(mode));
            return grammar::cat(what, "\n  [possible values: ", possible, "]");
        }
        case ValueKind::Decimal:
            if (auto number = parse_decimal(raw)) {
                out = *number;
                return std::nullopt;
            }
            return grammar::cat(what, ": expected a number above 0, such as 6.54");
        case ValueKind::Flag:
            out = true;
            return std::nullopt;
        case ValueKind::Count:
        case ValueKind::Steps: {
            std::uint64_t number = 0;
            if (auto reason = parse_number(raw, number)) return grammar::cat(what, ": ", *reason);
            const std::uint64_t most = option.kind == ValueKind::Steps ? protocol::kMaxIterations : UINT64_MAX;
            if (number == 0 || number > most) {
                return grammar::cat(what, option.kind == ValueKind::Steps ? ": expected 1 to 1000000000000"
                                                                          : ": expected a number of 1 or more");
            }
            out = number;
            return std::nullopt;
        }
        case ValueKind::Share:
            if (auto share = parse_plain_decimal(raw); share && *share > 0.0 && *share <= 1.0) {
                out = *share;
                return std::nullopt;
            }
            return grammar::cat(what, ": expected a share above 0 and at most 1, such as 0.01");
        case ValueKind::Factor:
            if (auto factor = parse_factor(raw)) {
                out = *factor;
                return std::nullopt;
            }
            return grammar::cat(what, ": expected a factor from 1 to 100 with at most three decimals, such as 1.5");
        case ValueKind::Duration:
            if (auto seconds = grammar::parse_duration(raw)) {
                out = *seconds;
                return std::nullopt;
            }
            return grammar::cat(what, ": expected a length of time above 0 such as 12h, 7d, 90m or 1d12h "
                                      "(units d, h, m, s in that order)");
    }
    return what;
}

bool is_help_flag(std::string_view arg) { return arg == "-h" || arg == "--help"; }

// An argument that stands where a value is expected but reads as an option,
// so the value is taken to be missing rather than this argument.
bool looks_like_option(std::string_view arg) { return arg.starts_with("--") || arg == "-h"; }

std::variant<Args, ParseExit> parse_command(const CommandSpec& command, std::span<const std::string> args) {
    const std::string usage = grammar::command_usage(command);
    std::vector<std::optional<Value>> values(command.options.size());

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (is_help_flag(arg)) return ParseExit{0, grammar::command_help(command)};
        if (!arg.starts_with("--")) return usage_error(grammar::cat("unexpected argument ", quoted(arg), " found"), usage);

        const std::size_t eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        if (name == "--help") {
            return usage_error(grammar::cat("unexpected value ", quoted(arg.substr(eq + 1)),
                                           " for '--help' found; no more were expected"),
                               usage);
        }
        std::size_t index = 0;
        while (index < command.options.size() && command.options[index].name != name) ++index;
        if (index == command.options.size()) return usage_error(grammar::cat("unexpected argument ", quoted(name), " found"), usage);
        const OptionSpec& option = command.options[index];
        if (values[index]) {
            return usage_error(
                grammar::cat("the argument '", grammar::option_usage(option), "' cannot be used multiple times"), usage);
        }

        std::string raw;
        if (option.kind == ValueKind::Flag) {
            if (eq != std::string::npos) {
                return usage_error(grammar::cat("unexpected value ", quoted(arg.substr(eq + 1)), " for '",
                                               option.name, "' found; no more were expected"),
                                   usage);
            }
        } else if (eq != std::string::npos) {
            raw = arg.substr(eq + 1);
        } else if (i + 1 < args.size() && !looks_like_option(args[i + 1])) {
            raw = args[++i];
        } else {
            return usage_error(
                grammar::cat("a value is required for '", grammar::option_usage(option), "' but none was supplied"),
                usage);
        }
        Value value;
        if (auto message = parse_value(option, raw, value)) return usage_error(*message, usage);
        values[index] = std::move(value);
    }

    // Whether the option named `name` was given.
    auto given = [&](std::string_view name) {
        for (std::size_t index = 0; index < values.size(); ++index) {
            if (command.options[index].name == name && values[index]) return true;
        }
        return false;
    };
    for (std::size_t index = 0; index < values.size(); ++index) {
        const OptionSpec& option = command.options[index];
        if (values[index] && !option.excludes.empty() && given(option.excludes)) {
            const auto other = std::find_if(command.options.begin(), command.options.end(),
                                            [&](const OptionSpec& o) { return o.name == option.excludes; });
            return usage_error(grammar::cat("the argument '", grammar::option_usage(option), "' cannot be used with '",
                                            grammar::option_usage(*other), "'"),
                               usage);
        }
    }

    for (std::size_t index = 0; index < values.size(); ++index) {
        const OptionSpec& option = command.options[index];
        if (values[index] && !option.needs.empty() && !given(option.needs)) {
            return usage_error(
                grammar::cat("the argument '", grammar::option_usage(option), "' needs '", option.needs, "'"), usage);
        }
    }

    std::string missing;
    for (std::size_t index = 0; index < values.size(); ++index) {
        const OptionSpec& option = command.options[index];
        if (!values[index] && option.required() && (option.excludes.empty() || !given(option.excludes))) {
            missing += grammar::cat("\n  ", grammar::option_usage(command.options[index]));
        }
    }
    if (!missing.empty()) {
        return usage_error(grammar::cat("the following required arguments were not provided:", missing), usage);
    }

    Commands result = command.blank();
    for (std::size_t index = 0; index < values.size(); ++index) {
        const OptionSpec& option = command.options[index];
        if (!values[index] && option.default_text.empty()) continue;  // optional: the field stays unset
        if (!values[index]) {
            // Defaults are written in the table as text and parsed like a given value.
            Value value;
            static_cast<void>(parse_value(option, std::string(option.default_text), value));
            values[index] = std::move(value);
        }
        option.store(result, std::move(*values[index]));
    }
    return Args{std::move(result)};
}

const CommandSpec* find_command(std::string_view name) {
    for (const CommandSpec& command : grammar::commands()) {
        if (command.name == name) return &command;
    }
    return nullptr;
}

// `help [COMMAND]`: the help of the program or of the named subcommand.
ParseExit parse_help_command(std::span<const std::string> args) {
    if (args.empty()) return {0, grammar::program_help()};
    const std::string usage = grammar::help_command_usage();
    if (args.size() > 1) return usage_error(grammar::cat("unexpected argument ", quoted(args[1]), " found"), usage);
    if (args[0] == "help" || is_help_flag(args[0])) return {0, grammar::help_command_help()};
    if (const CommandSpec* command = find_command(args[0])) return {0, grammar::command_help(*command)};
    return usage_error(grammar::cat("unrecognized subcommand ", quoted(args[0])), usage);
}

}  // namespace

std::variant<Args, ParseExit> parse_args(std::span<const std::string> args) {
    if (args.empty()) return ParseExit{2, grammar::program_help()};
    const std::string& first = args[0];
    if (is_help_flag(first)) return ParseExit{0, grammar::program_help()};
    if (first == grammar::kVersionFlag && args.size() == 1) return ParseExit{0, grammar::version_text()};
    if (first == "help") return parse_help_command(args.subspan(1));
    const std::string usage = grammar::program_usage();
    if (first.starts_with("-")) return usage_error(grammar::cat("unexpected argument ", quoted(first), " found"), usage);
    if (const CommandSpec* command = find_command(first)) return parse_command(*command, args.subspan(1));
    return usage_error(grammar::cat("unrecognized subcommand ", quoted(first)), usage);
}

}  // namespace zt::cli
