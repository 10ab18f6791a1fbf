// One line of status text kept up to date on a terminal: the drawing shared
// by the progress displays of generate and solve.
//
// A drawing is a carriage return, the text, and an erase to the end of the
// line (so a shorter text leaves nothing of a longer one behind); clearing
// is a carriage return and that erase. Writes are best effort: a terminal
// that cannot be written to loses its line and the command goes on. A
// disabled line (its descriptor is not a terminal) writes nothing at all.
// What the line says, and how often its owner looks at the clock, are the
// owner's business; due() only tells whether a second has passed since the
// last drawing.
//
// Thread safety: owned and used by one thread.
#pragma once

#include <chrono>
#include <string_view>

namespace zt::cli {

class StatusLine {
public:
    static constexpr auto kRedrawInterval = std::chrono::seconds(1);

    // Whether `fd` is a terminal, the condition for enabling a line on it.
    static bool is_terminal(int fd);

    // The first throttled drawing is due a second after construction.
    StatusLine(int fd, bool enabled);
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;
    ~StatusLine() { clear(); }

    bool enabled() const { return enabled_; }

    // Whether the line is enabled and a second has passed since the last
    // drawing (or construction, or hold_off()). Reads the clock only when
    // enabled.
    bool due() const { return enabled_ && std::chrono::steady_clock::now() - last_draw_ >= kRedrawInterval; }

    // The next throttled drawing is due a second from now.
    void hold_off() { last_draw_ = std::chrono::steady_clock::now(); }

    // Draws `text` (without control characters) at once, replacing what the
    // line showed, and restarts the second.
    void draw(std::string_view text);

    // Removes the line from the terminal, if one is drawn.
    void clear();

private:
    void write_text(std::string_view text) const;

    int fd_;
    bool enabled_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace zt::cli
