#include "timelock/formats/document_kind.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <set>
#include <span>
#include <vector>

#include "timelock/base/file_io.h"

namespace zt {
namespace {

struct KindRow {
    DocumentKind kind;
    std::string_view name;
    // Told by any one of these members, tried in table order: a member two
    // kinds share is listed under neither, or under the kind that comes
    // first, the other kind being told by a member of its own.
    std::array<std::string_view, 3> members;
};

// A paste has a manifest's signature members and a record's ciphertext, a
// verification task the members of a work task, a result and an outcome a
// progress line's mac, a checkpoint line its x: each comes before the kind
// it would otherwise be taken for. The members listed are among the first
// each kind writes, so that a truncated document is still told.
constexpr KindRow kKinds[] = {
    {DocumentKind::paste, "a paste", {"puzzle_artifact", "evidence_artifact", "tag_id"}},
    {DocumentKind::manifest, "a signed manifest", {"puzzle", "service_signature", {}}},
    {DocumentKind::record, "an encrypted record", {"puzzle_id", "nonce", "ciphertext"}},
    {DocumentKind::plan, "a generation plan (plan.json)", {"seeds", "nonces", "epoch_key"}},
    {DocumentKind::verification_task, "a verification task file", {"verify_key", {}, {}}},
    {DocumentKind::task, "a work task file", {"seed", "dataset_key", {}}},
    {DocumentKind::result, "a segment result", {"states", {}, {}}},
    {DocumentKind::outcome, "a verification outcome (.verified)", {"result_mac", {}, {}}},
    {DocumentKind::checkpoint_log, "a checkpoint log", {"manifest_id", "digest", {}}},
    {DocumentKind::progress_file, "a segment's progress file (.progress)", {"x", "iteration", "mac"}},
    {DocumentKind::calibration_report,
     "a calibration report",
     {"iterations_for_one_day", "hashes_per_second", "samples"}},
    {DocumentKind::key_file, "a key file", {}},  // told by its text, not by members
};

bool white(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Reads member names of the object at the start of `text` (after white
// space) until the text ends or stops looking like JSON. Values are
// skipped, strings and nesting respected; nothing is checked.
class MemberScanner {
public:
    explicit MemberScanner(std::string_view text) : text_(text) {}

    std::set<std::string> members() {
        std::set<std::string> names;
        skip_white();
        if (!take('{')) return names;
        for (;;) {
            skip_white();
            std::string name;
            if (!string(&name)) return names;
            skip_white();
            if (!take(':')) return names;
            names.insert(std::move(name));
            skip_white();
            if (!value()) return names;
            skip_white();
            if (!take(',')) return names;
        }
    }

private:
    bool at_end() const { return at_ >= text_.size(); }
    void skip_white() {
        while (!at_end() && white(text_[at_])) ++at_;
    }
    bool take(char c) {
        if (at_end() || text_[at_] != c) return false;
        ++at_;
        return true;
    }
    // A string's content, escapes kept as they are (member names have none).
    bool string(std::string* out) {
        if (!take('"')) return false;
        while (!at_end()) {
            const char c = text_[at_++];
            if (c == '"') return true;
            if (out) *out += c;
            if (c == '\\' && !at_end()) {
                if (out) *out += text_[at_];
                ++at_;
            }
        }
        return false;
    }
    bool value() {
        if (at_end()) return false;
        const char c = text_[at_];
        if (c == '"') return string(nullptr);
        if (c == '{' || c == '[') return container();
        const std::size_t start = at_;
        while (!at_end() && text_[at_] != ',' && text_[at_] != '}' && text_[at_] != ']' && !white(text_[at_])) ++at_;
        return at_ > start;
    }
    // An object or array, skipped whole (strings inside it respected).
    bool container() {
        std::size_t depth = 0;
        while (!at_end()) {
            const char c = text_[at_];
            if (c == '"') {
                if (!string(nullptr)) return false;
                continue;
            }
            ++at_;
            if (c == '{' || c == '[') ++depth;
            if ((c == '}' || c == ']') && --depth == 0) return true;
        }
        return false;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

bool is_key_text(std::string_view text) {
    // Key files are read leniently (key files may carry white space, Unicode's
    // included); ASCII white space is enough to tell one.
    const auto first = text.find_first_not_of(" \t\r\n\v\f");
    if (first == std::string_view::npos) return false;
    const auto last = text.find_last_not_of(" \t\r\n\v\f");
    const std::string_view digits = text.substr(first, last - first + 1);
    const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    return digits.size() == 64 && std::all_of(digits.begin(), digits.end(), hex);
}

}  // namespace

std::string_view document_name(DocumentKind kind) {
    for (const KindRow& row : kKinds) {
        if (row.kind == kind) return row.name;
    }
    return "a document";
}

std::optional<DocumentKind> identify_document(std::string_view text) {
    if (is_key_text(text)) return DocumentKind::key_file;
    const std::set<std::string> members = MemberScanner(text).members();
    for (const KindRow& row : kKinds) {
        for (const std::string_view member : row.members) {
            if (!member.empty() && members.contains(std::string(member))) return row.kind;
        }
    }
    return std::nullopt;
}

std::optional<DocumentKind> identify_file(const std::string& path) {
    const auto dir = file_io::open_directory(file_io::parent_directory(path));
    if (!dir) return std::nullopt;
    const auto file = file_io::open_at(*dir, file_io::last_component(path), O_RDONLY | O_NONBLOCK);
    if (!file) return std::nullopt;
    const auto info = file_io::stat(file->get());
    if (!info || !info->regular()) return std::nullopt;
    std::vector<std::uint8_t> head(kIdentifyWindow);
    const auto n = file_io::read_at(file->get(), head, 0);
    if (!n) return std::nullopt;
    return identify_document(std::string_view(reinterpret_cast<const char*>(head.data()), *n));
}

}  // namespace zt
