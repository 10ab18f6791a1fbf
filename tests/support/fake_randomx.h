// A stand-in for the RandomX library, installed in the engine's call table
// for one scope: the "hash" is SHA-256 over the key and the input (fast and
// deterministic), every call that allocates, initialises or releases is
// logged in order, live objects are counted, and allocations can be made to
// fail. Tests of the engine's bookkeeping, the pool and calibration use it
// so they run in milliseconds and can provoke the library's NULL returns.
//
// Thread safety: the log and counters may be used from any thread; the
// failure switches are set before threads start (VM failures can also be
// set per thread with fail_vm_on_this_thread).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "timelock/base/secret.h"
#include "timelock/work/randomx_calls.h"

namespace zt::test {

// What the fake's get_flags reports: HARD_AES | ARGON2_SSSE3 | ARGON2_AVX2.
inline constexpr std::uint32_t kFakeBaseFlags = 2 | 32 | 64;

class ScopedFakeRandomx {
public:
    ScopedFakeRandomx();
    ~ScopedFakeRandomx();
    ScopedFakeRandomx(const ScopedFakeRandomx&) = delete;
    ScopedFakeRandomx& operator=(const ScopedFakeRandomx&) = delete;

    void fail_cache_allocation();
    void fail_dataset_allocation();
    void fail_every_vm();
    // Runs `hook` after every init_dataset call (on the caller's thread).
    void after_init_dataset(std::function<void()> hook);

    // Allocation, initialisation and release calls in order, e.g.
    // "alloc_cache 98", "init_cache 32", "alloc_dataset 0",
    // "init_dataset 0 34078719", "create_vm 242", "release_dataset".
    std::vector<std::string> log() const;
    int live_caches() const;
    int live_datasets() const;
    int live_vms() const;
    std::uint64_t hashes() const;

private:
    detail::ScopedRandomxCalls install_;
};

// Makes the next create_vm call on the calling thread fail.
void fail_vm_on_this_thread();

// What the fake computes for one hash under `key`.
Key32 fake_hash(std::span<const std::uint8_t> key, std::span<const std::uint8_t> input);

}  // namespace zt::test
