// Holders for secret bytes that wipe themselves.
//
// Secret<N> is a fixed-size buffer zeroed on destruction; SecureBytes is a
// byte vector whose allocator zeroes every buffer (its whole capacity) before
// releasing it, including the old buffer when the vector grows. Copies are
// independent and each wipes itself.
//
// Thread safety: plain values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace zt {

// Overwrites n bytes at p with zeros in a way the compiler cannot remove.
void wipe(void* p, std::size_t n);

template <typename T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() = default;
    template <typename U>
    WipingAllocator(const WipingAllocator<U>&) {}  // NOLINT
    T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
    void deallocate(T* p, std::size_t n) {
        wipe(p, n * sizeof(T));
        std::allocator<T>{}.deallocate(p, n);
    }
    template <typename U>
    bool operator==(const WipingAllocator<U>&) const { return true; }
};

using SecureBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

template <std::size_t N>
class Secret {
public:
    Secret() = default;
    explicit Secret(std::span<const std::uint8_t, N> bytes) {
        for (std::size_t i = 0; i < N; ++i) bytes_[i] = bytes[i];
    }
    Secret(const Secret&) = default;
    Secret& operator=(const Secret&) = default;
    ~Secret() { wipe(bytes_.data(), N); }

    static constexpr std::size_t size() { return N; }
    std::uint8_t* data() { return bytes_.data(); }
    const std::uint8_t* data() const { return bytes_.data(); }
    std::span<std::uint8_t, N> span() { return bytes_; }
    std::span<const std::uint8_t, N> span() const { return bytes_; }
    std::uint8_t& operator[](std::size_t i) { return bytes_[i]; }
    const std::uint8_t& operator[](std::size_t i) const { return bytes_[i]; }

    friend bool operator==(const Secret& a, const Secret& b) { return a.bytes_ == b.bytes_; }

private:
    std::array<std::uint8_t, N> bytes_{};
};

using Key32 = Secret<32>;

}  // namespace zt
