#include "timelock/work/engine.h"

#include <cstring>
#include <span>
#include <utility>

#include "timelock/base/bytes.h"
#include "timelock/base/crypto.h"
#include "timelock/work/chain_cursor.h"
#include "timelock/work/randomx_calls.h"

namespace zt {

namespace detail {
namespace {

const RandomxCalls kLibraryCalls{
    randomx_get_flags,       randomx_alloc_cache,   randomx_init_cache,  randomx_release_cache,
    randomx_alloc_dataset,   randomx_dataset_item_count, randomx_init_dataset,
    randomx_release_dataset, randomx_create_vm,     randomx_destroy_vm,  randomx_calculate_hash,
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
    const auto& rx = randomx_calls();
    const auto base = static_cast<std::uint32_t>(rx.get_flags());
    randomx_cache* cache = rx.alloc_cache(static_cast<randomx_flags>(base));
    if (cache == nullptr) return Error(std::string(kCacheAllocationFailed));
    rx.init_cache(cache, key.data(), key.size());

    if (mode == WorkMode::Light) return WorkEngine(cache, nullptr, base | kLightVmFlagBits, mode);

    randomx_dataset* dataset = rx.alloc_dataset(RANDOMX_FLAG_DEFAULT);
    if (dataset == nullptr) {
        rx.release_cache(cache);
        return Error(std::string(kDatasetAllocationFailed));
    }
    // One call over the whole dataset on this thread: setup time is what
    // calibration reports, and the dataset is never built in parallel.
    rx.init_dataset(dataset, cache, 0, rx.dataset_item_count());
    return WorkEngine(cache, dataset, base | kFullVmFlagBits, mode);
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
