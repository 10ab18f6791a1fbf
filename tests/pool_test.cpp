// The segment pool: results independent of the thread count and ordered by
// segment, failure precedence by start order, and that every thread has
// finished its work before the pool returns or faults. Runs on the fake
// RandomX library so 96 segments take milliseconds.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <functional>
#include <new>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "tests/support/fake_randomx.h"
#include "timelock/work/engine.h"
#include "timelock/work/pool.h"

namespace zt {
namespace {

using test::ScopedFakeRandomx;

constexpr std::uint64_t kEpoch = 5;
constexpr std::uint64_t kIterations = 3;
constexpr std::size_t kSegments = 96;

Key32 engine_key() {
    Key32 k;
    k[31] = 0x77;
    return k;
}

std::vector<Key32> make_seeds() {
    std::vector<Key32> seeds(kSegments);
    for (std::size_t i = 0; i < kSegments; ++i) {
        seeds[i][0] = static_cast<std::uint8_t>(i);
        seeds[i][1] = 0x5e;
    }
    return seeds;
}

// The digest of segment i computed without the pool.
Key32 expected_digest(std::size_t i, const Key32& seed) {
    Key32 state = seed;
    for (std::uint64_t j = 0; j < kIterations; ++j) {
        state = test::fake_hash(engine_key().span(),
                                step_message(kEpoch, static_cast<std::uint32_t>(i), j, state).span());
    }
    return state;
}

struct PoolRun {
    ScopedFakeRandomx fake;
    WorkEngine engine = std::move(WorkEngine::setup(engine_key(), WorkMode::Light)).value();
    std::vector<Key32> seeds = make_seeds();

    Result<SegmentDigests> run(std::size_t threads, const detail::PoolSeams& seams = {},
                               PoolObserver* observer = nullptr) {
        return detail::run_segment_pool(engine, seeds, kEpoch, kIterations, threads, observer, never_stop(), seams);
    }
};

TEST(SegmentPool, DigestsAreInSegmentOrderWhateverTheThreadCount) {
    const auto seeds = make_seeds();
    for (std::size_t threads : {1u, 3u, 96u}) {
        PoolRun pool;
        auto digests = pool.run(threads);
        ASSERT_TRUE(digests.ok()) << threads << " threads";
        ASSERT_EQ(digests->size(), kSegments);
        for (std::size_t i = 0; i < kSegments; ++i) {
            EXPECT_EQ((*digests)[i], expected_digest(i, seeds[i])) << "segment " << i << ", " << threads << " threads";
        }
        EXPECT_EQ(pool.fake.hashes(), kSegments * kIterations);
        EXPECT_EQ(pool.fake.live_vms(), 0);
    }
}

TEST(SegmentPool, EachThreadCreatesOneVmForItsWholeLife) {
    PoolRun pool;
    ASSERT_TRUE(pool.run(3).ok());
    const auto log = pool.fake.log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "create_vm " + std::to_string(test::kFakeBaseFlags | 144u)), 3);
}

TEST(SegmentPool, AThreadWithoutAVmFailsThePoolAfterTheOthersWorkedEverySegment) {
    PoolRun pool;
    detail::PoolSeams seams;
    seams.worker_start = [](std::size_t i) {
        if (i == 1) test::fail_vm_on_this_thread();
    };
    auto digests = pool.run(3, seams);
    ASSERT_FALSE(digests.ok());
    EXPECT_EQ(digests.error().message(), "RandomX VM allocation failed");
    EXPECT_EQ(pool.fake.hashes(), kSegments * kIterations);
    EXPECT_EQ(pool.fake.live_vms(), 0);
}

TEST(SegmentPool, EveryVmFailingIsStillAnError) {
    PoolRun pool;
    pool.fake.fail_every_vm();
    auto digests = pool.run(4);
    ASSERT_FALSE(digests.ok());
    EXPECT_EQ(digests.error().message(), "RandomX VM allocation failed");
    EXPECT_EQ(pool.fake.hashes(), 0u);
}

enum class Fault { None, NoVm, Throws };

struct PrecedenceCase {
    std::vector<Fault> faults;  // by thread index
    const char* expected;
};

TEST(SegmentPool, TheEarliestStartedFailingThreadDecides) {
    const PrecedenceCase cases[] = {
        {{Fault::Throws, Fault::None, Fault::NoVm}, "RandomX worker panicked"},
        {{Fault::None, Fault::NoVm, Fault::Throws}, "RandomX VM allocation failed"},
        {{Fault::None, Fault::None, Fault::Throws}, "RandomX worker panicked"},
        {{Fault::NoVm, Fault::Throws, Fault::None, Fault::NoVm}, "RandomX VM allocation failed"},
    };
    for (const auto& c : cases) {
        PoolRun pool;
        detail::PoolSeams seams;
        seams.worker_start = [&c](std::size_t i) {
            if (c.faults[i] == Fault::NoVm) test::fail_vm_on_this_thread();
            if (c.faults[i] == Fault::Throws) throw std::runtime_error("injected");
        };
        auto digests = pool.run(c.faults.size(), seams);
        ASSERT_FALSE(digests.ok());
        EXPECT_EQ(digests.error().message(), c.expected);
        // Failures do not stop the healthy threads.
        EXPECT_EQ(pool.fake.hashes(), kSegments * kIterations) << c.expected;
        EXPECT_EQ(pool.fake.live_vms(), 0);
    }
}

// Whatever stops a thread from starting (the platform's refusal, memory
// running out, anything else thrown on the way) is a refusal: the started
// threads finish and are joined, then the pool faults.
TEST(SegmentPool, AnyFailureToStartAThreadFaultsAfterTheStartedThreadsFinished) {
    const struct {
        const char* name;
        std::function<void()> fail;
        const char* reason;  // in the fault's text
    } kinds[] = {
        {"system_error", [] { throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)); },
         "Resource temporarily unavailable"},
        {"bad_alloc", [] { throw std::bad_alloc(); }, "bad_alloc"},
        {"runtime_error", [] { throw std::runtime_error("hook failed"); }, "hook failed"},
        {"not an exception", [] { throw 7; }, "unknown exception"},
    };
    for (const auto& kind : kinds) {
        for (std::size_t refused : {0u, 2u}) {
            SCOPED_TRACE(std::string(kind.name) + ", thread " + std::to_string(refused));
            PoolRun pool;
            detail::PoolSeams seams;
            std::size_t attempts = 0;
            seams.before_start = [&](std::size_t i) {
                ++attempts;
                if (i == refused) kind.fail();
            };
            try {
                static_cast<void>(pool.run(4, seams));
                ADD_FAILURE() << "no fault";
            } catch (const InternalFault& fault) {
                EXPECT_NE(std::string(fault.what()).find(kind.reason), std::string::npos) << fault.what();
            }
            EXPECT_EQ(attempts, refused + 1) << "no thread is started after a refusal";
            EXPECT_EQ(pool.fake.hashes(), refused == 0 ? 0u : kSegments * kIterations);
            EXPECT_EQ(pool.fake.live_vms(), 0);
        }
    }
}

// A stop, whenever it comes, leaves no digests: a stop already up when the
// pool starts costs no hash, and one raised as the second thread starts
// still discards whatever the first had done.
TEST(SegmentPool, AStopDiscardsTheWholeWork) {
    for (bool at_start : {true, false}) {
        SCOPED_TRACE(at_start ? "stop before the start" : "stop as thread 1 starts");
        PoolRun pool;
        std::atomic<int> stop{at_start ? SIGINT : 0};
        detail::PoolSeams seams;
        seams.worker_start = [&stop](std::size_t i) {
            if (i == 1) stop.store(SIGHUP);
        };
        auto digests = detail::run_segment_pool(pool.engine, pool.seeds, kEpoch, kIterations, 3, nullptr, stop, seams);
        ASSERT_TRUE(digests.ok()) << digests.error().message();
        EXPECT_TRUE(digests->empty());
        if (at_start) EXPECT_EQ(pool.fake.hashes(), 0u);
        EXPECT_EQ(pool.fake.live_vms(), 0);
    }
}

// Records what the pool reports; the last report comes after every thread
// has ended, so it holds the whole work.
struct RecordingObserver final : PoolObserver {
    int started = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
    void pool_started() override {
        EXPECT_TRUE(reports.empty()) << "started before any report";
        ++started;
    }
    void pool_progress(std::uint64_t segments, std::uint64_t steps) override { reports.emplace_back(segments, steps); }
};

TEST(SegmentPool, ReportsStepsAndSegmentsToItsObserver) {
    PoolRun pool;
    RecordingObserver observer;
    ASSERT_TRUE(pool.run(3, {}, &observer).ok());
    EXPECT_EQ(observer.started, 1);
    ASSERT_FALSE(observer.reports.empty());
    EXPECT_EQ(observer.reports.back(), std::make_pair(std::uint64_t{kSegments}, kSegments * kIterations));
    for (std::size_t i = 1; i < observer.reports.size(); ++i) {
        EXPECT_LE(observer.reports[i - 1].second, observer.reports[i].second) << "counts never go back";
    }
}

}  // namespace
}  // namespace zt
