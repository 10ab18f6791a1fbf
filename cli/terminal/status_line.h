// One line of status text kept up to date on a terminal: the drawing shared
// by the progress displays of calibrate, generate and solve.
//
// Three styles. Live (a terminal that understands escape codes): a drawing
// is a carriage return, the text, and an erase to the end of the line (so a
// shorter text leaves nothing of a longer one behind); clearing is a
// carriage return and that erase; at most one drawing a second. Plain (a
// terminal whose TERM is "dumb", empty or unset): each drawing is a line of
// plain text of its own, at most one a minute, and clearing does nothing.
// Off (not a terminal): nothing is written at all.
//
// Either way the text is shortened to the terminal's width (one column short of
// it, read at every drawing, so a resized window is followed): a line that
// wrapped would leave a new line behind at every redraw. Texts are ASCII.
//
// Writes are best effort: a terminal that cannot be written to loses its
// line and the command goes on. What the line says, and how often its owner
// looks at the clock, are the owner's business; due() only tells whether
// the style's interval has passed since the last drawing.
//
// Thread safety: owned and used by one thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace zt::cli {

enum class LineStyle { Off, Live, Plain };

class StatusLine {
public:
    static constexpr auto kRedrawInterval = std::chrono::seconds(1);
    static constexpr auto kPlainInterval = std::chrono::seconds(60);

    // Whether `fd` is a terminal, the condition for enabling a line on it.
    static bool is_terminal(int fd);

    // The style for `fd`: Off unless it is a terminal; Plain when TERM is
    // "dumb", empty or unset; Live otherwise.
    static LineStyle style_for(int fd);

    // `text` made to fit a terminal `columns` wide: at most columns - 1
    // characters (0 columns: unknown, nothing changes). A text too long is
    // first worded more tersely ("segment 4 of 7" as "seg 4/7", no "left",
    // no command name) so that its figures stay; only then is it cut.
    static std::string fit(std::string_view text, std::size_t columns);

    // The first throttled drawing is due one interval after construction.
    StatusLine(int fd, LineStyle style);
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;
    ~StatusLine() { clear(); }

    bool enabled() const { return style_ != LineStyle::Off; }

    // Whether the line is enabled and its interval has passed since the
    // last drawing (or construction, or hold_off()). Reads the clock only
    // when enabled.
    bool due() const { return enabled() && std::chrono::steady_clock::now() - last_draw_ >= interval(); }

    // The next throttled drawing is due one interval from now.
    void hold_off() { last_draw_ = std::chrono::steady_clock::now(); }

    // Draws `text` (without control characters) at once, replacing what the
    // line showed, and restarts the interval.
    void draw(std::string_view text);

    // Removes the line from the terminal, if one is drawn.
    void clear();

    // Writes `text` as a line of its own, whatever the style (also Off):
    // the drawn line is cleared first and comes back at the next drawing.
    void print(std::string_view text);

private:
    std::chrono::steady_clock::duration interval() const {
        return style_ == LineStyle::Plain ? std::chrono::steady_clock::duration(kPlainInterval)
                                          : std::chrono::steady_clock::duration(kRedrawInterval);
    }
    std::size_t columns() const;
    void write_text(std::string_view text) const;

    int fd_;
    LineStyle style_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace zt::cli
