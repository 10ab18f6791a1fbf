// The two memory modes of the RandomX work engine, shared by the command
// line (where they are chosen) and the core library (where they select how
// the engine is set up and how calibration reports it).
//
// Full: the 2080 MiB dataset is built once and every hash reads it (fast).
// Light: only the 256 MiB cache is kept and dataset items are computed on
// demand (slow, small).
//
// Thread safety: constants and pure functions.
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace zt {

enum class WorkMode { Full, Light };

// Every mode, in the order the command line lists its possible values.
inline constexpr std::array<WorkMode, 2> kWorkModes{WorkMode::Full, WorkMode::Light};

// The value written on the command line: "full" or "light".
constexpr std::string_view work_mode_arg(WorkMode mode) {
    return mode == WorkMode::Full ? "full" : "light";
}

// The descriptive name used in reports: "Full" or "Light".
constexpr std::string_view work_mode_name(WorkMode mode) {
    return mode == WorkMode::Full ? "Full" : "Light";
}

// The mode whose command-line value is exactly `text` (case-sensitive).
constexpr std::optional<WorkMode> work_mode_from_arg(std::string_view text) {
    for (WorkMode mode : kWorkModes) {
        if (work_mode_arg(mode) == text) return mode;
    }
    return std::nullopt;
}

// The mode whose report name is exactly `text` (case-sensitive).
constexpr std::optional<WorkMode> work_mode_from_name(std::string_view text) {
    for (WorkMode mode : kWorkModes) {
        if (work_mode_name(mode) == text) return mode;
    }
    return std::nullopt;
}

}  // namespace zt
