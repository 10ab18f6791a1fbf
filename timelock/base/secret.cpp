#include "timelock/base/secret.h"

#include <sodium.h>

namespace zt {

void wipe(void* p, std::size_t n) {
    if (p != nullptr && n != 0) sodium_memzero(p, n);
}

}  // namespace zt
