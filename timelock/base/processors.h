// The number of processors this process may use: the processors in its
// affinity mask, reduced by a control-group CPU quota when one applies
// (cgroup v2 `cpu.max`, else cgroup v1 `cpu.cfs_quota_us` over
// `cpu.cfs_period_us`, the tightest along the path to the hierarchy root).
// A quota allows floor(quota / period) processors, and at least one.
//
// Thread safety: reads /proc and /sys only; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "timelock/base/error.h"

namespace zt {

// At least 1. Fails only when the affinity mask cannot be read, with the
// system's message.
Result<std::size_t> available_processors();

namespace detail {

// Reads a whole small file; nullopt when it cannot be read.
using TextFileReader = std::function<std::optional<std::string>(const std::string& path)>;

// "max 100000" -> nullopt; "250000 100000" -> 2; "50000 100000" -> 1.
std::optional<std::uint64_t> cpu_max_limit(std::string_view cpu_max);
// quota "-1" (no limit) -> nullopt; otherwise as cpu_max_limit.
std::optional<std::uint64_t> cfs_limit(std::string_view quota_us, std::string_view period_us);

// The processor limit the process's control groups impose, read through
// `read` from /proc/self/cgroup, /proc/self/mountinfo and the cgroup files;
// nullopt when no quota applies or nothing can be read.
std::optional<std::uint64_t> cgroup_cpu_limit(const TextFileReader& read);

}  // namespace detail
}  // namespace zt
