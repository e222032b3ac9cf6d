// SHA-512 of a byte range.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace corvane::crypto {

using Sha512Digest = std::array<std::uint8_t, 64>;

// Pure computation: touches no shared state, so callers may run it with the
// interpreter lock released.
Sha512Digest sha512(const void* data, std::size_t size);

} // namespace corvane::crypto
