// What the machine that measures RandomX speed is, as far as it can tell
// itself: the processor's name, whether the program runs under a
// hypervisor, and how much of a region of memory transparent huge pages
// back. calibrate names these beside its figure, because a puzzle opens as
// fast as its fastest solver's machine allows, and a figure taken in a
// virtual machine, or without huge pages, is lower than the same processor
// gives on bare hardware.
//
// On x86-64 the processor answers for itself (CPUID): its brand string with
// family and model; the hypervisor bit (leaf 1, ECX bit 31), which
// hypervisors set and bare hardware leaves clear; the hypervisor's vendor
// signature (leaf 0x40000000). Elsewhere the kernel's files are asked: the
// "model name" of /proc/cpuinfo, else its "CPU implementer" and "CPU part"
// (ARM64), and the device tree's model; /sys/hypervisor/type, the device
// tree's hypervisor node, and QEMU's "linux,dummy-virt" board. What nothing
// tells is "unknown". A hypervisor that hides itself cannot be seen: the
// clear bit is reported as "none reported", never as bare hardware.
//
// Huge pages: the kernel's account of the mappings (/proc/self/smaps), the
// resident memory and the part of it in transparent huge pages.
//
// Thread safety: reads CPUID and small files; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zt {

enum class HypervisorPresence { reported, none_reported, unknown };

struct HypervisorFacts {
    HypervisorPresence presence = HypervisorPresence::unknown;
    std::string vendor;  // "KVM", "Xen", ...; empty when not told
    std::string source;  // what told: "CPUID", "/sys/hypervisor/type", ...; empty when nothing did
};

struct MachineFacts {
    std::string processor;  // never empty: "unknown" when nothing tells
    HypervisorFacts hypervisor;
};

MachineFacts describe_machine();

// Resident memory of some mappings and the part of it in transparent huge pages.
struct HugePageShare {
    std::uint64_t resident_kib = 0;
    std::uint64_t huge_kib = 0;
};

struct MemoryRange {
    const void* start = nullptr;
    std::size_t length = 0;
};

// Over every mapping that overlaps one of `ranges` (each mapping counted
// once, whole: the kernel merges neighbouring mappings of one kind); nothing
// when /proc/self/smaps cannot be read or no mapping overlaps.
std::optional<HugePageShare> huge_page_share(std::span<const MemoryRange> ranges);

namespace detail {

// Reads a whole small file; nothing when it cannot be read.
using SmallFileReader = std::function<std::optional<std::string>(const std::string& path)>;

// The hypervisor named by the 12-byte signature of CPUID leaf 0x40000000
// ("KVMKVMKVM\0\0\0" is "KVM"); an unknown one as its printable characters,
// empty when it has none.
std::string hypervisor_vendor_name(std::string_view signature);

// The processor as /proc/cpuinfo (and the device tree's model, `board`,
// possibly empty) tell it: "model name"; else the ARM64 implementer and
// part ("Arm part 0xd0c"); else "unknown". The board, when given, follows
// (" on Raspberry Pi 4 Model B Rev 1.4").
std::string processor_from_cpuinfo(std::string_view cpuinfo, std::string_view board);

// The hypervisor as the kernel's files tell it (read through `read`):
// /sys/hypervisor/type, /proc/device-tree/hypervisor/compatible, a root
// device tree compatible with "linux,dummy-virt"; unknown otherwise.
HypervisorFacts hypervisor_from_kernel(const SmallFileReader& read);

// huge_page_share over the text of /proc/self/smaps.
std::optional<HugePageShare> huge_page_share_in(std::string_view smaps, std::span<const MemoryRange> ranges);

}  // namespace detail
}  // namespace zt
