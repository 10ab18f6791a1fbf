// How the commands whose messages are ours (all but calibrate, generate's
// original options, solve, decrypt-record and decrypt-paste) read what the
// user names, and report what they cannot use: one way, "{option} {path}
// {what is wrong}; {fix}" (about_file, timelock/base/wording.h), the
// reader's own message standing as the cause where it says more:
//
//   --task st/task-99.json is not there; give a work task file that plan wrote (task-NN.json)
//   --task puzzle.json is a signed manifest; --task takes a work task file that plan wrote (task-NN.json)
//   --task g.json is not a work task file; give ...        Caused by: expected value at line 1 column 1
//   --task big.json is larger than a work task file can be; give ...
//   --task t.json is open to other users (mode 0644); make it owner-only (chmod 600)
//
// A file of another kind is named for what it is (document_kind.h). The
// original commands keep their bare messages ("key must contain 64 hex
// digits"), which callers rely on, and never come through here. Outputs
// that are there already are refused with existing_output (publish.h).
//
// "-" stands for standard input or output only where a reader or an output
// here is asked to take a stream; elsewhere it is a file named "-". Standard
// input is read through the core, under the same limit as the file.
//
// Thread safety: call from the command's thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "timelock/base/bytes.h"
#include "timelock/base/crypto.h"
#include "timelock/base/error.h"
#include "timelock/base/file_io.h"
#include "timelock/base/publish.h"
#include "timelock/base/secret.h"
#include "timelock/formats/calibration_report.h"
#include "timelock/formats/document_kind.h"
#include "timelock/formats/manifest.h"
#include "timelock/formats/segment_task.h"

namespace zt::cli {

inline constexpr std::string_view kStream = "-";

// Whether an input or output may be a stream ("-") where it is given.
enum class Stream { no, allowed };

// What an input must hold, and where the user gets one.
struct Expected {
    DocumentKind kind;
    std::string_view wanted;  // after "give" or "{option} takes"
};

namespace expected {
inline constexpr Expected task{DocumentKind::task, "a work task file that plan wrote (task-NN.json)"};
inline constexpr Expected verification_task{DocumentKind::verification_task,
                                            "a verification task file that plan wrote (verify-NN.json)"};
inline constexpr Expected manifest{DocumentKind::manifest, "a signed manifest that generate or assemble wrote"};
inline constexpr Expected calibration{DocumentKind::calibration_report, "a calibration report that calibrate wrote"};
inline constexpr Expected signing_key{DocumentKind::key_file, "the service's signing key file that keygen wrote"};
inline constexpr Expected epoch_key{DocumentKind::key_file, "the epoch key file that generate or assemble wrote"};
inline constexpr Expected solved_key{DocumentKind::key_file, "the key file solve wrote (its --key-out)"};
inline constexpr Expected plan{DocumentKind::plan, "the state directory that plan wrote"};
inline constexpr Expected result{DocumentKind::result, "the result file that work wrote for this task"};
inline constexpr Expected checkpoint_log{DocumentKind::checkpoint_log,
                                         "the checkpoint log that solve writes (its --checkpoint)"};
}  // namespace expected

// The one wording for an input `path`, given as `option`, that the reader
// refused with `why`: missing; a document of another kind (told from
// `text`, what was read of it, or else from the file's first bytes); too
// large; refused by the private-file rules (their message, which names the
// file and the fix, with the option before it); unreadable; or not of the
// expected kind at all (the reader's error as cause).
Error input_error(std::string_view option, const std::string& path, const Expected& expected, const Error& why,
                  std::optional<std::string_view> text = std::nullopt);

// A file that holds no document of the expected kind, told as input_error
// tells a document of another kind, or else "{option} {path} holds no
// {what}; give {wanted}".
Error wrong_document(std::string_view option, const std::string& path, const Expected& expected,
                     std::string_view what);

// --task of work (a private file).
Result<SegmentTask> read_task_input(std::string_view option, const std::string& path);

// --task of verify-result (a private file).
Result<VerificationTask> read_verification_task_input(const std::string& path);

// --manifest: a signed manifest; its signature is not checked here.
Result<SignedManifest> read_manifest_input(const std::string& path, Stream stream);

// A calibration report whose figures agree (calibration_check.h).
Result<CalibrationReport> read_calibration_input(std::string_view option, const std::string& path);

// A key file given as `option`; the buffers wipe themselves.
Result<Key32> read_key_input(std::string_view option, const std::string& path, const Expected& expected,
                             Stream stream);

// --service-public-key, read as the pin.
Result<Bytes32> parse_named_pin(std::string_view text);

// --plaintext: the whole file (or standard input), at most `limit` bytes,
// in a buffer that wipes itself; past it "--plaintext {path} is larger than
// {holder} holds ({limit} bytes); split it or seal less".
Result<SecureBytes> read_plaintext_input(const std::string& path, std::size_t limit, std::string_view holder);

// A directory given as `option`: "{option} {path} is not there; give
// {wanted}", "... is not a directory; ...", or the system's error as cause.
Result<file_io::Dir> open_directory_input(std::string_view option, const std::string& path, std::string_view wanted);

// "--epoch-key {path}: not the epoch key of --manifest; ..."
std::string epoch_key_mismatch_context(const std::string& path);

// `result`, or its error with the epoch key file named when the error is
// "epoch key commitment mismatch" (the key given is not the puzzle's).
template <typename T>
Result<T> with_key_named(const std::string& epoch_key_path, Result<T> result) {
    if (result || result.error().message() != kCommitmentMismatch) return result;
    return std::move(result).error().context(epoch_key_mismatch_context(epoch_key_path));
}

// An output that is a new file, or standard output ("-", where allowed). A
// file is opened and checked free before any work (OutputTarget::open,
// check_free). Only text documents go to standard output, so no terminal
// needs guarding against binary.
class TextOutput {
public:
    static Result<TextOutput> open(std::string_view option, const std::string& path, Stream stream);

    // The file published readable by all (0644, never replacing one; a failed
    // publication leaves no staged copy), or the text written to standard
    // output.
    Result<void> publish(std::string_view text) const;

private:
    std::optional<OutputTarget> file_;  // none: standard output
};

}  // namespace zt::cli
