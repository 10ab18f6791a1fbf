// The AArch64 assembler held against the GNU assembler: a table of
// instructions, each written with our emitters and as assembly text, the text
// assembled by aarch64-linux-gnu-as (binutils, installed by scripts/setup.sh)
// and the two encodings compared word by word. Also: overflow is recorded and
// nothing is written past the buffer.
//
// The header is plain C++, so this runs on any build host; where the cross
// binutils cannot be run (a test binary itself under emulation) it skips.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "randomx/aarch64/a64_assembler.h"
#include "tests/support/gnu_assembler.h"

namespace {

using namespace rx::a64;
using A = Assembler;

using Case = zt::test::AssemblerCase<A>;

constexpr const char* kBinutils = "aarch64-linux-gnu-";

// Assembles `text` with the cross binutils; false if they cannot run here.
bool gnu_assemble(const std::string& text, std::vector<std::uint32_t>& words) {
    return zt::test::gnu_assemble(kBinutils, ".arch armv8-a+crypto\n.text\n" + text, words);
}

bool gnu_assembler_runs() { return zt::test::gnu_assembler_runs(kBinutils); }

std::vector<Case> cases() {
    return {
        {[](A& a, A::Label& l1, A::Label&) { a.bind(l1); }, "1:"},
        {[](A& a, A::Label&, A::Label&) { a.mov(x19, x3); }, "mov x19, x3"},
        {[](A& a, A::Label&, A::Label&) { a.mov_from_sp(x9); }, "mov x9, sp"},
        {[](A& a, A::Label&, A::Label&) { a.mov_to_sp(x9); }, "mov sp, x9"},
        {[](A& a, A::Label&, A::Label&) { a.movz(x1, 0xBEEF, 16); }, "movz x1, #0xbeef, lsl #16"},
        {[](A& a, A::Label&, A::Label&) { a.movk(x30, 0x1234, 48); }, "movk x30, #0x1234, lsl #48"},
        {[](A& a, A::Label&, A::Label&) { a.movn(x2, 0x7, 32); }, "movn x2, #0x7, lsl #32"},
        {[](A& a, A::Label&, A::Label&) { a.mov_imm(x5, 0x00FFFFFFFFFFFFFFULL); }, "mov x5, #0x00ffffffffffffff"},
        {[](A& a, A::Label&, A::Label&) { a.mov_imm(x5, 0xFFFFFFFFFFFF1234ULL); }, "movn x5, #0xedcb"},
        {[](A& a, A::Label&, A::Label&) { a.mov_imm(x5, 0); }, "movz x5, #0"},
        {[](A& a, A::Label&, A::Label&) { a.mov_imm(x5, 0x0123456789ABCDEFULL); },
         "movz x5, #0xcdef\nmovk x5, #0x89ab, lsl #16\nmovk x5, #0x4567, lsl #32\nmovk x5, #0x0123, lsl #48"},
        {[](A& a, A::Label&, A::Label&) { a.add(x1, x2, x3, Shift::LSL, 3); }, "add x1, x2, x3, lsl #3"},
        {[](A& a, A::Label&, A::Label&) { a.sub(x20, x21, x22); }, "sub x20, x21, x22"},
        {[](A& a, A::Label&, A::Label&) { a.neg(x4, x4); }, "neg x4, x4"},
        {[](A& a, A::Label&, A::Label&) { a.and_(x4, x5, x6); }, "and x4, x5, x6"},
        {[](A& a, A::Label&, A::Label&) { a.orr(x12, x0, x13, Shift::LSL, 22); }, "orr x12, x0, x13, lsl #22"},
        {[](A& a, A::Label&, A::Label&) { a.eor(x7, x8, x9, Shift::ROR, 5); }, "eor x7, x8, x9, ror #5"},
        {[](A& a, A::Label&, A::Label&) { a.tst(x7, x8); }, "tst x7, x8"},
        {[](A& a, A::Label&, A::Label&) { a.mov32(x7, x28); }, "mov w7, w28"},
        {[](A& a, A::Label&, A::Label&) { a.add32(x7, x8, x9); }, "add w7, w8, w9"},
        {[](A& a, A::Label&, A::Label&) { a.add_imm(sp, sp, 0x40); }, "add sp, sp, #0x40"},
        {[](A& a, A::Label&, A::Label&) { a.add_imm(x3, x4, 0x7F000); }, "add x3, x4, #0x7f, lsl #12"},
        {[](A& a, A::Label&, A::Label&) { a.sub_imm(x3, x4, 4095); }, "sub x3, x4, #4095"},
        {[](A& a, A::Label&, A::Label&) { a.subs_imm(x9, x9, 1); }, "subs x9, x9, #1"},
        {[](A& a, A::Label&, A::Label&) { a.add_any(x3, x4, 0x1FF000 + 5, x16); },
         "movz x16, #0xf005\nmovk x16, #0x1f, lsl #16\nadd x3, x4, x16"},
        {[](A& a, A::Label&, A::Label&) { a.add_any(x3, x4, ~std::uint64_t{0} - 99, x16); }, "sub x3, x4, #100"},
        {[](A& a, A::Label&, A::Label&) { a.and_imm(x1, x2, 0x1FFFC0); }, "and x1, x2, #0x1fffc0"},
        {[](A& a, A::Label&, A::Label&) { a.and_imm(x1, x2, 0xFFFFFFFFFF3FFFFFULL); }, "and x1, x2, #0xffffffffff3fffff"},
        {[](A& a, A::Label&, A::Label&) { a.orr_imm(x1, x2, 0x5555555555555555ULL); }, "orr x1, x2, #0x5555555555555555"},
        {[](A& a, A::Label&, A::Label&) { a.eor_imm(x1, x2, 0xFFFFFFFF80000000ULL); }, "eor x1, x2, #0xffffffff80000000"},
        {[](A& a, A::Label&, A::Label&) { a.tst_imm(x25, 0xFF0000ULL); }, "tst x25, #0xff0000"},
        {[](A& a, A::Label&, A::Label&) { a.and_imm32(x1, x2, 0x7FFFFFC0); }, "and w1, w2, #0x7fffffc0"},
        {[](A& a, A::Label&, A::Label&) { a.tst_imm32(x1, 0x3C); }, "tst w1, #0x3c"},
        {[](A& a, A::Label&, A::Label&) { a.mul(x1, x2, x3); }, "mul x1, x2, x3"},
        {[](A& a, A::Label&, A::Label&) { a.umulh(x1, x2, x3); }, "umulh x1, x2, x3"},
        {[](A& a, A::Label&, A::Label&) { a.smulh(x1, x2, x3); }, "smulh x1, x2, x3"},
        {[](A& a, A::Label&, A::Label&) { a.rorv(x1, x2, x3); }, "ror x1, x2, x3"},
        {[](A& a, A::Label&, A::Label&) { a.rbit(x1, x2); }, "rbit x1, x2"},
        {[](A& a, A::Label&, A::Label&) { a.ror(x1, x2, 17); }, "ror x1, x2, #17"},
        {[](A& a, A::Label&, A::Label&) { a.lsr(x1, x2, 32); }, "lsr x1, x2, #32"},
        {[](A& a, A::Label&, A::Label&) { a.lsl(x1, x2, 22); }, "lsl x1, x2, #22"},
        {[](A& a, A::Label&, A::Label&) { a.ubfx(x1, x2, 22, 2); }, "ubfx x1, x2, #22, #2"},
        {[](A& a, A::Label&, A::Label&) { a.ubfiz(x1, x2, 6, 22); }, "ubfiz x1, x2, #6, #22"},
        {[](A& a, A::Label&, A::Label&) { a.ldr(x1, sp, 4088); }, "ldr x1, [sp, #4088]"},
        {[](A& a, A::Label&, A::Label&) { a.str(x1, x2, 8); }, "str x1, [x2, #8]"},
        {[](A& a, A::Label&, A::Label&) { a.ldr32(x1, x2, 292); }, "ldr w1, [x2, #292]"},
        {[](A& a, A::Label&, A::Label&) { a.str32(x1, x2, 288); }, "str w1, [x2, #288]"},
        {[](A& a, A::Label&, A::Label&) { a.ldr(x1, x27, x16); }, "ldr x1, [x27, x16]"},
        {[](A& a, A::Label&, A::Label&) { a.str(x1, x27, x16); }, "str x1, [x27, x16]"},
        {[](A& a, A::Label&, A::Label&) { a.ldp(x1, x2, x3, -512); }, "ldp x1, x2, [x3, #-512]"},
        {[](A& a, A::Label&, A::Label&) { a.stp(x1, x2, sp, 504); }, "stp x1, x2, [sp, #504]"},
        {[](A& a, A::Label&, A::Label&) { a.stp_pre(x29, x30, sp, -96); }, "stp x29, x30, [sp, #-96]!"},
        {[](A& a, A::Label&, A::Label&) { a.ldp_post(x29, x30, sp, 96); }, "ldp x29, x30, [sp], #96"},
        {[](A& a, A::Label&, A::Label&) { a.prfm_l1(x29, x16); }, "prfm pldl1keep, [x29, x16]"},
        {[](A& a, A::Label&, A::Label&) { a.prfm_l1(x29, 64); }, "prfm pldl1keep, [x29, #64]"},
        {[](A& a, A::Label&, A::Label&) { a.ldr_d(v12, x27, x16); }, "ldr d12, [x27, x16]"},
        {[](A& a, A::Label&, A::Label&) { a.ldr_q(v14, x0, 304); }, "ldr q14, [x0, #304]"},
        {[](A& a, A::Label&, A::Label&) { a.str_q(v14, x0, 16); }, "str q14, [x0, #16]"},
        {[](A& a, A::Label&, A::Label&) { a.ldp_q(v8, v9, x0, 208); }, "ldp q8, q9, [x0, #208]"},
        {[](A& a, A::Label&, A::Label&) { a.stp_q(v0, v1, x13, -32); }, "stp q0, q1, [x13, #-32]"},
        {[](A& a, A::Label&, A::Label&) { a.ldp_d(v8, v9, sp, 16); }, "ldp d8, d9, [sp, #16]"},
        {[](A& a, A::Label&, A::Label&) { a.stp_d(v14, v15, sp, 64); }, "stp d14, d15, [sp, #64]"},
        {[](A& a, A::Label&, A::Label&) { a.fadd2d(v0, v0, v8); }, "fadd v0.2d, v0.2d, v8.2d"},
        {[](A& a, A::Label&, A::Label&) { a.fsub2d(v3, v3, v12); }, "fsub v3.2d, v3.2d, v12.2d"},
        {[](A& a, A::Label&, A::Label&) { a.fmul2d(v4, v4, v11); }, "fmul v4.2d, v4.2d, v11.2d"},
        {[](A& a, A::Label&, A::Label&) { a.fdiv2d(v7, v7, v12); }, "fdiv v7.2d, v7.2d, v12.2d"},
        {[](A& a, A::Label&, A::Label&) { a.fsqrt2d(v5, v5); }, "fsqrt v5.2d, v5.2d"},
        {[](A& a, A::Label&, A::Label&) { a.scvtf2d(v12, v12); }, "scvtf v12.2d, v12.2d"},
        {[](A& a, A::Label&, A::Label&) { a.sxtl2d(v12, v17); }, "sxtl v12.2d, v17.2s"},
        {[](A& a, A::Label&, A::Label&) { a.sxtl2_2d(v12, v17); }, "sxtl2 v12.2d, v17.4s"},
        {[](A& a, A::Label&, A::Label&) { a.and16b(v12, v12, v13); }, "and v12.16b, v12.16b, v13.16b"},
        {[](A& a, A::Label&, A::Label&) { a.orr16b(v12, v12, v14); }, "orr v12.16b, v12.16b, v14.16b"},
        {[](A& a, A::Label&, A::Label&) { a.eor16b(v2, v2, v15); }, "eor v2.16b, v2.16b, v15.16b"},
        {[](A& a, A::Label&, A::Label&) { a.ext16b(v6, v6, v6, 8); }, "ext v6.16b, v6.16b, v6.16b, #8"},
        {[](A& a, A::Label&, A::Label&) { a.dup2d(v13, x16); }, "dup v13.2d, x16"},
        {[](A& a, A::Label&, A::Label&) { a.movi_zero(v16); }, "movi v16.2d, #0"},
        {[](A& a, A::Label&, A::Label&) { a.aese(v0, v16); }, "aese v0.16b, v16.16b"},
        {[](A& a, A::Label&, A::Label&) { a.aesd(v1, v16); }, "aesd v1.16b, v16.16b"},
        {[](A& a, A::Label&, A::Label&) { a.aesmc(v0, v0); }, "aesmc v0.16b, v0.16b"},
        {[](A& a, A::Label&, A::Label&) { a.aesimc(v1, v1); }, "aesimc v1.16b, v1.16b"},
        {[](A& a, A::Label&, A::Label&) { a.mrs_fpcr(x12); }, "mrs x12, fpcr"},
        {[](A& a, A::Label&, A::Label&) { a.msr_fpcr(x16); }, "msr fpcr, x16"},
        {[](A& a, A::Label&, A::Label&) { a.nop(); }, "nop"},
        // Branches: back to label 1, forward to label 2 (bound at the end).
        {[](A& a, A::Label& l1, A::Label&) { a.b(l1); }, "b 1b"},
        {[](A& a, A::Label& l1, A::Label&) { a.b_cond(Cond::NE, l1); }, "b.ne 1b"},
        {[](A& a, A::Label&, A::Label& l2) { a.b_cond(Cond::EQ, l2); }, "b.eq 2f"},
        {[](A& a, A::Label&, A::Label& l2) { a.b(l2); }, "b 2f"},
        {[](A& a, A::Label&, A::Label& l2) { a.cbnz(x9, l2); }, "cbnz x9, 2f"},
        {[](A& a, A::Label&, A::Label& l2) { a.tbnz(x9, 0, l2); }, "tbnz x9, #0, 2f"},
        {[](A& a, A::Label& l1, A::Label&) { a.tbnz(x9, 33, l1); }, "tbnz x9, #33, 1b"},
        {[](A& a, A::Label&, A::Label&) { a.b_cond_to(Cond::EQ, 8); }, "b.eq 1b + 8"},
        {[](A& a, A::Label&, A::Label&) { a.blr(x16); }, "blr x16"},
        {[](A& a, A::Label&, A::Label&) { a.ret(); }, "ret"},
        {[](A& a, A::Label&, A::Label& l2) { a.bind(l2); }, "2:"},
    };
}

TEST(A64Assembler, EncodesLikeTheGnuAssembler) {
    zt::test::expect_encodes_like_gnu<A>(kBinutils, ".arch armv8-a+crypto\n.text\n", cases());
}

// Every value encode_bitmask accepts is the value GNU as encodes, and a sample
// of rejected values is rejected by GNU as too.
TEST(A64Assembler, BitmaskImmediatesMatchTheGnuAssembler) {
    if (!gnu_assembler_runs()) GTEST_SKIP() << "aarch64-linux-gnu-as cannot run here";
    std::mt19937_64 rng(64);
    std::vector<std::uint64_t> accepted;
    std::vector<std::uint32_t> ours;
    std::string text;
    int rejected = 0;
    for (int i = 0; accepted.size() < 300; ++i) {
        // Runs of ones rotated and repeated, and random noise.
        const unsigned size = 2U << (rng() % 6);
        const unsigned ones = 1 + static_cast<unsigned>(rng() % (size - 1));
        std::uint64_t element = ((std::uint64_t{1} << ones) - 1);
        const unsigned rot = static_cast<unsigned>(rng() % size);
        const std::uint64_t mask = size == 64 ? ~0ULL : (1ULL << size) - 1;
        element = ((element << rot) | (rot == 0 ? 0 : element >> (size - rot))) & mask;
        std::uint64_t value = 0;
        for (unsigned k = 0; k < 64; k += size) value |= element << k;
        if (i % 4 == 3) value = rng();
        std::uint32_t fields = 0;
        if (!encode_bitmask(value, 64, &fields)) {
            ++rejected;
            continue;
        }
        accepted.push_back(value);
        ours.push_back(0x92000000U | fields | 2U << 5 | 1U);
        char line[64];
        std::snprintf(line, sizeof line, "and x1, x2, #0x%llx\n", static_cast<unsigned long long>(value));
        text += line;
    }
    EXPECT_GT(rejected, 10);
    std::vector<std::uint32_t> theirs;
    ASSERT_TRUE(gnu_assemble(text, theirs));
    ASSERT_EQ(theirs.size(), ours.size());
    for (std::size_t i = 0; i < ours.size(); ++i) {
        EXPECT_EQ(ours[i], theirs[i]) << std::hex << "value 0x" << accepted[i];
    }
    std::uint32_t fields = 0;
    EXPECT_FALSE(encode_bitmask(0, 64, &fields));
    EXPECT_FALSE(encode_bitmask(~0ULL, 64, &fields));
    EXPECT_FALSE(encode_bitmask(0x5, 64, &fields));
    EXPECT_FALSE(gnu_assemble("and x1, x2, #0x5\n", theirs));
}

// A full buffer records the overflow and keeps every byte past it.
TEST(A64Assembler, OverflowIsRecordedAndNothingIsWrittenPastTheBuffer) {
    std::uint8_t buffer[64];
    std::memset(buffer, 0xA5, sizeof buffer);
    A a(buffer, 10);  // room for two words
    a.nop();
    a.nop();
    EXPECT_FALSE(a.overflowed());
    a.mov_imm(x1, 0x0123456789ABCDEFULL);
    a.ret();
    EXPECT_TRUE(a.overflowed());
    EXPECT_EQ(a.size(), 8U);
    for (std::size_t i = 8; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], 0xA5) << i;

    // Operands outside an encoding's range poison the code the same way.
    A b(buffer, sizeof buffer);
    b.ldr(x1, x2, 4 * 8192);
    EXPECT_TRUE(b.overflowed());
    A c(buffer, sizeof buffer);
    c.and_imm(x1, x2, 0x5);
    EXPECT_TRUE(c.overflowed());
}

}  // namespace
