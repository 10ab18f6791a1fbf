#include "randomx/argon2d.h"

#include "randomx/wipe.h"

#include <cstring>

#include "randomx/arch.h"
#include "randomx/argon2d_block.h"
#include "randomx/blake2b.h"
#include "randomx/constants.h"

namespace rx {
namespace argon2 {
namespace {

constexpr std::uint32_t kVersion = 0x13;
constexpr std::uint32_t kTypeArgon2d = 0;
constexpr std::uint32_t kSyncPoints = 4;  // slices per pass
constexpr std::size_t kPrehashSize = 64;

inline std::uint64_t rotr(std::uint64_t x, unsigned n) {
    return (x >> n) | (x << (64 - n));
}

// The multiply-hardened addition of Argon2's permutation.
inline std::uint64_t bla_mka(std::uint64_t x, std::uint64_t y) {
    const std::uint64_t lo = 0xFFFFFFFFu;
    return x + y + 2 * ((x & lo) * (y & lo));
}

inline void g(std::uint64_t& a, std::uint64_t& b, std::uint64_t& c, std::uint64_t& d) {
    a = bla_mka(a, b);
    d = rotr(d ^ a, 32);
    c = bla_mka(c, d);
    b = rotr(b ^ c, 24);
    a = bla_mka(a, b);
    d = rotr(d ^ a, 16);
    c = bla_mka(c, d);
    b = rotr(b ^ c, 63);
}

// The Blake2b round without message words, on 16 words given by their
// positions in `v` (a row: 16 consecutive words; a column: pairs of words
// 16 apart).
inline void permute(std::uint64_t* v, const unsigned (&at)[16]) {
    g(v[at[0]], v[at[4]], v[at[8]], v[at[12]]);
    g(v[at[1]], v[at[5]], v[at[9]], v[at[13]]);
    g(v[at[2]], v[at[6]], v[at[10]], v[at[14]]);
    g(v[at[3]], v[at[7]], v[at[11]], v[at[15]]);
    g(v[at[0]], v[at[5]], v[at[10]], v[at[15]]);
    g(v[at[1]], v[at[6]], v[at[11]], v[at[12]]);
    g(v[at[2]], v[at[7]], v[at[8]], v[at[13]]);
    g(v[at[3]], v[at[4]], v[at[9]], v[at[14]]);
}

constexpr unsigned kRow[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
constexpr unsigned kColumn[16] = {0,  1,  16, 17, 32, 33, 48,  49,
                                  64, 65, 80, 81, 96, 97, 112, 113};

void store32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

void load_block(Block& block, const std::uint8_t* bytes) {
    for (std::size_t i = 0; i < 128; ++i) {
        std::uint64_t w = 0;
        for (std::size_t b = 0; b < 8; ++b) {
            w |= std::uint64_t{bytes[8 * i + b]} << (8 * b);
        }
        block.v[i] = w;
    }
}

// H0: Blake2b-512 over the parameters and inputs, each length-prefixed.
void prehash(std::uint8_t out[kPrehashSize], std::uint32_t memory_blocks, std::uint32_t passes,
             const void* key, std::size_t key_size) {
    Blake2b state(kPrehashSize);
    auto add32 = [&state](std::uint32_t v) {
        std::uint8_t b[4];
        store32(b, v);
        state.update(b, sizeof b);
    };
    add32(kArgonLanes);
    add32(0);  // tag length: no output is produced
    add32(memory_blocks);
    add32(passes);
    add32(kVersion);
    add32(kTypeArgon2d);
    add32(static_cast<std::uint32_t>(key_size));
    state.update(key, key_size);
    add32(static_cast<std::uint32_t>(kArgonSaltSize));
    state.update(kArgonSalt, kArgonSaltSize);
    add32(0);  // secret
    add32(0);  // associated data
    state.final(out);
}

// Position of the block that block `index` of `slice` references, from the
// low 32 bits of the previous block's first word. With a single lane every
// reference stays in the lane, and the window is every finished block except
// the previous one.
std::uint32_t reference_index(std::uint32_t pass, std::uint32_t slice, std::uint32_t index,
                              std::uint32_t segment_length, std::uint32_t lane_length,
                              std::uint64_t pseudo_random) {
    std::uint64_t area;
    std::uint64_t start = 0;
    if (pass == 0) {
        area = std::uint64_t{slice} * segment_length + index - 1;
    } else {
        area = std::uint64_t{lane_length} - segment_length + index - 1;
        start = slice == kSyncPoints - 1 ? 0 : std::uint64_t{slice + 1} * segment_length;
    }
    std::uint64_t x = pseudo_random & 0xFFFFFFFFu;
    x = (x * x) >> 32;
    const std::uint64_t relative = area - 1 - ((area * x) >> 32);
    return static_cast<std::uint32_t>((start + relative) % lane_length);
}

FillBlockFn select(Argon2Impl impl) {
    const FillBlockFn fast = argon2_fill_block(impl);
    return fast != nullptr ? fast : fill_block_portable;
}

}  // namespace

void fill_block_portable(const Block& prev, const Block& ref, Block& next, bool with_xor) {
    Block r;
    Block keep;
    for (std::size_t i = 0; i < 128; ++i) {
        r.v[i] = prev.v[i] ^ ref.v[i];
    }
    for (std::size_t i = 0; i < 128; ++i) {
        keep.v[i] = with_xor ? r.v[i] ^ next.v[i] : r.v[i];
    }
    for (std::size_t row = 0; row < 8; ++row) {
        permute(r.v + 16 * row, kRow);
    }
    for (std::size_t column = 0; column < 8; ++column) {
        permute(r.v + 2 * column, kColumn);
    }
    for (std::size_t i = 0; i < 128; ++i) {
        next.v[i] = r.v[i] ^ keep.v[i];
    }
}

}  // namespace argon2

bool argon2_impl_supported(Argon2Impl impl) noexcept {
    switch (impl) {
        case Argon2Impl::Portable:
            return true;
        case Argon2Impl::Ssse3:
        case Argon2Impl::Avx2:
            return argon2_fill_block(impl) != nullptr;
    }
    return false;
}

bool argon2d_fill(void* memory, std::uint32_t memory_blocks, std::uint32_t passes,
                  const void* key, std::size_t key_size, Argon2Impl impl,
                  int (*stop)(const void*), const void* stop_context) {
    using argon2::Block;
    auto* blocks = static_cast<Block*>(memory);
    const argon2::FillBlockFn fill = argon2::select(impl);
    const std::uint32_t lane_length = memory_blocks;
    const std::uint32_t segment_length = lane_length / argon2::kSyncPoints;

    // The first two blocks are H'(H0 || LE32(block) || LE32(lane)).
    std::uint8_t seed[argon2::kPrehashSize + 8] = {};
    argon2::prehash(seed, memory_blocks, passes, key, key_size);
    std::uint8_t bytes[kArgonBlockSize];
    for (std::uint32_t i = 0; i < 2; ++i) {
        argon2::store32(seed + argon2::kPrehashSize, i);
        blake2b_long(bytes, sizeof bytes, seed, sizeof seed);
        argon2::load_block(blocks[i], bytes);
    }
    wipe(seed, sizeof seed);
    wipe(bytes, sizeof bytes);

    for (std::uint32_t pass = 0; pass < passes; ++pass) {
        for (std::uint32_t slice = 0; slice < argon2::kSyncPoints; ++slice) {
            if (stop != nullptr && stop(stop_context) != 0) {
                return false;
            }
            const std::uint32_t first = pass == 0 && slice == 0 ? 2 : 0;
            std::uint32_t current = slice * segment_length + first;
            for (std::uint32_t index = first; index < segment_length; ++index, ++current) {
                const std::uint32_t previous = current == 0 ? lane_length - 1 : current - 1;
                const std::uint32_t reference =
                    argon2::reference_index(pass, slice, index, segment_length, lane_length,
                                            blocks[previous].v[0]);
                fill(blocks[previous], blocks[reference], blocks[current], pass != 0);
            }
        }
    }
    return true;
}

}  // namespace rx
