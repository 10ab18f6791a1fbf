// The thread discipline shared by the segment pool and calibration: start
// `count` threads one after another in index order, wait until every started
// thread has ended, and hand back each thread's outcome in start order.
//
// A thread whose body throws has "ended abnormally": its outcome is empty and
// whatever it carried is discarded. If the platform refuses to start a
// thread, no further thread is started, `on_start_failure` runs (so started
// threads waiting for the full count can be released), the started threads
// are joined, and InternalFault is thrown: the command ends with status 101.
//
// Internal to the timelock library. Thread safety: call from one thread;
// `body` runs concurrently on every started thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "timelock/error.h"

namespace zt::detail {

struct ThreadHooks {
    // Test seam, called on the starting thread before thread i is created; a
    // std::system_error thrown here counts as the platform refusing thread i.
    std::function<void(std::size_t)> before_start;
    // Runs on the starting thread after a refused start, before joining.
    std::function<void()> on_start_failure;
    // When set, called on the starting thread about every `poll` while the
    // started threads run (progress display); the threads are joined after
    // all have ended.
    std::function<void()> while_waiting;
    std::chrono::milliseconds poll{100};
};

template <typename T>
std::vector<std::optional<T>> run_ordered_threads(std::size_t count, const std::function<T(std::size_t)>& body,
                                                  const ThreadHooks& hooks = {}) {
    // Slots are sized before any thread starts: workers write only their
    // own slot, and the join publishes it to this thread.
    std::vector<std::optional<T>> outcomes(count);
    std::vector<std::thread> threads;
    threads.reserve(count);
    std::atomic<std::size_t> ended{0};
    bool refused = false;
    std::string refusal;

    for (std::size_t i = 0; i < count; ++i) {
        try {
            if (hooks.before_start) hooks.before_start(i);
            threads.emplace_back([&outcomes, &body, &ended, i] {
                try {
                    outcomes[i].emplace(body(i));
                } catch (...) {
                    outcomes[i].reset();
                }
                ended.fetch_add(1, std::memory_order_release);
            });
        } catch (const std::system_error& e) {
            refused = true;
            refusal = e.what();
            break;
        }
    }

    if (refused && hooks.on_start_failure) hooks.on_start_failure();
    if (hooks.while_waiting) {
        while (ended.load(std::memory_order_acquire) < threads.size()) {
            std::this_thread::sleep_for(hooks.poll);
            hooks.while_waiting();
        }
    }
    for (auto& t : threads) t.join();

    if (refused) {
        throw InternalFault("failed to start worker thread " + std::to_string(threads.size()) + ": " + refusal);
    }
    return outcomes;
}

}  // namespace zt::detail
