#include "randomx/code_memory.h"

#include <sys/mman.h>
#if defined(__riscv)
#include <sys/cachectl.h>
#endif
#include <unistd.h>

#include "randomx/arch.h"
#include "randomx/wipe.h"

namespace rx {
namespace {

std::size_t page_rounded(std::size_t size) {
    const long page = sysconf(_SC_PAGESIZE);
    const std::size_t p = page > 0 ? static_cast<std::size_t>(page) : 4096;
    return (size + p - 1) / p * p;
}

// Whether the dual view runs what was last written through it; probed once.
bool dual_view_coherent() noexcept {
    static const bool coherent = CodeMemory::runs_rewritten_code(CodeMemory::Mechanism::DualView);
    return coherent;
}

}  // namespace

CodeMemory::~CodeMemory() { release(); }

bool CodeMemory::allocate(std::size_t size, Mechanism mechanism) noexcept {
    if (mechanism == Mechanism::DualView && !dual_view_coherent()) mechanism = Mechanism::Mprotect;
    return map(size, mechanism);
}

bool CodeMemory::map(std::size_t size, Mechanism mechanism) noexcept {
    release();
    if (size == 0) return false;
    const std::size_t rounded = page_rounded(size);

    // A named memory object, so that the code's mappings can be told apart
    // in /proc/self/maps ("randomx-code").
    const int fd = memfd_create("randomx-code", MFD_CLOEXEC);
    if (fd >= 0) {
        void* rw = MAP_FAILED;
        void* rx = MAP_FAILED;
        if (ftruncate(fd, static_cast<off_t>(rounded)) == 0) {
            rw = mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (mechanism == Mechanism::DualView) {
                rx = mmap(nullptr, rounded, PROT_READ | PROT_EXEC, MAP_SHARED, fd, 0);
            }
        }
        close(fd);  // the mappings keep the object alive
        const bool mapped = rw != MAP_FAILED && (mechanism == Mechanism::Mprotect || rx != MAP_FAILED);
        // A single mapping must be allowed to become executable, which a
        // system forbidding executable memory objects refuses: try now.
        const bool runnable = mapped && (mechanism == Mechanism::DualView ||
                                         (mprotect(rw, rounded, PROT_READ | PROT_EXEC) == 0 &&
                                          mprotect(rw, rounded, PROT_READ | PROT_WRITE) == 0));
        if (runnable) {
            write_view_ = static_cast<std::uint8_t*>(rw);
            exec_view_ = mechanism == Mechanism::DualView ? static_cast<std::uint8_t*>(rx) : write_view_;
            size_ = rounded;
            mechanism_ = mechanism;
            writable_ = true;
            return true;
        }
        if (rw != MAP_FAILED) munmap(rw, rounded);
        if (rx != MAP_FAILED) munmap(rx, rounded);
    }

    // No memory object (or not executable): an anonymous mapping, switched.
    void* p = mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    write_view_ = static_cast<std::uint8_t*>(p);
    exec_view_ = write_view_;
    size_ = rounded;
    mechanism_ = Mechanism::Mprotect;
    writable_ = true;
    return true;
}

bool CodeMemory::begin_write() noexcept {
    if (writable_ || mechanism_ == Mechanism::DualView) {
        writable_ = true;
        return true;
    }
    writable_ = mprotect(write_view_, size_, PROT_READ | PROT_WRITE) == 0;
    return writable_;
}

bool CodeMemory::finish_write(std::size_t written) noexcept {
    if (mechanism_ == Mechanism::DualView) {
        writable_ = false;
    } else if (writable_) {
        if (mprotect(write_view_, size_, PROT_READ | PROT_EXEC) != 0) return false;
        writable_ = false;
    }
    // Processors whose instruction cache does not follow data writes (ARM64,
    // RISC-V) must be told before the new code runs; on x86-64 this is free.
    // Each call cleans the data cache and invalidates the instruction cache
    // over its range: the first by the addresses written, the second by the
    // addresses run.
    const std::size_t n = written < size_ ? written : size_;
    char* write_begin = reinterpret_cast<char*>(write_view_);
    char* exec_begin = reinterpret_cast<char*>(exec_view_);
#if defined(__riscv)
    // fence.i orders this hart's instruction fetches after its stores; the
    // kernel's riscv_flush_icache does the same on every hart this thread may
    // move to (and on processors whose caches need more than the fence).
    __asm__ volatile("fence.i" ::: "memory");
    __riscv_flush_icache(exec_begin, exec_begin + n, 0);
    static_cast<void>(write_begin);
#else
    __builtin___clear_cache(write_begin, write_begin + n);
    if (exec_view_ != write_view_) {
        __builtin___clear_cache(exec_begin, exec_begin + n);
    }
#endif
    return true;
}

void CodeMemory::wipe() noexcept {
    if (write_view_ == nullptr || !begin_write()) return;
    rx::wipe(write_view_, size_);
}

void CodeMemory::release() noexcept {
    if (write_view_ == nullptr) return;
    wipe();
    munmap(write_view_, size_);
    if (exec_view_ != write_view_) munmap(exec_view_, size_);
    write_view_ = nullptr;
    exec_view_ = nullptr;
    size_ = 0;
}

bool CodeMemory::runs_rewritten_code(Mechanism mechanism) noexcept {
    CodeMemory memory;
    if (!memory.map(64, mechanism) || memory.mechanism() != mechanism) return false;
    for (const std::uint8_t value : {std::uint8_t{7}, std::uint8_t{42}}) {
        if (!memory.begin_write()) return false;
        const std::size_t size = write_return_constant(memory.writable(), value);
        if (size == 0 || !memory.finish_write(size)) return false;
        const auto probe = reinterpret_cast<int (*)()>(const_cast<std::uint8_t*>(memory.executable()));
        if (probe() != value) return false;
    }
    return true;
}

// The single mapping first: a process that only ever switches one mapping
// (every code memory of a SECURE machine, and the caches') then never maps
// a writable and an executable view of the same memory at once, not even
// here. The dual view is tried only where the single mapping cannot run code.
bool probe_code_memory() noexcept {
    return CodeMemory::runs_rewritten_code(CodeMemory::Mechanism::Mprotect) || dual_view_coherent();
}

}  // namespace rx
