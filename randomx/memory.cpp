#include "randomx/memory.h"

#include <sys/mman.h>

#include <cstdint>

namespace rx {
namespace {

std::size_t round_up(std::size_t size) {
    return (size + kLargePageSize - 1) & ~(kLargePageSize - 1);
}

void* map_huge(std::size_t size) {
#if defined(MAP_HUGETLB)
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_HUGETLB, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
#else
    (void)size;
    return nullptr;
#endif
}

// Over-allocates by one large page, then trims both ends so that exactly
// `size` bytes remain, starting on a large-page boundary.
void* map_aligned(std::size_t size) {
    const std::size_t span = size + kLargePageSize;
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) {
        return nullptr;
    }
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kLargePageSize - 1) & ~std::uintptr_t{kLargePageSize - 1};
    const std::size_t head = aligned - start;
    const std::size_t tail = span - head - size;
    if (head != 0) {
        munmap(raw, head);
    }
    if (tail != 0) {
        munmap(reinterpret_cast<void*>(aligned + size), tail);
    }
    void* p = reinterpret_cast<void*>(aligned);
#if defined(MADV_HUGEPAGE)
    // Advisory only: without transparent huge pages the memory still works.
    madvise(p, size, MADV_HUGEPAGE);
#endif
    return p;
}

}  // namespace

void* alloc_large(std::size_t size, bool huge_pages) noexcept {
    if (size == 0 || size > SIZE_MAX - 2 * kLargePageSize) {
        return nullptr;
    }
    const std::size_t rounded = round_up(size);
    // Explicit huge pages where the system has enough reserved; otherwise
    // the same memory as without them, offered to transparent huge pages.
    void* p = huge_pages ? map_huge(rounded) : nullptr;
    return p != nullptr ? p : map_aligned(rounded);
}

void free_large(void* memory, std::size_t size) noexcept {
    if (memory != nullptr && size != 0) {
        munmap(memory, round_up(size));
    }
}

}  // namespace rx
