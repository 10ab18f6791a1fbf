// The solver: redoes a puzzle's serial work, segment after segment, on one
// thread and one RandomX virtual machine, and returns the epoch key once its
// commitment matches the manifest.
//
// Only seed_1 is public, so no segment can be started before the previous
// one is finished and unwrapped: the work cannot be split. Progress is saved
// in the checkpoint log (checkpoint.h) after every `checkpoint_interval`
// steps of a segment (counted from the segment's start, not from the resume
// point) and at every segment boundary, so a run can be stopped at any time
// and resumed with exactly the states an uninterrupted run would have had.
// The final unwrapped value, the epoch key, is never written to the log.
//
// The hashing loop does one RandomX hash per step; per step it adds only a
// counter, a division for the checkpoint cadence, one load of the stop flag
// and (with an observer) one call that tells the new position. It allocates
// nothing and makes no system call except when it appends a checkpoint.
//
// Thread safety: solve runs on the calling thread and starts no other.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "timelock/base/bytes.h"
#include "timelock/base/error.h"
#include "timelock/base/secret.h"
#include "timelock/base/work_mode.h"
#include "timelock/formats/checkpoint.h"
#include "timelock/formats/manifest.h"
#include "timelock/work/work_observer.h"

namespace zt {

inline constexpr std::string_view kZeroCheckpointInterval = "zero checkpoint interval";

// A run stopped on request. Its position has been appended to the log as an
// ordinary checkpoint, so running the same command again resumes there.
struct SolveStopped {
    std::uint32_t segment = 0;    // from 0
    std::uint64_t iteration = 0;  // steps of that segment done
    int signal = 0;               // SIGINT, SIGTERM or SIGHUP
};

using SolveOutcome = std::variant<Key32, SolveStopped>;

struct SolveOptions {
    // From the starting checkpoint's append on (engine setup and walk; not
    // during verification), SIGINT, SIGTERM and SIGHUP finish the step in
    // progress, append a checkpoint at the current position unless it is
    // the last line already, and end the solve with SolveStopped. A signal
    // during the setup ends it within a range of the dataset (engine.h), at
    // the starting position. The previous dispositions are back when solve
    // returns.
    bool stop_on_signals = false;
    // Told of the setup, the start and every position; may be null.
    SolveObserver* observer = nullptr;
};

// Solves `manifest`, in this order (the first failure decides the error):
// verification against `pin`; "zero checkpoint interval"; the manifest id
// and seed_1; the starting checkpoint (`resume`, else the fresh one at
// segment 0, iteration 0, seed_1) passes accept_checkpoint and is appended
// to `log_fd`; engine setup in `mode` and one VM; the walk, whose unwrap
// failure is "segment {n} authentication failed (bad checkpoint or
// manifest)"; the key commitment ("epoch key commitment mismatch"). The VM,
// dataset and cache are released and every state wiped before returning,
// on every path. Log failures are the system's errors.
Result<SolveOutcome> solve(const SignedManifest& manifest, const Bytes32& pin, WorkMode mode,
                           const std::optional<Checkpoint>& resume, std::uint64_t checkpoint_interval,
                           int log_fd, const SolveOptions& options = {});

}  // namespace zt
