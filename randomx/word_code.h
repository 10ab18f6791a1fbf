// Code of fixed-width 32-bit instruction words written into a caller's
// buffer, and the labels that branches refer to: what the ARM64 and RISC-V
// assemblers share. Each derives from WordCode<Isa> and adds its encodings,
// and Isa::fill_offset(word, offset) fills a branch word's offset field (the
// bytes from the branch to its target), returning false where the offset is
// out of the branch's range.
//
// Overflow is recorded, never written: once a word would not fit, nothing
// more is written and overflowed() stays true, so a compiler can check once
// at the end and give up (the interpreter then runs). An operand out of its
// encoding's range (fail()) poisons the code the same way. The buffer is
// never written past `capacity` bytes.
//
// Thread safety: one instance per thread; no global state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace rx {

template <class Isa>
class WordCode {
public:
    // A position in the code. A label used before bind() collects the
    // branches to patch (a few per label in our code).
    struct Label {
        static constexpr std::size_t kMaxFixups = 4;
        std::size_t position = 0;
        bool bound = false;
        std::size_t fixups[kMaxFixups] = {};
        std::size_t fixup_count = 0;
    };

    WordCode(std::uint8_t* buffer, std::size_t capacity) : code_(buffer), capacity_(capacity) {}

    std::size_t size() const { return size_; }
    bool overflowed() const { return overflowed_; }

    void emit(std::uint32_t word) {
        if (overflowed_ || capacity_ < 4 || size_ > capacity_ - 4) {
            overflowed_ = true;
            return;
        }
        std::memcpy(code_ + size_, &word, 4);
        size_ += 4;
    }
    // Poisons the code: an operand out of its encoding's range.
    void fail() { overflowed_ = true; }
    // Pads with the architecture's no-op to a multiple of `alignment` bytes
    // (a power of 2, >= 4).
    void align(std::size_t alignment) {
        while (!overflowed_ && size_ % alignment != 0) emit(Isa::kNop);
    }

    // Binds `label` here, filling in the branches that referred to it.
    void bind(Label& label) {
        label.position = size_;
        label.bound = true;
        for (std::size_t i = 0; i < label.fixup_count; ++i) patch(label.fixups[i], size_);
        label.fixup_count = 0;
    }

protected:
    // Emits the branch `word` to `target`: its offset filled in now if the
    // label is bound, else when it is.
    void refer(Label& target, std::uint32_t word) {
        const std::size_t at = size_;
        emit(word);
        if (overflowed_) return;
        if (target.bound) {
            patch(at, target.position);
        } else if (target.fixup_count == Label::kMaxFixups) {
            fail();
        } else {
            target.fixups[target.fixup_count++] = at;
        }
    }

private:
    void patch(std::size_t at, std::size_t target) {
        if (overflowed_) return;
        std::uint32_t word;
        std::memcpy(&word, code_ + at, 4);
        if (!Isa::fill_offset(word, static_cast<std::int64_t>(target) - static_cast<std::int64_t>(at))) fail();
        std::memcpy(code_ + at, &word, 4);
    }

    std::uint8_t* code_;
    std::size_t capacity_;
    std::size_t size_ = 0;
    bool overflowed_ = false;
};

}  // namespace rx
