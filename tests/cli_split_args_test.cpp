// The grammar of the split generation: plan, work and assemble parse into
// their own structs with their defaults, generate's --state may be left out
// (empty then, and no default shown in the help), --verify-fraction takes
// plain decimals only, --solver-speedup factors of 1 to 100 with a report.
#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "cli/parse/args.h"

namespace zt::cli {
namespace {

std::variant<Args, ParseExit> parse(const std::vector<std::string>& args) { return parse_args(args); }

template <typename T>
T parsed_as(const std::vector<std::string>& args) {
    const auto result = parse(args);
    EXPECT_TRUE(std::holds_alternative<Args>(result)) << std::get<ParseExit>(result).text;
    return std::get<T>(std::get<Args>(result).command);
}

const std::vector<std::string> kAssemble = {"assemble", "--state", "s", "--results", "r", "--signing-key", "k",
                                            "--manifest-out", "m", "--epoch-key-out", "e"};

TEST(SplitGrammar, CommandsParseWithTheirDefaults) {
    EXPECT_EQ(parsed_as<PlanArgs>({"plan", "--epoch", "3", "--iterations", "+9", "--state", "d"}),
              (PlanArgs{3, 9, "d"}));
    EXPECT_EQ(parsed_as<WorkArgs>({"work", "--task", "t", "--result", "r"}),
              (WorkArgs{"t", "r", WorkMode::Full, 10000}));
    EXPECT_EQ(parsed_as<AssembleArgs>(kAssemble), (AssembleArgs{"s", "r", "k", "m", "e", 0.01, false, WorkMode::Full}));
    const std::vector<std::string> generate = {"generate", "--epoch", "1", "--iterations", "2", "--signing-key", "k",
                                               "--manifest-out", "m", "--epoch-key-out", "e"};
    EXPECT_EQ(parsed_as<GenerateArgs>(generate).state, std::nullopt);
    std::vector<std::string> with_state = generate;
    with_state.insert(with_state.end(), {"--state", "dir"});
    EXPECT_EQ(parsed_as<GenerateArgs>(with_state).state, "dir");
    const std::string help = std::get<ParseExit>(parse({"generate", "--help"})).text;
    EXPECT_EQ(help.find("[default: ]"), std::string::npos) << help;
}

TEST(SplitGrammar, VerifyFractionTakesPlainDecimalsAboveZeroUpToOne) {
    struct Case {
        const char* text;
        double value;  // negative: a usage error
    };
    for (const Case& c : {Case{"0.01", 0.01}, Case{"1", 1.0}, Case{"1.0", 1.0}, Case{"0", -1}, Case{"0.0", -1}, Case{"2.5", -1},
                          Case{"1.0001", -1},
                          Case{"", -1}, Case{".5", -1}, Case{"5.", -1}, Case{"1e-3", -1}, Case{"-0.1", -1},
                          Case{"0,5", -1}, Case{"nan", -1}, Case{" 1", -1}}) {
        std::vector<std::string> args = kAssemble;
        args.push_back(std::string("--verify-fraction=") + c.text);
        const auto result = parse(args);
        if (c.value < 0) {
            ASSERT_TRUE(std::holds_alternative<ParseExit>(result)) << c.text;
            EXPECT_EQ(std::get<ParseExit>(result).status, 2) << c.text;
        } else {
            ASSERT_TRUE(std::holds_alternative<Args>(result)) << c.text;
            EXPECT_EQ(std::get<AssembleArgs>(std::get<Args>(result).command).verify_fraction, c.value) << c.text;
        }
    }
}

TEST(SplitGrammar, SolverSpeedupIsAFactorBesideACalibrationReport) {
    const std::vector<std::string> plan = {"plan", "--epoch", "1", "--iterations-from", "c.json", "--state", "d"};
    for (const auto& [text, value] : {std::pair{"1", 1.0}, {"1.375", 1.375}, {"100", 100.0}, {"0.9", 0.0},
                                      {"100.001", 0.0}, {"1.2345", 0.0}, {"1e1", 0.0}, {"1.", 0.0}}) {
        std::vector<std::string> args = plan;
        args.push_back(std::string("--solver-speedup=") + text);
        const auto result = parse(args);
        EXPECT_EQ(std::holds_alternative<Args>(result), value != 0.0) << text;
        if (value != 0.0) EXPECT_EQ(std::get<PlanArgs>(std::get<Args>(result).command).solver_speedup, value);
    }
    const auto given = parse({"plan", "--epoch", "1", "--iterations", "5", "--state", "d", "--solver-speedup", "2"});
    EXPECT_NE(std::get<ParseExit>(given).text.find("'--solver-speedup <SOLVER_SPEEDUP>' cannot be used with"),
              std::string::npos);
}

}  // namespace
}  // namespace zt::cli
