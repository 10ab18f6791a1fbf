#include "cli/terminal/status_line.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace zt::cli {

bool StatusLine::is_terminal(int fd) { return isatty(fd) == 1; }

LineStyle StatusLine::style_for(int fd) {
    if (!is_terminal(fd)) return LineStyle::Off;
    const char* term = std::getenv("TERM");
    if (term == nullptr || *term == '\0' || std::string_view(term) == "dumb") return LineStyle::Plain;
    return LineStyle::Live;
}

namespace {

void replace_all(std::string& text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

// Shorter wordings, tried stage by stage until the text fits: words first,
// then separators, then the command's name. The figures (positions, share,
// rate, time left) are kept to the last. A stage makes one or two
// replacements (brackets go in pairs).
struct Shortening {
    std::string_view from;
    std::string_view to;
    std::string_view from2 = {};
    std::string_view to2 = {};
};
constexpr Shortening kWordings[] = {
    {" of ", "/"}, {"segment ", "seg "}, {" segments", " seg"}, {"step ", ""}, {" steps per worker", ""},
    {"setting up RandomX", "setup"}, {"verifying a sample", "sample"}, {"recomputing all ", ""}, {" so far", ""}, {" left", ""}, {", ", " "}, {" (", " ", ")", ""},
    {" H/s", "H/s"}, {"d ", "d", "h ", "h"},
};

}  // namespace

std::string StatusLine::fit(std::string_view text, std::size_t columns) {
    // The last column is left free: a character written there puts some
    // terminals into a pending wrap that the next carriage return turns into
    // a new line.
    std::string out(text);
    if (columns == 0 || out.size() < columns) return out;
    for (const Shortening& wording : kWordings) {
        replace_all(out, wording.from, wording.to);
        if (!wording.from2.empty()) replace_all(out, wording.from2, wording.to2);
        if (out.size() < columns) return out;
    }
    // The command's name ("solve: ") goes last, before the text is cut.
    if (const std::size_t colon = out.find(": "); colon != std::string::npos && colon < 24) out.erase(0, colon + 2);
    if (out.size() >= columns) out.resize(columns - 1);
    return out;
}

StatusLine::StatusLine(int fd, LineStyle style)
    : fd_(fd), style_(style), last_draw_(std::chrono::steady_clock::now()) {}

std::size_t StatusLine::columns() const {
    struct winsize size {};
    if (::ioctl(fd_, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

void StatusLine::draw(std::string_view text) {
    if (!enabled()) return;
    last_draw_ = std::chrono::steady_clock::now();
    const std::string fitted = fit(text, columns());
    if (style_ == LineStyle::Plain) {
        write_text(fitted + "\n");
        return;
    }
    // Carriage return, the line, then erase whatever a longer line left.
    write_text("\r" + fitted + "\x1b[K");
    drawn_ = true;
}

void StatusLine::clear() {
    if (!drawn_) return;
    write_text("\r\x1b[K");
    drawn_ = false;
}

void StatusLine::print(std::string_view text) {
    clear();
    std::string line(text);
    line += '\n';
    write_text(line);
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
