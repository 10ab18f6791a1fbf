// What this processor offers to the hash: AES-NI for the AES rounds, SSSE3 and
// AVX2 for the Argon2d fill. randomx_get_flags (randomx.h) turns these into
// flags.
//
// Thread safety: the features are read once (thread-safe static
// initialisation) and are immutable afterwards.
#pragma once

namespace rx {

struct CpuFeatures {
    bool aes = false;    // AESENC/AESDEC
    bool ssse3 = false;
    bool avx2 = false;   // and the OS saves the YMM registers
    bool bmi2 = false;   // MULX, RORX
};

const CpuFeatures& cpu_features();

inline bool cpu_has_aes() { return cpu_features().aes; }

}  // namespace rx
