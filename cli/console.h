// Console output of the commands: their one result on standard output and
// the driver's reports on standard error, each written whole at once
// (nothing is buffered, so nothing is left to flush).
//
// Thread safety: callable from any thread, but writes from several threads
// may interleave.
#pragma once

#include <string_view>

namespace zt::cli {

// Writes all of `text` to standard output. Throws zt::InternalFault when the
// write fails.
void write_stdout(std::string_view text);

// Writes all of `text` to standard error. Standard error is where failures
// are told; if even that fails there is nobody left to tell, so its write
// errors are dropped.
void write_stderr(std::string_view text);

}  // namespace zt::cli
