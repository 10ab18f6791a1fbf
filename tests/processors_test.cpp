// Processors available to the process: quota arithmetic and the control
// group lookup over a fake /proc and /sys, for cgroup v2, v1 and hybrid
// layouts.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include "timelock/base/processors.h"

namespace zt {
namespace {

using Files = std::map<std::string, std::string>;

std::optional<std::uint64_t> limit_with(const Files& files) {
    return detail::cgroup_cpu_limit([&files](const std::string& path) -> std::optional<std::string> {
        const auto it = files.find(path);
        if (it == files.end()) return std::nullopt;
        return it->second;
    });
}

TEST(CpuQuota, AllowsTheWholeProcessorsOfTheQuotaAndAtLeastOne) {
    const struct {
        const char* cpu_max;
        std::optional<std::uint64_t> expected;
    } cases[] = {
        {"max 100000\n", std::nullopt}, {"250000 100000\n", 2}, {"400000 100000", 4},
        {"50000 100000\n", 1},          {"100000 100000\n", 1}, {"garbage", std::nullopt},
        {"0 100000", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(detail::cpu_max_limit(c.cpu_max), c.expected) << c.cpu_max;

    EXPECT_EQ(detail::cfs_limit("-1\n", "100000\n"), std::nullopt);
    EXPECT_EQ(detail::cfs_limit("150000\n", "100000\n"), 1u);
    EXPECT_EQ(detail::cfs_limit("300000\n", "100000\n"), 3u);
    EXPECT_EQ(detail::cfs_limit("300000", "0"), std::nullopt);
}

TEST(CgroupLimit, V2TakesTheTightestQuotaOnThePathToTheRoot) {
    const Files files{
        {"/proc/self/cgroup", "0::/outer/inner\n"},
        {"/proc/self/mountinfo", "30 23 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw,nsdelegate\n"},
        {"/sys/fs/cgroup/outer/inner/cpu.max", "max 100000\n"},
        {"/sys/fs/cgroup/outer/cpu.max", "300000 100000\n"},
    };
    EXPECT_EQ(limit_with(files), 3u);

    Files tighter = files;
    tighter["/sys/fs/cgroup/outer/inner/cpu.max"] = "120000 100000\n";
    EXPECT_EQ(limit_with(tighter), 1u);
}

TEST(CgroupLimit, V2MountedAtASubtreeResolvesPathsBelowItsRoot) {
    const Files files{
        {"/proc/self/cgroup", "0::/docker/abc\n"},
        {"/proc/self/mountinfo", "30 23 0:26 /docker /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n"},
        {"/sys/fs/cgroup/abc/cpu.max", "200000 100000\n"},
    };
    EXPECT_EQ(limit_with(files), 2u);
}

TEST(CgroupLimit, HybridLayoutFallsBackToTheV1CpuHierarchy) {
    const std::string mountinfo =
        "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw,relatime - cgroup cgroup rw,cpu,cpuacct\n"
        "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
        "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";
    const Files files{
        {"/proc/self/cgroup", "4:memory:/job\n2:cpu,cpuacct:/job\n0::/job\n"},
        {"/proc/self/mountinfo", mountinfo},
        {"/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "250000\n"},
        {"/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_period_us", "100000\n"},
        {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1\n"},
        {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"},
    };
    EXPECT_EQ(limit_with(files), 2u);
}

TEST(CgroupLimit, NoQuotaOrNothingReadableMeansNoLimit) {
    EXPECT_EQ(limit_with({}), std::nullopt);
    const Files unlimited{
        {"/proc/self/cgroup", "0::/\n"},
        {"/proc/self/mountinfo", "30 23 0:26 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n"},
        {"/sys/fs/cgroup/cpu.max", "max 100000\n"},
    };
    EXPECT_EQ(limit_with(unlimited), std::nullopt);
}

TEST(AvailableProcessors, IsAtLeastOneOnThisMachine) {
    const auto count = available_processors();
    ASSERT_TRUE(count.ok()) << count.error().message();
    EXPECT_GE(*count, 1u);
}

}  // namespace
}  // namespace zt
