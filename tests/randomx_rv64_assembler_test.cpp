// The RV64 assembler held against the GNU assembler: a table of instructions,
// each written with our emitters and as assembly text, the text assembled by
// riscv64-linux-gnu-as (binutils, installed by scripts/setup.sh) and the two
// encodings compared word by word. Also: li builds every value it is given
// (its words decoded and evaluated), and operands out of range and branches
// too far poison the code.
//
// The header is plain C++, so this runs on any build host; where the cross
// binutils cannot be run it skips.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "randomx/riscv64/rv64_assembler.h"
#include "tests/support/gnu_assembler.h"

namespace {

using namespace rx::rv64;
using A = Assembler;

using Case = zt::test::AssemblerCase<A>;

std::vector<Case> cases() {
    using L = A::Label;
    return {
        {[](A& a, L& l1, L&) { a.bind(l1); }, "1:"},
        {[](A& a, L&, L&) { a.add(x5, x6, x31); }, "add x5, x6, x31"},
        {[](A& a, L&, L&) { a.sub(x18, x19, x20); }, "sub x18, x19, x20"},
        {[](A& a, L&, L&) { a.neg(x7, x8); }, "neg x7, x8"},
        {[](A& a, L&, L&) { a.sll(x5, x6, x7); }, "sll x5, x6, x7"},
        {[](A& a, L&, L&) { a.srl(x5, x6, x7); }, "srl x5, x6, x7"},
        {[](A& a, L&, L&) { a.xor_(x5, x6, x7); }, "xor x5, x6, x7"},
        {[](A& a, L&, L&) { a.or_(x5, x6, x7); }, "or x5, x6, x7"},
        {[](A& a, L&, L&) { a.and_(x5, x6, x7); }, "and x5, x6, x7"},
        {[](A& a, L&, L&) { a.mul(x25, x26, x27); }, "mul x25, x26, x27"},
        {[](A& a, L&, L&) { a.mulh(x25, x26, x27); }, "mulh x25, x26, x27"},
        {[](A& a, L&, L&) { a.mulhu(x25, x26, x27); }, "mulhu x25, x26, x27"},
        {[](A& a, L&, L&) { a.mv(x10, x2); }, "mv x10, x2"},
        {[](A& a, L&, L&) { a.sh_add(1, x5, x6, x7); }, "sh1add x5, x6, x7"},
        {[](A& a, L&, L&) { a.sh_add(2, x5, x6, x7); }, "sh2add x5, x6, x7"},
        {[](A& a, L&, L&) { a.sh_add(3, x5, x6, x7); }, "sh3add x5, x6, x7"},
        {[](A& a, L&, L&) { a.add_uw(x5, x6, x7); }, "add.uw x5, x6, x7"},
        {[](A& a, L&, L&) { a.zext_w(x5, x6); }, "zext.w x5, x6"},
        {[](A& a, L&, L&) { a.ror(x5, x6, x7); }, "ror x5, x6, x7"},
        {[](A& a, L&, L&) { a.rol(x5, x6, x7); }, "rol x5, x6, x7"},
        {[](A& a, L&, L&) { a.rori(x5, x6, 63); }, "rori x5, x6, 63"},
        {[](A& a, L&, L&) { a.addi(x5, x6, -2048); }, "addi x5, x6, -2048"},
        {[](A& a, L&, L&) { a.addiw(x5, x6, 2047); }, "addiw x5, x6, 2047"},
        {[](A& a, L&, L&) { a.xori(x5, x6, -1); }, "xori x5, x6, -1"},
        {[](A& a, L&, L&) { a.ori(x5, x6, 0x7F0); }, "ori x5, x6, 0x7f0"},
        {[](A& a, L&, L&) { a.andi(x5, x6, -64); }, "andi x5, x6, -64"},
        {[](A& a, L&, L&) { a.slli(x5, x6, 42); }, "slli x5, x6, 42"},
        {[](A& a, L&, L&) { a.srli(x5, x6, 36); }, "srli x5, x6, 36"},
        {[](A& a, L&, L&) { a.srai(x5, x6, 1); }, "srai x5, x6, 1"},
        {[](A& a, L&, L&) { a.lui(x5, -0x80000); }, "lui x5, 0x80000"},
        {[](A& a, L&, L&) { a.lui(x5, 0x7FFFF); }, "lui x5, 0x7ffff"},
        {[](A& a, L&, L&) { a.ld(x5, x2, -8); }, "ld x5, -8(x2)"},
        {[](A& a, L&, L&) { a.lw(x5, x6, 2044); }, "lw x5, 2044(x6)"},
        {[](A& a, L&, L&) { a.lwu(x5, x6, 4); }, "lwu x5, 4(x6)"},
        {[](A& a, L&, L&) { a.sd(x27, x2, 2040); }, "sd x27, 2040(x2)"},
        {[](A& a, L&, L&) { a.sw(x5, x10, -4); }, "sw x5, -4(x10)"},
        {[](A& a, L&, L&) { a.fld(f27, x2, 16); }, "fld f27, 16(x2)"},
        {[](A& a, L&, L&) { a.fsd(f8, x10, 200); }, "fsd f8, 200(x10)"},
        {[](A& a, L&, L&) { a.prefetch_r(x6, 64); }, "prefetch.r 64(x6)"},
        {[](A& a, L&, L&) { a.fadd_d(f1, f2, f3); }, "fadd.d f1, f2, f3"},
        {[](A& a, L&, L&) { a.fsub_d(f1, f2, f3); }, "fsub.d f1, f2, f3"},
        {[](A& a, L&, L&) { a.fmul_d(f1, f2, f31); }, "fmul.d f1, f2, f31"},
        {[](A& a, L&, L&) { a.fdiv_d(f24, f24, f14); }, "fdiv.d f24, f24, f14"},
        {[](A& a, L&, L&) { a.fsqrt_d(f25, f25); }, "fsqrt.d f25, f25"},
        {[](A& a, L&, L&) { a.fmv_d(f14, f9); }, "fmv.d f14, f9"},
        {[](A& a, L&, L&) { a.fcvt_d_w(f8, x6); }, "fcvt.d.w f8, x6"},
        {[](A& a, L&, L&) { a.fmv_x_d(x6, f8); }, "fmv.x.d x6, f8"},
        {[](A& a, L&, L&) { a.fmv_d_x(f8, x6); }, "fmv.d.x f8, x6"},
        {[](A& a, L&, L&) { a.fsrm(x7); }, "fsrm x7"},
        {[](A& a, L&, L&) { a.frrm(x6); }, "frrm x6"},
        {[](A& a, L&, L&) { a.fence_i(); }, "fence.i"},
        {[](A& a, L&, L&) { a.jalr(x1, x7); }, "jalr x1, 0(x7)"},
        {[](A& a, L&, L&) { a.ret(); }, "ret"},
        {[](A& a, L&, L&) { a.nop(); }, "nop"},
        // Branches: back to label 1, forward to label 2 (bound at the end).
        {[](A& a, L& l1, L&) { a.branch(Cond::NE, x27, x0, l1); }, "bne x27, x0, 1b"},
        {[](A& a, L&, L& l2) { a.branch(Cond::GEU, x5, x6, l2); }, "bgeu x5, x6, 2f"},
        {[](A& a, L&, L& l2) { a.branch_far(Cond::EQ, x5, x6, l2); }, "bne x5, x6, .+8\nj 2f"},
        {[](A& a, L& l1, L&) { a.branch_back(Cond::EQ, x6, x0, l1.position); }, "beq x6, x0, 1b"},
        {[](A& a, L& l1, L&) { a.j(l1); }, "j 1b"},
        {[](A& a, L&, L& l2) { a.j(l2); }, "j 2f"},
        {[](A& a, L&, L& l2) { a.bind(l2); }, "2:"},
    };
}

TEST(Rv64Assembler, EncodesLikeTheGnuAssembler) {
    zt::test::expect_encodes_like_gnu<A>("riscv64-linux-gnu-",
                                         ".option arch, rv64gc_zba_zbb_zicbop\n.option norvc\n.text\n", cases());
}

// The value li's words compute, by the four instructions it uses.
std::uint64_t evaluate_li(const std::vector<std::uint32_t>& words) {
    std::uint64_t x = 0;
    for (const std::uint32_t w : words) {
        const auto imm12 = static_cast<std::int64_t>(static_cast<std::int32_t>(w) >> 20);
        const unsigned rs1 = w >> 15 & 31;
        const std::uint64_t source = rs1 == 0 ? 0 : x;
        switch (w & 0x707F) {
        case 0x0013: x = source + static_cast<std::uint64_t>(imm12); break;  // addi
        case 0x001B:                                                         // addiw
            x = static_cast<std::uint64_t>(static_cast<std::int32_t>(static_cast<std::uint32_t>(source + static_cast<std::uint64_t>(imm12))));
            break;
        case 0x1013: x = source << (w >> 20 & 63); break;  // slli
        default:
            EXPECT_EQ(w & 0x7F, 0x37U) << std::hex << w;  // lui
            x = static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(w & 0xFFFFF000U)));
        }
    }
    return x;
}

// Edge values and random ones of every width: the words compute the value,
// in at most eight instructions, all into the one register.
TEST(Rv64Assembler, LoadImmediateBuildsEveryValue) {
    std::vector<std::uint64_t> values = {0, 1, 2047, 2048, ~0ULL, 0x7FFFFFFFULL, 0x80000000ULL, 0xFFFFFFFF80000000ULL,
                                         0x7FFFF800ULL, 0x8000000000000000ULL, 0x7FFFFFFFFFFFFFFFULL, 0x00FFFFFFFFFFFFFFULL,
                                         0x80F0000000000000ULL, 6364136223846793005ULL};
    std::mt19937_64 rng(64);
    for (int i = 0; i < 3000; ++i) values.push_back(rng() >> (rng() % 64));
    for (const std::uint64_t value : values) {
        std::uint32_t buffer[16];
        A a(reinterpret_cast<std::uint8_t*>(buffer), sizeof buffer);
        a.li(x7, value);
        ASSERT_FALSE(a.overflowed());
        const std::vector<std::uint32_t> words(buffer, buffer + a.size() / 4);
        ASSERT_LE(words.size(), 8U) << std::hex << value;
        for (const std::uint32_t w : words) ASSERT_EQ(w >> 7 & 31, 7U) << std::hex << value;
        ASSERT_EQ(evaluate_li(words), value) << std::hex << value;
    }
}

// Operands out of an encoding's range, and branches too far, poison the code
// as an overflow does (word_code.h, whose overflow the ARM64 assembler's test
// covers).
TEST(Rv64Assembler, OperandsOutOfRangePoisonTheCode) {
    std::uint8_t buffer[64];
    const std::vector<std::function<void(A&)>> out_of_range = {
        [](A& b) { b.addi(x5, x6, 2048); },       [](A& b) { b.sd(x5, x6, -2049); },
        [](A& b) { b.slli(x5, x6, 64); },         [](A& b) { b.lui(x5, 0x80000); },
        [](A& b) { b.prefetch_r(x5, 8); },        [](A& b) { b.sh_add(4, x5, x6, x7); },
    };
    for (const auto& emit : out_of_range) {
        A b(buffer, sizeof buffer);
        emit(b);
        EXPECT_TRUE(b.overflowed());
    }
    std::vector<std::uint8_t> big(8192);
    A c(big.data(), big.size());
    A::Label far;
    c.branch(Cond::EQ, x5, x6, far);
    for (int i = 0; i < 1100; ++i) c.nop();
    c.bind(far);
    EXPECT_TRUE(c.overflowed()) << "a conditional branch reaches 4 KiB";
}

}  // namespace
