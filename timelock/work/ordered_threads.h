// The thread discipline shared by the segment pool and calibration: start
// `count` threads one after another in index order, wait until every started
// thread has ended, and hand back each thread's outcome in start order.
//
// A thread whose body throws has "ended abnormally": its outcome is empty and
// whatever it carried is discarded. Any failure to start a thread (the
// platform refusing it, memory running out, a throwing hook) is a refusal:
// no further thread is started, `on_start_failure` runs (so started threads
// waiting for the full count can be released), the started threads are
// joined, and only then is InternalFault thrown: the command ends with
// status 101, and no thread outlives the frames it borrows from.
//
// Internal to the timelock library. Thread safety: call from one thread;
// `body` runs concurrently on every started thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "timelock/base/error.h"

namespace zt::detail {

struct ThreadHooks {
    // Test seam, called on the starting thread before thread i is created;
    // anything thrown here counts as the platform refusing thread i.
    std::function<void(std::size_t)> before_start;
    // Runs on the starting thread after a refused start, before joining.
    std::function<void()> on_start_failure;
    // When set, called on the starting thread about every `poll` while the
    // started threads run (progress display); the threads are joined after
    // all have ended.
    std::function<void()> while_waiting;
    std::chrono::milliseconds poll{100};
};

// Joins every thread of `threads` that is still joinable when it goes, so
// that no path out of run_ordered_threads, not even an exception thrown by
// a hook, leaves a running thread behind on an unwinding stack.
class JoinAll {
public:
    explicit JoinAll(std::vector<std::thread>& threads) : threads_(threads) {}
    JoinAll(const JoinAll&) = delete;
    JoinAll& operator=(const JoinAll&) = delete;
    ~JoinAll() {
        for (auto& t : threads_) {
            if (t.joinable()) t.join();
        }
    }

private:
    std::vector<std::thread>& threads_;
};

// The text of a refusal, read only after every thread has been joined.
inline std::string refusal_text(const std::exception_ptr& refusal) {
    try {
        std::rethrow_exception(refusal);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

template <typename T>
std::vector<std::optional<T>> run_ordered_threads(std::size_t count, const std::function<T(std::size_t)>& body,
                                                  const ThreadHooks& hooks = {}) {
    // Slots are sized before any thread starts: workers write only their
    // own slot, and the join publishes it to this thread.
    std::vector<std::optional<T>> outcomes(count);
    std::vector<std::thread> threads;
    threads.reserve(count);
    // How many threads have ended; the waiting thread is woken by the last
    // one rather than sleeping out a whole poll interval.
    std::mutex ended_mutex;
    std::condition_variable ended_changed;
    std::size_t ended = 0;
    std::exception_ptr refusal;  // copying it cannot throw, unlike a message

    {
        const JoinAll join_all(threads);
        for (std::size_t i = 0; i < count; ++i) {
            try {
                if (hooks.before_start) hooks.before_start(i);
                threads.emplace_back([&outcomes, &body, &ended, &ended_mutex, &ended_changed, i] {
                    try {
                        outcomes[i].emplace(body(i));
                    } catch (...) {
                        outcomes[i].reset();
                    }
                    const std::lock_guard lock(ended_mutex);
                    ++ended;
                    ended_changed.notify_all();
                });
            } catch (...) {
                refusal = std::current_exception();
                break;
            }
        }
        if (refusal && hooks.on_start_failure) hooks.on_start_failure();
        if (hooks.while_waiting) {
            std::unique_lock lock(ended_mutex);
            while (ended < threads.size()) {
                ended_changed.wait_for(lock, hooks.poll, [&] { return ended == threads.size(); });
                lock.unlock();
                hooks.while_waiting();
                lock.lock();
            }
        }
    }

    if (refusal) {
        throw InternalFault("failed to start worker thread " + std::to_string(threads.size()) + ": " +
                            refusal_text(refusal));
    }
    return outcomes;
}

}  // namespace zt::detail
