#include "randomx/compiled_vm.h"

#include <new>

#include "randomx/arch.h"
#include "randomx/cache.h"
#include "randomx/cpu.h"
#include "randomx/dataset.h"

namespace rx {
namespace {

// The item of a cache without compiled code, through the portable executor.
void portable_item(const randomx_cache* cache, std::uint64_t item_number, std::uint64_t out[8]) {
    dataset_item(*cache, item_number, out);
}

class CompiledRunner final : public ProgramRunner {
public:
    CompiledRunner(Variant variant, VmCodeWriter writer, std::size_t capacity)
        : variant_(variant), writer_(writer), capacity_(capacity) {}

    bool init(CodeMemory::Mechanism mechanism) noexcept {
        fallback_ = make_interpreter(variant_, cpu_has_aes());
        return fallback_ != nullptr && code_.allocate(capacity_, mechanism);
    }

    void run(const Program& program, VmState& state, std::uint8_t* scratchpad, const DatasetSource& source,
             HashObserver* observer) override {
        if (!code_.begin_write()) {
            fallback_->run(program, state, scratchpad, source, observer);
            return;
        }
        const std::size_t size = writer_(program, variant_, item_reads(source, variant_), code_.writable(), capacity_);
        if (size == 0 || !code_.finish_write(size)) {
            fallback_->run(program, state, scratchpad, source, observer);
            return;
        }
        const auto run_code = reinterpret_cast<CompiledVmProgram>(const_cast<std::uint8_t*>(code_.executable()));
        run_code(&state, scratchpad, source.dataset);
    }

private:
    Variant variant_;
    VmCodeWriter writer_;
    std::size_t capacity_;
    CodeMemory code_;
    std::unique_ptr<ProgramRunner> fallback_;
};

}  // namespace

ItemReads item_reads(const DatasetSource& source, Variant variant) noexcept {
    ItemReads reads;
    if (source.dataset != nullptr) {
        reads.full = true;
        return reads;
    }
    const randomx_cache& cache = *source.cache;
    reads.cache_memory = cache.memory;
    if (cache.code != nullptr && cache.code->ready()) {
        reads.item = reinterpret_cast<std::uintptr_t>(cache.code->item());
        reads.item_argument = reinterpret_cast<std::uintptr_t>(cache.memory);
        reads.item_compiled = true;
        if (variant == Variant::V2) {
            reads.pair = cache.code->pair();
            reads.triple = cache.code->triple();
        }
    } else {
        reads.item = reinterpret_cast<std::uintptr_t>(&portable_item);
        reads.item_argument = reinterpret_cast<std::uintptr_t>(&cache);
    }
    return reads;
}

std::unique_ptr<ProgramRunner> make_vm_compiler(Variant variant, CodeMemory::Mechanism mechanism,
                                                std::size_t capacity) noexcept {
    const VmCodeWriter writer = vm_code_writer(variant);
    if (writer == nullptr || !compiled_code_runs()) return nullptr;
    std::unique_ptr<CompiledRunner> runner(new (std::nothrow) CompiledRunner(variant, writer, capacity));
    if (runner == nullptr || !runner->init(mechanism)) return nullptr;
    return runner;
}

// SECURE: one mapping switched by mprotect, so that no writable alias of
// running code exists.
std::unique_ptr<ProgramRunner> make_compiler(Variant variant, bool secure) noexcept {
    return make_vm_compiler(variant, secure ? CodeMemory::Mechanism::Mprotect : CodeMemory::Mechanism::DualView,
                            kVmCodeCapacity);
}

bool compiled_code_runs() noexcept {
    static const bool runs = probe_code_memory();
    return runs;
}

}  // namespace rx
