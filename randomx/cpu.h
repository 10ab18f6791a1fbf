// What this processor offers to the hash: hardware AES rounds (AES-NI on
// x86-64, the cryptography extension on ARM64), SSSE3 and AVX2 for the
// Argon2d fill, BMI2 for the x86-64 compilers, Zba and Zbb for the RISC-V
// compilers. randomx_get_flags (randomx.h) turns the first three into flags. Each architecture's folder detects them
// (detect_cpu_features in arch.h); elsewhere none is reported.
//
// Thread safety: the features are read once (thread-safe static
// initialisation) and are immutable afterwards.
#pragma once

namespace rx {

struct CpuFeatures {
    bool aes = false;    // AESENC/AESDEC (x86-64) or AESE/AESD/AESMC/AESIMC (ARM64)
    bool ssse3 = false;
    bool avx2 = false;   // and the OS saves the YMM registers
    bool bmi2 = false;   // MULX, RORX
    bool zba = false;    // RISC-V address generation: SH1ADD-SH3ADD, ADD.UW
    bool zbb = false;    // RISC-V basic bit manipulation: ROR, ROL, RORI
};

// The detected features less those hidden by mask_cpu_features.
const CpuFeatures& cpu_features();

inline bool cpu_has_aes() { return cpu_features().aes; }

// For tests only (the library never calls it): hides the features set in
// `hidden`, so that a process runs the fallbacks it would run on a processor
// without them. Takes effect only before anything has read the features
// (call it first thing in main); returns false, changing nothing, after.
bool mask_cpu_features(const CpuFeatures& hidden) noexcept;

// For tests only, under the same rule: reports the features set in `present`
// as detected, for a processor known to have them whose detection cannot
// see them (riscv64 under a user-mode emulator that answers no riscv_hwprobe).
// A feature the processor lacks then ends the process at its first use.
bool assume_cpu_features(const CpuFeatures& present) noexcept;

}  // namespace rx
