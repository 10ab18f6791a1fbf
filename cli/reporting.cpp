#include "cli/named_inputs.h"

#include <cerrno>

#include "timelock/base/utf8.h"
#include "timelock/formats/calibration_check.h"
#include "timelock/formats/input_files.h"
#include "timelock/split/state_dir.h"

namespace zt::cli {
namespace {

std::string shown(const std::string& path) { return utf8_lossy(path); }

template <typename T>
Result<T> named(Result<T> result, const std::string& outer) {
    if (result) return result;
    return std::move(result).error().context(outer);
}

}  // namespace

Error existing_output(const std::string& path) {
    return Error("output already exists: " + shown(path) + " (nothing is ever replaced; name a new file)");
}

Result<void> check_new_output(const std::string& path) {
    if (output_exists(path)) return existing_output(path);
    return success();
}

Result<file_io::Dir> open_results_directory(const std::string& path) {
    auto dir = file_io::open_directory(path);
    if (dir) return dir;
    if (dir.error() == Error::from_errno(ENOENT)) {
        return Error("--results " + shown(path) + " is not there; give the directory the workers wrote their results to");
    }
    return std::move(dir).error().context("--results " + shown(path));
}

Result<VerificationTask> read_named_verification_task(const std::string& path) {
    auto verification = read_verification_task_file(path);
    if (verification) return verification;
    if (read_task_file(path)) {
        return Error("--task " + shown(path) +
                     " is a work task; verify-result takes the verification task (verify-NN.json) that plan wrote "
                     "beside it");
    }
    return std::move(verification).error();
}

Result<Key32> read_named_key(std::string_view option, const std::string& path, std::string_view what) {
    return named(read_key_file(path),
                 std::string(option) + " " + shown(path) + ": cannot read " + std::string(what) +
                     " (a file of 64 hex digits)");
}

Result<Bytes32> parse_named_pin(std::string_view text) {
    return named(parse_pin(text), "--service-public-key: not a public key; give the service's 64 hex digits, "
                                  "as keygen or pubkey printed them");
}

Result<SignedManifest> read_named_manifest(const std::string& path) {
    return named(read_manifest_file(path), "--manifest " + shown(path) + ": not a readable signed manifest");
}

Result<CalibrationReport> read_named_calibration(std::string_view option, const std::string& path) {
    const std::string outer = std::string(option) + " " + shown(path) +
                              ": not a usable calibration report; run calibrate again and give its output";
    ZT_TRY_ASSIGN(CalibrationReport report, named(read_calibration_file(path), outer));
    if (auto consistent = check_calibration_report(report); !consistent) {
        return std::move(consistent).error().context(outer);
    }
    return report;
}

std::string epoch_key_mismatch_context(const std::string& path) {
    return "--epoch-key " + shown(path) + ": not the epoch key of --manifest; give the key generate wrote with it";
}

Result<SecureBytes> read_named_plaintext(const std::string& path, std::size_t limit, std::string_view too_large) {
    auto bytes = read_limited_secret(path, limit);
    if (bytes) return bytes;
    if (bytes.error().message() == kInputTooLarge) {
        return Error("--plaintext " + shown(path) + ": " + std::string(too_large) + "; split it or seal less");
    }
    return std::move(bytes).error().context("--plaintext " + shown(path) + ": cannot be read");
}

}  // namespace zt::cli
