// Large, 2 MiB aligned allocations for the cache, the dataset and scratchpads.
//
// Memory comes straight from mmap so that it can be backed by huge pages:
// ordinary allocations are offered to transparent huge pages (madvise), and
// explicit huge pages (hugetlbfs) are used on request where the system has
// them reserved. Failures are reported by a null pointer; nothing here throws
// or aborts.
//
// Thread safety: the functions keep no state; any thread may call them.
#pragma once

#include <cstddef>

namespace rx {

inline constexpr std::size_t kLargePageSize = std::size_t{2} << 20;  // 2 MiB

// Returns `size` bytes of zeroed memory aligned to kLargePageSize, or null.
// With `huge_pages` the memory is taken from explicit huge pages when the
// system has enough to give, and is ordinary memory offered to transparent
// huge pages otherwise. Release it with free_large(p, size) passing the same
// size.
void* alloc_large(std::size_t size, bool huge_pages) noexcept;

// Releases memory from alloc_large; null is ignored.
void free_large(void* memory, std::size_t size) noexcept;

}  // namespace rx
