#include "tests/support/fake_randomx.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "timelock/base/crypto.h"

namespace zt::test {

namespace {

struct FakeCache {
    std::vector<std::uint8_t> key;
};
struct FakeDataset {};
struct FakeVm {
    const FakeCache* cache;
};

struct FakeState {
    std::mutex mutex;
    std::vector<std::string> log;
    std::atomic<int> caches{0}, datasets{0}, vms{0};
    std::atomic<std::uint64_t> hashes{0};
    bool fail_cache = false;
    bool fail_dataset = false;
    bool fail_vms = false;
    std::function<void()> after_init_dataset;
};

FakeState* g_state = nullptr;
thread_local bool t_fail_next_vm = false;

void record(std::string entry) {
    std::lock_guard lock(g_state->mutex);
    g_state->log.push_back(std::move(entry));
}

randomx_flags fake_get_flags() { return static_cast<randomx_flags>(kFakeBaseFlags); }

randomx_cache* fake_alloc_cache(randomx_flags flags) {
    record("alloc_cache " + std::to_string(flags));
    if (g_state->fail_cache) return nullptr;
    ++g_state->caches;
    return reinterpret_cast<randomx_cache*>(new FakeCache);
}

int fake_init_cache(randomx_cache* cache, const void* key, std::size_t size, int (*)(const void*), const void*) {
    record("init_cache " + std::to_string(size));
    auto* c = reinterpret_cast<FakeCache*>(cache);
    const auto* k = static_cast<const std::uint8_t*>(key);
    c->key.assign(k, k + size);
    return 1;
}

void fake_release_cache(randomx_cache* cache) {
    record("release_cache");
    --g_state->caches;
    delete reinterpret_cast<FakeCache*>(cache);
}

randomx_dataset* fake_alloc_dataset(randomx_flags flags) {
    record("alloc_dataset " + std::to_string(flags));
    if (g_state->fail_dataset) return nullptr;
    ++g_state->datasets;
    return reinterpret_cast<randomx_dataset*>(new FakeDataset);
}

unsigned long fake_dataset_item_count() { return 34078719UL; }

void fake_init_dataset(randomx_dataset*, randomx_cache*, unsigned long start, unsigned long count) {
    record("init_dataset " + std::to_string(start) + " " + std::to_string(count));
    if (g_state->after_init_dataset) g_state->after_init_dataset();
}

void fake_release_dataset(randomx_dataset* dataset) {
    record("release_dataset");
    --g_state->datasets;
    delete reinterpret_cast<FakeDataset*>(dataset);
}

randomx_vm* fake_create_vm(randomx_flags flags, randomx_cache* cache, randomx_dataset*) {
    record("create_vm " + std::to_string(flags));
    if (g_state->fail_vms || t_fail_next_vm) {
        t_fail_next_vm = false;
        return nullptr;
    }
    ++g_state->vms;
    return reinterpret_cast<randomx_vm*>(new FakeVm{reinterpret_cast<const FakeCache*>(cache)});
}

void fake_destroy_vm(randomx_vm* vm) {
    record("destroy_vm");
    --g_state->vms;
    delete reinterpret_cast<FakeVm*>(vm);
}

void fake_calculate_hash(randomx_vm* vm, const void* input, std::size_t size, void* output) {
    ++g_state->hashes;
    const auto* machine = reinterpret_cast<FakeVm*>(vm);
    const Key32 h = fake_hash(machine->cache->key, {static_cast<const std::uint8_t*>(input), size});
    std::memcpy(output, h.data(), h.size());
}

const detail::RandomxCalls kFakeCalls{
    fake_get_flags,       fake_alloc_cache,   fake_init_cache,         fake_release_cache,
    fake_alloc_dataset,   fake_dataset_item_count, fake_init_dataset,  fake_release_dataset,
    fake_create_vm,       fake_destroy_vm,    fake_calculate_hash,
    [](randomx_cache*) -> void* { return nullptr; }, [](randomx_dataset*) -> void* { return nullptr; },
};

}  // namespace

Key32 fake_hash(std::span<const std::uint8_t> key, std::span<const std::uint8_t> input) {
    std::vector<std::uint8_t> data(key.begin(), key.end());
    data.insert(data.end(), input.begin(), input.end());
    const Bytes32 digest = sha256(data);
    return Key32(std::span<const std::uint8_t, 32>(digest));
}

ScopedFakeRandomx::ScopedFakeRandomx() : install_(kFakeCalls) {
    g_state = new FakeState;
    t_fail_next_vm = false;
}

ScopedFakeRandomx::~ScopedFakeRandomx() {
    delete g_state;
    g_state = nullptr;
}

void ScopedFakeRandomx::fail_cache_allocation() { g_state->fail_cache = true; }
void ScopedFakeRandomx::fail_dataset_allocation() { g_state->fail_dataset = true; }
void ScopedFakeRandomx::fail_every_vm() { g_state->fail_vms = true; }
void ScopedFakeRandomx::after_init_dataset(std::function<void()> f) { g_state->after_init_dataset = std::move(f); }

std::vector<std::string> ScopedFakeRandomx::log() const {
    std::lock_guard lock(g_state->mutex);
    return g_state->log;
}

int ScopedFakeRandomx::live_caches() const { return g_state->caches; }
int ScopedFakeRandomx::live_datasets() const { return g_state->datasets; }
int ScopedFakeRandomx::live_vms() const { return g_state->vms; }
std::uint64_t ScopedFakeRandomx::hashes() const { return g_state->hashes; }

void fail_vm_on_this_thread() { t_fail_next_vm = true; }

}  // namespace zt::test
