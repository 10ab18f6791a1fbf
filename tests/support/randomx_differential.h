// The compiled VM held against the interpreter on random keys and inputs:
// every program's register file and the hash compared, with the interpreter
// confirming that the inputs reached every instruction kind, every rounding
// mode, and taken and untaken branches (the comparison is only as good as
// that coverage).
//
// Thread safety: runs on the calling thread; uses the process-wide cache of
// randomx_support.h.
#pragma once

#include <cstdint>

#include "randomx/program.h"

namespace zt::test {

// `keys` random 32-byte keys, `inputs_per_key` random inputs of 0-119 bytes
// each, drawn from `seed`. Skips the test where the compiler cannot run.
void compiler_against_interpreter(rx::Variant variant, int keys, int inputs_per_key, std::uint64_t seed);

// Whether this is an aarch64 or riscv64 test binary run by qemu-user: it
// reads the host's /proc/cpuinfo, which has no "CPU implementer" (ARM64) or
// "isa" (RISC-V) lines. Tests then keep their counts small (a hash costs a
// hundred times more). False on every other build.
bool running_under_emulation();

}  // namespace zt::test
