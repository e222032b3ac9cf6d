// A byte buffer for key material: wiped with OPENSSL_cleanse before its
// memory is released, on every path including exceptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/crypto.h>

namespace corvane::crypto {

template <typename T> struct WipingAllocator {
    using value_type = T;
    WipingAllocator() = default;
    template <typename U> WipingAllocator(const WipingAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept {
        OPENSSL_cleanse(p, n * sizeof(T));
        std::allocator<T>().deallocate(p, n);
    }
    template <typename U> bool operator==(const WipingAllocator<U>&) const noexcept { return true; }
    template <typename U> bool operator!=(const WipingAllocator<U>&) const noexcept {
        return false;
    }
};

using SecureBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;
using SecureString = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;

inline std::string_view as_text(const SecureBytes& b) {
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}

} // namespace corvane::crypto
