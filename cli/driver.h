// The body of the program: parse the command line, run exactly one command
// handler on the main thread, and turn its outcome into console output and
// an exit status.
//
// Exit statuses: 0 success; 1 the handler failed (the error report is on
// standard error); 2 usage error or bare invocation; 128 + the signal number
// (130, 143, 129) a command stopped on request by SIGINT, SIGTERM or SIGHUP, with its
// message on standard error (zt::Interrupted); 101 internal fault (a
// failed write to standard output, a thread that could not be started, or
// any other exception), reported by a one-line diagnostic on standard error
// that is not an error report. The only environment variable read is TERM,
// by the status lines (cli/terminal/status_line.h).
//
// Thread safety: run_main and run_guarded are for the main thread;
// format_error_report may be called from any thread.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "timelock/base/error.h"

namespace zt::cli {

// The entry point. `args` are the process arguments after the program's own
// path. Ignores the broken-pipe signal, so a closed standard output shows up
// as a failed write (status 101) instead of killing the process silently.
// A standard descriptor that is closed at start is held by a read-only
// /dev/null for the run, so files the command opens never take its number.
int run_main(std::span<const std::string> args);

// A failure whose exit status says all (verify --quiet): status 1 and no
// error report.
Error told_by_exit_status();

// Runs `body` and maps its outcome to the exit status: 0 on success; the
// error report on standard error and 1 on an error (none for
// told_by_exit_status); the message and 128 +
// the signal number on zt::Interrupted; a diagnostic and 101 on
// zt::InternalFault or any other exception.
int run_guarded(const std::function<zt::Result<void>()>& body);

// "Error: {message}\n", and when there are causes a blank line, "Caused by:"
// and the causes: one cause indented by four spaces; two or more numbered,
// the index right-aligned in five columns, then ": ". Continuation lines of
// a multi-line cause are indented to the start of its text (seven columns
// when numbered, four otherwise).
std::string format_error_report(const zt::Error& error);

}  // namespace zt::cli
