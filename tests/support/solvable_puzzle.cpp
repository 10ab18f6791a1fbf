#include "tests/support/solvable_puzzle.h"

#include <stdexcept>

#include "tests/support/signed_manifest.h"
#include "timelock/base/crypto.h"
#include "timelock/formats/checkpoint.h"
#include "timelock/formats/manifest_signing.h"
#include "timelock/work/engine.h"
#include "timelock/work/generation.h"

namespace zt::test {
namespace {

template <typename T>
T value_or_throw(Result<T> result, const char* what) {
    if (!result) throw std::runtime_error(std::string(what) + ": " + result.error().message());
    return std::move(result).value();
}

Key32 random_key() {
    Key32 key;
    if (!random_bytes(key.span())) throw std::runtime_error("OS randomness failed");
    return key;
}

}  // namespace

std::string SolvablePuzzle::line(std::uint32_t segment, std::uint64_t iteration) const {
    return checkpoint_line(value_or_throw(new_checkpoint(id, segment, iteration, states.at(segment).at(iteration)),
                                          "checkpoint"));
}

SolvablePuzzle make_solvable_puzzle(std::uint64_t iterations, std::uint64_t epoch, std::uint32_t segments) {
    SolvablePuzzle puzzle;
    puzzle.epoch_key = random_key();
    const Key32 dataset_key = random_key();

    ManifestSpec spec;
    spec.segments = segments;
    spec.epoch = epoch;
    spec.iterations = iterations;
    spec.dataset_key = encode_hex(dataset_key.span());
    spec.epoch_key = puzzle.epoch_key;
    Manifest m = make_manifest(spec);
    WorkEngine engine = value_or_throw(WorkEngine::setup(dataset_key, WorkMode::Light), "engine");
    {
        RandomxVm vm = value_or_throw(engine.create_vm(), "vm");
        Key32 seed = random_key();
        m.seed_1 = encode_hex(seed.span());
        for (std::uint32_t s = 0; s < segments; ++s) {
            std::vector<Key32> chain{seed};
            for (std::uint64_t j = 0; j < iterations; ++j) chain.push_back(step(vm, epoch, s, j, chain.back()));
            // The key_commitment is already final, so each wrap context is too.
            const Key32 unlocked = s + 1 < segments ? random_key() : puzzle.epoch_key;
            WrapNonce nonce{};
            if (!random_bytes(nonce)) throw std::runtime_error("OS randomness failed");
            m.wrapped_keys[s] = value_or_throw(wrap_segment_key(m, s, chain.back(), nonce, unlocked), "wrap");
            puzzle.states.push_back(std::move(chain));
            seed = unlocked;
        }
    }
    puzzle.manifest = value_or_throw(sign_manifest(m, service_keys()), "sign");
    puzzle.id = value_or_throw(manifest_id(puzzle.manifest), "manifest id");
    return puzzle;
}

SignedManifest resigned_with_epoch(const SignedManifest& manifest, std::uint64_t epoch) {
    Manifest m = manifest.puzzle;
    m.epoch = epoch;
    return value_or_throw(sign_manifest(m, service_keys()), "sign");
}

}  // namespace zt::test
