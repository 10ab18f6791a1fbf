#include "timelock/formats/input_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "timelock/base/crypto.h"
#include "timelock/base/file_io.h"
#include "timelock/base/utf8.h"

namespace zt {
namespace {

// Reads into `buffer` (a byte vector of any allocator). The buffer grows with
// the data in doubling chunks, never past limit + 1 bytes in total, and is
// not sized from what the file claims to hold (devices and pipes claim 0).
template <typename Buffer>
Result<void> read_fd_into(const file_io::Fd& file, std::size_t limit, Buffer& buffer) {
    const std::size_t cap = limit + 1;  // one byte past the limit tells "too large"
    std::size_t chunk = 8192;
    std::size_t size = 0;
    for (;;) {
        if (size == cap) break;
        const std::size_t want = std::min(chunk, cap - size);
        buffer.resize(size + want);
        const ssize_t n = ::read(file.get(), buffer.data() + size, want);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            buffer.resize(size);
            return Error::from_errno(err);
        }
        size += static_cast<std::size_t>(n);
        buffer.resize(size);
        if (n == 0) break;
        if (static_cast<std::size_t>(n) == want) chunk = std::min<std::size_t>(chunk * 2, std::size_t{1} << 20);
    }
    if (size > limit) return Error(std::string(kInputTooLarge));
    return success();
}

template <typename Buffer>
Result<void> read_into(const std::string& path, std::size_t limit, Buffer& buffer) {
    if (path.find('\0') != std::string::npos) return Error(std::string(file_io::kNulInPath));
    int raw = -1;
    do {
        raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) return Error::from_errno(errno);
    return read_fd_into(file_io::Fd(raw), limit, buffer);
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
    struct stat info {};
    return path.find('\0') == std::string::npos && ::stat(path.c_str(), &info) == 0;
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

Result<Key32> read_key_file(const std::string& path) {
    SecureBytes bytes;  // wipes every buffer it ever held, on every path
    ZT_TRY(read_into(path, input_limit::kKeyFile, bytes));
    if (auto bad = check_utf8(bytes)) return Error(bad->message());
    return parse_key_hex(trim_white_space(as_text(bytes)));
}

Result<std::optional<SecureBytes>> read_private_secret(const std::string& path, std::size_t limit) {
    ZT_TRY_ASSIGN(const std::optional<file_io::Fd> file, file_io::open_private_read(path));
    if (!file) return std::optional<SecureBytes>();
    SecureBytes bytes;
    ZT_TRY(read_fd_into(*file, limit, bytes));
    return std::optional<SecureBytes>(std::move(bytes));
}

}  // namespace zt
