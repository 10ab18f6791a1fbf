#include "timelock/formats/checkpoint.h"

#include <array>
#include <cerrno>
#include <cstring>

#include "timelock/base/crypto.h"
#include "timelock/base/private_files.h"
#include "timelock/json/reader.h"
#include "timelock/json/text.h"

namespace zt {

template <>
struct json::Schema<Checkpoint> {
    static constexpr std::string_view name = "Checkpoint";
    static constexpr std::array fields{
        json::field<&Checkpoint::version>("version"),
        json::field<&Checkpoint::manifest_id>("manifest_id"),
        json::field<&Checkpoint::segment>("segment"),
        json::field<&Checkpoint::iteration>("iteration"),
        json::field<&Checkpoint::x>("x"),
        json::field<&Checkpoint::digest>("digest"),
    };
};

namespace {

// The file's last `kCheckpointWindow` bytes as of the size taken once at the
// start; fewer if the file shrank meanwhile. The descriptor is closed on
// every path.
Result<std::optional<std::string>> read_log_tail(const std::string& path) {
    ZT_TRY_ASSIGN(const std::optional<file_io::Fd> fd, file_io::open_read_if_exists(path));
    if (!fd) return std::optional<std::string>();
    ZT_TRY_ASSIGN(file_io::Tail tail, file_io::read_tail(fd->get(), kCheckpointWindow));
    return std::optional<std::string>(std::move(tail.bytes));
}

}  // namespace

Result<CheckpointDigestInput> checkpoint_digest_input(const Checkpoint& c) {
    static_assert(labels::checkpoint.size() + 4 + 32 + 4 + 8 + 32 == kCheckpointDigestInputSize);
    CheckpointDigestInput input{};
    const std::span<std::uint8_t> all(input);
    std::memcpy(all.data(), labels::checkpoint.data(), labels::checkpoint.size());
    const std::span<std::uint8_t> fields = all.subspan(labels::checkpoint.size());
    store_be32(fields.subspan<0, 4>(), c.version);
    ZT_TRY(decode_hex_fixed_into(c.manifest_id, fields.subspan(4, 32)));
    store_be32(fields.subspan<36, 4>(), c.segment);
    store_be64(fields.subspan<40, 8>(), c.iteration);
    ZT_TRY(decode_hex_fixed_into(c.x, fields.subspan(48, 32)));
    return input;
}

Result<std::string> checkpoint_digest(const Checkpoint& checkpoint) {
    ZT_TRY_ASSIGN(const CheckpointDigestInput input, checkpoint_digest_input(checkpoint));
    return encode_hex(sha256(input));
}

Result<Checkpoint> new_checkpoint(std::string_view manifest_id, std::uint32_t segment, std::uint64_t iteration,
                                  const Key32& state) {
    Checkpoint c;
    c.version = kCheckpointVersion;
    c.manifest_id = std::string(manifest_id);
    c.segment = segment;
    c.iteration = iteration;
    c.x = encode_hex(state.span());
    ZT_TRY_ASSIGN(c.digest, checkpoint_digest(c));
    return c;
}

std::string checkpoint_line(const Checkpoint& c) {
    std::string line;
    line.reserve(300);
    line += "{\"version\":";
    line += std::to_string(c.version);
    line += ",\"manifest_id\":";
    line += json::quoted(c.manifest_id);
    line += ",\"segment\":";
    line += std::to_string(c.segment);
    line += ",\"iteration\":";
    line += std::to_string(c.iteration);
    line += ",\"x\":";
    line += json::quoted(c.x);
    line += ",\"digest\":";
    line += json::quoted(c.digest);
    line += "}\n";
    return line;
}

Result<Checkpoint> parse_checkpoint(std::string_view line) { return json::parse<Checkpoint>(line); }

Result<std::optional<Checkpoint>> load_latest_checkpoint(const std::string& path) {
    ZT_TRY_ASSIGN(std::optional<std::string> tail, read_log_tail(path));
    if (!tail) return std::optional<Checkpoint>();
    // A final line without its line feed was never completely written.
    const std::size_t last_feed = tail->rfind('\n');
    if (last_feed == std::string::npos) return std::optional<Checkpoint>();
    const std::string_view complete = std::string_view(*tail).substr(0, last_feed);
    // Lines from the last to the first; the first may be the tail of a line
    // that began before the window, and is judged like any other.
    std::size_t end = complete.size();
    for (;;) {
        const std::size_t feed = end == 0 ? std::string_view::npos : complete.rfind('\n', end - 1);
        const std::size_t begin = feed == std::string_view::npos ? 0 : feed + 1;
        const std::string_view line = complete.substr(begin, end - begin);
        if (line.size() > kCheckpointLineLimit) return Error(std::string(kCheckpointTooLarge));
        if (!line.empty()) {
            auto parsed = parse_checkpoint(line);
            if (parsed) return std::optional<Checkpoint>(std::move(parsed).value());
        }
        if (feed == std::string_view::npos) break;
        end = feed;
    }
    return std::optional<Checkpoint>();
}

namespace {

// The pieces of a line as checkpoint_line writes it: fixed text, a decimal
// number, lowercase hex.
struct LinePiece {
    enum class Kind { text, number, hex } kind;
    std::string_view text;
};
constexpr LinePiece kLinePieces[] = {
    {LinePiece::Kind::text, "{\"version\":"},      {LinePiece::Kind::number, {}},
    {LinePiece::Kind::text, ",\"manifest_id\":\""}, {LinePiece::Kind::hex, {}},
    {LinePiece::Kind::text, "\",\"segment\":"},    {LinePiece::Kind::number, {}},
    {LinePiece::Kind::text, ",\"iteration\":"},     {LinePiece::Kind::number, {}},
    {LinePiece::Kind::text, ",\"x\":\""},           {LinePiece::Kind::hex, {}},
    {LinePiece::Kind::text, "\",\"digest\":\""},   {LinePiece::Kind::hex, {}},
    {LinePiece::Kind::text, "\"}"},
};

bool is_number_char(char c) { return c >= '0' && c <= '9'; }
bool is_hex_char(char c) { return is_number_char(c) || (c >= 'a' && c <= 'f'); }

// Whether `line` has the shape of a checkpoint line, or of its start cut
// short by a crash while it was written.
bool checkpoint_shaped(std::string_view line) {
    std::size_t at = 0;
    for (const LinePiece& piece : kLinePieces) {
        if (piece.kind == LinePiece::Kind::text) {
            for (const char c : piece.text) {
                if (at == line.size()) return true;
                if (line[at++] != c) return false;
            }
            continue;
        }
        const auto fits = piece.kind == LinePiece::Kind::number ? is_number_char : is_hex_char;
        const std::size_t start = at;
        while (at < line.size() && fits(line[at])) ++at;
        if (at == line.size()) return true;
        if (at == start) return false;
    }
    return at == line.size();
}

}  // namespace

Result<bool> log_blank_or_torn(const std::string& path) {
    ZT_TRY_ASSIGN(const std::optional<std::string> tail, read_log_tail(path));
    if (!tail) return true;
    for (std::size_t begin = 0; begin < tail->size();) {
        std::size_t end = tail->find('\n', begin);
        if (end == std::string::npos) end = tail->size();
        std::string_view line = std::string_view(*tail).substr(begin, end - begin);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
            line.remove_suffix(1);
        }
        if (!line.empty() && !checkpoint_shaped(line)) return false;
        begin = end + 1;
    }
    return true;
}

Result<file_io::Fd> open_checkpoint_log(const std::string& path) {
    return open_log(path, kCheckpointLogMode, kCheckpointLogInUse);
}

Result<void> append_checkpoint(int log_fd, const Checkpoint& checkpoint) {
    const std::string line = checkpoint_line(checkpoint);
    ZT_TRY(file_io::write_all(log_fd, as_bytes(line)));
    return file_io::sync_data(log_fd);
}

Result<void> accept_checkpoint(const Checkpoint& checkpoint, const SignedManifest& manifest,
                               std::string_view manifest_id) {
    const Manifest& puzzle = manifest.puzzle;
    if (checkpoint.version != kCheckpointVersion || checkpoint.manifest_id != manifest_id) {
        return Error(std::string(kCheckpointOtherPuzzle));
    }
    if (checkpoint.segment >= puzzle.segments || checkpoint.iteration > puzzle.iterations) {
        return Error(std::string(kCheckpointCoordinates));
    }
    ZT_TRY_ASSIGN(const std::string digest, checkpoint_digest(checkpoint));
    if (digest != checkpoint.digest) return Error(std::string(kCheckpointCorrupted));
    if (checkpoint.segment == 0 && checkpoint.iteration == 0 && checkpoint.x != puzzle.seed_1) {
        return Error(std::string(kInvalidInitialCheckpoint));
    }
    return success();
}

}  // namespace zt
