#include "timelock/work/engine.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

#include "timelock/base/bytes.h"
#include "timelock/base/crypto.h"
#include "timelock/base/stop_signals.h"
#include "timelock/work/chain_cursor.h"
#include "timelock/work/randomx_calls.h"

namespace zt {

namespace detail {
namespace {

const RandomxCalls kLibraryCalls{
    randomx_get_flags,       randomx_alloc_cache,   randomx_init_cache_stoppable, randomx_release_cache,
    randomx_alloc_dataset,   randomx_dataset_item_count, randomx_init_dataset,
    randomx_release_dataset, randomx_create_vm,     randomx_destroy_vm,  randomx_calculate_hash,
    randomx_get_cache_memory, randomx_get_dataset_memory,
};

const RandomxCalls* g_calls = &kLibraryCalls;

}  // namespace

const RandomxCalls& randomx_calls() { return *g_calls; }
const RandomxCalls& library_randomx_calls() { return kLibraryCalls; }

ScopedRandomxCalls::ScopedRandomxCalls(const RandomxCalls& calls) : previous_(g_calls) { g_calls = &calls; }
ScopedRandomxCalls::~ScopedRandomxCalls() { g_calls = previous_; }

}  // namespace detail

using detail::randomx_calls;

RandomxVm& RandomxVm::operator=(RandomxVm&& other) noexcept {
    if (this != &other) {
        if (vm_ != nullptr) randomx_calls().destroy_vm(vm_);
        vm_ = std::exchange(other.vm_, nullptr);
    }
    return *this;
}

RandomxVm::~RandomxVm() {
    if (vm_ != nullptr) randomx_calls().destroy_vm(vm_);
}

Result<WorkEngine> WorkEngine::setup(const Key32& key, WorkMode mode) {
    ZT_TRY_ASSIGN(std::optional<WorkEngine> engine, setup_unless_stopped(key, mode, never_stop()));
    if (!engine) throw InternalFault("a RandomX set-up without a stop flag stopped");  // never_stop() stays down
    return std::move(*engine);
}

Result<std::optional<WorkEngine>> WorkEngine::setup_unless_stopped(const Key32& key, WorkMode mode,
                                                                   const std::atomic<int>& stop) {
    const auto stopped = [&stop] { return stop.load(std::memory_order_relaxed) != 0; };
    const auto stop_asked = [](const void* flag) -> int {
        return static_cast<const std::atomic<int>*>(flag)->load(std::memory_order_relaxed) != 0 ? 1 : 0;
    };
    const auto& rx = randomx_calls();
    const auto base = static_cast<std::uint32_t>(rx.get_flags());
    randomx_cache* cache = rx.alloc_cache(static_cast<randomx_flags>(base));
    if (cache == nullptr) return Error(std::string(kCacheAllocationFailed));
    // From here the engine owns what is allocated, and releases it on every
    // path that returns no engine.
    WorkEngine engine(cache, nullptr, base | kLightVmFlagBits, mode);
    if (rx.init_cache(cache, key.data(), key.size(), stop_asked, &stop) == 0 || stopped()) {
        return std::optional<WorkEngine>();
    }
    if (mode == WorkMode::Light) return std::optional<WorkEngine>(std::move(engine));

    engine.dataset_ = rx.alloc_dataset(RANDOMX_FLAG_DEFAULT);
    if (engine.dataset_ == nullptr) return Error(std::string(kDatasetAllocationFailed));
    engine.vm_flags_ = base | kFullVmFlagBits;
    // The whole dataset on this thread, in order (the set-up time is what
    // calibration reports, and the dataset is never built in parallel), in
    // ranges so that a stop is seen within one (see the header).
    const unsigned long items = rx.dataset_item_count();
    for (unsigned long start = 0; start < items; start += kDatasetRangeItems) {
        if (stopped()) return std::optional<WorkEngine>();
        rx.init_dataset(engine.dataset_, cache, start, std::min(kDatasetRangeItems, items - start));
    }
    return std::optional<WorkEngine>(std::move(engine));
}

WorkEngine::WorkEngine(WorkEngine&& other) noexcept
    : cache_(std::exchange(other.cache_, nullptr)),
      dataset_(std::exchange(other.dataset_, nullptr)),
      vm_flags_(other.vm_flags_),
      mode_(other.mode_) {}

WorkEngine& WorkEngine::operator=(WorkEngine&& other) noexcept {
    if (this != &other) {
        release();
        cache_ = std::exchange(other.cache_, nullptr);
        dataset_ = std::exchange(other.dataset_, nullptr);
        vm_flags_ = other.vm_flags_;
        mode_ = other.mode_;
    }
    return *this;
}

void WorkEngine::release() {
    const auto& rx = randomx_calls();
    if (dataset_ != nullptr) rx.release_dataset(std::exchange(dataset_, nullptr));
    if (cache_ != nullptr) rx.release_cache(std::exchange(cache_, nullptr));
}

std::optional<HugePageShare> WorkEngine::huge_pages() const {
    constexpr std::size_t kCacheBytes = std::size_t{256} << 20;
    constexpr std::size_t kItemBytes = 64;
    const auto& rx = randomx_calls();
    std::vector<MemoryRange> ranges;
    if (cache_ != nullptr) ranges.push_back({rx.get_cache_memory(cache_), kCacheBytes});
    if (dataset_ != nullptr) ranges.push_back({rx.get_dataset_memory(dataset_), rx.dataset_item_count() * kItemBytes});
    std::erase_if(ranges, [](const MemoryRange& r) { return r.start == nullptr; });
    if (ranges.empty()) return std::nullopt;
    return huge_page_share(ranges);
}

Result<RandomxVm> WorkEngine::create_vm() const {
    randomx_vm* vm = randomx_calls().create_vm(static_cast<randomx_flags>(vm_flags_), cache_, dataset_);
    if (vm == nullptr) return Error(std::string(kVmAllocationFailed));
    return RandomxVm(vm);
}

StepMessage step_message(std::uint64_t epoch, std::uint32_t segment, std::uint64_t iteration,
                         const Key32& state) {
    static_assert(labels::step.size() + 8 + 4 + 8 + 32 == kStepMessageSize);
    StepMessage message;
    const std::span<std::uint8_t, kStepMessageSize> m(message.data(), kStepMessageSize);
    std::memcpy(m.data(), labels::step.data(), labels::step.size());
    const auto fields = m.subspan<labels::step.size()>();
    store_be64(fields.subspan<0, 8>(), epoch);
    store_be32(fields.subspan<8, 4>(), segment);
    store_be64(fields.subspan<12, 8>(), iteration);
    std::memcpy(fields.subspan<20, 32>().data(), state.data(), state.size());
    return message;
}

Key32 step(RandomxVm& vm, std::uint64_t epoch, std::uint32_t segment, std::uint64_t iteration,
           const Key32& state) {
    Key32 next;
    StepMessage message = step_message(epoch, segment, iteration, state);
    randomx_calls().calculate_hash(vm.get(), message.data(), message.size(), next.data());
    return next;  // `message` is wiped by its holder as it goes out of scope
}

Key32 segment_chain(RandomxVm& vm, std::uint64_t epoch, std::uint32_t segment, std::uint64_t iterations,
                    const Key32& seed, std::atomic<std::uint64_t>* steps_done) {
    ChainCursor cursor(vm, epoch, segment, 0, seed);
    static_cast<void>(cursor.advance_to(iterations, never_stop(), [steps_done](const ChainCursor&) {
        if (steps_done != nullptr) steps_done->fetch_add(1, std::memory_order_relaxed);
        return success();
    }));
    return cursor.state();
}

}  // namespace zt
