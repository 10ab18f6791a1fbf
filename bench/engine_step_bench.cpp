// Cost of the work engine around the RandomX hash: the engine's `step`
// chain (message built in a wiped buffer, state in a self-wiping holder,
// call through the engine's library table) against a bare chain of
// randomx_calculate_hash calls on the same VM, in the same run.
//
// Rounds of the two chains alternate so machine load hits both alike; each
// side's rate comes from its fastest round. The ratio engine/bare must be at
// least 0.99: the engine may not slow the serial work a puzzle measures.
//
// Usage: engine_step_bench [--full] [--rounds N] [--hashes-per-round N]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "randomx/randomx.h"
#include "timelock/work/engine.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The bare baseline: the same 69-byte message layout, built in place.
double bare_round(randomx_vm* vm, std::uint64_t first_iteration, std::uint64_t hashes, std::uint8_t state[32]) {
    std::uint8_t message[zt::kStepMessageSize] = {};
    const zt::Key32 zero;
    const zt::StepMessage layout = zt::step_message(0, 1, 0, zero);
    std::memcpy(message, layout.data(), layout.size());
    const auto start = Clock::now();
    for (std::uint64_t j = first_iteration; j < first_iteration + hashes; ++j) {
        for (int b = 0; b < 8; ++b) message[29 + b] = static_cast<std::uint8_t>(j >> (56 - 8 * b));
        std::memcpy(message + 37, state, 32);
        randomx_calculate_hash(vm, message, sizeof message, state);
    }
    return seconds_since(start);
}

double engine_round(zt::RandomxVm& vm, std::uint64_t first_iteration, std::uint64_t hashes, zt::Key32& state) {
    const auto start = Clock::now();
    for (std::uint64_t j = first_iteration; j < first_iteration + hashes; ++j) {
        state = zt::step(vm, 0, 1, j, state);
    }
    return seconds_since(start);
}

}  // namespace

int main(int argc, char** argv) {
    zt::WorkMode mode = zt::WorkMode::Light;
    std::uint64_t rounds = 8;
    std::uint64_t per_round = 6;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--full") {
            mode = zt::WorkMode::Full;
        } else if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--hashes-per-round" && i + 1 < argc) {
            per_round = std::strtoull(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: %s [--full] [--rounds N] [--hashes-per-round N]\n", argv[0]);
            return 2;
        }
    }

    zt::Key32 key;
    key[0] = 0x42;
    const auto setup_start = Clock::now();
    auto engine = zt::WorkEngine::setup(key, mode);
    if (!engine) {
        std::fprintf(stderr, "%s\n", engine.error().message().c_str());
        return 1;
    }
    std::printf("mode %s, setup %.2f s, vm flags %u\n", std::string(zt::work_mode_name(mode)).c_str(),
                seconds_since(setup_start), engine->vm_flags());
    auto vm = engine->create_vm();
    if (!vm) {
        std::fprintf(stderr, "%s\n", vm.error().message().c_str());
        return 1;
    }

    double best_bare = std::numeric_limits<double>::infinity();
    double best_engine = std::numeric_limits<double>::infinity();
    std::uint8_t bare_state[32] = {};
    zt::Key32 engine_state;
    for (std::uint64_t r = 0; r < rounds; ++r) {
        best_bare = std::min(best_bare, bare_round(vm->get(), r * per_round, per_round, bare_state));
        best_engine = std::min(best_engine, engine_round(*vm, r * per_round, per_round, engine_state));
    }
    // Both chains ran the same messages, so they must agree.
    if (std::memcmp(bare_state, engine_state.data(), 32) != 0) {
        std::fprintf(stderr, "engine and bare chains disagree\n");
        return 1;
    }
    const double bare_rate = static_cast<double>(per_round) / best_bare;
    const double engine_rate = static_cast<double>(per_round) / best_engine;
    const double ratio = engine_rate / bare_rate;
    std::printf("bare randomx_calculate_hash  %10.3f H/s (baseline)\n", bare_rate);
    std::printf("engine step                  %10.3f H/s   x%.4f\n", engine_rate, ratio);
    std::printf("%s: engine/bare %.4f (required >= 0.99)\n", ratio >= 0.99 ? "PASS" : "FAIL", ratio);
    return ratio >= 0.99 ? 0 : 1;
}
