// What calibrate says of the machine it measured on: the processor's name
// and the hypervisor as /proc, /sys and the device tree tell them on
// machines other than this one, the CPUID vendor signatures, and the share
// of memory in transparent huge pages from the kernel's account of the
// mappings.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "timelock/base/machine.h"

namespace zt {
namespace {

using namespace std::string_literals;

TEST(MachineFacts, HypervisorVendorsFromTheirCpuidSignatures) {
    const struct {
        std::string signature;
        const char* vendor;
    } cases[] = {
        {"KVMKVMKVM\0\0\0"s, "KVM"},
        {"Microsoft Hv", "Hyper-V"},
        {"VMwareVMware", "VMware"},
        {"XenVMMXenVMM", "Xen"},
        {"TCGTCGTCGTCG", "QEMU (TCG)"},
        {" lrpepyh  vr", "Parallels"},
        {"NewVisor\x01\0\0\0"s, "NewVisor"},  // unknown: its printable characters
        {"\0\0\0\0\0\0\0\0\0\0\0\0"s, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(detail::hypervisor_vendor_name(c.signature), c.vendor) << c.vendor;
}

TEST(MachineFacts, ProcessorFromCpuinfoAndTheBoard) {
    const struct {
        const char* name;
        std::string cpuinfo;
        std::string board;
        const char* processor;
    } cases[] = {
        {"x86-64", "processor\t: 0\nvendor_id\t: AuthenticAMD\nmodel name\t: AMD EPYC 7B13 64-Core Processor\n"
                   "processor\t: 1\nmodel name\t: AMD EPYC 7B13 64-Core Processor\n",
         "", "AMD EPYC 7B13 64-Core Processor"},
        {"arm64 core of a known vendor", "processor\t: 0\nBogoMIPS\t: 243.75\nCPU implementer\t: 0x41\n"
                                         "CPU architecture: 8\nCPU variant\t: 0x3\nCPU part\t: 0xd0c\n",
         "", "Arm part 0xd0c"},
        {"arm64 on a board", "CPU implementer\t: 0x41\nCPU part\t: 0xd08\n", "Raspberry Pi 4 Model B Rev 1.4\0"s,
         "Arm part 0xd08 on Raspberry Pi 4 Model B Rev 1.4"},
        {"arm64, an unknown implementer", "CPU implementer\t: 0x99\nCPU part\t: 0x001\n", "",
         "implementer 0x99 part 0x001"},
        {"an empty model name", "model name\t: \nCPU implementer\t: 0x61\n", "", "Apple"},
        {"nothing", "processor\t: 0\n", "", "unknown"},
        {"a board alone", "", "QEMU KVM Virtual Machine\0"s, "unknown processor on QEMU KVM Virtual Machine"},
    };
    for (const auto& c : cases) EXPECT_EQ(detail::processor_from_cpuinfo(c.cpuinfo, c.board), c.processor) << c.name;
}

TEST(MachineFacts, HypervisorFromTheKernelsFiles) {
    const struct {
        const char* name;
        std::map<std::string, std::string> files;
        HypervisorPresence presence;
        const char* vendor;
        const char* source;
    } cases[] = {
        {"Xen guest", {{"/sys/hypervisor/type", "xen\n"}}, HypervisorPresence::reported, "Xen", "/sys/hypervisor/type"},
        {"Xen in the device tree", {{"/proc/device-tree/hypervisor/compatible", "xen,xen-4.17\0xen,xen\0"s}},
         HypervisorPresence::reported, "Xen", "device tree"},
        {"QEMU's virt board", {{"/proc/device-tree/compatible", "linux,dummy-virt\0"s}}, HypervisorPresence::reported,
         "QEMU virt board", "device tree"},
        {"a real board", {{"/proc/device-tree/compatible", "raspberrypi,4-model-b\0brcm,bcm2711\0"s}},
         HypervisorPresence::unknown, "", ""},
        {"an empty type", {{"/sys/hypervisor/type", "\n"}}, HypervisorPresence::unknown, "", ""},
        {"nothing at all", {}, HypervisorPresence::unknown, "", ""},
    };
    for (const auto& c : cases) {
        const HypervisorFacts facts = detail::hypervisor_from_kernel([&](const std::string& path) {
            const auto found = c.files.find(path);
            return found == c.files.end() ? std::nullopt : std::optional<std::string>(found->second);
        });
        EXPECT_EQ(facts.presence, c.presence) << c.name;
        EXPECT_EQ(facts.vendor, c.vendor) << c.name;
        EXPECT_EQ(facts.source, c.source) << c.name;
    }
}

// Three mappings as /proc/self/smaps shows them; the ranges are addresses
// inside them.
constexpr std::string_view kSmaps =
    "7f0000000000-7f0010000000 rw-p 00000000 00:00 0 \n"
    "Size:             262144 kB\n"
    "Rss:              262144 kB\n"
    "AnonHugePages:    260096 kB\n"
    "7f0010000000-7f0090000000 rw-p 00000000 00:00 0 \n"
    "Size:            2097152 kB\n"
    "Rss:             1048576 kB\n"
    "AnonHugePages:   1048576 kB\n"
    "FilePmdMapped:        0 kB\n"
    "55d0c0000000-55d0c0021000 rw-p 00000000 00:00 0                          [heap]\n"
    "Rss:                 132 kB\n"
    "AnonHugePages:         0 kB\n";

MemoryRange at(std::uintptr_t address, std::size_t length) {
    return {reinterpret_cast<const void*>(address), length};
}

TEST(MachineFacts, HugePageShareOfTheMappingsOverlappingTheRanges) {
    const struct {
        const char* name;
        std::vector<MemoryRange> ranges;
        std::optional<std::uint64_t> resident, huge;
    } cases[] = {
        {"the first mapping", {at(0x7f0000000000, 1 << 20)}, 262144, 260096},
        {"both, each counted once", {at(0x7f0000001000, 1 << 20), at(0x7f0010000000, 1 << 30)}, 1310720, 1308672},
        {"one range across both", {at(0x7f000fff0000, 1 << 20)}, 1310720, 1308672},
        {"the heap", {at(0x55d0c0000000, 4096)}, 132, 0},
        {"the last page of a mapping", {at(0x7f0090000000 - 4096, 4096)}, 1048576, 1048576},
        {"nothing there", {at(0x7f0090000000, 4096)}, std::nullopt, std::nullopt},
        {"an empty range", {at(0x7f0000000000, 0)}, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto share = detail::huge_page_share_in(kSmaps, c.ranges);
        ASSERT_EQ(share.has_value(), c.resident.has_value()) << c.name;
        if (!share) continue;
        EXPECT_EQ(share->resident_kib, *c.resident) << c.name;
        EXPECT_EQ(share->huge_kib, *c.huge) << c.name;
    }
}

// This process's own memory: a page of the stack is resident and the kernel
// accounts it.
TEST(MachineFacts, TheKernelAccountsThisProcesssMemory) {
    const int local = 0;
    const MemoryRange stack[] = {{&local, sizeof local}};
    const auto share = huge_page_share(stack);
    ASSERT_TRUE(share.has_value());
    EXPECT_GT(share->resident_kib, 0u);
    EXPECT_FALSE(describe_machine().processor.empty());
}

}  // namespace
}  // namespace zt
