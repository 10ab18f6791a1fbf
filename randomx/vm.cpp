#include "randomx/vm.h"

#include <cstring>

#include "randomx/aes_generator.h"
#include "randomx/aes_hash.h"
#include "randomx/blake2b.h"
#include "randomx/dataset.h"
#include "randomx/vm_rounding.h"
#include "randomx/wipe.h"

namespace rx {

void read_dataset_item(const DatasetSource& source, std::uint64_t address, std::uint64_t item[8]) {
    if (source.dataset != nullptr) {
        std::memcpy(item, source.dataset + address, kCacheLineSize);
    } else {
        dataset_item(*source.cache, address / kCacheLineSize, item);
    }
}

Machine::Machine(Variant variant, bool hard_aes, std::uint8_t* scratchpad, std::unique_ptr<ProgramRunner> runner)
    : variant_(variant), hard_aes_(hard_aes), scratchpad_(scratchpad), runner_(std::move(runner)) {}

Machine::Machine(Variant variant, bool hard_aes, std::uint8_t* scratchpad)
    : Machine(variant, hard_aes, scratchpad, make_interpreter(variant, hard_aes)) {}

Machine::~Machine() { wipe(); }

void Machine::use_cache(const randomx_cache* cache) { source_ = DatasetSource{nullptr, cache}; }

void Machine::use_dataset(const std::uint8_t* memory) { source_ = DatasetSource{memory, nullptr}; }

void Machine::reset(const ProgramConfig& config) {
    VmState& s = state_;
    for (std::uint64_t& reg : s.r) {
        reg = 0;
    }
    for (unsigned i = 0; i < 4; ++i) {
        s.fe[i] = FloatRegister{0.0, 0.0};
        s.fe[4 + i] = FloatRegister{0.0, 0.0};
        s.a[i] = FloatRegister{config.a[i][0], config.a[i][1]};
    }
    s.ma = config.ma;
    s.mx = config.mx;
    s.sp_addr0 = 0;
    s.sp_addr1 = 0;
    s.e_mask[0] = config.e_mask[0];
    s.e_mask[1] = config.e_mask[1];
}

void Machine::store_register_file(RegisterFile& registers) const {
    std::memcpy(registers.r, state_.r, sizeof registers.r);
    static_assert(sizeof registers.f == 4 * sizeof(FloatRegister));
    std::memcpy(registers.f, &state_.f(0), sizeof registers.f);
    std::memcpy(registers.e, &state_.e(0), sizeof registers.e);
    std::memcpy(registers.a, state_.a, sizeof registers.a);
}

void Machine::wipe() noexcept {
    rx::wipe(&state_, sizeof state_);
    rx::wipe(&program_, sizeof program_);
}

void Machine::hash(const void* input, std::size_t size, std::uint8_t out[32]) {
    alignas(16) std::uint8_t seed[64];
    hash512(seed, input, size);
    aes_generator_1r(hard_aes_, seed, scratchpad_, kScratchpadL3);
    if (observer_ != nullptr) {
        observer_->scratchpad_filled(scratchpad_, seed);
    }

    RegisterFile registers;
    alignas(16) std::uint8_t program_seed[64];
    {
        const RoundingGuard guard;
        state_.fprc = 0;
        set_rounding(0);
        // Program 0 is generated from the fill generator's final state, each
        // later one from the hash of the previous program's registers.
        for (unsigned index = 0; index < kProgramCount; ++index) {
            std::memcpy(program_seed, seed, sizeof seed);
            generate_program(hard_aes_, seed, variant_, program_);
            reset(program_.config);
            if (observer_ != nullptr) {
                observer_->program_started(index, program_seed, program_, state_);
            }
            runner_->run(program_, state_, scratchpad_, source_, observer_);
            store_register_file(registers);
            if (observer_ != nullptr) {
                observer_->program_finished(index, registers, scratchpad_);
            }
            if (index + 1 < kProgramCount) {
                hash512(seed, &registers, sizeof registers);
            }
        }
    }

    aes_hash_1r(hard_aes_, scratchpad_, kScratchpadL3, reinterpret_cast<std::uint8_t*>(registers.a));
    if (observer_ != nullptr) {
        observer_->hash_finished(reinterpret_cast<const std::uint8_t*>(registers.a), registers);
    }
    hash256(out, &registers, sizeof registers);

    // Everything above leads to `out`: none of it stays behind.
    rx::wipe(seed, sizeof seed);
    rx::wipe(program_seed, sizeof program_seed);
    rx::wipe(&registers, sizeof registers);
    wipe();
}

}  // namespace rx
