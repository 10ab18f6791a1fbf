// The command-line grammar: what parses to which command, which usage errors
// come out (and exactly how they read), and help on every level.
#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <set>

#include "cli/parse/args.h"
#include "cli/parse/grammar.h"

namespace zt::cli {
namespace {

std::variant<Args, ParseExit> parse(const std::vector<std::string>& args) { return parse_args(args); }

struct GoodCase {
    const char* name;
    std::vector<std::string> args;
    Commands expected;
};

void PrintTo(const GoodCase& c, std::ostream* os) { *os << c.name; }

const std::string kPin(64, 'a');

class ParsesTo : public testing::TestWithParam<GoodCase> {};

TEST_P(ParsesTo, ExpectedCommand) {
    const auto result = parse(GetParam().args);
    ASSERT_TRUE(std::holds_alternative<Args>(result)) << std::get<ParseExit>(result).text;
    EXPECT_EQ(std::get<Args>(result).command, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, ParsesTo,
    testing::Values(
        GoodCase{"CalibrateDefaults", {"calibrate"}, CalibrateArgs{1000, 1, WorkMode::Full}},
        GoodCase{"PlusSign", {"calibrate", "--samples", "+5"}, CalibrateArgs{5, 1, WorkMode::Full}},
        GoodCase{"EqualsForm", {"calibrate", "--samples=7", "--mode=light"}, CalibrateArgs{7, 1, WorkMode::Light}},
        GoodCase{"LargestNumber", {"calibrate", "--samples", "18446744073709551615"},
                 CalibrateArgs{18446744073709551615ULL, 1, WorkMode::Full}},
        GoodCase{"LeadingZeros", {"calibrate", "--samples", "000"}, CalibrateArgs{0, 1, WorkMode::Full}},
        GoodCase{"WorkersOutOfRangeStillParse", {"calibrate", "--workers", "1000", "--mode", "light"},
                 CalibrateArgs{1000, 1000, WorkMode::Light}},
        GoodCase{"GenerateModeDefault",
                 {"generate", "--epoch", "3", "--iterations", "+10", "--signing-key", "k.hex", "--manifest-out",
                  "m.json", "--epoch-key-out", "e.hex"},
                 GenerateArgs{3, 10, "k.hex", "m.json", "e.hex", WorkMode::Full}},
        GoodCase{"GenerateAnyOrder",
                 {"generate", "--mode=light", "--epoch-key-out=e.hex", "--manifest-out", "m.json", "--signing-key",
                  "k.hex", "--iterations", "0", "--epoch", "18446744073709551615"},
                 GenerateArgs{18446744073709551615ULL, 0, "k.hex", "m.json", "e.hex", WorkMode::Light}},
        GoodCase{"GenerateIterationsFromReport",
                 {"generate", "--epoch", "3", "--iterations-from", "cal.json", "--signing-key", "k.hex",
                  "--manifest-out", "m.json", "--epoch-key-out", "e.hex"},
                 GenerateArgs{3, 0, "k.hex", "m.json", "e.hex", WorkMode::Full, "cal.json"}},
        GoodCase{"Keygen", {"keygen", "--signing-key-out", "s.key"}, KeygenArgs{"s.key"}},
        GoodCase{"Pubkey", {"pubkey", "--signing-key=s.key"}, PubkeyArgs{"s.key"}},
        GoodCase{"StatusManifestOnly", {"status", "--manifest", "m.json"},
                 StatusArgs{"m.json", std::nullopt, std::nullopt, std::nullopt, std::nullopt, false}},
        GoodCase{"StatusEverything",
                 {"status", "--json", "--rate", "6.54", "--checkpoint", "c.log", "--service-public-key", kPin,
                  "--manifest", "m.json"},
                 StatusArgs{"m.json", kPin, "c.log", 6.54, std::nullopt, true}},
        GoodCase{"StatusCalibrationAndWholeRate", {"status", "--manifest", "m.json", "--calibration=c.json"},
                 StatusArgs{"m.json", std::nullopt, std::nullopt, std::nullopt, "c.json", false}},
        GoodCase{"StatusWholeNumberRate", {"status", "--manifest", "m.json", "--rate", "12"},
                 StatusArgs{"m.json", std::nullopt, std::nullopt, 12.0, std::nullopt, false}},
        GoodCase{"SolveIntervalDefault",
                 {"solve", "--manifest", "m.json", "--service-public-key", kPin, "--checkpoint", "c.log",
                  "--key-out", "k.hex"},
                 SolveArgs{"m.json", kPin, "c.log", "k.hex", 10000, WorkMode::Full}},
        GoodCase{"SolveIntervalZero",
                 {"solve", "--manifest", "m.json", "--service-public-key", kPin, "--checkpoint", "c.log",
                  "--key-out", "k.hex", "--checkpoint-interval", "0", "--mode", "light"},
                 SolveArgs{"m.json", kPin, "c.log", "k.hex", 0, WorkMode::Light}},
        // Text is kept as given (no trimming, either case); paths byte for
        // byte, including invalid UTF-8, a lone dash, a leading dash and '='.
        GoodCase{"DecryptPasteVerbatim",
                 {"decrypt-paste", "--manifest", "\xff\xfe.json", "--service-public-key", " ABC ", "--epoch-key",
                  "-", "--paste", "-p", "--plaintext-out=a=b"},
                 DecryptPasteArgs{"\xff\xfe.json", " ABC ", "-", "-p", "a=b"}},
        GoodCase{"DecryptRecordEmptyValues",
                 {"decrypt-record", "--manifest=", "--service-public-key=", "--epoch-key", "e", "--record", "r",
                  "--plaintext-out", "o"},
                 DecryptRecordArgs{"", "", "e", "r", "o"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct BadCase {
    const char* name;
    std::vector<std::string> args;
    std::string expected;  // the whole of standard error
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

const std::string kCalibrateUsage = "\n\nUsage: zanth-timelock calibrate [OPTIONS]\n\nFor more information, try '--help'.\n";
const std::string kGenerateUsage =
    "\n\nUsage: zanth-timelock generate --epoch <EPOCH> <--iterations <ITERATIONS>|--iterations-from <ITERATIONS_FROM>> "
    "--signing-key <SIGNING_KEY> "
    "--manifest-out <MANIFEST_OUT> --epoch-key-out <EPOCH_KEY_OUT> [OPTIONS]\n\nFor more information, try '--help'.\n";
const std::string kTopUsage = "\n\nUsage: zanth-timelock <COMMAND>\n\nFor more information, try '--help'.\n";

class UsageError : public testing::TestWithParam<BadCase> {};

TEST_P(UsageError, ExactDiagnosticAndStatus2) {
    const auto result = parse(GetParam().args);
    ASSERT_TRUE(std::holds_alternative<ParseExit>(result));
    EXPECT_EQ(std::get<ParseExit>(result).status, 2);
    EXPECT_EQ(std::get<ParseExit>(result).text, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, UsageError,
    testing::Values(
        BadCase{"Negative", {"calibrate", "--samples", "-5"},
                "error: invalid value '-5' for '--samples <SAMPLES>': invalid digit found in string" + kCalibrateUsage},
        BadCase{"TrailingLetter", {"calibrate", "--samples", "5x"},
                "error: invalid value '5x' for '--samples <SAMPLES>': invalid digit found in string" + kCalibrateUsage},
        BadCase{"PlusOnly", {"calibrate", "--workers", "+"},
                "error: invalid value '+' for '--workers <WORKERS>': invalid digit found in string" + kCalibrateUsage},
        BadCase{"DoublePlus", {"calibrate", "--workers", "++1"},
                "error: invalid value '++1' for '--workers <WORKERS>': invalid digit found in string" + kCalibrateUsage},
        BadCase{"Space", {"calibrate", "--workers", " 1"},
                "error: invalid value ' 1' for '--workers <WORKERS>': invalid digit found in string" + kCalibrateUsage},
        BadCase{"Hex", {"calibrate", "--workers", "0x10"},
                "error: invalid value '0x10' for '--workers <WORKERS>': invalid digit found in string" + kCalibrateUsage},
        BadCase{"OneTooLarge", {"calibrate", "--samples", "18446744073709551616"},
                "error: invalid value '18446744073709551616' for '--samples <SAMPLES>': number too large to fit in "
                "target type" + kCalibrateUsage},
        // The first fault in reading order decides: overflow before the letter.
        BadCase{"TooLargeThenLetter", {"calibrate", "--samples", "99999999999999999999x"},
                "error: invalid value '99999999999999999999x' for '--samples <SAMPLES>': number too large to fit in "
                "target type" + kCalibrateUsage},
        BadCase{"Empty", {"calibrate", "--samples="},
                "error: invalid value '' for '--samples <SAMPLES>': cannot parse integer from empty string" +
                    kCalibrateUsage},
        BadCase{"ModeUppercase", {"calibrate", "--mode", "FULL"},
                "error: invalid value 'FULL' for '--mode <MODE>'\n  [possible values: full, light]" + kCalibrateUsage},
        BadCase{"UnknownOption", {"calibrate", "--foo", "1"}, "error: unexpected argument '--foo' found" + kCalibrateUsage},
        BadCase{"UnknownOptionWithValue", {"calibrate", "--foo=1"},
                "error: unexpected argument '--foo' found" + kCalibrateUsage},
        BadCase{"ShortOption", {"calibrate", "-s", "1"}, "error: unexpected argument '-s' found" + kCalibrateUsage},
        BadCase{"Positional", {"calibrate", "extra"}, "error: unexpected argument 'extra' found" + kCalibrateUsage},
        BadCase{"Repeated", {"calibrate", "--samples", "1", "--samples=1"},
                "error: the argument '--samples <SAMPLES>' cannot be used multiple times" + kCalibrateUsage},
        BadCase{"ValueMissingAtEnd", {"calibrate", "--mode"},
                "error: a value is required for '--mode <MODE>' but none was supplied" + kCalibrateUsage},
        BadCase{"ValueMissingBeforeOption", {"calibrate", "--samples", "--workers", "2"},
                "error: a value is required for '--samples <SAMPLES>' but none was supplied" + kCalibrateUsage},
        BadCase{"AllMissingRequiredNamed", {"generate", "--signing-key", "k", "--mode", "light"},
                "error: the following required arguments were not provided:\n  --epoch <EPOCH>\n  --iterations "
                "<ITERATIONS>\n  --manifest-out <MANIFEST_OUT>\n  --epoch-key-out <EPOCH_KEY_OUT>" + kGenerateUsage},
        BadCase{"NoRequiredGiven", {"decrypt-record"},
                "error: the following required arguments were not provided:\n  --manifest <MANIFEST>\n  "
                "--service-public-key <SERVICE_PUBLIC_KEY>\n  --epoch-key <EPOCH_KEY>\n  --record <RECORD>\n  "
                "--plaintext-out <PLAINTEXT_OUT>\n\nUsage: zanth-timelock decrypt-record --manifest <MANIFEST> "
                "--service-public-key <SERVICE_PUBLIC_KEY> --epoch-key <EPOCH_KEY> --record <RECORD> "
                "--plaintext-out <PLAINTEXT_OUT>\n\nFor more information, try '--help'.\n"},
        BadCase{"InvalidUtf8Text",
                {"solve", "--service-public-key", "ab\xff", "--manifest", "m", "--checkpoint", "c", "--key-out", "k"},
                "error: invalid value 'ab\xEF\xBF\xBD' for '--service-public-key <SERVICE_PUBLIC_KEY>': invalid "
                "UTF-8\n\nUsage: zanth-timelock solve --manifest <MANIFEST> --service-public-key "
                "<SERVICE_PUBLIC_KEY> --checkpoint <CHECKPOINT> --key-out <KEY_OUT> [OPTIONS]\n\nFor more "
                "information, try '--help'.\n"},
        BadCase{"OptionFromAnotherCommand", {"calibrate", "--epoch", "1"},
                "error: unexpected argument '--epoch' found" + kCalibrateUsage},
        BadCase{"UnknownSubcommand", {"decrypt"}, "error: unrecognized subcommand 'decrypt'" + kTopUsage},
        BadCase{"SubcommandCaseMatters", {"Generate"}, "error: unrecognized subcommand 'Generate'" + kTopUsage},
        BadCase{"TopLevelOption", {"--verbose"}, "error: unexpected argument '--verbose' found" + kTopUsage},
        BadCase{"VersionWithMore", {"--version", "solve"}, "error: unexpected argument '--version' found" + kTopUsage},
        BadCase{"FlagWithValue", {"status", "--manifest", "m", "--json=yes"},
                "error: unexpected value 'yes' for '--json' found; no more were expected\n\nUsage: zanth-timelock "
                "status <--manifest <MANIFEST>|--state <STATE>> [OPTIONS]\n\nFor more information, try '--help'.\n"},
        BadCase{"RateNotANumber", {"status", "--manifest", "m", "--rate", "fast"},
                "error: invalid value 'fast' for '--rate <RATE>': expected a number above 0, such as 6.54\n\nUsage: "
                "zanth-timelock status <--manifest <MANIFEST>|--state <STATE>> [OPTIONS]\n\nFor more information, try '--help'.\n"},
        BadCase{"RateAndCalibration", {"status", "--manifest", "m", "--calibration", "c", "--rate", "2"},
                "error: the argument '--rate <RATE>' cannot be used with '--calibration <CALIBRATION>'\n\nUsage: "
                "zanth-timelock status <--manifest <MANIFEST>|--state <STATE>> [OPTIONS]\n\nFor more information, try '--help'.\n"},
        BadCase{"IterationsNeitherWay", {"generate", "--epoch", "1", "--signing-key", "k", "--manifest-out", "m",
                                         "--epoch-key-out", "e"},
                "error: the following required arguments were not provided:\n  --iterations <ITERATIONS>" +
                    kGenerateUsage},
        BadCase{"HelpForUnknown", {"help", "nope"},
                "error: unrecognized subcommand 'nope'\n\nUsage: zanth-timelock help [COMMAND]\n\nFor more "
                "information, try '--help'.\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Help --------------------------------------------------------------------

ParseExit exit_of(const std::vector<std::string>& args) {
    auto result = parse(args);
    EXPECT_TRUE(std::holds_alternative<ParseExit>(result));
    return std::holds_alternative<ParseExit>(result) ? std::get<ParseExit>(result) : ParseExit{-1, ""};
}

TEST(Help, ProgramHelpListsCommandsInOrderAndExitsZero) {
    const ParseExit help = exit_of({"--help"});
    EXPECT_EQ(help.status, 0);
    const std::string& text = help.text;
    EXPECT_TRUE(text.starts_with("Native RandomX v2.0.1 96-segment timelock generator and solver\n\n"
                                 "Usage: zanth-timelock <COMMAND>\n"))
        << text;
    std::size_t at = 0;
    for (const char* row : {"  decrypt-paste   Decrypt an archived paste after recovering its existing epoch key\n",
                            "  decrypt-record  Decrypt an encrypted record with its puzzle's epoch key\n",
                            "  calibrate       Measure genuine serial RandomX work; production calibration requires "
                            "full mode\n",
                            "  generate        Generate 96 segments with a bounded worker pool. Keep epoch-key-out "
                            "private\n",
                            "  solve           Recover a puzzle's epoch key by redoing its serial work; resumes from "
                            "the checkpoint log\n",
                            "  keygen          ", "  pubkey          ", "  status          ",
                            "  help            Print this message or the help of the given subcommand(s)\n",
                            "  -h, --help     Print help\n",
                            "      --version  Print the version and the RandomX it implements\n"}) {
        const std::size_t found = text.find(row, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << row << "in\n" << text;
        at = found;
    }
}

TEST(Help, EveryWayToAskGivesTheSameText) {
    const std::string program = exit_of({"--help"}).text;
    EXPECT_EQ(exit_of({"-h"}).text, program);
    EXPECT_EQ(exit_of({"help"}).text, program);
    for (const auto& command : grammar::commands()) {
        const std::string name(command.name);
        const ParseExit flag = exit_of({name, "--help"});
        EXPECT_EQ(flag.status, 0) << name;
        EXPECT_EQ(exit_of({name, "-h"}).text, flag.text) << name;
        EXPECT_EQ(exit_of({"help", name}).text, flag.text) << name;
        EXPECT_EQ(exit_of({"help", name}).status, 0) << name;
        EXPECT_NE(flag.text, program) << name;
    }
}

TEST(Help, BareInvocationIsProgramHelpWithStatus2) {
    const ParseExit bare = exit_of({});
    EXPECT_EQ(bare.status, 2);
    EXPECT_EQ(bare.text, exit_of({"--help"}).text);
}

TEST(Help, HelpFlagWinsOverLaterButNotEarlierErrors) {
    EXPECT_EQ(exit_of({"generate", "--epoch", "1", "--help", "--bogus"}).status, 0);
    EXPECT_EQ(exit_of({"generate", "--bogus", "--help"}).status, 2);
    // A help flag where a value is expected is not taken as the value.
    EXPECT_EQ(exit_of({"calibrate", "--samples", "-h"}).status, 2);
}

TEST(Help, SubcommandHelpShowsOptionsDefaultsAndPossibleValues) {
    EXPECT_EQ(exit_of({"calibrate", "--help"}).text,
              "Measure genuine serial RandomX work; production calibration requires full mode\n\n"
              "Usage: zanth-timelock calibrate [OPTIONS]\n\n"
              "Options:\n"
              "      --samples <SAMPLES>            Chained RandomX steps each worker times [default: 1000]\n"
              "      --workers <WORKERS>            Threads measuring at once, 1 to 96 (1 gives a solver's speed) "
              "[default: 1]\n"
              "      --mode <MODE>                  RandomX memory mode: full (2080 MiB dataset, fast) or light "
              "(256 MiB cache) [default: full] [possible values: full, light]\n"
              "      --segment-time <SEGMENT_TIME>  Segment length for the summary's --iterations figure (12h, 7d, "
              "1d12h) [default: 1d]\n"
              "  -h, --help                         Print help\n");
    const std::string generate = exit_of({"help", "generate"}).text;
    EXPECT_NE(generate.find("--signing-key <SIGNING_KEY>          File containing a 32-byte Ed25519 seed in lowercase "
                            "hexadecimal\n"),
              std::string::npos)
        << generate;
    // The pin's help text belongs to solve only.
    const std::string pin_help = "Attestation-verified Ed25519 public key (64 lowercase hex digits)";
    EXPECT_NE(exit_of({"solve", "-h"}).text.find(pin_help), std::string::npos);
    EXPECT_EQ(exit_of({"decrypt-paste", "-h"}).text.find(pin_help), std::string::npos);
    EXPECT_EQ(exit_of({"decrypt-record", "-h"}).text.find(pin_help), std::string::npos);
    EXPECT_NE(exit_of({"solve", "-h"}).text.find("\n\nUsage: zanth-timelock solve --manifest <MANIFEST> "),
              std::string::npos);
}

TEST(Help, HelpOfHelp) {
    const ParseExit help = exit_of({"help", "help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.text.starts_with("Print this message or the help of the given subcommand(s)\n\n"
                                      "Usage: zanth-timelock help [COMMAND]\n"));
    EXPECT_EQ(exit_of({"help", "generate", "solve"}).status, 2);
}

// ---- Durations (--segment-time) ----------------------------------------------

TEST(SegmentTime, GrammarOfDurations) {
    const struct {
        std::string text;
        std::optional<std::uint64_t> seconds;
    } cases[] = {
        {"12h", 43'200},
        {"7d", 604'800},
        {"90m", 5'400},
        {"1d12h", 129'600},
        {"1h30m15s", 5'415},
        {"45s", 45},
        {"0d1s", 1},
        {"213503982334601d", 18'446'744'073'709'526'400u},  // the last whole day below 2^64 seconds
        {"213503982334602d", std::nullopt},                 // past 2^64 seconds
        {"18446744073709551616s", std::nullopt},            // the digits alone overflow
        {"0h", std::nullopt},                               // zero
        {"0d0s", std::nullopt},
        {"", std::nullopt},
        {"12", std::nullopt},     // no unit
        {"h", std::nullopt},      // no digits
        {"12x", std::nullopt},    // unknown unit
        {"12H", std::nullopt},    // units are lower case
        {"1h1d", std::nullopt},   // out of order
        {"1h2h", std::nullopt},   // repeated
        {"1.5h", std::nullopt},
        {"-1h", std::nullopt},
        {" 1h", std::nullopt},
        {"1h ", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(grammar::parse_duration(c.text), c.seconds) << "'" << c.text << "'";
}

// ---- The table itself ------------------------------------------------------

TEST(OptionTable, NamesFollowOneConvention) {
    for (const auto& command : grammar::commands()) {
        std::set<std::string_view> seen;
        for (const auto& option : command.options) {
            EXPECT_TRUE(seen.insert(option.name).second) << command.name << " repeats " << option.name;
            ASSERT_TRUE(option.name.starts_with("--"));
            if (option.kind == grammar::ValueKind::Flag) {
                EXPECT_EQ(option.value_name, "") << command.name << " " << option.name;
                continue;
            }
            std::string value_name;
            for (char c : option.name.substr(2)) value_name += c == '-' ? '_' : static_cast<char>(std::toupper(c));
            EXPECT_EQ(option.value_name, value_name) << command.name << " " << option.name;
        }
    }
}

TEST(OptionTable, CommandsParseIntoTheirOwnAlternativeInDispatchOrder) {
    const auto commands = grammar::commands();
    ASSERT_EQ(commands.size(), std::variant_size_v<Commands>);
    for (std::size_t i = 0; i < commands.size(); ++i) {
        std::vector<std::string> args{std::string(commands[i].name)};
        for (const auto& option : commands[i].options) {
            if (!option.required()) continue;
            args.push_back(std::string(option.name));
            const bool numeric = option.kind == grammar::ValueKind::Number || option.kind == grammar::ValueKind::Count ||
                                 option.kind == grammar::ValueKind::Steps;
            args.push_back(numeric ? "1" : "x");
        }
        const auto result = parse(args);
        ASSERT_TRUE(std::holds_alternative<Args>(result)) << commands[i].name;
        EXPECT_EQ(std::get<Args>(result).command.index(), i) << commands[i].name;
    }
}

}  // namespace
}  // namespace zt::cli
