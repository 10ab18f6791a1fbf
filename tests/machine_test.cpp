// What calibrate says it measured on: processor, hypervisor and huge pages
// as CPUID, the kernel's files and its account of the mappings tell them.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "timelock/base/machine.h"

namespace zt {
namespace {

using namespace std::string_literals;

TEST(MachineFacts, ProcessorAndHypervisorAsTheyAreTold) {
    EXPECT_EQ(detail::hypervisor_vendor_name("KVMKVMKVM\0\0\0"s), "KVM");
    EXPECT_EQ(detail::hypervisor_vendor_name("NewVisor\x01\0\0\0"s), "NewVisor");  // unknown: as printed
    EXPECT_EQ(detail::processor_from_cpuinfo("vendor_id\t: x\nmodel name\t: AMD EPYC 7B13\nmodel name\t: y\n", ""),
              "AMD EPYC 7B13");
    EXPECT_EQ(detail::processor_from_cpuinfo("CPU implementer\t: 0x41\nCPU part\t: 0xd08\n", "Raspberry Pi 4\0"s),
              "Arm part 0xd08 on Raspberry Pi 4");

    const std::map<std::string, std::string> files = {{"/sys/hypervisor/type", "xen\n"},
                                                      {"/proc/device-tree/compatible", "linux,dummy-virt\0"s}};
    for (const auto& [present, vendor] : {std::pair{"/sys/hypervisor/type", "Xen"},
                                          {"/proc/device-tree/compatible", "QEMU virt board"}, {"/none", ""}}) {
        const std::string file = present;  // clang 14 cannot capture a structured binding
        const HypervisorFacts told = detail::hypervisor_from_kernel([&](const std::string& path) {
            return path == file ? std::optional<std::string>(files.at(path)) : std::nullopt;
        });
        EXPECT_EQ(told.vendor, vendor);
        EXPECT_EQ(told.presence, *vendor ? HypervisorPresence::reported : HypervisorPresence::unknown) << present;
    }
}

TEST(MachineFacts, HugePageShareOfTheMappingsOverlappingTheRanges) {
    constexpr std::string_view smaps =
        "7f0000000000-7f0010000000 rw-p 00000000 00:00 0 \nRss:              262144 kB\nAnonHugePages:    260096 kB\n"
        "7f0010000000-7f0090000000 rw-p 00000000 00:00 0 \nRss:             1048576 kB\nAnonHugePages:   1048576 kB\n"
        "55d0c0000000-55d0c0021000 rw-p 00000000 00:00 0      [heap]\nRss:      132 kB\nAnonHugePages:       0 kB\n";
    const auto at = [](std::uintptr_t address, std::size_t length) {
        return MemoryRange{reinterpret_cast<const void*>(address), length};
    };
    const struct {
        std::vector<MemoryRange> ranges;
        std::uint64_t resident, huge;  // 0, 0: nothing overlaps
    } cases[] = {
        {{at(0x7f0000000000, 1 << 20)}, 262144, 260096},
        {{at(0x7f0000001000, 4096), at(0x7f0010000000, 1 << 30)}, 1310720, 1308672},  // two mappings
        {{at(0x7f0090000000, 4096), at(0x7f0000000000, 0)}, 0, 0},
    };
    for (const auto& c : cases) {
        const auto share = detail::huge_page_share_in(smaps, c.ranges);
        EXPECT_EQ(share ? std::pair(share->resident_kib, share->huge_kib) : std::pair(0ul, 0ul),
                  std::pair(c.resident, c.huge));
    }
    const int local = 0;  // this process's own stack, as the kernel accounts it
    EXPECT_GT(huge_page_share(std::vector{MemoryRange{&local, sizeof local}}).value().resident_kib, 0u);
}

}  // namespace
}  // namespace zt
