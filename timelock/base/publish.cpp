#include "timelock/base/publish.h"

#include <sys/stat.h>

#include <array>
#include <utility>

#include "timelock/base/crypto.h"
#include "timelock/base/file_io.h"
#include "timelock/base/utf8.h"

namespace zt {
namespace {

// ".zanth-timelock-staged-" and a 128-bit random number as 32 lowercase hex
// digits; of the two 64-bit draws the first gives the low half.
Result<std::string> staged_name() {
    std::array<std::uint8_t, 16> random{};
    ZT_TRY(random_bytes(random));
    std::array<std::uint64_t, 2> draws{};  // low, high
    for (std::size_t i = 0; i < 16; ++i) draws[i / 8] |= static_cast<std::uint64_t>(random[i]) << (8 * (i % 8));
    // The number high half first, each half most significant byte first.
    std::array<std::uint8_t, 16> number{};
    store_be64(std::span(number).first<8>(), draws[1]);
    store_be64(std::span(number).last<8>(), draws[0]);
    return std::string(kStagedPrefix) + encode_hex(number);
}

std::string join(const std::string& directory, const std::string& name) {
    return directory.ends_with('/') ? directory + name : directory + "/" + name;
}

PublicationWarning& publication_warning() {
    static PublicationWarning warning = [](const std::string&) {};
    return warning;
}

}  // namespace

std::string staging_directory(std::string_view path) { return file_io::parent_directory(path); }

Result<void> publish_staged(const std::string& path, std::span<const std::uint8_t> bytes, bool owner_only,
                            OnFailure on_failure) {
    const std::string shown = utf8_lossy(path);
    const std::string directory = staging_directory(path);

    auto name = staged_name();
    if (!name) return name.error().context("staging " + shown);
    const std::string staged = join(directory, *name);
    auto created = file_io::open_exclusive(staged, owner_only ? 0600 : 0644);
    if (!created) return created.error().context("staging " + shown);
    const file_io::Fd file = std::move(created).value();

    // Removes the staged file when the publication fails and the caller can
    // produce its content again; the error is returned unchanged either way.
    auto fail = [&](Error error) -> Result<void> {
        if (on_failure == OnFailure::remove_staged) static_cast<void>(file_io::unlink(staged));
        return error;
    };
    if (auto written = file_io::write_all(file.get(), bytes); !written) return fail(written.error());
    if (auto synced = file_io::sync(file.get()); !synced) return fail(synced.error());
    if (auto linked = file_io::link(staged, path); !linked) {
        return fail(linked.error().context("publishing " + shown + " (will not overwrite)"));
    }
    // Published: the link holds the content under its final name, and
    // nothing below undoes that. The staged name would be a hidden second
    // copy of what may be a secret, so it goes in every case.
    auto dir = file_io::open_directory(directory);
    const Result<void> synced = dir ? file_io::sync(dir->get()) : Result<void>(dir.error());
    const bool unlinked = file_io::unlink(staged).ok();
    if (!synced) {
        publication_warning()("published " + shown + ", but its directory could not be flushed (" +
                              synced.error().message() + "): the new name may not survive a system crash");
        return success();
    }
    if (unlinked) static_cast<void>(file_io::sync(dir->get()));
    return success();
}

void set_publication_warning(PublicationWarning warning) {
    if (!warning) warning = [](const std::string&) {};  // none: nothing is told
    publication_warning() = std::move(warning);
}

Result<void> publish_key_file(const std::string& path, const Key32& key, OnFailure on_failure) {
    Secret<2 * Key32::size()> text;
    encode_hex_into(key.span(), text.span());
    return publish_staged(path, text.span(), /*owner_only=*/true, on_failure);
}

Result<void> check_output_path(std::string_view option, const std::string& path) {
    if (path.empty()) return Error(std::string(option) + " is empty; give the file to create");
    const std::string directory = staging_directory(path);
    const std::string named = "cannot publish " + std::string(option) + " " + utf8_lossy(path) + ": ";
    struct stat info {};
    if (::stat(directory.c_str(), &info) != 0) {
        return Error(named + "directory " + utf8_lossy(directory) + " is not there",
                     {Error::from_errno(errno).message()});
    }
    if (!S_ISDIR(info.st_mode)) return Error(named + utf8_lossy(directory) + " is not a directory");
    return success();
}

}  // namespace zt
