// A generation plan: every random value of one puzzle, drawn before any
// work, so that the work can be split off, resumed and checked.
//
// `generate` draws a plan, works its 96 segments and assembles the puzzle
// from the plan and the digests; `plan`, `work` and `assemble` do the same
// steps in separate processes with the plan kept on disk in between. The
// draws are the same in both cases and in the same order: the dataset key,
// the 96 seeds (one 32-byte draw each), the epoch key and the 96 wrap nonces
// (one 12-byte draw each).
//
// The plan id names a plan without revealing any secret: it is computed from
// values the finished manifest publishes anyway.
//   SHA-256( "zanth-timelock-plan-v1\0" (23) | epoch BE64 | iterations BE64 |
//            dataset key (32) | seed 0 (32) | SHA-256(epoch key) (32) )
// as 64 lowercase hex digits.
//
// Plan document (plan.json), a JSON object in this member order, written
// pretty with two-space indentation, at most kPlanDocumentLimit bytes:
//   version      1
//   plan_id      64 hex digits, the id above (checked on reading)
//   epoch        unsigned 64-bit
//   iterations   1 .. 10^12
//   dataset_key  64 hex digits
//   seeds        96 strings of 64 hex digits, seed i at position i
//   epoch_key    64 hex digits
//   nonces       96 strings of 24 hex digits, nonce i at position i
// Hex is canonical (lowercase, exact length). The reader is as strict as the
// manifest's: members in any order or positional, none unknown, repeated or
// missing.
//
// Secrets: the plan holds the epoch key and every seed. GenerationPlan keeps
// them in self-wiping holders; the document text is produced into, and read
// from, buffers that wipe themselves (SecureBytes).
//
// Thread safety: plain values and pure functions (draw_plan reads the OS
// random source).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "timelock/base/error.h"
#include "timelock/base/protocol.h"
#include "timelock/base/secret.h"

namespace zt {

inline constexpr std::size_t kWrapNonceSize = 12;
using WrapNonce = std::array<std::uint8_t, kWrapNonceSize>;

inline constexpr std::string_view kInvalidIterations = "invalid iterations";

inline constexpr std::uint32_t kPlanVersion = 1;
inline constexpr std::size_t kPlanDocumentLimit = 16384;

inline constexpr std::string_view kPlanTooLarge = "plan exceeds size limit";
inline constexpr std::string_view kUnsupportedPlan = "unsupported plan version";
inline constexpr std::string_view kInvalidPlan = "invalid plan";
inline constexpr std::string_view kPlanCorrupted = "plan corrupted";

struct GenerationPlan {
    std::uint64_t epoch = 0;
    std::uint64_t iterations = 0;
    Key32 dataset_key;
    std::vector<Key32> seeds = std::vector<Key32>(protocol::kGeneratedSegments);
    Key32 epoch_key;
    std::vector<WrapNonce> nonces = std::vector<WrapNonce>(protocol::kGeneratedSegments);
};

// Where draw_plan takes its bytes from; fills the span or fails.
using RandomSource = std::function<Result<void>(std::span<std::uint8_t>)>;

// Fills `out` from `source`, or from the operating system's when `source` is
// null; "OS randomness failed" if that fails (the source's own error is not
// passed on).
Result<void> draw_random(const RandomSource& source, std::span<std::uint8_t> out);

// "invalid iterations" unless 1 to 10^12 (before anything is drawn); then
// the draws in order, "OS randomness failed" if any fails (the source's own
// error is not passed on; what was drawn is wiped). A null `source` is the
// operating system's.
Result<GenerationPlan> draw_plan(std::uint64_t epoch, std::uint64_t iterations, const RandomSource& source = {});

// The plan id above.
std::string plan_id(const GenerationPlan& plan);

// The plan document. Its text holds every secret of the plan.
SecureBytes write_plan_document(const GenerationPlan& plan);

// Reads a plan document: size ("plan exceeds size limit"), the JSON rules
// (the reader's messages), version ("unsupported plan version"), iterations
// and the counts of seeds and nonces ("invalid plan"), canonical hex
// ("noncanonical hex or wrong length"), and the plan id equal to the one
// recomputed from the values ("plan corrupted").
Result<GenerationPlan> read_plan_document(std::string_view text);

}  // namespace zt
