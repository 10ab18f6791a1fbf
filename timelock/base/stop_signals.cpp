#include "timelock/base/stop_signals.h"

#include <signal.h>

namespace zt {
namespace {

// Lock-free, so using it inside a signal handler is async-signal-safe.
static_assert(std::atomic<int>::is_always_lock_free);

std::atomic<int> g_stop_signal{0};
const std::atomic<int> g_never{0};

// Async-signal-safe: one compare-and-swap, so the first signal is the one
// kept even when two threads take one each at the same moment.
extern "C" void record_stop_signal(int signal_number) {
    int none = 0;
    g_stop_signal.compare_exchange_strong(none, signal_number, std::memory_order_relaxed);
}

}  // namespace

StopSignals::StopSignals() : saved_{{{SIGINT, false, {}}, {SIGTERM, false, {}}, {SIGHUP, false, {}}}} {
    g_stop_signal.store(0, std::memory_order_relaxed);
    struct sigaction action {};
    action.sa_handler = record_stop_signal;
    sigemptyset(&action.sa_mask);
    for (const Saved& saved : saved_) sigaddset(&action.sa_mask, saved.signal_number);
    // Restarted system calls: a checkpoint write or flush under way when the
    // signal comes completes instead of failing.
    action.sa_flags = SA_RESTART;
    for (Saved& saved : saved_) {
        if (sigaction(saved.signal_number, nullptr, &saved.previous) != 0) continue;
        if (saved.previous.sa_handler == SIG_IGN) continue;
        saved.installed = sigaction(saved.signal_number, &action, nullptr) == 0;
    }
}

StopSignals::~StopSignals() {
    for (Saved& saved : saved_) {
        if (saved.installed) sigaction(saved.signal_number, &saved.previous, nullptr);
    }
}

const std::atomic<int>& StopSignals::flag() { return g_stop_signal; }

const std::atomic<int>& never_stop() { return g_never; }

}  // namespace zt
