// The generate command: refuse existing outputs, read the service's Ed25519
// seed, generate the puzzle, publish the epoch key (0600) and then the signed
// manifest (0644), and print the manifest id. The epoch key file stays if
// publishing the manifest fails; nothing is printed then. SIGINT, SIGTERM
// or SIGHUP during the work stop the workers, publish nothing and end with
// zt::Interrupted: a generation cannot be resumed, so the work is lost.
// With --iterations-from, the iteration count is the calibration report's
// iterations_for_one_day; a light-mode report is refused for a full-mode
// puzzle, whose segments it would make last about thirteen times too long.
#include <string>
#include <string_view>
#include <variant>

#include "cli/commands/commands.h"
#include "cli/driver.h"
#include "cli/inputs.h"
#include "cli/publish.h"
#include "timelock/calibration.h"
#include "timelock/ed25519.h"
#include "timelock/generation.h"
#include "timelock/manifest.h"
#include "timelock/manifest_signing.h"
#include "cli/progress.h"
#include "timelock/protocol.h"
#include "timelock/secret.h"

namespace zt::cli {

namespace {

constexpr std::string_view kOutputExists = "output already exists";
constexpr std::string_view kLightCalibration =
    "the calibration report was measured in light mode; a full-mode puzzle needs a full-mode calibration "
    "(or generate with --mode light)";

// The iteration count: given, or taken from a calibration report.
zt::Result<std::uint64_t> iteration_count(const GenerateArgs& args) {
    if (!args.iterations_from) return args.iterations;
    ZT_TRY_ASSIGN(const CalibrationReport report, read_calibration_file(*args.iterations_from));
    if (report.mode == WorkMode::Light && args.mode != WorkMode::Light) return zt::Error(std::string(kLightCalibration));
    return report.iterations_for_one_day;
}
constexpr std::string_view kStoppedMessage =
    "Stopped before the puzzle was finished; nothing was published and the work done was not kept";

}  // namespace

zt::Result<void> run_generate(const GenerateArgs& args) {
    // 1-2. Neither output may exist yet (checked again, atomically, when publishing).
    if (output_exists(args.manifest_out)) return zt::Error(std::string(kOutputExists));
    if (output_exists(args.epoch_key_out)) return zt::Error(std::string(kOutputExists));

    // 3. The signing key pair from the seed file (its buffer is wiped by the reader).
    ZT_TRY_ASSIGN(const Key32 seed, read_key_file(args.signing_key));
    const Ed25519KeyPair keys = ed25519_from_seed(seed);

    // 4. The iteration count, when it comes from a calibration report.
    ZT_TRY_ASSIGN(const std::uint64_t iterations, iteration_count(args));

    // 5. The puzzle; a live progress line on standard error when it is a
    // terminal, cleared before anything else is written there.
    auto progress = ProgressLine::for_stderr("generate", protocol::kGeneratedSegments, iterations);
    auto generated = generate(args.epoch, iterations, keys, args.mode,
                              GenerateOptions{.observer = &progress, .stop_on_signals = true});
    progress.clear();
    if (!generated) return std::move(generated).error();
    if (const auto* stopped = std::get_if<GenerationStopped>(&generated.value())) {
        throw Interrupted(stopped->signal, std::string(kStoppedMessage));
    }
    const GeneratedPuzzle& puzzle = std::get<GeneratedPuzzle>(generated.value());

    // 6. The epoch key, owner-only, before the manifest.
    ZT_TRY(publish_epoch_key(args.epoch_key_out, puzzle.epoch_key));

    // 7. The signed manifest, readable by all.
    const std::string manifest_text = write_signed_manifest(puzzle.manifest);
    ZT_TRY(publish_staged(args.manifest_out, as_bytes(manifest_text), /*owner_only=*/false));

    // 8. The manifest id.
    ZT_TRY_ASSIGN(const std::string id, manifest_id(puzzle.manifest));
    write_stdout(id + "\n");

    // 9. The epoch key, the seed and the key pair are wiped by their holders.
    return zt::success();
}

}  // namespace zt::cli
