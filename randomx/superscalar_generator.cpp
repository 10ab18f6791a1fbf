// SuperscalarHash program generation.
//
// The generator simulates a reference CPU (three ALU ports P0, P1, P5; a
// decoder that takes 16 bytes of code per cycle, split into 3 or 4 slots) and
// picks each instruction so that its first macro-op fits the current decoder
// slot, then picks operands among the registers whose values are ready when
// the macro-op can execute. Every random choice comes from the BlakeGenerator
// in a fixed order, so the same key always yields the same programs.
#include <algorithm>
#include <cstring>

#include "randomx/blake_generator.h"
#include "randomx/superscalar.h"

namespace rx {
namespace {

// Execution ports as a bit set.
enum Port : std::uint8_t { kNoPort = 0, kP0 = 1, kP1 = 2, kP5 = 4 };
constexpr std::uint8_t kP01 = kP0 | kP1;
constexpr std::uint8_t kP05 = kP0 | kP5;
constexpr std::uint8_t kP015 = kP0 | kP1 | kP5;

// One x86 macro-op of the reference CPU: encoded size, latency and the ports
// of its one or two micro-ops. A dependent macro-op cannot start before the
// previous macro-op of the same instruction has produced its result.
struct MacroOp {
    std::uint8_t size;
    std::uint8_t latency;
    std::uint8_t uop1;
    std::uint8_t uop2;
    bool dependent;

    bool eliminated() const { return uop1 == kNoPort; }
};

constexpr MacroOp kSubRR{3, 1, kP015, kNoPort, false};
constexpr MacroOp kXorRR{3, 1, kP015, kNoPort, false};
constexpr MacroOp kLeaSib{4, 1, kP01, kNoPort, false};
constexpr MacroOp kImulRR{4, 3, kP1, kNoPort, false};
constexpr MacroOp kImulRRDependent{4, 3, kP1, kNoPort, true};
constexpr MacroOp kRorRI{4, 1, kP05, kNoPort, false};
constexpr MacroOp kAddRI7{7, 1, kP015, kNoPort, false};
constexpr MacroOp kAddRI8{8, 1, kP015, kNoPort, false};
constexpr MacroOp kAddRI9{9, 1, kP015, kNoPort, false};
constexpr MacroOp kXorRI7{7, 1, kP015, kNoPort, false};
constexpr MacroOp kXorRI8{8, 1, kP015, kNoPort, false};
constexpr MacroOp kXorRI9{9, 1, kP015, kNoPort, false};
constexpr MacroOp kMovRR{3, 0, kNoPort, kNoPort, false};
constexpr MacroOp kMulR{3, 4, kP1, kP5, false};
constexpr MacroOp kImulR{3, 4, kP1, kP5, false};
constexpr MacroOp kMovRI64{10, 1, kP015, kNoPort, false};

constexpr int kNone = -1;

// How an instruction type decomposes into macro-ops, and at which macro-op
// its source and destination are chosen and its result is written.
struct TypeInfo {
    MacroOp ops[3];
    int op_count;
    int src_op;
    int dst_op;
    int result_op;
};

constexpr TypeInfo kTypeInfo[kSuperscalarTypeCount] = {
    {{kSubRR}, 1, 0, 0, 0},                   // ISUB_R
    {{kXorRR}, 1, 0, 0, 0},                   // IXOR_R
    {{kLeaSib}, 1, 0, 0, 0},                  // IADD_RS
    {{kImulRR}, 1, 0, 0, 0},                  // IMUL_R
    {{kRorRI}, 1, kNone, 0, 0},               // IROR_C
    {{kAddRI7}, 1, kNone, 0, 0},              // IADD_C7
    {{kXorRI7}, 1, kNone, 0, 0},              // IXOR_C7
    {{kAddRI8}, 1, kNone, 0, 0},              // IADD_C8
    {{kXorRI8}, 1, kNone, 0, 0},              // IXOR_C8
    {{kAddRI9}, 1, kNone, 0, 0},              // IADD_C9
    {{kXorRI9}, 1, kNone, 0, 0},              // IXOR_C9
    {{kMovRR, kMulR, kMovRR}, 3, 1, 0, 1},    // IMULH_R
    {{kMovRR, kImulR, kMovRR}, 3, 1, 0, 1},   // ISMULH_R
    {{kMovRI64, kImulRRDependent}, 2, kNone, 1, 1},  // IMUL_RCP
};

const TypeInfo& info(SuperscalarType type) {
    return kTypeInfo[static_cast<std::size_t>(type)];
}

bool is_multiplication(SuperscalarType type) {
    return type == SuperscalarType::IMUL_R || type == SuperscalarType::IMULH_R ||
           type == SuperscalarType::ISMULH_R || type == SuperscalarType::IMUL_RCP;
}

// Decoder configurations: slot sizes of each 16-byte group.
struct DecoderGroup {
    int index;
    int slot_count;
    int slots[4];
};

constexpr DecoderGroup kDecoder484{0, 3, {4, 8, 4}};
constexpr DecoderGroup kDecoder7333{1, 4, {7, 3, 3, 3}};
constexpr DecoderGroup kDecoder3733{2, 4, {3, 7, 3, 3}};
constexpr DecoderGroup kDecoder493{3, 3, {4, 9, 3}};
constexpr DecoderGroup kDecoder4444{4, 4, {4, 4, 4, 4}};
constexpr DecoderGroup kDecoder3310{5, 3, {3, 3, 10}};
constexpr const DecoderGroup* kRandomGroups[4] = {&kDecoder484, &kDecoder7333, &kDecoder3733,
                                                  &kDecoder493};

constexpr int kCycleMapSize = static_cast<int>(kSuperscalarLatency) + 4;
constexpr int kLookForwardCycles = 4;
constexpr int kMaxThrowAwayCount = 256;
constexpr int kRegisterNeedsDisplacement = 5;  // r5 cannot be the base of IADD_RS

// Operation groups: two instructions of one group with the same parameter in
// a row on one register could be merged, so the generator avoids that.
// ISUB_R shares the group of IADD_RS (both add a register multiple).
int op_group(SuperscalarType type) {
    switch (type) {
        case SuperscalarType::ISUB_R:
            return static_cast<int>(SuperscalarType::IADD_RS);
        case SuperscalarType::IADD_C8:
        case SuperscalarType::IADD_C9:
            return static_cast<int>(SuperscalarType::IADD_C7);
        case SuperscalarType::IXOR_C8:
        case SuperscalarType::IXOR_C9:
            return static_cast<int>(SuperscalarType::IXOR_C7);
        default:
            return static_cast<int>(type);
    }
}

struct RegisterState {
    int ready_cycle = 0;
    int last_group = kNone;
    std::int64_t last_group_par = kNone;
};

// The instruction being built, with the rules its operands must satisfy.
struct Candidate {
    SuperscalarType type = SuperscalarType::ISUB_R;
    bool valid = false;  // false: no instruction (none yet, or the group was abandoned)
    int src = kNone;
    int dst = kNone;
    std::uint8_t mod = 0;
    std::uint32_t imm32 = 0;
    int group = kNone;
    std::int64_t group_par = kNone;
    bool can_reuse = false;  // the destination may equal the source
    bool group_par_is_source = false;

    int op_count() const { return valid ? info(type).op_count : 0; }
};

bool is_zero_or_power_of_two(std::uint32_t x) {
    return (x & (x - 1)) == 0;
}

// Picks one of the listed registers; a single candidate costs no random bytes.
bool pick_register(const int* regs, std::size_t count, BlakeGenerator& gen, int& out) {
    if (count == 0) {
        return false;
    }
    const std::size_t index = count > 1 ? gen.get_uint32() % count : 0;
    out = regs[index];
    return true;
}

class Generator {
public:
    Generator(SuperscalarProgram& program, BlakeGenerator& gen) : program_(program), gen_(gen) {}

    void run();

private:
    const DecoderGroup& next_group(int decode_cycle);
    void create_for_slot(int slot_size, int group_index, bool is_last);
    void create(SuperscalarType type);
    int schedule_uop(std::uint8_t uop, int cycle, bool commit);
    int schedule_macro_op(const MacroOp& op, int cycle, int dep_cycle, bool commit);
    bool select_source(int cycle);
    bool select_destination(int cycle, bool allow_chained_mul);
    enum class Operands { Chosen, Dropped, Abandoned };
    Operands select_operands(const TypeInfo& ti, int macro_op_index, int& schedule_cycle,
                             int& cycle);
    void emit();
    void choose_address_register();

    SuperscalarProgram& program_;
    BlakeGenerator& gen_;
    std::uint8_t port_busy_[kCycleMapSize][3] = {};  // [cycle][P0, P1, P5]
    RegisterState registers_[8];
    Candidate current_;
    int mul_count_ = 0;
    int throw_away_count_ = 0;  // instructions dropped in a row
};

const DecoderGroup& Generator::next_group(int decode_cycle) {
    const SuperscalarType last = current_.type;
    if (current_.valid &&
        (last == SuperscalarType::IMULH_R || last == SuperscalarType::ISMULH_R)) {
        return kDecoder3310;
    }
    // Keep the multiplication port busy: at least one multiplication per cycle.
    if (mul_count_ < decode_cycle + 1) {
        return kDecoder4444;
    }
    if (current_.valid && last == SuperscalarType::IMUL_RCP) {
        return (gen_.get_byte() & 1) != 0 ? kDecoder484 : kDecoder493;
    }
    return *kRandomGroups[gen_.get_byte() & 3];
}

void Generator::create_for_slot(int slot_size, int group_index, bool is_last) {
    using T = SuperscalarType;
    switch (slot_size) {
        case 3:
            if (is_last) {
                static constexpr T kSlot3Last[4] = {T::ISUB_R, T::IXOR_R, T::IMULH_R, T::ISMULH_R};
                create(kSlot3Last[gen_.get_byte() & 3]);
            } else {
                static constexpr T kSlot3[2] = {T::ISUB_R, T::IXOR_R};
                create(kSlot3[gen_.get_byte() & 1]);
            }
            break;
        case 4:
            if (group_index == kDecoder4444.index && !is_last) {
                create(T::IMUL_R);
            } else {
                static constexpr T kSlot4[2] = {T::IROR_C, T::IADD_RS};
                create(kSlot4[gen_.get_byte() & 1]);
            }
            break;
        case 7: {
            static constexpr T kSlot7[2] = {T::IXOR_C7, T::IADD_C7};
            create(kSlot7[gen_.get_byte() & 1]);
            break;
        }
        case 8: {
            static constexpr T kSlot8[2] = {T::IXOR_C8, T::IADD_C8};
            create(kSlot8[gen_.get_byte() & 1]);
            break;
        }
        case 9: {
            static constexpr T kSlot9[2] = {T::IXOR_C9, T::IADD_C9};
            create(kSlot9[gen_.get_byte() & 1]);
            break;
        }
        default:  // 10
            create(T::IMUL_RCP);
            break;
    }
}

void Generator::create(SuperscalarType type) {
    using T = SuperscalarType;
    Candidate c;
    c.type = type;
    c.valid = true;
    c.group = op_group(type);
    switch (type) {
        case T::ISUB_R:
        case T::IXOR_R:
        case T::IMUL_R:
            c.group_par_is_source = true;
            break;
        case T::IADD_RS:
            c.mod = gen_.get_byte();
            c.group_par_is_source = true;
            break;
        case T::IROR_C:
            do {
                c.imm32 = gen_.get_byte() & 63u;
            } while (c.imm32 == 0);
            break;
        case T::IADD_C7:
        case T::IADD_C8:
        case T::IADD_C9:
        case T::IXOR_C7:
        case T::IXOR_C8:
        case T::IXOR_C9:
            c.imm32 = gen_.get_uint32();
            break;
        case T::IMULH_R:
        case T::ISMULH_R:
            // A random parameter: consecutive high multiplications are allowed.
            c.can_reuse = true;
            c.group_par = gen_.get_uint32();
            break;
        case T::IMUL_RCP:
            do {
                c.imm32 = gen_.get_uint32();
            } while (is_zero_or_power_of_two(c.imm32));
            break;
    }
    current_ = c;
}

// Earliest cycle from `cycle` on with a free port for the micro-op, trying
// P5, then P0, then P1 so that the multiplication port stays free for as long
// as possible. Returns -1 when the cycle map is exhausted.
int Generator::schedule_uop(std::uint8_t uop, int cycle, bool commit) {
    for (; cycle < kCycleMapSize; ++cycle) {
        auto& busy = port_busy_[cycle];
        if ((uop & kP5) != 0 && busy[2] == 0) {
            if (commit) busy[2] = uop;
            return cycle;
        }
        if ((uop & kP0) != 0 && busy[0] == 0) {
            if (commit) busy[0] = uop;
            return cycle;
        }
        if ((uop & kP1) != 0 && busy[1] == 0) {
            if (commit) busy[1] = uop;
            return cycle;
        }
    }
    return -1;
}

int Generator::schedule_macro_op(const MacroOp& op, int cycle, int dep_cycle, bool commit) {
    if (op.dependent) {
        cycle = std::max(cycle, dep_cycle);
    }
    if (op.eliminated()) {
        return cycle;  // register moves need no execution port
    }
    if (op.uop2 == kNoPort) {
        return schedule_uop(op.uop1, cycle, commit);
    }
    // Both micro-ops must execute in the same cycle.
    for (; cycle < kCycleMapSize; ++cycle) {
        const int cycle1 = schedule_uop(op.uop1, cycle, false);
        const int cycle2 = schedule_uop(op.uop2, cycle, false);
        if (cycle1 >= 0 && cycle1 == cycle2) {
            if (commit) {
                schedule_uop(op.uop1, cycle1, true);
                schedule_uop(op.uop2, cycle2, true);
            }
            return cycle1;
        }
    }
    return -1;
}

bool Generator::select_source(int cycle) {
    int available[8];
    std::size_t count = 0;
    for (int i = 0; i < 8; ++i) {
        if (registers_[i].ready_cycle <= cycle) {
            available[count++] = i;
        }
    }
    // With only two candidates for IADD_RS, one of them r5, r5 must be the
    // source because it cannot be the destination.
    if (count == 2 && current_.type == SuperscalarType::IADD_RS &&
        (available[0] == kRegisterNeedsDisplacement ||
         available[1] == kRegisterNeedsDisplacement)) {
        current_.src = kRegisterNeedsDisplacement;
        current_.group_par = kRegisterNeedsDisplacement;
        return true;
    }
    int src = kNone;
    if (!pick_register(available, count, gen_, src)) {
        return false;
    }
    current_.src = src;
    if (current_.group_par_is_source) {
        current_.group_par = src;
    }
    return true;
}

bool Generator::select_destination(int cycle, bool allow_chained_mul) {
    int available[8];
    std::size_t count = 0;
    for (int i = 0; i < 8; ++i) {
        const RegisterState& reg = registers_[i];
        const bool ready = reg.ready_cycle <= cycle;
        const bool distinct = current_.can_reuse || i != current_.src;
        const bool not_chained_mul = allow_chained_mul ||
                                     current_.group != static_cast<int>(SuperscalarType::IMUL_R) ||
                                     reg.last_group != static_cast<int>(SuperscalarType::IMUL_R);
        const bool not_repeated =
            reg.last_group != current_.group || reg.last_group_par != current_.group_par;
        const bool lea_base_ok =
            current_.type != SuperscalarType::IADD_RS || i != kRegisterNeedsDisplacement;
        if (ready && distinct && not_chained_mul && not_repeated && lea_base_ok) {
            available[count++] = i;
        }
    }
    int dst = kNone;
    if (!pick_register(available, count, gen_, dst)) {
        return false;
    }
    current_.dst = dst;
    return true;
}

// Chooses the operands that are due at this macro-op: the source first, then
// the destination. When no register qualifies, the macro-op is delayed cycle
// by cycle (up to kLookForwardCycles); failing that the instruction is
// dropped, and after kMaxThrowAwayCount drops in a row the decoder group is
// abandoned. After a drop, the chained-multiplication rule is relaxed.
Generator::Operands Generator::select_operands(const TypeInfo& ti, int macro_op_index,
                                               int& schedule_cycle, int& cycle) {
    for (const bool is_source : {true, false}) {
        if (macro_op_index != (is_source ? ti.src_op : ti.dst_op)) {
            continue;
        }
        int forward = 0;
        while (forward < kLookForwardCycles &&
               !(is_source ? select_source(schedule_cycle)
                           : select_destination(schedule_cycle, throw_away_count_ > 0))) {
            ++schedule_cycle;
            ++cycle;
            ++forward;
        }
        if (forward == kLookForwardCycles) {
            if (throw_away_count_ < kMaxThrowAwayCount) {
                ++throw_away_count_;
                return Operands::Dropped;
            }
            return Operands::Abandoned;
        }
    }
    return Operands::Chosen;
}

void Generator::emit() {
    SuperscalarInstruction& out = program_.instructions[program_.size++];
    out.type = current_.type;
    out.dst = static_cast<std::uint8_t>(current_.dst);
    out.src = static_cast<std::uint8_t>(current_.src >= 0 ? current_.src : current_.dst);
    out.mod = current_.mod;
    out.imm32 = current_.imm32;
    if (is_multiplication(current_.type)) {
        ++mul_count_;
    }
}

void Generator::run() {
    program_.size = 0;
    int macro_op_index = 0;
    int cycle = 0;
    int dep_cycle = 0;
    bool ports_saturated = false;

    for (int decode_cycle = 0; decode_cycle < static_cast<int>(kSuperscalarLatency) &&
                               !ports_saturated && program_.size < kSuperscalarMaxSize;
         ++decode_cycle) {
        const DecoderGroup& group = next_group(decode_cycle);
        int slot = 0;
        while (slot < group.slot_count) {
            const int top_cycle = cycle;
            if (macro_op_index >= current_.op_count()) {
                if (ports_saturated || program_.size >= kSuperscalarMaxSize) {
                    break;
                }
                create_for_slot(group.slots[slot], group.index, slot == group.slot_count - 1);
                macro_op_index = 0;
            }
            const TypeInfo& ti = info(current_.type);
            const MacroOp& op = ti.ops[macro_op_index];

            int schedule_cycle = schedule_macro_op(op, cycle, dep_cycle, false);
            if (schedule_cycle < 0) {
                ports_saturated = true;
                break;
            }

            switch (select_operands(ti, macro_op_index, schedule_cycle, cycle)) {
                case Operands::Dropped:
                    macro_op_index = ti.op_count;  // the same slot gets a new instruction
                    continue;
                case Operands::Abandoned:
                    current_ = Candidate{};
                    break;
                case Operands::Chosen:
                    break;
            }
            if (!current_.valid) {
                break;  // the rest of this decoder group stays empty
            }
            throw_away_count_ = 0;

            schedule_cycle = schedule_macro_op(op, schedule_cycle, schedule_cycle, true);
            if (schedule_cycle < 0) {
                ports_saturated = true;
                break;
            }
            dep_cycle = schedule_cycle + op.latency;

            if (macro_op_index == ti.result_op) {
                RegisterState& reg = registers_[current_.dst];
                reg.ready_cycle = dep_cycle;
                reg.last_group = current_.group;
                reg.last_group_par = current_.group_par;
            }
            ++slot;
            ++macro_op_index;
            if (schedule_cycle >= static_cast<int>(kSuperscalarLatency)) {
                ports_saturated = true;
            }
            // Cycles skipped while looking ahead for operands delayed only this
            // macro-op; after a dropped instruction (above) they carry over.
            cycle = top_cycle;
            if (macro_op_index >= ti.op_count) {
                emit();
            }
        }
        ++cycle;
    }
    choose_address_register();
}

// The address register is the one with the longest dependency chain when
// every instruction takes one cycle and parallelism is unlimited; ties go to
// the lowest register number.
void Generator::choose_address_register() {
    int depth[8] = {};
    for (std::uint32_t i = 0; i < program_.size; ++i) {
        const SuperscalarInstruction& ins = program_.instructions[i];
        const int via_dst = depth[ins.dst] + 1;
        const int via_src = ins.src != ins.dst ? depth[ins.src] + 1 : 0;
        depth[ins.dst] = std::max(via_dst, via_src);
    }
    int best = 0;
    program_.address_register = 0;
    for (int r = 0; r < 8; ++r) {
        if (depth[r] > best) {
            best = depth[r];
            program_.address_register = static_cast<std::uint8_t>(r);
        }
    }
}

}  // namespace

void generate_superscalar(SuperscalarProgram& program, BlakeGenerator& gen) {
    Generator(program, gen).run();
}

const char* superscalar_type_name(SuperscalarType type) {
    static constexpr const char* kNames[kSuperscalarTypeCount] = {
        "ISUB_R",  "IXOR_R",  "IADD_RS", "IMUL_R",  "IROR_C",  "IADD_C7",  "IXOR_C7",
        "IADD_C8", "IXOR_C8", "IADD_C9", "IXOR_C9", "IMULH_R", "ISMULH_R", "IMUL_RCP"};
    const auto index = static_cast<std::size_t>(type);
    return index < kSuperscalarTypeCount ? kNames[index] : "?";
}

std::uint64_t superscalar_reciprocal(std::uint32_t divisor) {
    // For 2^(b-1) < divisor < 2^b the largest exponent is 63 + b.
    __extension__ typedef unsigned __int128 u128;
    const unsigned bits = 32u - static_cast<unsigned>(__builtin_clz(divisor));
    return static_cast<std::uint64_t>((u128{1} << (63 + bits)) / divisor);
}

}  // namespace rx
