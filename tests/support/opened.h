// Directories and outputs opened by path for tests, as the commands open
// them from their arguments; a failure to open ends the test with the error.
//
// Thread safety: one test thread.
#pragma once

#include <string>

#include "timelock/base/file_io.h"
#include "timelock/base/publish.h"
#include "timelock/split/state_dir.h"

namespace zt::test {

file_io::Dir dir_at(const std::string& path);
OutputTarget target_at(const std::string& path);
// The state directory at `path`, locked (made when missing).
StateDir state_at(const std::string& path);

}  // namespace zt::test
