#include "cli/status_line.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace zt::cli {

bool StatusLine::is_terminal(int fd) { return isatty(fd) == 1; }

StatusLine::StatusLine(int fd, bool enabled)
    : fd_(fd), enabled_(enabled), last_draw_(std::chrono::steady_clock::now()) {}

void StatusLine::draw(std::string_view text) {
    if (!enabled_) return;
    last_draw_ = std::chrono::steady_clock::now();
    // Carriage return, the line, then erase whatever a longer line left.
    std::string line = "\r";
    line.append(text);
    line += "\x1b[K";
    write_text(line);
    drawn_ = true;
}

void StatusLine::clear() {
    if (!drawn_) return;
    write_text("\r\x1b[K");
    drawn_ = false;
}

void StatusLine::write_text(std::string_view text) const {
    // Best effort: a terminal that cannot be written to loses its line, and
    // the command goes on.
    while (!text.empty()) {
        const ssize_t n = ::write(fd_, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace zt::cli
