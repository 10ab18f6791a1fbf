#include "cli/terminal/poller.h"

#include <utility>

#include "cli/terminal/progress.h"
#include "cli/terminal/status_request.h"

namespace zt::cli {

Poller::Poller(std::function<void()> tick, std::chrono::milliseconds interval)
    : tick_(std::move(tick)), interval_(interval) {
    thread_ = std::thread([this] {
        std::unique_lock lock(mutex_);
        while (!wake_.wait_for(lock, interval_, [this] { return stopping_; })) {
            lock.unlock();
            tick_();
            lock.lock();
        }
    });
}

void Poller::stop() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

std::string format_setup_status(std::string_view label, WorkMode mode, double elapsed_seconds,
                                double expected_seconds) {
    std::string text(label);
    text += ": setting up RandomX (";
    text += work_mode_arg(mode);
    text += " mode), ";
    text += format_duration(elapsed_seconds);
    text += " so far";
    if (expected_seconds > 0.0) {
        text += " of about ";
        text += format_duration(expected_seconds);
    }
    return text;
}

StatusWatch::StatusWatch(StatusLine& line, std::function<std::string(double)> describe)
    : poller_([&line, describe = std::move(describe), started = std::chrono::steady_clock::now()] {
          const bool asked = StatusRequests::take();
          if (!asked && !line.due()) return;
          const std::string text =
              describe(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
          if (asked) line.print(text);
          line.draw(text);
      }) {}

SetupWatch::SetupWatch(StatusLine& line, std::string label, WorkMode mode, double expected_seconds)
    : StatusWatch(line, [label = std::move(label), mode, expected_seconds](double elapsed) {
          return format_setup_status(label, mode, elapsed, expected_seconds);
      }) {}

}  // namespace zt::cli
