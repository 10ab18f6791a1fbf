// The VM part of the C API (randomx.h): creating, rebinding and destroying
// VMs, and computing hashes. Nothing here throws; failures return NULL.
#include <memory>
#include <new>
#include <utility>

#include "randomx/arch.h"
#include "randomx/cache.h"
#include "randomx/constants.h"
#include "randomx/cpu.h"
#include "randomx/dataset.h"
#include "randomx/memory.h"
#include "randomx/randomx.h"
#include "randomx/vm.h"

struct randomx_vm {
    randomx_vm(rx::Variant variant, bool hard_aes, bool full_mem, std::uint8_t* memory,
               std::unique_ptr<rx::ProgramRunner> runner)
        : scratchpad(memory), full(full_mem), machine(variant, hard_aes, memory, std::move(runner)) {}

    std::uint8_t* scratchpad;  // kScratchpadL3 bytes from rx::alloc_large
    bool full;                 // reads a dataset (else computes items from a cache)
    rx::Machine machine;
};

namespace {

bool has_flag(randomx_flags flags, randomx_flags flag) {
    return (static_cast<unsigned>(flags) & static_cast<unsigned>(flag)) != 0;
}

}  // namespace

extern "C" {

randomx_vm* randomx_create_vm(randomx_flags flags, randomx_cache* cache, randomx_dataset* dataset) {
    const bool full = has_flag(flags, RANDOMX_FLAG_FULL_MEM);
    if (full ? dataset == nullptr || dataset->memory == nullptr
             : cache == nullptr || !cache->initialized) {
        return nullptr;
    }
    // Without AES-NI the software rounds give the same results, so the flag
    // falls back to them rather than failing.
    const bool hard_aes = has_flag(flags, RANDOMX_FLAG_HARD_AES) && rx::cpu_has_aes();
    const rx::Variant variant = has_flag(flags, RANDOMX_FLAG_V2) ? rx::Variant::V2 : rx::Variant::V1;
    auto* scratchpad = static_cast<std::uint8_t*>(
        rx::alloc_large(rx::kScratchpadL3, has_flag(flags, RANDOMX_FLAG_LARGE_PAGES)));
    if (scratchpad == nullptr) {
        return nullptr;
    }
    // The compiler where it was asked for and can run here, else the interpreter.
    std::unique_ptr<rx::ProgramRunner> runner;
    if (has_flag(flags, RANDOMX_FLAG_JIT)) {
        runner = rx::make_compiler(variant, has_flag(flags, RANDOMX_FLAG_SECURE));
    }
    if (runner == nullptr) {
        runner = rx::make_interpreter(variant, hard_aes);
    }
    auto* vm = runner == nullptr ? nullptr
                                 : new (std::nothrow) randomx_vm(variant, hard_aes, full, scratchpad, std::move(runner));
    if (vm == nullptr) {
        rx::free_large(scratchpad, rx::kScratchpadL3);
        return nullptr;
    }
    if (full) {
        vm->machine.use_dataset(dataset->memory);
    } else {
        vm->machine.use_cache(cache);
    }
    return vm;
}

void randomx_vm_set_cache(randomx_vm* machine, randomx_cache* cache) {
    // As at creation, only an initialised cache can serve a light-mode VM.
    if (machine != nullptr && !machine->full && cache != nullptr && cache->initialized) {
        machine->machine.use_cache(cache);
    }
}

void randomx_vm_set_dataset(randomx_vm* machine, randomx_dataset* dataset) {
    if (machine != nullptr && machine->full && dataset != nullptr && dataset->memory != nullptr) {
        machine->machine.use_dataset(dataset->memory);
    }
}

void randomx_destroy_vm(randomx_vm* machine) {
    if (machine == nullptr) {
        return;
    }
    std::uint8_t* scratchpad = machine->scratchpad;
    delete machine;
    rx::free_large(scratchpad, rx::kScratchpadL3);
}

void randomx_calculate_hash(randomx_vm* machine, const void* input, size_t inputSize,
                            void* output) {
    machine->machine.hash(input, inputSize, static_cast<std::uint8_t*>(output));
}

}  // extern "C"
