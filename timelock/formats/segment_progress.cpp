#include "timelock/formats/segment_progress.h"

#include <sodium.h>

#include <array>
#include <cerrno>
#include <optional>
#include <utility>

#include "timelock/base/bytes.h"
#include "timelock/base/crypto.h"
#include "timelock/base/private_files.h"
#include "timelock/base/utf8.h"
#include "timelock/base/secret_document.h"
#include "timelock/formats/segment_result.h"
#include "timelock/json/reader.h"

namespace zt {
namespace {

constexpr std::string_view kProgressMacLabel{"zanth-timelock-segment-progress-v1\0", 35};
constexpr std::string_view kProgressForeign = "progress file belongs to another task or is damaged";
constexpr std::string_view kProgressOutOfOrder = "progress file is out of order";
constexpr std::size_t kReadChunk = 65536;

struct ProgressRecord {
    std::uint32_t version = 0;
    std::string plan_id;
    std::uint32_t segment = 0;
    std::uint64_t iteration = 0;
    json::BorrowedString x;  // a view into the self-wiping text until decoded
    std::string mac;
};

Key32 progress_mac(const SegmentTask& task, const Key32& key, std::uint64_t iteration, const Key32& state) {
    SecureBytes input;
    append_text(input, kProgressMacLabel);
    append_be32(input, kProgressVersion);
    append_bytes(input, decode_hex_fixed<32>(task.plan_id).value());  // canonical in every task
    append_be32(input, task.segment);
    append_be64(input, iteration);
    append_bytes(input, state.span());
    return hmac_sha256(key.span(), input);
}

}  // namespace

template <>
struct json::Schema<ProgressRecord> {
    static constexpr std::string_view name = "SegmentProgress";
    static constexpr std::array fields{
        json::field<&ProgressRecord::version>("version"),
        json::field<&ProgressRecord::plan_id>("plan_id"),
        json::field<&ProgressRecord::segment>("segment"),
        json::field<&ProgressRecord::iteration>("iteration"),
        json::field<&ProgressRecord::x>("x"),
        json::field<&ProgressRecord::mac>("mac"),
    };
};

namespace {

// One line of `task`'s (with a good MAC): its position and state; nothing
// for a line a crash tore (or any line that does not parse); the foreign
// error for a line that parses but is not the task's.
struct Position {
    std::uint64_t iteration = 0;
    Key32 state;
};

Result<std::optional<Position>> parse_line(std::string_view text, const SegmentTask& task, const Key32& key) {
    if (text.empty() || text.size() > kProgressLineLimit) return std::optional<Position>();
    auto parsed = json::parse<ProgressRecord>(text);
    if (!parsed) return std::optional<Position>();  // torn by a crash, then closed off
    const ProgressRecord& record = *parsed;
    Position position;
    Key32 mac;
    if (record.version != kProgressVersion || record.plan_id != task.plan_id || record.segment != task.segment ||
        record.iteration == 0 || record.iteration > task.iterations ||
        !decode_hex_fixed_into(record.x.text(), position.state.span()) ||
        !decode_hex_fixed_into(record.mac, mac.span()) ||
        sodium_memcmp(mac.data(), progress_mac(task, key, record.iteration, position.state).data(), mac.size()) != 0) {
        return Error(std::string(kProgressForeign));
    }
    position.iteration = record.iteration;
    return std::optional<Position>(std::move(position));
}

// Takes a file's lines one by one and keeps what counts of them.
class ProgressReader {
public:
    explicit ProgressReader(const SegmentTask& task) : task_(task), key_(work_key(task)), progress_(fresh_progress(task)) {}

    // One complete line, without its line feed.
    Result<void> line(std::string_view text) {
        ZT_TRY_ASSIGN(std::optional<Position> position, parse_line(text, task_, key_));
        if (!position) return success();
        if (position->iteration <= progress_.iteration) return Error(std::string(kProgressOutOfOrder));
        const std::uint64_t next_end = interval_end(task_.iterations, progress_.interval_states.size() + 1);
        if (position->iteration > next_end) return Error(std::string(kProgressOutOfOrder));  // an interval end is missing
        if (position->iteration == next_end) progress_.interval_states.push_back(position->state);
        progress_.iteration = position->iteration;
        progress_.state = position->state;
        return success();
    }

    SegmentProgress finish() { return std::move(progress_); }

private:
    const SegmentTask& task_;
    Key32 key_;
    SegmentProgress progress_;
};

}  // namespace

SegmentProgress fresh_progress(const SegmentTask& task) {
    SegmentProgress progress;
    progress.state = task.seed;
    return progress;
}

SecureBytes progress_line(const SegmentTask& task, const Key32& key, std::uint64_t iteration, const Key32& state) {
    detail::SecretDocument doc;
    doc.text("{\"version\":").number(kProgressVersion);
    doc.text(",\"plan_id\":\"").text(task.plan_id).text("\"");
    doc.text(",\"segment\":").number(task.segment);
    doc.text(",\"iteration\":").number(iteration);
    doc.text(",\"x\":").hex(state.span());
    doc.text(",\"mac\":").hex(progress_mac(task, key, iteration, state).span());
    doc.text("}\n");
    return doc.take();
}

namespace {

// A run of more bytes than any line holds, without a line feed: not what a
// crash leaves (a torn line is part of a valid one), so the file is damaged.
Error damaged(const std::string& path, std::uint64_t offset) {
    return Error("progress file " + utf8_lossy(path) + " is damaged: more than " +
                 std::to_string(kProgressLineLimit) + " bytes without a line end from byte " +
                 std::to_string(offset) + "; remove it to start the segment again (the steps it holds are lost)");
}

}  // namespace

Result<SegmentProgress> read_progress(std::string_view text, const SegmentTask& task, const std::string& path) {
    ProgressReader reader(task);
    std::uint64_t offset = 0;
    for (;;) {
        const std::size_t feed = text.find('\n');
        const std::size_t length = feed == std::string_view::npos ? text.size() : feed;
        if (length > kProgressLineLimit) return damaged(path, offset);
        if (feed == std::string_view::npos) break;  // never completely written
        ZT_TRY(reader.line(text.substr(0, feed)));
        text.remove_prefix(feed + 1);
        offset += feed + 1;
    }
    return reader.finish();
}

Result<SegmentProgress> load_progress(const file_io::Dir& dir, std::string_view name, const SegmentTask& task) {
    ZT_TRY_ASSIGN(const std::optional<file_io::Fd> fd, open_private_read(dir, name));
    if (!fd) return fresh_progress(task);
    const std::string path = dir.path_of(name);

    // Streams the file through a bounded buffer: whole lines are handed on;
    // a run longer than any line ends the reading there.
    ProgressReader reader(task);
    SecureBytes pending;
    pending.reserve(kProgressLineLimit + 1);  // the most it ever holds
    std::uint64_t offset = 0;                 // of the first byte of `pending`
    Secret<kReadChunk> chunk;                 // wipes itself on every path
    for (;;) {
        ZT_TRY_ASSIGN(const std::size_t n, file_io::read(fd->get(), chunk.span()));
        if (n == 0) break;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t byte = chunk[i];
            if (byte == '\n') {
                ZT_TRY(reader.line(as_text(pending)));
                offset += pending.size() + 1;
                pending.clear();
                continue;
            }
            pending.push_back(byte);
            if (pending.size() > kProgressLineLimit) return damaged(path, offset);
        }
    }
    return reader.finish();
}

Result<SegmentProgress> load_progress(const std::string& path, const SegmentTask& task) {
    auto dir = file_io::open_directory(file_io::parent_directory(path));
    if (!dir) {
        if (dir.error() == Error::from_errno(ENOENT)) return fresh_progress(task);
        return std::move(dir).error();
    }
    return load_progress(*dir, file_io::last_component(path), task);
}

Result<std::uint64_t> last_progress_position(const file_io::Dir& dir, std::string_view name,
                                             const SegmentTask& task) {
    ZT_TRY_ASSIGN(const std::optional<file_io::Fd> fd, open_private_read(dir, name));
    if (!fd) return std::uint64_t{0};
    ZT_TRY_ASSIGN(const file_io::Tail tail, file_io::read_tail(fd->get(), kProgressTailWindow));
    // Lines from the last complete one backwards; the first of the window
    // may be the end of a line that began before it, which does not parse.
    std::string_view text = tail.bytes;
    const std::size_t last_feed = text.rfind('\n');
    const std::size_t unended = last_feed == std::string_view::npos ? 0 : last_feed + 1;
    if (text.size() - unended > kProgressLineLimit) return damaged(dir.path_of(name), tail.offset + unended);
    if (last_feed == std::string_view::npos) return std::uint64_t{0};
    text = text.substr(0, last_feed);
    const Key32 key = work_key(task);
    for (;;) {
        const std::size_t feed = text.rfind('\n');
        const std::string_view line = feed == std::string_view::npos ? text : text.substr(feed + 1);
        if (line.size() > kProgressLineLimit) {
            return damaged(dir.path_of(name), tail.offset + static_cast<std::uint64_t>(line.data() - tail.bytes.data()));
        }
        ZT_TRY_ASSIGN(const std::optional<Position> position, parse_line(line, task, key));
        if (position) return position->iteration;
        if (feed == std::string_view::npos) break;
        text = text.substr(0, feed);
    }
    return std::uint64_t{0};
}

Result<file_io::Fd> open_progress_file(const file_io::Dir& dir, std::string_view name) {
    return open_private_log(dir, name, kProgressInUse);
}

Result<void> append_progress(int fd, const SegmentTask& task, const Key32& key, std::uint64_t iteration,
                             const Key32& state) {
    const SecureBytes line = progress_line(task, key, iteration, state);
    ZT_TRY(file_io::write_all(fd, line));
    return file_io::sync_data(fd);
}

}  // namespace zt
