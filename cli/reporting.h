// Inputs of the commands added for services (seal-record, seal-paste,
// verify) read with errors that name the option and file at fault and say
// what to give instead. The original commands keep their own bare messages
// ("key must contain 64 hex digits"), which callers rely on; these wrap the
// same readers and add the naming as the outermost message, the reader's own
// message standing as the cause.
//
// Thread safety: pure functions over the file system.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "timelock/base/bytes.h"
#include "timelock/base/crypto.h"
#include "timelock/base/error.h"
#include "timelock/base/file_io.h"
#include "timelock/base/secret.h"
#include "timelock/formats/calibration_report.h"
#include "timelock/formats/manifest.h"
#include "timelock/formats/segment_task.h"

namespace zt::cli {

// "output already exists: {path} (nothing is ever replaced; name a new
// file)", the one wording for an existing output where no other is fixed.
Error existing_output(const std::string& path);

// The existence check before any work: existing_output when `path` exists.
Result<void> check_new_output(const std::string& path);

// The results directory of a split generation (--results): "--results
// {path} is not there; give the directory the workers wrote their results
// to", or the system's error with "--results {path}" as context.
Result<file_io::Dir> open_results_directory(const std::string& path);

// --task of verify-result: a verification task file. A work task given
// instead is named as such: "--task {path} is a work task; verify-result
// takes the verification task (verify-NN.json) that plan wrote beside it".
Result<VerificationTask> read_named_verification_task(const std::string& path);

// A key file given as `option` (for example "--epoch-key"); `what` says what
// the key is and where it comes from ("the puzzle's epoch key, as generate
// wrote it").
Result<Key32> read_named_key(std::string_view option, const std::string& path, std::string_view what);

// --service-public-key, read as the pin.
Result<Bytes32> parse_named_pin(std::string_view text);

// --manifest: the signed manifest file.
Result<SignedManifest> read_named_manifest(const std::string& path);

// --calibration (or `option`): a calibration report whose figures agree.
Result<CalibrationReport> read_named_calibration(std::string_view option, const std::string& path);

// "--epoch-key {path}: not the epoch key of --manifest; ..."
std::string epoch_key_mismatch_context(const std::string& path);

// --plaintext: the whole file, at most `limit` bytes, in a buffer that wipes
// itself; a larger file fails with `too_large` (naming the file).
Result<SecureBytes> read_named_plaintext(const std::string& path, std::size_t limit, std::string_view too_large);

// `result`, or its error with the epoch key file named when the error is
// "epoch key commitment mismatch" (the key given is not the puzzle's).
template <typename T>
Result<T> with_key_named(const std::string& epoch_key_path, Result<T> result) {
    if (result || result.error().message() != kCommitmentMismatch) return result;
    return std::move(result).error().context(epoch_key_mismatch_context(epoch_key_path));
}

}  // namespace zt::cli
