// Help and usage texts, generated from the option table.
#include <algorithm>
#include <utility>
#include <vector>

#include "cli/parse/grammar.h"
#include "timelock/base/protocol.h"

#ifndef ZT_VERSION
#error "ZT_VERSION (the project's version) is set by cli/CMakeLists.txt"
#endif

namespace zt::cli::grammar {
namespace {

using Row = std::pair<std::string, std::string>;  // left column, description

// Rows as "  left  description", the descriptions aligned in one column.
std::string render_rows(const std::vector<Row>& rows) {
    std::size_t width = 0;
    for (const Row& row : rows) width = std::max(width, row.first.size());
    std::string out;
    for (const Row& row : rows) {
        std::string line = cat("  ", row.first);
        if (!row.second.empty()) line += cat(std::string(width - row.first.size() + 2, ' '), row.second);
        out += cat(line, "\n");
    }
    return out;
}

std::string option_description(const OptionSpec& option) {
    std::string text(option.help);
    auto add = [&](const std::string& part) { text += cat(text.empty() ? "" : " ", part); };
    if (!option.default_text.empty()) add(cat("[default: ", option.default_text, "]"));
    if (option.required() && !option.excludes.empty()) add(cat("[required unless ", option.excludes, " is given]"));
    if (!option.needs.empty()) add(cat("[needs ", option.needs, "]"));
    if (option.kind == ValueKind::Mode) {
        std::string possible;
        for (WorkMode mode : kWorkModes) possible += cat(possible.empty() ? "" : ", ", work_mode_arg(mode));
        add(cat("[possible values: ", possible, "]"));
    }
    return text;
}

std::string with_about(std::string_view about, const std::string& rest) {
    return about.empty() ? rest : cat(about, "\n\n", rest);
}

}  // namespace

std::string option_usage(const OptionSpec& option) {
    if (option.kind == ValueKind::Flag) return std::string(option.name);
    return cat(option.name, " <", option.value_name, ">");
}

std::string program_usage() { return cat("Usage: ", kProgram, " <COMMAND>"); }

std::string command_usage(const CommandSpec& command) {
    std::string usage = cat("Usage: ", kProgram, " ", command.name);
    bool has_optional = false;
    for (const OptionSpec& option : command.options) {
        if (!option.required()) {
            has_optional = true;
        } else if (option.excludes.empty()) {
            usage += cat(" ", option_usage(option));
        } else {
            // Either of two options serves: "<--iterations <ITERATIONS>|--iterations-from <ITERATIONS_FROM>>".
            std::string alternative = std::string(option.excludes);
            for (const OptionSpec& other : command.options) {
                if (other.name == option.excludes) alternative = option_usage(other);
            }
            usage += cat(" <", option_usage(option), "|", alternative, ">");
        }
    }
    if (has_optional) usage += " [OPTIONS]";
    return usage;
}

std::string help_command_usage() { return cat("Usage: ", kProgram, " help [COMMAND]"); }

std::string program_help() {
    std::vector<Row> rows;
    for (const CommandSpec& command : commands()) rows.emplace_back(command.name, command.about);
    rows.emplace_back("help", kHelpAbout);
    const std::vector<Row> statuses = {
        {"0", "success"},
        {"1", "the command failed; the error report is on standard error"},
        {"2", "usage error"},
        {"101", "internal fault"},
        {"129, 130, 143", "generate, solve or work stopped by SIGHUP, SIGINT or SIGTERM"},
    };
    const std::vector<Row> signals = {
        {"SIGINT, SIGTERM, SIGHUP", "solve, work and generate --state save the position and stop (the same command "
                                    "resumes); generate stops and keeps nothing; at once, the RandomX set-up "
                                    "included"},
        {"SIGUSR1", "solve, generate, work, calibrate, assemble and verify-result write one status line to "
                    "standard error and go on (never ended by it from the program's first instruction, right after "
                    "the system's loader has linked it, to its exit)"},
    };
    return with_about(kProgramAbout,
                      cat(program_usage(), "\n\nCommands:\n", render_rows(rows), "\nOptions:\n",
                          render_rows({{"-h, --help", std::string(kHelpFlagAbout)},
                                       {"    --version", std::string(kVersionFlagAbout)}}),
                          "\nExit status:\n", render_rows(statuses), "\nSignals:\n",
                          render_rows(signals)));
}

std::string version_text() {
    return cat(kProgram, " ", ZT_VERSION, "\nRandomX ", protocol::kRandomxRelease, ", commit ",
               protocol::kRandomxCommit, ", algorithm ", protocol::kRandomxAlgorithm, "\n");
}

std::string command_help(const CommandSpec& command) {
    // Long options are indented past the place a short form would take, so
    // that "--name" lines up with "--help" in "-h, --help".
    std::vector<Row> rows;
    for (const OptionSpec& option : command.options) {
        rows.emplace_back(cat("    ", option_usage(option)), option_description(option));
    }
    rows.emplace_back("-h, --help", kHelpFlagAbout);
    return with_about(command.about, cat(command_usage(command), "\n\nOptions:\n", render_rows(rows)));
}

std::string help_command_help() {
    return with_about(kHelpAbout, cat(help_command_usage(), "\n\nArguments:\n",
                                      render_rows({{"[COMMAND]", "The subcommand whose help to print"}})));
}

}  // namespace zt::cli::grammar
