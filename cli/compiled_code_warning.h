// The warning for iteration counts from a machine without compiled RandomX
// code: its interpreter hashes several times slower than compiled code, so
// segments calibrated there are several times too short for a solver whose
// machine compiles the programs, and the puzzle opens that much early.
//
// Thread safety: reads the library's flags, which never change once read.
#pragma once

#include <string>

namespace zt::cli {

// Whether the engine's programs (v2) run compiled here.
bool hashes_compiled();

// The line for calibrate's summary ("  warning: ...", with its newline) when
// this machine hashes without compiled code; empty otherwise.
std::string compiled_code_summary_warning();

// For generate --iterations-from: the same warning on standard error when
// this machine hashes without compiled code (the report was likely measured
// here); nothing otherwise.
void warn_without_compiled_code();

}  // namespace zt::cli
