// SuperscalarHash: random programs of integer register-register instructions,
// generated from a BlakeGenerator by simulating a reference superscalar CPU.
// Each program transforms eight 64-bit registers r0..r7; dataset items are
// built by running them.
//
// A generated program is plain data (the instruction list and its address
// register) so that any back end can consume it; superscalar_executor.h
// decodes it for the interpreter that builds dataset items.
//
// Thread safety: generation mutates only the generator and the program given.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "randomx/constants.h"

namespace rx {

class BlakeGenerator;

// The instruction types, numbered as in the program traces.
enum class SuperscalarType : std::uint8_t {
    ISUB_R = 0,
    IXOR_R = 1,
    IADD_RS = 2,
    IMUL_R = 3,
    IROR_C = 4,
    IADD_C7 = 5,
    IXOR_C7 = 6,
    IADD_C8 = 7,
    IXOR_C8 = 8,
    IADD_C9 = 9,
    IXOR_C9 = 10,
    IMULH_R = 11,
    ISMULH_R = 12,
    IMUL_RCP = 13,
};
inline constexpr std::size_t kSuperscalarTypeCount = 14;

const char* superscalar_type_name(SuperscalarType type);

// One instruction. `src` equals `dst` for the types without a source
// register. `mod` carries the IADD_RS shift in bits 2..3. `imm32` is the
// constant of IROR_C (low 6 bits), IADD_C*/IXOR_C* (sign-extended) and
// IMUL_RCP (the divisor).
struct SuperscalarInstruction {
    SuperscalarType type = SuperscalarType::ISUB_R;
    std::uint8_t dst = 0;
    std::uint8_t src = 0;
    std::uint8_t mod = 0;
    std::uint32_t imm32 = 0;

    unsigned shift() const { return (mod >> 2) & 3u; }
};

inline constexpr std::size_t kSuperscalarMaxSize = 3 * kSuperscalarLatency + 2;

struct SuperscalarProgram {
    std::array<SuperscalarInstruction, kSuperscalarMaxSize> instructions{};
    std::uint32_t size = 0;
    // The register with the longest dependency chain; its final value selects
    // the next cache block.
    std::uint8_t address_register = 0;
};

// Generates the next program from `gen`.
void generate_superscalar(SuperscalarProgram& program, BlakeGenerator& gen);

// The IMUL_RCP multiplier (here and in VM programs): floor(2^x / divisor)
// for the largest x keeping the result below 2^64. `divisor` must be neither
// 0 nor a power of two.
std::uint64_t superscalar_reciprocal(std::uint32_t divisor);

}  // namespace rx
