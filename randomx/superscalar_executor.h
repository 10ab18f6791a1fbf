// The SuperscalarHash interpreter that builds dataset items.
//
// compile_superscalar decodes a generated program once (at cache
// initialisation) into operations with their constants prepared: the
// sign-extended immediates, rotation counts, IADD_RS shifts and IMUL_RCP
// reciprocals. Two executors run the decoded form:
//
//  - execute_superscalar runs one item (the light-mode path). Dispatch is the
//    bottleneck of an interpreter here: the instruction kinds come in random
//    order, so a single dispatch point mispredicts almost every time. Each
//    pair of consecutive operations is therefore handled by a function
//    specialised for that pair of kinds, which jumps straight to the handler
//    of the next pair (a tail call), giving the branch predictor one
//    dispatch site per pair kind and half as many dispatches.
//  - execute_superscalar_lanes runs kSuperscalarLanes items at once (the
//    dataset path): each operation is dispatched once and applied to every
//    item, in loops the compiler vectorises (SSE2, AVX2 or AVX-512, chosen
//    at run time).
//
// Thread safety: a decoded program is read-only; executors write only the
// registers they are given.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "randomx/superscalar.h"

namespace rx {

struct SuperscalarOp;
using SuperscalarHandler = void (*)(const SuperscalarOp* op, std::uint64_t* r);

struct SuperscalarOp {
    enum Kind : std::uint8_t {
        Sub,            // ISUB_R
        Xor,            // IXOR_R
        AddShift,       // IADD_RS
        Mul,            // IMUL_R
        Ror,            // IROR_C
        AddConst,       // IADD_C7/C8/C9
        XorConst,       // IXOR_C7/C8/C9
        MulHigh,        // IMULH_R
        SignedMulHigh,  // ISMULH_R
        MulConst,       // IMUL_RCP
    };
    static constexpr std::size_t kKindCount = 10;

    // At even positions: runs this operation and the next one, then the
    // handler two positions on. The entry after the last operation ends the
    // chain.
    SuperscalarHandler run = nullptr;
    Kind kind = Sub;
    std::uint8_t dst = 0;
    std::uint8_t src = 0;
    std::uint8_t shift = 0;     // AddShift: left shift; Ror: rotation count
    std::uint64_t operand = 0;  // AddConst/XorConst: immediate; MulConst: reciprocal
};

struct CompiledSuperscalar {
    std::array<SuperscalarOp, kSuperscalarMaxSize + 1> ops{};  // + the end of the chain
    std::uint32_t size = 0;
    std::uint8_t address_register = 0;
};

void compile_superscalar(const SuperscalarProgram& program, CompiledSuperscalar& out);

// Runs a decoded program on one item's r0..r7.
void execute_superscalar(const CompiledSuperscalar& program, std::uint64_t r[8]);

inline constexpr std::size_t kSuperscalarLanes = 256;

// Registers of kSuperscalarLanes items, register-major: r[register][item].
struct alignas(64) SuperscalarLanes {
    std::uint64_t r[8][kSuperscalarLanes];
};

// Runs a decoded program on every item of `lanes`.
void execute_superscalar_lanes(const CompiledSuperscalar& program, SuperscalarLanes& lanes);

}  // namespace rx
