// Standard Base64 (RFC 4648 alphabet, '=' padding): a strict encoder and the
// lenient decoder the service's key fields need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "secure_bytes.h"

namespace corvane::crypto {

// Encodes `data` with padding and no line breaks.
std::string base64_encode(const std::uint8_t* data, std::size_t size);
inline std::string base64_encode(std::string_view data) {
    return base64_encode(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
}

// Upper bound of the decoded size of `encoded_size` input characters.
constexpr std::size_t base64_decoded_bound(std::size_t encoded_size) {
    return encoded_size / 4 * 3 + 3;
}

// Lenient decoding, byte for byte the non-strict rules of the host's codec:
// characters outside the alphabet (line breaks, blanks, anything else) are
// skipped; a complete pad sequence ends the input; a last group of one data
// character, or of two or three without the padding that completes it, is an
// error. Writes at most base64_decoded_bound(in.size()) bytes to `out` and
// returns the count. Throws Error(Base64) with the host's message text.
std::size_t base64_decode_lenient(std::string_view in, std::uint8_t* out);

// The same into a wiping buffer, for key material.
SecureBytes base64_decode_secret(std::string_view in);

} // namespace corvane::crypto
