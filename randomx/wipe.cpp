#include "randomx/wipe.h"

#include <cstring>

namespace rx {

void wipe(void* memory, std::size_t size) noexcept {
    if (memory == nullptr || size == 0) return;
    // The volatile pointer forces the call: the compiler cannot prove that
    // it is std::memset, so the zeroing is kept even when the memory is
    // never read again.
    static void* (*const volatile zero)(void*, int, std::size_t) = std::memset;
    zero(memory, 0, size);
}

}  // namespace rx
