#include "randomx/code_memory.h"

#include <sys/mman.h>
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

}  // namespace

CodeMemory::~CodeMemory() { release(); }

bool CodeMemory::allocate(std::size_t size, Mechanism mechanism) noexcept {
    release();
    if (size == 0) return false;
    const std::size_t rounded = page_rounded(size);
#if !defined(__x86_64__)
    // x86-64 fetches instructions coherently with writes through any mapping
    // of the same memory. Elsewhere new code must be announced by address
    // (finish_write does so on the executable view), which hardware honours
    // but user-mode emulators do not: qemu keeps running what it translated
    // from the old bytes, as it never sees the write. The switched single
    // mapping works everywhere.
    mechanism = Mechanism::Mprotect;
#endif

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

bool CodeMemory::finish_write() noexcept {
    if (mechanism_ == Mechanism::DualView) {
        writable_ = false;
    } else if (writable_) {
        if (mprotect(write_view_, size_, PROT_READ | PROT_EXEC) != 0) return false;
        writable_ = false;
    }
    // Processors whose instruction cache does not follow data writes (ARM64,
    // RISC-V) must be told before the new code runs; on x86-64 this is free.
    char* begin = reinterpret_cast<char*>(exec_view_);
    __builtin___clear_cache(begin, begin + size_);
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

bool probe_code_memory() noexcept {
    constexpr std::uint8_t kValue = 42;
    CodeMemory memory;
    if (!memory.allocate(64)) return false;
    if (write_return_constant(memory.writable(), kValue) == 0) return false;
    if (!memory.finish_write()) return false;
    const auto probe = reinterpret_cast<int (*)()>(const_cast<std::uint8_t*>(memory.executable()));
    return probe() == kValue;
}

}  // namespace rx
