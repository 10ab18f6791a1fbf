#include "timelock/base/machine.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <vector>

#include "timelock/base/file_io.h"

namespace zt {
namespace detail {
namespace {

constexpr std::string_view kSpaces = " \t\r\n";

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(kSpaces);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(kSpaces) - first + 1);
}

// Device-tree strings end with a zero byte; a list holds several.
std::string_view first_string(std::string_view s) { return trim(s.substr(0, s.find('\0'))); }

// The value of the first "key<blanks>: value" line.
std::optional<std::string_view> field(std::string_view text, std::string_view key) {
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = text.substr(start, end - start);
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && trim(line.substr(0, colon)) == key) {
            return trim(line.substr(colon + 1));
        }
        start = end + 1;
    }
    return std::nullopt;
}

// The ARM64 implementer codes of the vendors whose cores a solver is likely to meet.
std::string_view arm_implementer_name(std::string_view code) {
    static constexpr std::pair<std::string_view, std::string_view> kNames[] = {
        {"0x41", "Arm"},      {"0x42", "Broadcom"}, {"0x43", "Cavium"}, {"0x46", "Fujitsu"},
        {"0x48", "HiSilicon"}, {"0x4e", "NVIDIA"},  {"0x50", "APM"},    {"0x51", "Qualcomm"},
        {"0x61", "Apple"},    {"0x6d", "Microsoft"}, {"0xc0", "Ampere"},
    };
    for (const auto& [c, name] : kNames) {
        if (c == code) return name;
    }
    return {};
}

std::optional<std::uint64_t> parse_hex(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

std::optional<std::uint64_t> parse_kib(std::string_view text) {
    text = trim(text);
    if (!text.ends_with("kB")) return std::nullopt;
    text = trim(text.substr(0, text.size() - 2));
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

}  // namespace

std::string hypervisor_vendor_name(std::string_view signature) {
    static constexpr std::pair<std::string_view, std::string_view> kVendors[] = {
        {"KVMKVMKVM", "KVM"},         {"Linux KVM Hv", "KVM (Hyper-V interface)"},
        {"Microsoft Hv", "Hyper-V"},  {"VMwareVMware", "VMware"},
        {"XenVMMXenVMM", "Xen"},      {"TCGTCGTCGTCG", "QEMU (TCG)"},
        {"bhyve bhyve ", "bhyve"},    {" lrpepyh  vr", "Parallels"},
        {"VBoxVBoxVBox", "VirtualBox"}, {"ACRNACRNACRN", "ACRN"},
        {"QNXQVMBSQG", "QNX"},        {"Jailhouse", "Jailhouse"},
    };
    const std::string_view text = signature.substr(0, signature.find('\0'));
    for (const auto& [sig, name] : kVendors) {
        if (text == sig) return std::string(name);
    }
    std::string printable;
    for (const char c : text) {
        if (c >= 0x21 && c <= 0x7e) printable += c;
    }
    return printable;
}

std::string processor_from_cpuinfo(std::string_view cpuinfo, std::string_view board) {
    std::string name;
    if (const auto model = field(cpuinfo, "model name"); model && !model->empty()) {
        name = *model;
    } else if (const auto implementer = field(cpuinfo, "CPU implementer")) {
        const std::string_view vendor = arm_implementer_name(*implementer);
        if (vendor.empty()) name.append("implementer ").append(*implementer);
        else name.append(vendor);
        if (const auto part = field(cpuinfo, "CPU part")) name.append(" part ").append(*part);
    }
    board = first_string(board);
    if (name.empty()) name = board.empty() ? "unknown" : "unknown processor";
    if (!board.empty()) name.append(" on ").append(board);
    return name;
}

HypervisorFacts hypervisor_from_kernel(const SmallFileReader& read) {
    if (const auto type = read("/sys/hypervisor/type"); type && !trim(*type).empty()) {
        std::string vendor(trim(*type));
        if (vendor == "xen") vendor = "Xen";
        return {HypervisorPresence::reported, vendor, "/sys/hypervisor/type"};
    }
    if (const auto node = read("/proc/device-tree/hypervisor/compatible"); node && !first_string(*node).empty()) {
        std::string vendor(first_string(*node));
        if (vendor.starts_with("xen,")) vendor = "Xen";
        return {HypervisorPresence::reported, vendor, "device tree"};
    }
    if (const auto root = read("/proc/device-tree/compatible")) {
        for (std::size_t start = 0; start < root->size();) {
            const std::size_t end = std::min(root->find('\0', start), root->size());
            if (std::string_view(*root).substr(start, end - start) == "linux,dummy-virt") {
                return {HypervisorPresence::reported, "QEMU virt board", "device tree"};
            }
            start = end + 1;
        }
    }
    return {HypervisorPresence::unknown, "", ""};
}

std::optional<HugePageShare> huge_page_share_in(std::string_view smaps, std::span<const MemoryRange> ranges) {
    HugePageShare share;
    bool found = false;
    bool inside = false;  // the mapping whose fields follow overlaps a range
    for (std::size_t start = 0; start < smaps.size();) {
        const std::size_t end = std::min(smaps.find('\n', start), smaps.size());
        const std::string_view line = smaps.substr(start, end - start);
        start = end + 1;
        // A mapping's header: "7f12a0000000-7f12e0000000 rw-p 00000000 00:00 0 ...".
        const std::size_t dash = line.find('-');
        const std::size_t space = line.find(' ');
        if (dash != std::string_view::npos && space != std::string_view::npos && dash < space) {
            const auto low = parse_hex(line.substr(0, dash));
            const auto high = parse_hex(line.substr(dash + 1, space - dash - 1));
            if (low && high) {
                inside = std::any_of(ranges.begin(), ranges.end(), [&](const MemoryRange& r) {
                    const auto begin = reinterpret_cast<std::uintptr_t>(r.start);
                    return r.length != 0 && begin < *high && *low < begin + r.length;
                });
                found = found || inside;
                continue;
            }
        }
        if (!inside) continue;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view key = line.substr(0, colon);
        if (key != "Rss" && key != "AnonHugePages") continue;
        const auto kib = parse_kib(line.substr(colon + 1));
        if (!kib) continue;
        (key == "Rss" ? share.resident_kib : share.huge_kib) += *kib;
    }
    if (!found) return std::nullopt;
    return share;
}

}  // namespace detail

namespace {

#if defined(__x86_64__) || defined(__i386__)

std::string cpuid_processor() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(0x80000000u, &a, &b, &c, &d) == 0 || a < 0x80000004u) return {};
    std::array<char, 49> brand{};
    for (unsigned i = 0; i < 3; ++i) {
        unsigned r[4] = {};
        __get_cpuid(0x80000002u + i, &r[0], &r[1], &r[2], &r[3]);
        std::memcpy(brand.data() + 16 * i, r, sizeof r);
    }
    std::string name(detail::trim(brand.data()));
    if (__get_cpuid(1, &a, &b, &c, &d) != 0) {
        // Display family and model, as the processor's documentation numbers them.
        const unsigned family = (a >> 8) & 0xf;
        const unsigned model = (a >> 4) & 0xf;
        const unsigned shown_family = family == 0xf ? family + ((a >> 20) & 0xff) : family;
        const unsigned shown_model = family == 0x6 || family == 0xf ? model + (((a >> 16) & 0xf) << 4) : model;
        if (!name.empty()) name.append(" ");
        name.append("(family ").append(std::to_string(shown_family)).append(", model ");
        name.append(std::to_string(shown_model)).append(")");
    }
    return name;
}

HypervisorFacts cpuid_hypervisor() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0) return {HypervisorPresence::unknown, "", ""};
    if ((c & (1u << 31)) == 0) return {HypervisorPresence::none_reported, "", "CPUID"};
    __cpuid(0x40000000u, a, b, c, d);
    char signature[12];
    std::memcpy(signature, &b, 4);
    std::memcpy(signature + 4, &c, 4);
    std::memcpy(signature + 8, &d, 4);
    return {HypervisorPresence::reported, detail::hypervisor_vendor_name(std::string_view(signature, 12)), "CPUID"};
}

#endif

}  // namespace

MachineFacts describe_machine() {
    MachineFacts facts;
#if defined(__x86_64__) || defined(__i386__)
    facts.processor = cpuid_processor();
    facts.hypervisor = cpuid_hypervisor();
#else
    facts.hypervisor =
        detail::hypervisor_from_kernel([](const std::string& path) { return file_io::read_system_text(path); });
#endif
    if (facts.processor.empty()) {
        const std::string cpuinfo = file_io::read_system_text("/proc/cpuinfo").value_or("");
        const std::string board = file_io::read_system_text("/proc/device-tree/model").value_or("");
        facts.processor = detail::processor_from_cpuinfo(cpuinfo, board);
    }
    return facts;
}

std::optional<HugePageShare> huge_page_share(std::span<const MemoryRange> ranges) {
    // One line per field, some twenty fields per mapping: a few hundred KiB
    // for this program's few hundred mappings.
    const auto smaps = file_io::read_system_text("/proc/self/smaps", std::size_t{64} << 20);
    if (!smaps) return std::nullopt;
    return detail::huge_page_share_in(*smaps, ranges);
}

}  // namespace zt
