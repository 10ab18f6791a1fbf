#include "timelock/base/processors.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <vector>

#include "timelock/base/file_io.h"

namespace zt {

namespace detail {
namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\n' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\n' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::optional<std::int64_t> parse_int(std::string_view s) {
    s = trim(s);
    std::int64_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return v;
}

std::optional<std::uint64_t> limit_from(std::int64_t quota, std::int64_t period) {
    if (quota <= 0 || period <= 0) return std::nullopt;
    return std::max<std::uint64_t>(1, static_cast<std::uint64_t>(quota / period));
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    for (;;) {
        const auto at = s.find(sep);
        parts.push_back(s.substr(0, at));
        if (at == std::string_view::npos) return parts;
        s.remove_prefix(at + 1);
    }
}

// Mount points in mountinfo escape space, tab, newline and backslash as \ooo.
std::string unescape_mount_path(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            const std::string_view digits = s.substr(i + 1, 3);
            int v = 0;
            const auto [end, ec] = std::from_chars(digits.data(), digits.data() + 3, v, 8);
            if (ec == std::errc() && end == digits.data() + 3) {
                out.push_back(static_cast<char>(v));
                i += 3;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    return out;
}

struct CgroupMount {
    std::string root;         // the hierarchy path mounted there
    std::string mount_point;  // where it is mounted
};

// The first mount of type `fstype` whose super options contain `option`
// (any, when `option` is empty).
std::optional<CgroupMount> find_mount(std::string_view mountinfo, std::string_view fstype, std::string_view option) {
    for (std::string_view line : split(mountinfo, '\n')) {
        const auto dash = line.find(" - ");
        if (dash == std::string_view::npos) continue;
        const auto left = split(line.substr(0, dash), ' ');
        const auto right = split(line.substr(dash + 3), ' ');
        if (left.size() < 5 || right.size() < 3 || right[0] != fstype) continue;
        if (!option.empty()) {
            const auto options = split(right[2], ',');
            if (std::find(options.begin(), options.end(), option) == options.end()) continue;
        }
        return CgroupMount{unescape_mount_path(left[3]), unescape_mount_path(left[4])};
    }
    return std::nullopt;
}

// The process's path in a hierarchy: from the line "0::path" (v2) or the
// line whose controller list names `controller` (v1).
std::optional<std::string> cgroup_path(std::string_view proc_cgroup, std::string_view controller) {
    for (std::string_view line : split(proc_cgroup, '\n')) {
        const auto first = line.find(':');
        if (first == std::string_view::npos) continue;
        const auto second = line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view id = line.substr(0, first);
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string_view path = line.substr(second + 1);
        if (controller.empty()) {
            if (id == "0" && controllers.empty()) return std::string(path);
        } else {
            const auto names = split(controllers, ',');
            if (std::find(names.begin(), names.end(), controller) != names.end()) return std::string(path);
        }
    }
    return std::nullopt;
}

// Directories from the process's own cgroup up to the mounted root.
std::vector<std::string> cgroup_dirs(const CgroupMount& mount, std::string_view path) {
    std::string_view relative;
    if (mount.root == "/") {
        relative = path;
    } else if (path.substr(0, mount.root.size()) == mount.root) {
        relative = path.substr(mount.root.size());
    }  // else: a path outside the mounted subtree (namespaced); use the mount itself
    std::vector<std::string> dirs;
    std::string rel(relative);
    while (!rel.empty() && rel.back() == '/') rel.pop_back();
    for (;;) {
        dirs.push_back(mount.mount_point + rel);
        if (rel.empty()) return dirs;
        const auto slash = rel.rfind('/');
        rel.resize(slash == std::string::npos ? 0 : slash);
    }
}

std::optional<std::uint64_t> tighter(std::optional<std::uint64_t> a, std::optional<std::uint64_t> b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

std::optional<std::uint64_t> v2_limit(const TextFileReader& read, std::string_view proc_cgroup,
                                      std::string_view mountinfo) {
    const auto path = cgroup_path(proc_cgroup, "");
    const auto mount = find_mount(mountinfo, "cgroup2", "");
    if (!path || !mount) return std::nullopt;
    std::optional<std::uint64_t> limit;
    for (const auto& dir : cgroup_dirs(*mount, *path)) {
        if (const auto text = read(dir + "/cpu.max")) limit = tighter(limit, cpu_max_limit(*text));
    }
    return limit;
}

std::optional<std::uint64_t> v1_limit(const TextFileReader& read, std::string_view proc_cgroup,
                                      std::string_view mountinfo) {
    const auto path = cgroup_path(proc_cgroup, "cpu");
    const auto mount = find_mount(mountinfo, "cgroup", "cpu");
    if (!path || !mount) return std::nullopt;
    std::optional<std::uint64_t> limit;
    for (const auto& dir : cgroup_dirs(*mount, *path)) {
        const auto quota = read(dir + "/cpu.cfs_quota_us");
        const auto period = read(dir + "/cpu.cfs_period_us");
        if (quota && period) limit = tighter(limit, cfs_limit(*quota, *period));
    }
    return limit;
}

std::optional<std::string> read_text_file(const std::string& path) { return file_io::read_system_text(path); }

}  // namespace

std::optional<std::uint64_t> cpu_max_limit(std::string_view cpu_max) {
    const auto fields = split(trim(cpu_max), ' ');
    if (fields.size() != 2 || fields[0] == "max") return std::nullopt;
    const auto quota = parse_int(fields[0]);
    const auto period = parse_int(fields[1]);
    if (!quota || !period) return std::nullopt;
    return limit_from(*quota, *period);
}

std::optional<std::uint64_t> cfs_limit(std::string_view quota_us, std::string_view period_us) {
    const auto quota = parse_int(quota_us);
    const auto period = parse_int(period_us);
    if (!quota || !period) return std::nullopt;
    return limit_from(*quota, *period);
}

std::optional<std::uint64_t> cgroup_cpu_limit(const TextFileReader& read) {
    const auto proc_cgroup = read("/proc/self/cgroup");
    const auto mountinfo = read("/proc/self/mountinfo");
    if (!proc_cgroup || !mountinfo) return std::nullopt;
    // A hybrid system lists a v2 hierarchy without the cpu controller; its
    // quota then lives in the v1 cpu hierarchy.
    if (auto limit = v2_limit(read, *proc_cgroup, *mountinfo)) return limit;
    return v1_limit(read, *proc_cgroup, *mountinfo);
}

}  // namespace detail

Result<std::size_t> available_processors() {
    // Start with the usual mask size and grow it while the kernel says its
    // mask is larger.
    for (std::size_t cpus = CPU_SETSIZE;; cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) return Error::from_errno(ENOMEM);
        const std::size_t size = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(size, set);
        if (sched_getaffinity(0, size, set) != 0) {
            const int err = errno;
            CPU_FREE(set);
            if (err == EINVAL && cpus < (std::size_t{1} << 20)) continue;
            return Error::from_errno(err);
        }
        auto count = static_cast<std::size_t>(CPU_COUNT_S(size, set));
        CPU_FREE(set);
        count = std::max<std::size_t>(count, 1);
        if (const auto limit = detail::cgroup_cpu_limit(detail::read_text_file)) {
            count = std::min<std::size_t>(count, static_cast<std::size_t>(*limit));
        }
        return count;
    }
}

}  // namespace zt
