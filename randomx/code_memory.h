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
// Where the system refuses the dual view, and on processors other than
// x86-64 (see allocate), Mprotect is used instead.
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

    // Makes the code writable (no-op for the dual view) / runnable again.
    // Return false only if the system refuses the change of protection.
    bool begin_write() noexcept;
    bool finish_write() noexcept;

    // Zeroes all of the code (leaving it runnable only after the next write).
    void wipe() noexcept;

private:
    void release() noexcept;

    std::uint8_t* write_view_ = nullptr;
    std::uint8_t* exec_view_ = nullptr;
    std::size_t size_ = 0;
    Mechanism mechanism_ = Mechanism::DualView;
    bool writable_ = false;
};

// Writes the architecture's probe (write_return_constant in arch.h) into a
// fresh code memory, runs it and tells whether it returned: whether this
// process may generate code at all.
bool probe_code_memory() noexcept;

}  // namespace rx
