#include "cli/console.h"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "timelock/base/error.h"
#include "timelock/base/file_io.h"

namespace zt::cli {
namespace {

// Writes everything or returns the errno of the failure (0: a write that
// reported no progress).
int write_fd(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return 0;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return -1;
}

}  // namespace

void write_stdout(std::string_view text) {
    const int err = write_fd(STDOUT_FILENO, text);
    if (err < 0) return;
    const std::string reason = err == 0 ? std::string(file_io::kWriteZero) : Error::from_errno(err).message();
    throw InternalFault("failed printing to standard output: " + reason);
}

void write_stderr(std::string_view text) { static_cast<void>(write_fd(STDERR_FILENO, text)); }

}  // namespace zt::cli
