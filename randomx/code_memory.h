// Memory for generated machine code, never writable and executable at once.
//
// Two mechanisms:
//  - DualView: the code is written through one view and run through
//    another, a memory object (memfd "randomx-code") mapped twice,
//    read-write and read-execute, at two different addresses. Rewriting
//    code costs no system call, and no mapping is ever both writable and
//    executable; but a writable alias of the running code exists.
//  - Mprotect: a single mapping (of the same kind of memory object, or
//    anonymous where the system refuses one) is switched between read-write
//    and read-execute around every write: two system calls per write, and no
//    writable mapping of the code exists while it can run (RANDOMX_FLAG_SECURE).
// Where the system refuses the dual view, Mprotect is used instead.
//
// Before the dual view is first used (by a code memory that asks for it), a
// probe writes a function through it, runs it, rewrites it with another
// result and runs it again: where the second run sees stale code (a
// user-mode emulator such as qemu-user, which tracks writes by the address
// written, not by the memory behind it, and so keeps running what it
// translated from the old bytes), every code memory of the process uses
// Mprotect instead. The decision is taken once per process.
//
// After every write the instruction cache is made coherent with what was
// written (a no-op on x86-64): data cache lines cleaned by the writable
// view's addresses, instruction cache lines invalidated by the executable
// view's, so both cover the same physical bytes whatever the caches' tags.
//
// Generated code must be position-independent with respect to the buffer
// (relative jumps inside it, absolute addresses only for targets outside):
// the two views have different addresses.
//
// Failures (no memory, mapping refused) are reported by allocate() returning
// false; nothing throws. The destructor wipes the code (it encodes data
// derived from the hash's inputs) before unmapping it.
//
// Thread safety: one owner; code may run on the owner's thread between
// finish_write() and the next begin_write().
#pragma once

#include <cstddef>
#include <cstdint>

namespace rx {

class CodeMemory {
public:
    enum class Mechanism { DualView, Mprotect };

    CodeMemory() = default;
    ~CodeMemory();
    CodeMemory(const CodeMemory&) = delete;
    CodeMemory& operator=(const CodeMemory&) = delete;

    // Maps `size` bytes (rounded up to whole pages), by the dual view where
    // the system allows it unless `mechanism` asks for Mprotect. The code
    // starts out writable.
    bool allocate(std::size_t size, Mechanism mechanism = Mechanism::DualView) noexcept;

    std::size_t size() const { return size_; }
    Mechanism mechanism() const { return mechanism_; }

    // The view to write code into; valid between begin_write() and
    // finish_write().
    std::uint8_t* writable() const { return write_view_; }
    // The same bytes as code to run; valid after finish_write().
    const std::uint8_t* executable() const { return exec_view_; }

    // Makes the code writable (no-op for the dual view) / runnable again,
    // with the first `written` bytes (all by default) made visible to
    // instruction fetch. Return false only if the system refuses the change
    // of protection.
    bool begin_write() noexcept;
    bool finish_write(std::size_t written = SIZE_MAX) noexcept;

    // Zeroes all of the code (leaving it runnable only after the next write).
    void wipe() noexcept;

    // Whether code written through `mechanism`, run, rewritten and run again
    // returns the second result (see above). Not cached.
    static bool runs_rewritten_code(Mechanism mechanism) noexcept;

private:
    bool map(std::size_t size, Mechanism mechanism) noexcept;
    void release() noexcept;

    std::uint8_t* write_view_ = nullptr;
    std::uint8_t* exec_view_ = nullptr;
    std::size_t size_ = 0;
    Mechanism mechanism_ = Mechanism::DualView;
    bool writable_ = false;
};

// Writes the architecture's probe (write_return_constant in arch.h) into a
// fresh code memory, runs it, rewrites and runs it again, and tells whether
// both runs returned what was written last: whether this process may
// generate code at all (by either mechanism). The Mprotect mechanism is
// probed first, and the dual view only where it fails, so that a process
// whose code memories all use Mprotect (RANDOMX_FLAG_SECURE) maps no second
// view of any code wherever the single mapping runs code.
bool probe_code_memory() noexcept;

}  // namespace rx
