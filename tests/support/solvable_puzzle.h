// Small puzzles that the solver can really solve, for the checkpoint,
// solver and crash tests: every segment is worked with the light-mode
// engine, its digest wraps the next seed (or the epoch key) with the
// generator's own wrap_segment_key, and the manifest is signed with the test
// service key (signed_manifest.h), so `solve` under that pin must reach the
// epoch key and nothing else.
//
// Every intermediate state is kept, so a test can say exactly which state a
// checkpoint (s, j) must hold.
//
// Thread safety: building sets up a RandomX engine on the calling thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "timelock/base/secret.h"
#include "timelock/formats/manifest.h"

namespace zt::test {

struct SolvablePuzzle {
    SignedManifest manifest;
    std::string id;  // manifest_id(manifest)
    Key32 epoch_key;
    // states[s][j]: the state after j steps of segment s (j = 0 .. iterations);
    // states[s][0] is seed s.
    std::vector<std::vector<Key32>> states;

    // The checkpoint line (with its line feed) the solver writes at (s, j).
    std::string line(std::uint32_t segment, std::uint64_t iteration) const;
};

// A puzzle of `segments` segments (7, 84 or 96) of `iterations` steps each.
// Costs segments × iterations light-mode hashes plus one cache setup.
SolvablePuzzle make_solvable_puzzle(std::uint64_t iterations, std::uint64_t epoch = 42,
                                    std::uint32_t segments = 7);

// The same puzzle with `epoch` replaced and signed again with the test
// service key: it verifies, but no segment unwraps under it.
SignedManifest resigned_with_epoch(const SignedManifest& manifest, std::uint64_t epoch);

}  // namespace zt::test
