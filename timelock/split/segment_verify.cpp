#include "timelock/split/segment_verify.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <functional>
#include <optional>
#include <string>

#include "timelock/base/crypto.h"
#include "timelock/work/chain_cursor.h"
#include "timelock/work/ordered_threads.h"
#include "timelock/work/pool.h"

namespace zt {
namespace {

// A uniform draw below `bound` (at least 1) by rejection, so no value is
// favoured.
Result<std::uint64_t> uniform_below(std::uint64_t bound, const RandomSource& source) {
    const std::uint64_t limit = UINT64_MAX - UINT64_MAX % bound;
    for (;;) {
        std::array<std::uint8_t, 8> bytes{};
        ZT_TRY(draw_random(source, bytes));
        std::uint64_t value = 0;
        for (std::uint8_t b : bytes) value = value << 8 | b;
        if (value < limit) return value % bound;
    }
}

// The first mismatch a thread found, or none.
using Mismatch = std::optional<IntervalCheck>;

}  // namespace

Result<std::vector<IntervalCheck>> choose_interval_checks(std::size_t segments, std::uint64_t iterations,
                                                          double fraction, const RandomSource& source) {
    if (!(fraction > 0.0 && fraction <= 1.0)) return Error(std::string(kBadVerifyFraction));
    const std::uint64_t k = result_intervals(iterations);
    // The middle intervals 2 .. K - 1, of which m are drawn.
    const std::uint64_t middle = k > 2 ? k - 2 : 0;
    const double wanted = std::ceil(fraction * static_cast<double>(k));  // at most K: fraction <= 1
    const std::uint64_t m = std::min(static_cast<std::uint64_t>(wanted), middle);
    std::vector<IntervalCheck> checks;
    checks.reserve(segments * (m + 2));
    std::vector<std::uint64_t> order(middle);
    for (std::size_t segment = 0; segment < segments; ++segment) {
        // The first m places of a partial Fisher-Yates shuffle of 2 .. K - 1.
        for (std::uint64_t i = 0; i < middle; ++i) order[i] = i + 2;
        for (std::uint64_t i = 0; i < m; ++i) {
            ZT_TRY_ASSIGN(const std::uint64_t pick, uniform_below(middle - i, source));
            std::swap(order[i], order[i + pick]);
        }
        std::sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(m));
        const auto s = static_cast<std::uint32_t>(segment);
        checks.push_back({s, 1});
        for (std::uint64_t i = 0; i < m; ++i) checks.push_back({s, order[i]});
        if (k > 1) checks.push_back({s, k});
    }
    return checks;
}

std::vector<IntervalCheck> all_interval_checks(std::uint32_t segment, std::uint64_t iterations) {
    std::vector<IntervalCheck> checks;
    const std::uint64_t k = result_intervals(iterations);
    checks.reserve(k);
    for (std::uint64_t i = 1; i <= k; ++i) checks.push_back({segment, i});
    return checks;
}

double miss_probability(std::span<const IntervalCheck> checks, std::size_t segments, std::uint64_t iterations) {
    const double total = static_cast<double>(segments) * static_cast<double>(result_intervals(iterations));
    if (total == 0.0) return 0.0;
    return (total - static_cast<double>(checks.size())) / total;
}

Result<void> verify_interval_checks(const WorkEngine& engine, std::span<const SegmentTask> tasks,
                                    std::span<const SegmentResult> results, std::span<const IntervalCheck> checks,
                                    std::size_t threads) {
    std::atomic<std::size_t> next{0};
    const std::function<Result<Mismatch>(std::size_t)> body = [&](std::size_t) -> Result<Mismatch> {
        ZT_TRY_ASSIGN(RandomxVm vm, engine.create_vm());
        Mismatch first;
        for (;;) {
            const std::size_t index = next.fetch_add(1, std::memory_order_relaxed);
            if (index >= checks.size()) break;
            const IntervalCheck& check = checks[index];
            const SegmentTask& task = tasks[check.segment];
            const SegmentResult& result = results[check.segment];
            ChainCursor cursor(vm, task.epoch, task.segment, interval_end(task.iterations, check.interval - 1),
                               check.interval == 1 ? task.seed : result.states[check.interval - 2]);
            cursor.advance_to(interval_end(task.iterations, check.interval));
            // Checks are claimed in order, so a thread's first mismatch is its earliest.
            if (!(cursor.state() == result.states[check.interval - 1]) && !first) first = check;
        }
        return first;
    };
    auto outcomes = detail::run_ordered_threads(std::clamp<std::size_t>(threads, 1, kMaxPoolThreads), body);

    Mismatch earliest;
    for (auto& outcome : outcomes) {
        if (!outcome.has_value()) return Error(std::string(kWorkerPanicked));
        if (!*outcome) return std::move(*outcome).error();
        const Mismatch& found = outcome->value();
        if (found && (!earliest || std::pair(found->segment, found->interval) <
                                       std::pair(earliest->segment, earliest->interval))) {
            earliest = found;
        }
    }
    if (earliest) {
        const SegmentTask& task = tasks[earliest->segment];
        return Error("result of " + segment_name(task.segment) + " failed verification: the state after step " +
                     std::to_string(interval_end(task.iterations, earliest->interval)) + " is not the chain's");
    }
    return success();
}

}  // namespace zt
