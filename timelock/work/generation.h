// Puzzle generation and the key wrapping between segments.
//
// A puzzle of S segments locks a 32-byte epoch key: segment i runs
// `iterations` serial steps from seed i, and its digest derives the key that
// unwraps segment i's "unlocked value", the seed of segment i + 1, or for the
// last segment the epoch key. The generator draws every seed itself, so it
// works all 96 segments at once on the worker pool, then wraps, fills and
// signs the manifest.
//
// Wrap context of segment i (107 bytes, all public):
//   "zanth-timelock-wrap-v1\0" (23) | epoch BE64 | i BE32 | iterations BE64 |
//   dataset key (32) | key commitment (32)
// Wrap key: HKDF-SHA256, salt "zanth-timelock-v1", input the digest, info the
// context. Wrapped key: nonce (12) | ChaCha20-Poly1305 ciphertext (32) | tag
// (16), with the context as associated data, as 120 lowercase hex digits.
//
// Thread safety: pure functions apart from `generate`, which starts and ends
// the pool's threads inside the call. Seeds, digests, keys and plaintext
// copies live in self-wiping holders on every path.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "timelock/base/bytes.h"
#include "timelock/base/error.h"
#include "timelock/base/secret.h"
#include "timelock/base/work_mode.h"
#include "timelock/ed25519/ed25519.h"
#include "timelock/formats/generation_plan.h"
#include "timelock/formats/manifest.h"
#include "timelock/work/work_observer.h"

namespace zt {

inline constexpr std::size_t kWrapContextSize = 107;
inline constexpr std::size_t kWrappedKeySize = 60;

// Fails only when dataset_key or key_commitment is not 64 canonical hex digits.
Result<Bytes> wrap_context(const Manifest& manifest, std::uint32_t segment);

Key32 wrap_key(const Key32& digest, std::span<const std::uint8_t> context);

// The 120-digit wrapped key of `segment`: `unlocked` sealed under the key
// derived from `digest`.
Result<std::string> wrap_segment_key(const Manifest& manifest, std::uint32_t segment, const Key32& digest,
                                     const WrapNonce& nonce, const Key32& unlocked);

// The unlocked value of `segment` (the next seed, or the epoch key after the
// last segment). Errors in order: the context's hex error; the wrapped key
// not 120 canonical hex digits ("noncanonical hex or wrong length"); the tag
// not matching, "segment {segment + 1} authentication failed (bad checkpoint
// or manifest)", which a wrong digest or any change to the context gives.
Result<Key32> unwrap_segment_key(const Manifest& manifest, std::uint32_t segment, const Key32& digest);

struct GeneratedPuzzle {
    SignedManifest manifest;
    Key32 epoch_key;
};

// What follows the work, for generate and for assemble alike: fills the
// manifest from the plan (the commitment first), wraps the unlocked value of
// every segment i, in order, under digests[i] with nonce i, and signs.
// "invalid work parameters" unless there are 96 digests; otherwise fails only
// as the manifest validation does.
Result<GeneratedPuzzle> assemble_puzzle(const GenerationPlan& plan, std::span<const Key32> digests,
                                        const Ed25519KeyPair& keys);

// A generation stopped on request. Nothing of it is kept: the digests
// computed so far, the seeds and the epoch key are wiped, so the work is
// lost (it cannot be resumed without its seeds).
struct GenerationStopped {
    int signal = 0;  // SIGINT, SIGTERM or SIGHUP
};

using GenerationOutcome = std::variant<GeneratedPuzzle, GenerationStopped>;

struct GenerateOptions {
    // Told of the pool's work; may be null.
    PoolObserver* observer = nullptr;
    // From the engine setup to the end of the pool, SIGINT, SIGTERM and
    // SIGHUP end the setup (within a range of the dataset, engine.h) or stop
    // the workers at their next step, and end the generation with
    // GenerationStopped. The previous dispositions are back when
    // generate returns.
    bool stop_on_signals = false;
};

// Generates a 96-segment puzzle signed with `keys`: pool size from the
// processors the process may use (at most 96), "invalid iterations" unless 1
// to 10^12 (before anything is drawn), the random values in order (dataset
// key, 96 seeds, epoch key, 96 nonces; "OS randomness failed"; draw_plan),
// the engine, the pool, then assemble_puzzle: the manifest with its
// commitment, the 96 wraps and the signature. The engine is released before
// returning.
Result<GenerationOutcome> generate(std::uint64_t epoch, std::uint64_t iterations, const Ed25519KeyPair& keys,
                                   WorkMode mode, const GenerateOptions& options = {});

namespace detail {

// Test seam: the random source behind every draw of `generate`.
struct GenerationSeams {
    RandomSource draw;
};

Result<GenerationOutcome> generate(std::uint64_t epoch, std::uint64_t iterations, const Ed25519KeyPair& keys,
                                   WorkMode mode, const GenerateOptions& options, const GenerationSeams& seams);

}  // namespace detail
}  // namespace zt
