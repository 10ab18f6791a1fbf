#include "timelock/formats/input_files.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "timelock/base/crypto.h"
#include "timelock/base/file_io.h"
#include "timelock/base/private_files.h"
#include "timelock/base/utf8.h"

namespace zt {
namespace {

// Reads into `buffer` (a byte vector of any allocator). The buffer grows with
// the data in doubling chunks, never past limit + 1 bytes in total, and is
// not sized from what the file claims to hold (devices and pipes claim 0).
template <typename Buffer>
Result<void> read_fd_into(int fd, std::size_t limit, Buffer& buffer) {
    const std::size_t cap = limit + 1;  // one byte past the limit tells "too large"
    std::size_t chunk = 8192;
    std::size_t size = 0;
    for (;;) {
        if (size == cap) break;
        const std::size_t want = std::min(chunk, cap - size);
        buffer.resize(size + want);
        const auto n = file_io::read(fd, std::span(buffer.data() + size, want));
        if (!n) {
            buffer.resize(size);
            return n.error();
        }
        size += *n;
        buffer.resize(size);
        if (*n == 0) break;
        if (*n == want) chunk = std::min<std::size_t>(chunk * 2, std::size_t{1} << 20);
    }
    if (size > limit) return Error(std::string(kInputTooLarge));
    return success();
}

template <typename Buffer>
Result<void> read_into(const std::string& path, std::size_t limit, Buffer& buffer) {
    ZT_TRY_ASSIGN(const file_io::Fd file, file_io::open_read(path));
    return read_fd_into(file.get(), limit, buffer);
}

}  // namespace

Result<Key32> parse_key_hex(std::string_view text) {
    Key32 key;  // wipes whatever a failed decoding left in it
    if (text.size() != 2 * key.size()) return Error(std::string(kKeyHexLength));
    // The lenient decoder: either case, the first bad character named.
    ZT_TRY(decode_hex_bytes_into(text, key.span()));
    return key;
}

Result<Bytes32> parse_pin(std::string_view text) {
    ZT_TRY_ASSIGN(const Key32 key, parse_key_hex(text));
    Bytes32 pin{};
    std::copy(key.span().begin(), key.span().end(), pin.begin());
    return pin;
}

bool output_exists(const std::string& path) {
    const auto info = file_io::stat_path(path);
    return info && *info;
}

Result<Bytes> read_limited(const std::string& path, std::size_t limit) {
    Bytes bytes;
    ZT_TRY(read_into(path, limit, bytes));
    return bytes;
}

Result<CalibrationReport> read_calibration_file(const std::string& path) {
    ZT_TRY_ASSIGN(const Bytes bytes, read_limited(path, input_limit::kCalibrationReport));
    return read_calibration_report(as_text(bytes));
}

Result<SecureBytes> read_limited_secret(const std::string& path, std::size_t limit) {
    SecureBytes bytes;
    ZT_TRY(read_into(path, limit, bytes));
    return bytes;
}

Result<SignedManifest> read_manifest_file(const std::string& path) {
    ZT_TRY_ASSIGN(const Bytes text, read_limited(path, input_limit::kManifest));
    return read_signed_manifest(as_text(text));
}

Result<SignedManifest> read_manifest_file(const file_io::Fd& file) {
    Bytes text;
    ZT_TRY(read_fd_into(file.get(), input_limit::kManifest, text));
    return read_signed_manifest(as_text(text));
}

Result<Key32> read_key_file(const std::string& path) {
    ZT_TRY_ASSIGN(const file_io::Fd file, file_io::open_read(path));
    return read_key_file(file);
}

namespace {

Result<std::optional<SecureBytes>> read_opened_secret(const std::optional<file_io::Fd>& file, std::size_t limit) {
    if (!file) return std::optional<SecureBytes>();
    SecureBytes bytes;
    ZT_TRY(read_fd_into(file->get(), limit, bytes));
    return std::optional<SecureBytes>(std::move(bytes));
}

}  // namespace

Result<std::optional<SecureBytes>> read_private_secret(const std::string& path, std::size_t limit) {
    ZT_TRY_ASSIGN(const std::optional<file_io::Fd> file, open_private_read(path));
    return read_opened_secret(file, limit);
}

Result<std::optional<SecureBytes>> read_private_secret(const file_io::Dir& dir, std::string_view name,
                                                       std::size_t limit) {
    ZT_TRY_ASSIGN(const std::optional<file_io::Fd> file, open_private_read(dir, name));
    return read_opened_secret(file, limit);
}

Result<Key32> read_key_file(const file_io::Fd& file) {
    SecureBytes bytes;  // wipes every buffer it ever held, on every path
    ZT_TRY(read_fd_into(file.get(), input_limit::kKeyFile, bytes));
    return key_file_key(bytes);
}

Result<Key32> key_file_key(std::span<const std::uint8_t> bytes) {
    if (auto bad = check_utf8(bytes)) return Error(bad->message());
    return parse_key_hex(trim_white_space(as_text(bytes)));
}

Result<Bytes> read_standard_input(std::size_t limit) {
    Bytes bytes;
    ZT_TRY(read_fd_into(STDIN_FILENO, limit, bytes));
    return bytes;
}

Result<SecureBytes> read_standard_input_secret(std::size_t limit) {
    SecureBytes bytes;
    ZT_TRY(read_fd_into(STDIN_FILENO, limit, bytes));
    return bytes;
}

}  // namespace zt
