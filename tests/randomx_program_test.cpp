// VM programming: configuration words and the decoded program buffer against
// the traced programs, and the decoding rules that the trace text does not
// show (CBRANCH constants and jump targets, no-op forms).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "randomx/cpu.h"
#include "randomx/program.h"
#include "tests/support/randomx_support.h"

namespace {

using zt::test::Json;
using zt::test::load_vectors;
using zt::test::unhex;
using zt::test::word;
using zt::test::word_hex;

std::string double_hex(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return word_hex(bits);
}

struct TraceFile {
    const char* path;
    rx::Variant variant;
};

class ProgramTrace : public ::testing::TestWithParam<TraceFile> {};

TEST_P(ProgramTrace, DecodesEveryProgramOfTheHash) {
    const Json trace = load_vectors(GetParam().path);
    const rx::Variant variant = GetParam().variant;
    ASSERT_EQ(trace["program_size"].num(), rx::program_size(variant));
    rx::Program program;
    for (const Json& expected : trace["programs"].items()) {
        SCOPED_TRACE("program " + std::to_string(expected["index"].num()));
        std::vector<std::uint8_t> seed = unhex(expected["seed_hex"].str());
        // AesGenerator4R with software AES, checked against AES-NI where present.
        rx::generate_program(false, seed.data(), variant, program);
        if (rx::cpu_has_aes()) {
            std::vector<std::uint8_t> hard_seed = unhex(expected["seed_hex"].str());
            rx::Program hard;
            rx::generate_program(true, hard_seed.data(), variant, hard);
            EXPECT_EQ(hard_seed, seed) << "generator state after the program";
            EXPECT_EQ(std::memcmp(hard.entropy, program.entropy, sizeof program.entropy), 0);
            for (std::size_t i = 0; i < program.size; ++i) {
                EXPECT_EQ(rx::to_string(hard.code[i]), rx::to_string(program.code[i])) << "instruction " << i;
            }
        }

        for (unsigned i = 0; i < 16; ++i) {
            EXPECT_EQ(word_hex(program.entropy[i]), expected["entropy"].items()[i].str()) << "word " << i;
        }
        const Json& config = expected["config"];
        const rx::ProgramConfig& c = program.config;
        EXPECT_EQ(c.read_reg[0], config["readReg0"].num());
        EXPECT_EQ(c.read_reg[1], config["readReg1"].num());
        EXPECT_EQ(c.read_reg[2], config["readReg2"].num());
        EXPECT_EQ(c.read_reg[3], config["readReg3"].num());
        EXPECT_EQ(word_hex(c.e_mask[0]), config["eMask"].items()[0].str());
        EXPECT_EQ(word_hex(c.e_mask[1]), config["eMask"].items()[1].str());
        EXPECT_EQ(c.dataset_offset, static_cast<std::uint64_t>(config["datasetOffset"].num()));

        const Json& start = expected["before_iteration_0"];
        for (unsigned i = 0; i < 4; ++i) {
            EXPECT_EQ(double_hex(c.a[i][0]), start["a"].items()[i].items()[0].str()) << "a" << i;
            EXPECT_EQ(double_hex(c.a[i][1]), start["a"].items()[i].items()[1].str()) << "a" << i;
        }
        EXPECT_EQ(c.ma, std::stoul(start["ma"].str(), nullptr, 16));
        EXPECT_EQ(c.mx, std::stoul(start["mx"].str(), nullptr, 16));

        const auto& instructions = expected["instructions"].items();
        ASSERT_EQ(program.size, instructions.size());
        for (std::size_t i = 0; i < program.size; ++i) {
            EXPECT_EQ(rx::type_name(program.code[i].type), instructions[i]["name"].str()) << "instruction " << i;
            EXPECT_EQ(rx::to_string(program.code[i]), instructions[i]["text"].str()) << "instruction " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, ProgramTrace,
                         ::testing::Values(TraceFile{"randomx/traces/trace-v1.json", rx::Variant::V1},
                                           TraceFile{"randomx/traces/trace-v2.json", rx::Variant::V2}),
                         [](const auto& info) { return info.index == 0 ? std::string("v1") : std::string("v2"); });

// Hand-built programs. Opcodes: the first of each type's run.
constexpr std::uint8_t kIaddRs = 0;
constexpr std::uint8_t kIaddM = 16;
constexpr std::uint8_t kImulRcp = 76;
constexpr std::uint8_t kIswapR = 116;
constexpr std::uint8_t kFaddR = 124;
constexpr std::uint8_t kCbranch = 214;
constexpr std::uint8_t kCfround = 239;
constexpr std::uint8_t kIstore = 240;

struct Word {
    std::uint8_t opcode;
    std::uint8_t dst;
    std::uint8_t src;
    std::uint8_t mod;
    std::uint32_t imm32;
};

// Decodes a v1 program whose buffer starts with `words`; the rest of the
// buffer is FADD_R f0, a0, which touches no integer register.
rx::Program decode(const std::vector<Word>& words) {
    std::vector<std::uint8_t> bytes(rx::program_bytes(rx::Variant::V1), 0);
    for (std::size_t i = 0; i < rx::kProgramSizeV1; ++i) {
        const Word w = i < words.size() ? words[i] : Word{kFaddR, 0, 0, 0, 0};
        std::uint8_t* p = bytes.data() + rx::kConfigurationSize + 8 * i;
        p[0] = w.opcode;
        p[1] = w.dst;
        p[2] = w.src;
        p[3] = w.mod;
        std::memcpy(p + 4, &w.imm32, sizeof w.imm32);
    }
    rx::Program program;
    rx::decode_program(bytes.data(), rx::Variant::V1, program);
    return program;
}

TEST(ProgramDecoding, BranchTargetFollowsTheLastModificationOfItsRegister) {
    struct Case {
        const char* what;
        std::vector<Word> words;  // the CBRANCH under test is the last word
        unsigned expected_target;
    };
    const std::vector<Case> cases = {
        {"nothing modified: jump to the start", {{kIaddRs, 1, 2, 0, 0}, {kCbranch, 0, 0, 0, 0}}, 0},
        {"after the last write", {{kIaddRs, 0, 1, 0, 0}, {kIaddRs, 0, 1, 0, 0}, {kIaddRs, 1, 2, 0, 0},
                                  {kCbranch, 0, 0, 0, 0}}, 2},
        {"register numbers wrap at 8", {{kIaddRs, 8 + 3, 1, 0, 0}, {kIaddM, 1, 2, 0, 0}, {kCbranch, 3, 0, 0, 0}}, 1},
        {"a branch modifies every register", {{kIaddRs, 0, 1, 0, 0}, {kCbranch, 5, 0, 0, 0},
                                              {kIaddRs, 1, 2, 0, 0}, {kCbranch, 0, 0, 0, 0}}, 2},
        {"IMUL_RCP by a power of 2 is no write", {{kImulRcp, 2, 0, 0, 3}, {kImulRcp, 2, 0, 0, 1024},
                                                  {kImulRcp, 2, 0, 0, 0}, {kCbranch, 2, 0, 0, 0}}, 1},
        {"ISWAP_R writes both registers", {{kIswapR, 4, 6, 0, 0}, {kIaddRs, 1, 2, 0, 0}, {kCbranch, 6, 0, 0, 0}}, 1},
        {"ISWAP_R of one register is no write", {{kIaddRs, 6, 2, 0, 0}, {kIswapR, 6, 6, 0, 0},
                                                 {kCbranch, 6, 0, 0, 0}}, 1},
        {"stores, float and rounding instructions are no writes",
         {{kIaddRs, 7, 2, 0, 0}, {kIstore, 7, 7, 0, 0}, {kFaddR, 7, 7, 0, 0}, {kCfround, 7, 7, 0, 0},
          {kCbranch, 7, 0, 0, 0}}, 1},
    };
    for (const Case& c : cases) {
        const rx::Program program = decode(c.words);
        const rx::Instruction& branch = program.code[c.words.size() - 1];
        ASSERT_EQ(branch.op, rx::Op::CBRANCH) << c.what;
        EXPECT_EQ(branch.target, c.expected_target) << c.what;
    }
}

TEST(ProgramDecoding, BranchConstantSetsBitBAndClearsBitBelow) {
    struct Case {
        std::uint8_t mod;
        std::uint32_t imm32;
        std::uint64_t cimm;
        unsigned b;
    };
    const Case cases[] = {
        {0x00, 0xffffffffU, 0xffffffffffffff7fULL, 8},   // sign-extended, bit 7 cleared
        {0xf0, 0x00000000U, 0x0000000000800000ULL, 23},  // cond 15: bit 23 set
        {0x5f, 0x12345678U, 0x0000000012346678ULL, 13},  // bit 12 cleared, bit 13 set
        {0xa0, 0x80000000U, 0xffffffff80000000ULL | (1ULL << 18), 18},
        {0x30, 0x00000400U, 0x0000000000000800ULL, 11},  // bit 10 cleared, bit 11 set
    };
    for (const Case& c : cases) {
        const rx::Program program = decode({{kCbranch, 0, 0, c.mod, c.imm32}});
        EXPECT_EQ(word_hex(program.code[0].imm), word_hex(c.cimm)) << "mod " << int{c.mod};
        EXPECT_EQ(program.code[0].shift, c.b) << "mod " << int{c.mod};
    }
}

TEST(ProgramDecoding, OperandForms) {
    const rx::Program program = decode({
        {kIaddM, 3, 3, 0, 0xfffffff8U},      // 0: src == dst: L3 at the immediate
        {kIaddM, 3, 4, 1, 8},                // 1: L1
        {kIaddM, 3, 4, 0, 8},                // 2: L2
        {kIstore, 3, 3, 0xe0, 0},            // 3: cond 14: L3 even with src == dst
        {kIstore, 3, 3, 0xd2, 0},            // 4: cond 13, mem 2: L1
        {kImulRcp, 1, 0, 0, 3},              // 5: reciprocal of 3
        {kImulRcp, 1, 0, 0, 0x80000000U},    // 6: power of 2: no-op
        {kIswapR, 2, 2, 0, 0},               // 7: no-op
        {kIaddRs, 5, 1, 0x0c, 0xffffffffU},  // 8: r5 adds the immediate, shift 3
        {kIaddRs, 4, 1, 0x04, 0xffffffffU},  // 9: other registers do not
    });
    EXPECT_EQ(program.code[0].src, rx::kZeroRegister);
    EXPECT_EQ(program.code[0].mask, rx::kMaskL3);
    EXPECT_EQ(program.code[0].imm, 0xfffffffffffffff8ULL);
    EXPECT_EQ(program.code[1].mask, rx::kMaskL1);
    EXPECT_EQ(program.code[1].src, 4);
    EXPECT_EQ(program.code[2].mask, rx::kMaskL2);
    EXPECT_EQ(program.code[3].mask, rx::kMaskL3);
    EXPECT_EQ(program.code[4].mask, rx::kMaskL1);
    EXPECT_EQ(program.code[5].op, rx::Op::IMUL_RCP);
    EXPECT_EQ(program.code[5].imm, 0xaaaaaaaaaaaaaaaaULL);  // floor(2^65 / 3)
    EXPECT_EQ(program.code[6].op, rx::Op::NOP);
    EXPECT_EQ(program.code[7].op, rx::Op::NOP);
    EXPECT_EQ(program.code[8].imm, 0xffffffffffffffffULL);
    EXPECT_EQ(program.code[8].shift, 3);
    EXPECT_EQ(program.code[9].imm, 0U);
    EXPECT_EQ(program.code[9].shift, 1);
}

}  // namespace
