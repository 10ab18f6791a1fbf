#include "timelock/formats/segment_progress.h"

#include <sodium.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <optional>
#include <utility>

#include "timelock/base/bytes.h"
#include "timelock/base/crypto.h"
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

// Takes a file's lines one by one and keeps what counts of them.
class ProgressReader {
public:
    explicit ProgressReader(const SegmentTask& task) : task_(task), key_(work_key(task)), progress_(fresh_progress(task)) {}

    // One complete line, without its line feed.
    Result<void> line(std::string_view text) {
        if (text.empty() || text.size() > kProgressLineLimit) return success();
        auto parsed = json::parse<ProgressRecord>(text);
        if (!parsed) return success();  // torn by a crash, then closed off
        const ProgressRecord& record = *parsed;
        Key32 state;
        Key32 mac;
        if (record.version != kProgressVersion || record.plan_id != task_.plan_id ||
            record.segment != task_.segment || record.iteration == 0 || record.iteration > task_.iterations ||
            !decode_hex_fixed_into(record.x.text(), state.span()) ||
            !decode_hex_fixed_into(record.mac, mac.span()) ||
            sodium_memcmp(mac.data(), progress_mac(task_, key_, record.iteration, state).data(), mac.size()) != 0) {
            return Error(std::string(kProgressForeign));
        }
        if (record.iteration <= progress_.iteration) return Error(std::string(kProgressOutOfOrder));
        const std::uint64_t next_end =
            interval_end(task_.iterations, progress_.interval_states.size() + 1);
        if (record.iteration > next_end) return Error(std::string(kProgressOutOfOrder));  // an interval end is missing
        if (record.iteration == next_end) progress_.interval_states.push_back(state);
        progress_.iteration = record.iteration;
        progress_.state = state;
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

Result<SegmentProgress> read_progress(std::string_view text, const SegmentTask& task) {
    ProgressReader reader(task);
    for (std::size_t feed; (feed = text.find('\n')) != std::string_view::npos; text.remove_prefix(feed + 1)) {
        ZT_TRY(reader.line(text.substr(0, feed)));
    }
    return reader.finish();  // what is left has no line feed: never completely written
}

Result<SegmentProgress> load_progress(const std::string& path, const SegmentTask& task) {
    ZT_TRY_ASSIGN(const std::optional<file_io::Fd> fd, file_io::open_private_read(path));
    if (!fd) return fresh_progress(task);

    // Streams the file through a bounded buffer: whole lines are handed on,
    // and a line that outgrows the limit is skipped up to its line feed.
    ProgressReader reader(task);
    SecureBytes pending;
    pending.reserve(kProgressLineLimit + 1);  // the most it ever holds
    bool skipping = false;
    Secret<kReadChunk> chunk;  // wipes itself on every path
    for (;;) {
        const ssize_t n = ::read(fd->get(), chunk.data(), chunk.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return Error::from_errno(errno);
        }
        if (n == 0) break;
        for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
            const std::uint8_t byte = chunk[i];
            if (byte == '\n') {
                if (!skipping) {
                    ZT_TRY(reader.line(as_text(pending)));
                }
                pending.clear();
                skipping = false;
            } else if (!skipping) {
                pending.push_back(byte);
                if (pending.size() > kProgressLineLimit) {
                    pending.clear();
                    skipping = true;
                }
            }
        }
    }
    return reader.finish();
}

Result<file_io::Fd> open_progress_file(const std::string& path) {
    return file_io::open_locked_log(path, file_io::kPrivateFileMode, kProgressInUse,
                                    file_io::LogOpening::private_file);
}

Result<void> append_progress(int fd, const SegmentTask& task, const Key32& key, std::uint64_t iteration,
                             const Key32& state) {
    const SecureBytes line = progress_line(task, key, iteration, state);
    ZT_TRY(file_io::write_all(fd, line));
    return file_io::sync_data(fd);
}

}  // namespace zt
