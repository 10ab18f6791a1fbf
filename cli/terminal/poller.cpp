#include "cli/terminal/poller.h"

#include <csignal>
#include <utility>

#include "cli/terminal/progress.h"
#include "cli/terminal/status_request.h"
#include "timelock/base/stop_signals.h"

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

std::string format_setup_stopping(std::string_view label, int signal_number) {
    const char* name = signal_number == SIGINT    ? "SIGINT"
                       : signal_number == SIGTERM ? "SIGTERM"
                       : signal_number == SIGHUP  ? "SIGHUP"
                                                  : nullptr;
    std::string text(label);
    text += ": ";
    text += name != nullptr ? name : "signal " + std::to_string(signal_number);
    text += " received, stopping the RandomX set-up";
    return text;
}

SetupWatch::SetupWatch(StatusLine& line, std::string label, WorkMode mode, double expected_seconds)
    : poller_([&line, label = std::move(label), mode, expected_seconds, started = std::chrono::steady_clock::now(),
               stop_shown = false]() mutable {
          const int signal = StopSignals::flag().load(std::memory_order_relaxed);
          const bool asked = StatusRequests::take();
          if (!asked && !line.due() && (signal == 0 || stop_shown)) return;
          stop_shown = signal != 0;
          const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
          const std::string text = signal != 0 ? format_setup_stopping(label, signal)
                                               : format_setup_status(label, mode, elapsed, expected_seconds);
          if (asked) line.print(text);
          line.draw(text);
      }) {}

}  // namespace zt::cli
