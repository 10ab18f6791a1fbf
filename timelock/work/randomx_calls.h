// The RandomX library functions the work engine calls, behind one table of
// function pointers.
//
// Production code always uses the library itself (the default table). Tests
// install a substitute table for the duration of a scope to observe flags
// and to make allocations fail, which the real library cannot be made to do
// on demand. The table is read without synchronisation: install it only
// while no engine, VM or worker thread exists.
#pragma once

#include <cstddef>

#include "randomx/randomx.h"

namespace zt::detail {

struct RandomxCalls {
    randomx_flags (*get_flags)();
    randomx_cache* (*alloc_cache)(randomx_flags);
    // randomx_init_cache_stoppable: 0 when stop(context) gave it up.
    int (*init_cache)(randomx_cache*, const void*, std::size_t, int (*stop)(const void*), const void* context);
    void (*release_cache)(randomx_cache*);
    randomx_dataset* (*alloc_dataset)(randomx_flags);
    unsigned long (*dataset_item_count)();
    void (*init_dataset)(randomx_dataset*, randomx_cache*, unsigned long, unsigned long);
    void (*release_dataset)(randomx_dataset*);
    randomx_vm* (*create_vm)(randomx_flags, randomx_cache*, randomx_dataset*);
    void (*destroy_vm)(randomx_vm*);
    void (*calculate_hash)(randomx_vm*, const void*, std::size_t, void*);
    // Where the cache's and the dataset's memory is (what calibrate says of
    // its huge pages); may return null.
    void* (*get_cache_memory)(randomx_cache*);
    void* (*get_dataset_memory)(randomx_dataset*);
};

// The table in use.
const RandomxCalls& randomx_calls();

// The library's own functions.
const RandomxCalls& library_randomx_calls();

// Installs `calls` until destruction, then restores the previous table.
class ScopedRandomxCalls {
public:
    explicit ScopedRandomxCalls(const RandomxCalls& calls);
    ~ScopedRandomxCalls();
    ScopedRandomxCalls(const ScopedRandomxCalls&) = delete;
    ScopedRandomxCalls& operator=(const ScopedRandomxCalls&) = delete;

private:
    const RandomxCalls* previous_;
};

}  // namespace zt::detail
