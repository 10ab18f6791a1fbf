#include "timelock/work/solver.h"

#include <atomic>
#include <optional>
#include <string>
#include <utility>

#include "timelock/base/crypto.h"
#include "timelock/base/stop_signals.h"
#include "timelock/formats/manifest_signing.h"
#include "timelock/work/chain_cursor.h"
#include "timelock/work/engine.h"
#include "timelock/work/generation.h"

namespace zt {
namespace {

// The walk over the segments from a starting position: steps, checkpoints,
// unwraps. The state it carries is the caller's and is wiped by its holder.
class Walk {
public:
    Walk(const Manifest& puzzle, std::string_view id, std::uint64_t interval, int log_fd, RandomxVm& vm,
         const std::atomic<int>& stop, SolveObserver* observer)
        : puzzle_(puzzle), id_(id), interval_(interval), log_fd_(log_fd), vm_(vm), stop_(stop),
          observer_(observer) {}

    // Walks from (segment, iteration) with `state` (the starting checkpoint's
    // x, already in the log) to the end of the last segment, leaving the last
    // unwrapped value in `state`; or stops on request.
    Result<std::optional<SolveStopped>> run(std::uint32_t segment, std::uint64_t iteration, Key32& state) {
        // Whether the current position is the last line appended.
        bool saved = true;
        ChainCursor cursor(vm_, puzzle_.epoch, segment, iteration, state);
        const auto after_step = [this, &saved](const ChainCursor& at) -> Result<void> {
            saved = false;
            if (observer_ != nullptr) observer_->stepped(at.segment(), at.iteration());
            if (at.iteration() % interval_ == 0) {
                ZT_TRY(save(at.segment(), at.iteration(), at.state()));
                saved = true;
            }
            return success();
        };
        for (std::uint32_t s = segment; s < puzzle_.segments; ++s) {
            ZT_TRY_ASSIGN(const bool finished, cursor.advance_to(puzzle_.iterations, stop_, after_step));
            // A stop is also honoured at the end of a segment, before its unwrap.
            if (const int signal = stop_.load(std::memory_order_relaxed); !finished || signal != 0) {
                if (!saved) ZT_TRY(save(s, cursor.iteration(), cursor.state()));
                return std::optional<SolveStopped>(SolveStopped{s, cursor.iteration(), signal});
            }
            ZT_TRY_ASSIGN(state, unwrap_segment_key(puzzle_, s, cursor.state()));
            if (s + 1 < puzzle_.segments) {
                cursor.restart(s + 1, state);
                ZT_TRY(save(s + 1, 0, state));
                saved = true;
                if (observer_ != nullptr) observer_->moved_to(s + 1, 0);
            }
        }
        return std::optional<SolveStopped>();
    }

private:
    Result<void> save(std::uint32_t segment, std::uint64_t iteration, const Key32& state) {
        // Not a secret once it is a checkpoint (checkpoint.h).
        ZT_TRY_ASSIGN(const Checkpoint checkpoint, new_checkpoint(id_, segment, iteration, state));
        return append_checkpoint(log_fd_, checkpoint);
    }

    const Manifest& puzzle_;
    std::string_view id_;
    std::uint64_t interval_;
    int log_fd_;
    RandomxVm& vm_;
    const std::atomic<int>& stop_;
    SolveObserver* observer_;
};

Result<Key32> decode_key(std::string_view hex) {
    Key32 key;
    ZT_TRY(decode_hex_fixed_into(hex, key.span()));
    return key;
}

}  // namespace

Result<SolveOutcome> solve(const SignedManifest& manifest, const Bytes32& pin, WorkMode mode,
                           const std::optional<Checkpoint>& resume, std::uint64_t checkpoint_interval,
                           int log_fd, const SolveOptions& options) {
    const Manifest& puzzle = manifest.puzzle;
    // 1. Nothing else is looked at before the manifest is trusted.
    ZT_TRY(verify_manifest(manifest, pin));
    // 2.
    if (checkpoint_interval == 0) return Error(std::string(kZeroCheckpointInterval));
    // 3.
    ZT_TRY_ASSIGN(const std::string id, manifest_id(manifest));
    ZT_TRY_ASSIGN(const Key32 seed, decode_key(puzzle.seed_1));
    // 4.
    ZT_TRY_ASSIGN(const Checkpoint fresh, new_checkpoint(id, 0, 0, seed));
    const Checkpoint& start = resume ? *resume : fresh;
    // 5.
    ZT_TRY(accept_checkpoint(start, manifest, id));
    // 6. Also on resume: the run's own starting line, after Open log's line feed.
    ZT_TRY(append_checkpoint(log_fd, start));
    // From here on a stop request is kept: one during the setup ends the run
    // at the starting position (already saved) within a range of the
    // dataset (engine.h), instead of killing the process.
    std::optional<StopSignals> signals;
    if (options.stop_on_signals) signals.emplace();
    const std::atomic<int>& stop = options.stop_on_signals ? StopSignals::flag() : never_stop();
    // 7. Declared before the VM, so the VM is destroyed first.
    if (options.observer != nullptr) options.observer->setting_up(mode);
    ZT_TRY_ASSIGN(const Key32 dataset_key, decode_key(puzzle.dataset_key));
    ZT_TRY_ASSIGN(const std::optional<WorkEngine> engine, WorkEngine::setup_unless_stopped(dataset_key, mode, stop));
    if (!engine) {
        return SolveOutcome(SolveStopped{start.segment, start.iteration, stop.load(std::memory_order_relaxed)});
    }
    ZT_TRY_ASSIGN(RandomxVm vm, engine->create_vm());
    // 8.
    ZT_TRY_ASSIGN(Key32 state, decode_key(start.x));
    // 9.
    if (options.observer != nullptr) options.observer->walk_started(start.segment, start.iteration);
    Walk walk(puzzle, id, checkpoint_interval, log_fd, vm, stop, options.observer);
    ZT_TRY_ASSIGN(const std::optional<SolveStopped> stopped, walk.run(start.segment, start.iteration, state));
    if (stopped) return SolveOutcome(*stopped);
    // 10. The state is now the epoch key.
    if (key_commitment(state) != puzzle.key_commitment) return Error(std::string(kCommitmentMismatch));
    // 11. The VM, then the dataset and the cache, go with their holders.
    return SolveOutcome(std::move(state));
}

}  // namespace zt
