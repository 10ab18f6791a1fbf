#include "tests/support/randomx_support.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "randomx/constants.h"
#include "timelock/base/crypto.h"

namespace zt::test {

std::string hex(const void* data, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::string text;
    text.reserve(2 * size);
    for (std::size_t i = 0; i < size; ++i) {
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 15]);
    }
    return text;
}

std::uint64_t word(const Json& value) {
    const std::string& text = value.str();
    if (text.size() != 16) {
        throw std::runtime_error("trace word is not 16 hex digits: " + text);
    }
    return std::stoull(text, nullptr, 16);
}

std::string word_hex(std::uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

void ScratchpadFree::operator()(std::uint8_t* p) const { ::operator delete[](p, std::align_val_t{64}); }

Scratchpad scratchpad() {
    return Scratchpad(static_cast<std::uint8_t*>(::operator new[](rx::kScratchpadL3, std::align_val_t{64})));
}

randomx_cache* keyed_cache(const std::vector<std::uint8_t>& key) {
    static const CachePtr cache(randomx_alloc_cache(randomx_get_flags()));
    if (!cache) {
        std::fputs("randomx_alloc_cache failed\n", stderr);
        std::abort();
    }
    randomx_init_cache(cache.get(), key.data(), key.size());
    return cache.get();
}

std::vector<std::uint8_t> step_message(std::uint64_t epoch, std::uint32_t segment,
                                       std::uint64_t iteration, const std::uint8_t state[32]) {
    const std::string_view label = zt::labels::step;
    std::vector<std::uint8_t> message(label.begin(), label.end());
    for (int shift = 56; shift >= 0; shift -= 8) {
        message.push_back(static_cast<std::uint8_t>(epoch >> shift));
    }
    for (int shift = 24; shift >= 0; shift -= 8) {
        message.push_back(static_cast<std::uint8_t>(segment >> shift));
    }
    for (int shift = 56; shift >= 0; shift -= 8) {
        message.push_back(static_cast<std::uint8_t>(iteration >> shift));
    }
    message.insert(message.end(), state, state + 32);
    return message;
}

}  // namespace zt::test
