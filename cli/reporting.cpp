#include "cli/reporting.h"

#include <cerrno>
#include <vector>

#include "cli/console.h"
#include "timelock/base/utf8.h"
#include "timelock/base/wording.h"
#include "timelock/formats/calibration_check.h"
#include "timelock/formats/input_files.h"

namespace zt::cli {
namespace {

bool is_stream(const std::string& path, Stream stream) { return stream == Stream::allowed && path == kStream; }

std::string give(const Expected& expected) { return "give " + std::string(expected.wanted); }

// The system's own errors end "(os error N)"; the readers' never do.
bool system_error(const Error& why) {
    return why.message().ends_with(")") && why.message().find(" (os error ") != std::string::npos;
}

// `why` under `outer`, its causes kept after its message.
Error caused(std::string outer, const Error& why) {
    std::vector<std::string> causes{why.message()};
    causes.insert(causes.end(), why.causes().begin(), why.causes().end());
    return Error(std::move(outer), std::move(causes));
}

// The document read from `path`, or from standard input, and then parsed;
// every failure told by input_error.
template <typename T, typename Buffer, typename Parse>
Result<T> parsed_input(std::string_view option, const std::string& path, const Expected& expected,
                       Result<Buffer> bytes, Parse parse) {
    if (!bytes) return input_error(option, path, expected, bytes.error());
    auto parsed = parse(as_text(*bytes));
    if (!parsed) return input_error(option, path, expected, parsed.error(), as_text(*bytes));
    return parsed;
}

// A private file of the split generation, read whole; missing is ENOENT.
Result<SecureBytes> private_bytes(const std::string& path, std::size_t limit) {
    ZT_TRY_ASSIGN(std::optional<SecureBytes> bytes, read_private_secret(path, limit));
    if (!bytes) return Error::from_errno(ENOENT);
    return std::move(*bytes);
}

// "{option} {path} is {a signed manifest}; {option} takes {wanted}".
Error other_kind(std::string_view option, const std::string& path, DocumentKind kind, const Expected& expected) {
    return Error(about_file(option, path, "is " + std::string(document_name(kind)),
                            std::string(option) + " takes " + std::string(expected.wanted)));
}

}  // namespace

Error input_error(std::string_view option, const std::string& path, const Expected& expected, const Error& why,
                  std::optional<std::string_view> text) {
    if (why == Error::from_errno(ENOENT)) return Error(about_file(option, path, "is not there", give(expected)));
    const std::optional<DocumentKind> kind =
        text ? identify_document(*text) : path == kStream ? std::nullopt : identify_file(path);
    if (kind && *kind != expected.kind) return other_kind(option, path, *kind, expected);
    const std::string name(document_name(expected.kind));
    if (why.message() == kInputTooLarge) {
        return Error(about_file(option, path, "is larger than " + name + " can be", give(expected)));
    }
    // The private-file rules name the file first, and mostly say what to do.
    if (why.message().starts_with(utf8_lossy(path) + " ")) {
        std::string told = std::string(option) + " " + why.message();
        if (why.message().find(';') == std::string::npos) told += "; " + give(expected);
        return Error(std::move(told), why.causes());
    }
    if (system_error(why)) return caused(about_file(option, path, "cannot be read", give(expected)), why);
    return caused(about_file(option, path, "is not " + name, give(expected)), why);
}

Error wrong_document(std::string_view option, const std::string& path, const Expected& expected,
                     std::string_view what) {
    const std::optional<DocumentKind> kind = identify_file(path);
    if (kind && *kind != expected.kind) return other_kind(option, path, *kind, expected);
    return Error(about_file(option, path, "holds no " + std::string(what), give(expected)));
}

Result<SegmentTask> read_task_input(std::string_view option, const std::string& path) {
    return parsed_input<SegmentTask>(option, path, expected::task, private_bytes(path, kTaskDocumentLimit),
                                     read_task_document);
}

Result<VerificationTask> read_verification_task_input(const std::string& path) {
    return parsed_input<VerificationTask>("--task", path, expected::verification_task,
                                          private_bytes(path, kTaskDocumentLimit), read_verification_task_document);
}

Result<SignedManifest> read_manifest_input(const std::string& path, Stream stream) {
    const std::size_t limit = input_limit::kManifest;
    return parsed_input<SignedManifest>(
        "--manifest", path, expected::manifest,
        is_stream(path, stream) ? read_standard_input(limit) : read_limited(path, limit), read_signed_manifest);
}

Result<CalibrationReport> read_calibration_input(std::string_view option, const std::string& path) {
    ZT_TRY_ASSIGN(CalibrationReport report,
                  parsed_input<CalibrationReport>(option, path, expected::calibration,
                                                  read_limited(path, input_limit::kCalibrationReport),
                                                  read_calibration_report));
    if (auto consistent = check_calibration_report(report); !consistent) {
        return caused(about_file(option, path, "is a calibration report whose figures disagree",
                                 "run calibrate again and give its report"),
                      consistent.error());
    }
    return report;
}

Result<Key32> read_key_input(std::string_view option, const std::string& path, const Expected& expected,
                             Stream stream) {
    const std::size_t limit = input_limit::kKeyFile;
    auto bytes = is_stream(path, stream) ? read_standard_input_secret(limit) : read_limited_secret(path, limit);
    return parsed_input<Key32>(option, path, expected, std::move(bytes),
                               [](std::string_view text) { return key_file_key(as_bytes(text)); });
}

Result<Bytes32> parse_named_pin(std::string_view text) {
    auto pin = parse_pin(text);
    if (pin) return pin;
    return caused("--service-public-key is not a public key; give the service's 64 hex digits, as keygen or pubkey "
                  "printed them",
                  pin.error());
}

Result<SecureBytes> read_plaintext_input(const std::string& path, std::size_t limit, std::string_view holder) {
    auto bytes =
        is_stream(path, Stream::allowed) ? read_standard_input_secret(limit) : read_limited_secret(path, limit);
    if (bytes) return bytes;
    if (bytes.error().message() == kInputTooLarge) {
        const std::string holds = std::string(holder) + " holds (" + std::to_string(limit) + " bytes)";
        return Error(about_file("--plaintext", path, "is larger than " + holds, "split it or seal less"));
    }
    if (bytes.error() == Error::from_errno(ENOENT)) {
        return Error(about_file("--plaintext", path, "is not there", "give the file to seal, or - for standard input"));
    }
    return caused(about_file("--plaintext", path, "cannot be read", "give the file to seal, or - for standard input"),
                  bytes.error());
}

Result<file_io::Dir> open_directory_input(std::string_view option, const std::string& path, std::string_view wanted) {
    auto dir = file_io::open_directory(path);
    if (dir) return dir;
    const std::string fix = "give " + std::string(wanted);
    if (dir.error() == Error::from_errno(ENOENT)) return Error(about_file(option, path, "is not there", fix));
    if (dir.error() == Error::from_errno(ENOTDIR)) return Error(about_file(option, path, "is not a directory", fix));
    return caused(about_file(option, path, "cannot be opened", fix), dir.error());
}

std::string epoch_key_mismatch_context(const std::string& path) {
    return "--epoch-key " + utf8_lossy(path) + ": not the epoch key of --manifest; give the key generate wrote with it";
}

Result<TextOutput> TextOutput::open(std::string_view option, const std::string& path, Stream stream) {
    TextOutput output;
    if (is_stream(path, stream)) return output;
    ZT_TRY_ASSIGN(OutputTarget target, OutputTarget::open(option, path));
    ZT_TRY(check_free(target));
    output.file_ = std::move(target);
    return output;
}

Result<void> TextOutput::publish(std::string_view text) const {
    if (!file_) {
        write_stdout(text);
        return success();
    }
    return zt::publish(*file_, as_bytes(text), /*owner_only=*/false, OnFailure::remove_staged);
}

}  // namespace zt::cli
