// Generated code on ARM64: the probe function, whether the compilers run,
// and the back ends behind arch.h (the VM compiler's runner and the
// SuperscalarHash compiler).
#include <cstring>
#include <new>

#include "randomx/aarch64/superscalar_compiler.h"
#include "randomx/aarch64/vm_compiler.h"
#include "randomx/arch.h"
#include "randomx/code_memory.h"
#include "randomx/cpu.h"

namespace rx {

std::size_t write_return_constant(std::uint8_t* code, std::uint8_t value) noexcept {
    const std::uint32_t function[] = {
        0x52800000U | (std::uint32_t{value} << 5),  // mov w0, #value
        0xD65F03C0U,                                // ret
    };
    std::memcpy(code, function, sizeof function);
    return sizeof function;
}

bool compiled_code_runs() noexcept {
    static const bool runs = probe_code_memory();
    return runs;
}

namespace {

// Compiles each program into its code memory and runs it; a program whose
// code cannot be written (a refused change of protection, or code that would
// not fit) runs in the interpreter instead, with the same result.
class A64Compiler final : public ProgramRunner {
public:
    A64Compiler(Variant variant, std::size_t capacity) : variant_(variant), capacity_(capacity) {}

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
        const std::size_t size =
            a64::compile_vm_program(program, variant_, source, code_.writable(), capacity_, cpu_has_aes());
        if (size == 0 || !code_.finish_write(size)) {
            fallback_->run(program, state, scratchpad, source, observer);
            return;
        }
        const auto run_code = reinterpret_cast<a64::CompiledVmProgram>(const_cast<std::uint8_t*>(code_.executable()));
        run_code(&state, scratchpad, source.dataset);
    }

private:
    Variant variant_;
    std::size_t capacity_;
    CodeMemory code_;
    std::unique_ptr<ProgramRunner> fallback_;
};

}  // namespace

// Without the cryptography extension v2's register mixing calls the
// software rounds from the compiled loop (vm_compiler.h).
std::unique_ptr<ProgramRunner> a64::make_vm_compiler(Variant variant, CodeMemory::Mechanism mechanism,
                                                     std::size_t capacity) noexcept {
    if (!compiled_code_runs()) return nullptr;
    std::unique_ptr<A64Compiler> compiler(new (std::nothrow) A64Compiler(variant, capacity));
    if (compiler == nullptr || !compiler->init(mechanism)) return nullptr;
    return compiler;
}

// SECURE: one mapping switched by mprotect, so that no writable alias of
// running code exists.
std::unique_ptr<ProgramRunner> make_compiler(Variant variant, bool secure) noexcept {
    return a64::make_vm_compiler(variant, secure ? CodeMemory::Mechanism::Mprotect : CodeMemory::Mechanism::DualView,
                                 a64::kVmCodeCapacity);
}

std::unique_ptr<DatasetCode> make_dataset_code() noexcept {
    return std::unique_ptr<DatasetCode>(new (std::nothrow) a64::A64DatasetCode(a64::kDatasetCodeBytes));
}

}  // namespace rx
