#include "cli/driver.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <exception>
#include <variant>

#include "cli/parse/args.h"
#include "cli/commands/commands.h"
#include "cli/console.h"
#include "cli/terminal/status_request.h"
#include "timelock/base/publish.h"
#include "timelock/base/file_io.h"

namespace zt::cli {
namespace {

void report_fault(std::string_view what) {
    std::string line = "zanth-timelock: internal fault: ";
    line.append(what).append("\n");
    write_stderr(line);
}

void append_indented(std::string& out, std::string_view text, std::string_view continuation) {
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find('\n', start);
        out.append(text.substr(start, end - start));
        if (end == std::string_view::npos) break;
        out += '\n';
        out.append(continuation);
        start = end + 1;
    }
}

Result<void> dispatch(const Commands& command) {
    struct Dispatch {
        Result<void> operator()(const DecryptPasteArgs& a) const { return run_decrypt_paste(a); }
        Result<void> operator()(const DecryptRecordArgs& a) const { return run_decrypt_record(a); }
        Result<void> operator()(const CalibrateArgs& a) const { return run_calibrate(a); }
        Result<void> operator()(const GenerateArgs& a) const { return run_generate(a); }
        Result<void> operator()(const SolveArgs& a) const { return run_solve(a); }
        Result<void> operator()(const KeygenArgs& a) const { return run_keygen(a); }
        Result<void> operator()(const PubkeyArgs& a) const { return run_pubkey(a); }
        Result<void> operator()(const StatusArgs& a) const { return run_status(a); }
        Result<void> operator()(const PlanArgs& a) const { return run_plan(a); }
        Result<void> operator()(const WorkArgs& a) const { return run_work(a); }
        Result<void> operator()(const AssembleArgs& a) const { return run_assemble(a); }
        Result<void> operator()(const VerifyResultArgs& a) const { return run_verify_result(a); }
        Result<void> operator()(const SealRecordArgs& a) const { return run_seal_record(a); }
        Result<void> operator()(const SealPasteArgs& a) const { return run_seal_paste(a); }
        Result<void> operator()(const VerifyArgs& a) const { return run_verify(a); }
    };
    return std::visit(Dispatch{}, command);
}

// Whether the command answers SIGUSR1 with a status line (cli/terminal/status_request.h).
bool answers_status_requests(const Commands& command) {
    return std::holds_alternative<GenerateArgs>(command) || std::holds_alternative<SolveArgs>(command) ||
           std::holds_alternative<WorkArgs>(command) || std::holds_alternative<CalibrateArgs>(command) ||
           std::holds_alternative<AssembleArgs>(command) || std::holds_alternative<VerifyResultArgs>(command);
}

}  // namespace

std::string format_error_report(const Error& error) {
    std::string out = "Error: " + error.message();
    const auto& causes = error.causes();
    if (!causes.empty()) {
        out += "\n\nCaused by:";
        const bool numbered = causes.size() > 1;
        for (std::size_t i = 0; i < causes.size(); ++i) {
            out += '\n';
            if (numbered) {
                const std::string index = std::to_string(i);
                out += std::string(index.size() < 5 ? 5 - index.size() : 0, ' ') + index + ": ";
            } else {
                out += "    ";
            }
            append_indented(out, causes[i], numbered ? "       " : "    ");
        }
    }
    out += '\n';
    return out;
}

Error told_by_exit_status() { return Error(std::string()); }

int run_guarded(const std::function<Result<void>()>& body) {
    try {
        const Result<void> outcome = body();
        if (outcome) return 0;
        if (outcome.error() != told_by_exit_status()) write_stderr(format_error_report(outcome.error()));
        return 1;
    } catch (const Interrupted& stop) {
        write_stderr(std::string(stop.what()) + "\n");
        return 128 + stop.signal_number();
    } catch (const InternalFault& fault) {
        report_fault(fault.what());
    } catch (const std::exception& e) {
        report_fault(e.what());
    } catch (...) {
        report_fault("unknown exception");
    }
    return 101;
}

int run_main(std::span<const std::string> args) {
    // Before anything else: a status request that comes before the command
    // answers it, or after it stopped answering, never ends the process.
    ignore_status_requests();
    file_io::occupy_closed_standard_descriptors();
    set_publication_warning([](const std::string& message) { write_stderr("Warning: " + message + "\n"); });
    std::signal(SIGPIPE, SIG_IGN);
    auto parsed = parse_args(args);
    if (auto* exit = std::get_if<ParseExit>(&parsed)) {
        if (exit->status != 0) {
            write_stderr(exit->text);
            return exit->status;
        }
        return run_guarded([&]() -> Result<void> {
            write_stdout(exit->text);
            return success();
        });
    }
    const Args& parsed_args = std::get<Args>(parsed);
    if (!answers_status_requests(parsed_args.command)) restore_status_signal();
    return run_guarded([&] { return dispatch(parsed_args.command); });
}

}  // namespace zt::cli
