// Blake2b as the algorithm uses it: Hash256 and Hash512 (unkeyed Blake2b with
// 32- and 64-byte outputs), the incremental form for inputs assembled from
// pieces, and the variable-length hash H' that Argon2 uses to expand its seed
// into the first memory blocks. Our own implementation of unkeyed Blake2b
// (12 rounds, 128-byte blocks, little-endian words).
//
// Thread safety: the functions are pure; a Blake2b object belongs to one
// thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rx {

inline constexpr std::size_t kHash256Size = 32;
inline constexpr std::size_t kHash512Size = 64;

// Unkeyed Blake2b with an `out_size`-byte output, 1 <= out_size <= 64,
// over input given in any number of pieces. The state is wiped when the
// object goes away (it is derived from the input).
class Blake2b {
public:
    explicit Blake2b(std::size_t out_size);
    ~Blake2b();
    Blake2b(const Blake2b&) = delete;
    Blake2b& operator=(const Blake2b&) = delete;

    void update(const void* in, std::size_t size);
    // Writes the out_size-byte digest; the object must not be updated after.
    void final(void* out);

private:
    void compress(const std::uint8_t* block, bool last);

    std::uint64_t h_[8];
    std::uint64_t counter_ = 0;  // bytes compressed so far (inputs stay far below 2^64)
    std::uint8_t buffer_[128] = {};
    std::size_t buffered_ = 0;
    std::size_t out_size_;
};

// Blake2b with a `out_size`-byte output, 1 <= out_size <= 64.
void blake2b(void* out, std::size_t out_size, const void* in, std::size_t in_size);

inline void hash256(void* out, const void* in, std::size_t in_size) {
    blake2b(out, kHash256Size, in, in_size);
}

inline void hash512(void* out, const void* in, std::size_t in_size) {
    blake2b(out, kHash512Size, in, in_size);
}

// Argon2's H': a hash of any output length built on Blake2b. Outputs of up to
// 64 bytes are one Blake2b of LE32(out_size) || in; longer ones chain 64-byte
// Blake2b outputs, keeping the first half of each, and end with a Blake2b of
// the remaining length.
void blake2b_long(void* out, std::size_t out_size, const void* in, std::size_t in_size);

}  // namespace rx
