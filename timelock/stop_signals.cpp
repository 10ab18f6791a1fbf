#include "timelock/stop_signals.h"

#include <signal.h>

#include <atomic>

namespace zt {
namespace {

static_assert(std::atomic<std::sig_atomic_t>::is_always_lock_free);

volatile std::sig_atomic_t g_stop_signal = 0;
const volatile std::sig_atomic_t g_never = 0;

// Async-signal-safe: one load and one store. Both signals are blocked while
// it runs (sa_mask), so the first one is the one kept.
extern "C" void record_stop_signal(int signal_number) {
    if (g_stop_signal == 0) g_stop_signal = signal_number;
}

}  // namespace

StopSignals::StopSignals() : saved_{{SIGINT, false, {}}, {SIGTERM, false, {}}} {
    g_stop_signal = 0;
    struct sigaction action {};
    action.sa_handler = record_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
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

const volatile std::sig_atomic_t& StopSignals::flag() { return g_stop_signal; }

const volatile std::sig_atomic_t& never_stop() { return g_never; }

}  // namespace zt
