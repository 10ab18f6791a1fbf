// The work engine: one RandomX setup (cache, and in full mode the dataset)
// keyed once per command, the virtual machines created from it, and the
// program's unit of serial work, one hash of the 69-byte step message.
//
// Ownership and threads: a WorkEngine is created and released on the
// command's own thread. Between those points any number of threads may call
// create_vm on the same engine at once; the cache and the dataset are then
// only read. A RandomxVm belongs to the thread that created it and must be
// destroyed before the engine is released. Release destroys the dataset
// first, then the cache.
//
// Stopping a set-up: the full-mode dataset takes 20 to 45 seconds to build
// on one thread, far too long to make someone who pressed Ctrl-C wait. The
// set-up can therefore look at a stop flag (StopSignals) and give up, and
// to do so the dataset is filled in consecutive ranges of
// kDatasetRangeItems items, one randomx_init_dataset call each, on the
// calling thread, with the flag read between two ranges. The library
// computes every item from the cache alone, so the dataset is byte for byte
// what one call over all of it gives, and the calls add nothing measurable
// (a range is some 50 ms of work, 520 calls in all). The cache's Argon2d
// fill (half a second to a second) is given up between two of its twelve
// slices (randomx_init_cache_stoppable). Both through the library's C API:
// no second thread, which could not end a call under way anyway.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "randomx/randomx.h"
#include "timelock/base/error.h"
#include "timelock/base/machine.h"
#include "timelock/base/secret.h"
#include "timelock/base/work_mode.h"

namespace zt {

inline constexpr std::string_view kCacheAllocationFailed = "RandomX cache allocation failed (256 MiB required)";
inline constexpr std::string_view kDatasetAllocationFailed = "RandomX dataset allocation failed (2080 MiB required)";
inline constexpr std::string_view kVmAllocationFailed = "RandomX VM allocation failed";

// Bits the engine adds to the processor's base flags for every VM: SECURE
// and the v2 algorithm selector, plus FULL_MEM in full mode. Large pages are
// never requested, so neither allocation needs privileges.
inline constexpr std::uint32_t kLightVmFlagBits = RANDOMX_FLAG_SECURE | RANDOMX_FLAG_V2;         // 144
inline constexpr std::uint32_t kFullVmFlagBits = kLightVmFlagBits | RANDOMX_FLAG_FULL_MEM;       // 148

// Dataset items per randomx_init_dataset call of a set-up, so that a stop
// is seen within one range (2^16 items, 4 MiB, about 50 ms here).
inline constexpr unsigned long kDatasetRangeItems = 1ul << 16;

// One step message: label (17) | epoch BE64 | segment BE32 | iteration BE64 | state (32).
inline constexpr std::size_t kStepMessageSize = 69;
using StepMessage = Secret<kStepMessageSize>;

// A RandomX virtual machine; destroyed with the library when it goes away.
class RandomxVm {
public:
    RandomxVm() = default;
    explicit RandomxVm(randomx_vm* vm) : vm_(vm) {}
    RandomxVm(RandomxVm&& other) noexcept : vm_(other.vm_) { other.vm_ = nullptr; }
    RandomxVm& operator=(RandomxVm&& other) noexcept;
    RandomxVm(const RandomxVm&) = delete;
    RandomxVm& operator=(const RandomxVm&) = delete;
    ~RandomxVm();

    randomx_vm* get() const { return vm_; }

private:
    randomx_vm* vm_ = nullptr;
};

class WorkEngine {
public:
    // Keys the cache with `key` and, in full mode, fills the whole dataset on
    // the calling thread, range after range in order. Errors:
    // kCacheAllocationFailed, or kDatasetAllocationFailed (the cache has
    // then been released already).
    static Result<WorkEngine> setup(const Key32& key, WorkMode mode);

    // The same, giving up as soon as `stop` is seen up: between two slices
    // of the cache's Argon2d fill, and between two ranges of the dataset. A set-up given up has released
    // whatever it allocated and returns no engine (never a partial one).
    static Result<std::optional<WorkEngine>> setup_unless_stopped(const Key32& key, WorkMode mode,
                                                                  const std::atomic<int>& stop);

    WorkEngine(WorkEngine&& other) noexcept;
    WorkEngine& operator=(WorkEngine&& other) noexcept;
    WorkEngine(const WorkEngine&) = delete;
    WorkEngine& operator=(const WorkEngine&) = delete;
    ~WorkEngine() { release(); }

    // A new VM bound to this engine, or kVmAllocationFailed. Thread-safe.
    Result<RandomxVm> create_vm() const;

    // Destroys the dataset (if any), then the cache. Idempotent; every VM of
    // this engine must be gone.
    void release();

    bool released() const { return cache_ == nullptr; }

    // The share of the cache's and (full mode) the dataset's resident memory
    // in transparent huge pages, as the kernel accounts it (machine.h);
    // nothing when that cannot be told.
    std::optional<HugePageShare> huge_pages() const;
    WorkMode mode() const { return mode_; }
    std::uint32_t vm_flags() const { return vm_flags_; }

private:
    WorkEngine(randomx_cache* cache, randomx_dataset* dataset, std::uint32_t vm_flags, WorkMode mode)
        : cache_(cache), dataset_(dataset), vm_flags_(vm_flags), mode_(mode) {}

    randomx_cache* cache_ = nullptr;
    randomx_dataset* dataset_ = nullptr;
    std::uint32_t vm_flags_ = 0;
    WorkMode mode_ = WorkMode::Light;
};

StepMessage step_message(std::uint64_t epoch, std::uint32_t segment, std::uint64_t iteration,
                         const Key32& state);

// One unit of serial work: the hash of the step message, which is the next
// state. The message lives in a wiped buffer; nothing is allocated.
Key32 step(RandomxVm& vm, std::uint64_t epoch, std::uint32_t segment, std::uint64_t iteration,
           const Key32& state);

// The state after `iterations` steps of segment `segment` from `seed`
// (iteration indices 0 .. iterations-1). When `steps_done` is given, it is
// raised by one after each step (relaxed; for progress display only).
Key32 segment_chain(RandomxVm& vm, std::uint64_t epoch, std::uint32_t segment, std::uint64_t iterations,
                    const Key32& seed, std::atomic<std::uint64_t>* steps_done = nullptr);

}  // namespace zt
