#include "cli/terminal/status_request.h"

#include <atomic>

namespace zt::cli {
namespace {

// Lock-free, so storing into it inside a signal handler is async-signal-safe.
static_assert(std::atomic<bool>::is_always_lock_free);

std::atomic<bool> g_requested{false};

extern "C" void record_status_request(int) { g_requested.store(true, std::memory_order_relaxed); }

// How the process was started, kept by ignore_status_requests.
struct Started {
    bool saved = false;
    struct sigaction action {};
    bool blocked = false;
};
Started g_started;

}  // namespace

void ignore_status_requests() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    struct sigaction previous {};
    if (sigaction(SIGUSR1, &ignore, &previous) != 0) return;
    // Ignored first: a request pending while blocked is dropped, not fatal.
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigset_t before;
    const bool unblocked = sigprocmask(SIG_UNBLOCK, &usr1, &before) == 0;
    // Called again in the same process (the driver run twice), the first
    // call's record of how the process was started stands.
    if (g_started.saved) return;
    g_started = Started{true, previous, unblocked && sigismember(&before, SIGUSR1) == 1};
}

void restore_status_signal() {
    if (!g_started.saved) return;
    sigaction(SIGUSR1, &g_started.action, nullptr);
    if (g_started.blocked) {
        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        sigprocmask(SIG_BLOCK, &usr1, nullptr);
    }
    g_started.saved = false;
}

StatusRequests::StatusRequests() {
    g_requested.store(false, std::memory_order_relaxed);
    if (sigaction(SIGUSR1, nullptr, &previous_) != 0) return;
    // Ignored by the process's starter (not by ignore_status_requests): stays so.
    const struct sigaction& started = g_started.saved ? g_started.action : previous_;
    if (started.sa_handler == SIG_IGN) return;
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
