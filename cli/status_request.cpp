#include "cli/status_request.h"

#include <atomic>

namespace zt::cli {
namespace {

// Lock-free, so storing into it inside a signal handler is async-signal-safe.
static_assert(std::atomic<bool>::is_always_lock_free);

std::atomic<bool> g_requested{false};

extern "C" void record_status_request(int) { g_requested.store(true, std::memory_order_relaxed); }

}  // namespace

StatusRequests::StatusRequests() {
    g_requested.store(false, std::memory_order_relaxed);
    if (sigaction(SIGUSR1, nullptr, &previous_) != 0 || previous_.sa_handler == SIG_IGN) return;
    struct sigaction action {};
    action.sa_handler = record_status_request;
    sigemptyset(&action.sa_mask);
    // A checkpoint write or flush under way when the signal comes completes
    // instead of failing.
    action.sa_flags = SA_RESTART;
    installed_ = sigaction(SIGUSR1, &action, nullptr) == 0;
}

StatusRequests::~StatusRequests() {
    if (installed_) sigaction(SIGUSR1, &previous_, nullptr);
}

bool StatusRequests::pending() { return g_requested.load(std::memory_order_relaxed); }

bool StatusRequests::take() { return g_requested.exchange(false, std::memory_order_relaxed); }

}  // namespace zt::cli
