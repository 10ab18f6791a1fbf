#include "timelock/work/generation.h"

#include <atomic>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "timelock/base/crypto.h"
#include "timelock/base/protocol.h"
#include "timelock/base/stop_signals.h"
#include "timelock/formats/manifest_signing.h"
#include "timelock/work/engine.h"
#include "timelock/work/pool.h"

namespace zt {

namespace {

constexpr std::size_t kSegments = protocol::kGeneratedSegments;

Error authentication_failed(std::uint32_t segment) {
    return Error("segment " + std::to_string(std::uint64_t{segment} + 1) +
                 " authentication failed (bad checkpoint or manifest)");
}

}  // namespace

Result<Bytes> wrap_context(const Manifest& manifest, std::uint32_t segment) {
    ZT_TRY_ASSIGN(const Bytes32 dataset_key, decode_hex_fixed<32>(manifest.dataset_key));
    ZT_TRY_ASSIGN(const Bytes32 commitment, decode_hex_fixed<32>(manifest.key_commitment));
    Bytes context;
    context.reserve(kWrapContextSize);
    append_text(context, labels::wrap_context);
    append_be64(context, manifest.epoch);
    append_be32(context, segment);
    append_be64(context, manifest.iterations);
    append_bytes(context, dataset_key);
    append_bytes(context, commitment);
    return context;
}

Key32 wrap_key(const Key32& digest, std::span<const std::uint8_t> context) {
    return derive_key(labels::step, digest, context);
}

Result<std::string> wrap_segment_key(const Manifest& manifest, std::uint32_t segment, const Key32& digest,
                                     const WrapNonce& nonce, const Key32& unlocked) {
    ZT_TRY_ASSIGN(const Bytes context, wrap_context(manifest, segment));
    const Key32 key = wrap_key(digest, context);
    ZT_TRY_ASSIGN(const Bytes sealed, seal_chacha(key, nonce, context, unlocked.span()));
    Bytes wrapped(nonce.begin(), nonce.end());
    append_bytes(wrapped, sealed);
    return encode_hex(wrapped);
}

Result<Key32> unwrap_segment_key(const Manifest& manifest, std::uint32_t segment, const Key32& digest) {
    ZT_TRY_ASSIGN(const Bytes context, wrap_context(manifest, segment));
    const Key32 key = wrap_key(digest, context);
    if (segment >= manifest.wrapped_keys.size()) return Error(std::string(kInvalidWorkParameters));
    ZT_TRY_ASSIGN(const Bytes wrapped, decode_hex_fixed(manifest.wrapped_keys[segment], kWrappedKeySize));
    const std::span<const std::uint8_t> all(wrapped);
    const auto opened = open_chacha(key, all.first<kWrapNonceSize>(), context, all.subspan(kWrapNonceSize));
    if (!opened || opened->size() != Key32::size()) return authentication_failed(segment);
    return Key32(std::span<const std::uint8_t, 32>(opened->data(), 32));
}

Result<GeneratedPuzzle> assemble_puzzle(const GenerationPlan& plan, std::span<const Key32> digests,
                                        const Ed25519KeyPair& keys) {
    if (digests.size() != kSegments) return Error(std::string(kInvalidWorkParameters));

    // 6. The manifest; the commitment first, since every wrap context holds it.
    Manifest manifest;
    manifest.version = protocol::kProtocolVersion;
    manifest.epoch = plan.epoch;
    manifest.randomx = protocol::kRandomxRelease;
    manifest.randomx_commit = protocol::kRandomxCommit;
    manifest.randomx_algorithm = protocol::kRandomxAlgorithm;
    manifest.dataset_key = encode_hex(plan.dataset_key.span());
    manifest.iterations = plan.iterations;
    manifest.segments = protocol::kGeneratedSegments;
    manifest.seed_1 = encode_hex(plan.seeds[0].span());
    manifest.wrapped_keys.assign(kSegments, std::string());
    manifest.key_commitment = key_commitment(plan.epoch_key);

    // 7. Segment i unlocks seed i + 1; the last one unlocks the epoch key.
    for (std::size_t i = 0; i < kSegments; ++i) {
        const Key32& unlocked = i + 1 < kSegments ? plan.seeds[i + 1] : plan.epoch_key;
        ZT_TRY_ASSIGN(manifest.wrapped_keys[i], wrap_segment_key(manifest, static_cast<std::uint32_t>(i),
                                                                 digests[i], plan.nonces[i], unlocked));
    }

    // 8-9. Signing message (validation first) and signature.
    ZT_TRY_ASSIGN(SignedManifest signed_manifest, sign_manifest(manifest, keys));
    return GeneratedPuzzle{std::move(signed_manifest), plan.epoch_key};
}

Result<GenerationOutcome> generate(std::uint64_t epoch, std::uint64_t iterations, const Ed25519KeyPair& keys,
                                   WorkMode mode, const GenerateOptions& options) {
    return detail::generate(epoch, iterations, keys, mode, options, {});
}

namespace detail {

Result<GenerationOutcome> generate(std::uint64_t epoch, std::uint64_t iterations, const Ed25519KeyPair& keys,
                                   WorkMode mode, const GenerateOptions& options, const GenerationSeams& seams) {
    // 1. Pool size.
    ZT_TRY_ASSIGN(const std::size_t pool_size, pool_threads());

    // 2-3. Iterations, then the random values (wiped by their holders on every path).
    ZT_TRY_ASSIGN(const GenerationPlan plan, draw_plan(epoch, iterations, seams.draw));

    // 4-5. Engine and pool; the engine goes with this scope on every path. A
    // stop requested during the setup ends it (engine.h) and the run.
    std::optional<StopSignals> signals;
    if (options.stop_on_signals) signals.emplace();
    const std::atomic<int>& stop = options.stop_on_signals ? StopSignals::flag() : never_stop();
    ZT_TRY_ASSIGN(std::optional<WorkEngine> engine, WorkEngine::setup_unless_stopped(plan.dataset_key, mode, stop));
    if (!engine) return GenerationOutcome(GenerationStopped{stop.load(std::memory_order_relaxed)});
    ZT_TRY_ASSIGN(const SegmentDigests digests,
                  run_segment_pool(*engine, plan.seeds, epoch, iterations, pool_size, options.observer, stop));
    signals.reset();  // from here on the signals act as usual again
    if (const int signal = stop.load(std::memory_order_relaxed); signal != 0) {
        return GenerationOutcome(GenerationStopped{signal});  // the random values are wiped by their holders
    }

    // 6-9. Manifest, wraps and signature.
    ZT_TRY_ASSIGN(GeneratedPuzzle puzzle, assemble_puzzle(plan, digests, keys));

    // 10. Release the engine before handing anything back.
    engine->release();
    return GenerationOutcome(std::move(puzzle));
}

}  // namespace detail
}  // namespace zt
