// Reading what the user hands the program: whole input files under a size
// limit, the manifest file, key files, keys given as hex text (the pin
// among them), and the advisory existence check of output paths.
//
// Every input file is read whole in one go and refused when it is larger
// than the limit of its kind; nothing beyond limit + 1 bytes is ever read,
// so a device or an endless pipe costs no more than that. Failures carry the
// system's message only ("No such file or directory (os error 2)"); the path
// is not part of it.
//
// Keys supplied by the user are lenient: either case of hex digit, and key
// files may carry white space around the digits. The JSON formats of the
// core library decode their own hex strictly instead.
//
// Thread safety: pure functions over the file system; no shared state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "timelock/base/bytes.h"
#include "timelock/base/error.h"
#include "timelock/base/file_io.h"
#include "timelock/base/secret.h"
#include "timelock/formats/calibration_report.h"
#include "timelock/formats/manifest.h"

namespace zt {

// The largest accepted size, in bytes, of each input kind; a file of
// exactly the limit is read.
namespace input_limit {
inline constexpr std::size_t kManifest = 16384;       // --manifest
inline constexpr std::size_t kKeyFile = 128;          // --epoch-key, --signing-key
inline constexpr std::size_t kPaste = 212992;         // --paste
inline constexpr std::size_t kRecord = 33556480;      // --record
inline constexpr std::size_t kCalibrationReport = 16384;  // --calibration, --iterations-from
}  // namespace input_limit

// 64 hex digits (either case) to 32 bytes, first byte first. Fails with
// "key must contain 64 hex digits" unless `text` is exactly 64 bytes, and at
// the first other byte with "Invalid character {c} at position {i}" ({c} as
// zt::char_debug shows it). No trimming.
inline constexpr std::string_view kKeyHexLength = "key must contain 64 hex digits";
Result<Key32> parse_key_hex(std::string_view text);

// The pinned service public key (--service-public-key), read as
// parse_key_hex reads it and failing with its messages. A public key is no
// secret, so it comes as plain bytes.
Result<Bytes32> parse_pin(std::string_view text);

// Whether the file system can report metadata for `path`, following
// symbolic links. Any failure counts as absence. Advisory only: publishing
// refuses to replace an existing file in any case.
bool output_exists(const std::string& path);
inline constexpr std::string_view kOutputExists = "output already exists";

// The whole file at `path`, at most `limit` bytes; "input file exceeds size
// limit" when it holds more.
inline constexpr std::string_view kInputTooLarge = "input file exceeds size limit";
Result<Bytes> read_limited(const std::string& path, std::size_t limit);

// read_limited into a buffer that wipes itself (its whole capacity, every
// buffer it grew through), for files that hold secrets.
Result<SecureBytes> read_limited_secret(const std::string& path, std::size_t limit);

// read_limited_secret of a private file of the split generation
// (file_io::open_private_read: no symbolic link, FIFO or device, owned by
// this user, owner-only); nothing when it does not exist.
Result<std::optional<SecureBytes>> read_private_secret(const std::string& path, std::size_t limit);
Result<std::optional<SecureBytes>> read_private_secret(const file_io::Dir& dir, std::string_view name,
                                                       std::size_t limit);

// The signed manifest in the file at `path`: read_limited with the manifest
// limit, then read_signed_manifest; the first failure is returned as it is.
// Its signature is not checked here.
Result<SignedManifest> read_manifest_file(const std::string& path);
Result<SignedManifest> read_manifest_file(const file_io::Fd& file);

// The calibration report in the file at `path`: read_limited with its
// limit, then read_calibration_report; the first failure is returned as it is.
Result<CalibrationReport> read_calibration_file(const std::string& path);

// A key file: at most 128 bytes of UTF-8 whose text, without white space at
// both ends, is 64 hex digits. Fails with the UTF-8 decoder's message
// ("invalid utf-8 sequence of {n} bytes from index {i}", "incomplete utf-8
// byte sequence from index {i}") or as parse_key_hex. The buffer that held
// the file is wiped on every path.
Result<Key32> read_key_file(const std::string& path);
Result<Key32> read_key_file(const file_io::Fd& file);

// The key in a key file's bytes, read already, as read_key_file checks and
// decodes them (the caller wipes the bytes).
Result<Key32> key_file_key(std::span<const std::uint8_t> bytes);

// Standard input, for the commands that take "-" as a stream: read whole
// under `limit` as read_limited reads a file ("input file exceeds size
// limit" past it), into a plain or a self-wiping buffer.
Result<Bytes> read_standard_input(std::size_t limit);
Result<SecureBytes> read_standard_input_secret(std::size_t limit);

}  // namespace zt
