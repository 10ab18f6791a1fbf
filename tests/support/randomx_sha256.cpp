// sha256_hex (randomx_support.h), the one helper that needs libsodium: left
// out of the RandomX-only build (ZT_RANDOMX_ONLY), whose tests do not use it.
#include <sodium.h>

#include "tests/support/randomx_support.h"

namespace zt::test {

std::string sha256_hex(const void* data, std::size_t size) {
    std::uint8_t digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, static_cast<const unsigned char*>(data), size);
    return hex(digest, sizeof digest);
}

}  // namespace zt::test
