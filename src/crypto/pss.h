// RSASSA-PSS signatures: SHA-256, MGF1-SHA-256, salt of 32 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <openssl/evp.h>

namespace corvane::crypto {

// Signs `message` (hashed here) with the RSA key `key`, which the caller
// keeps owning. The result has the modulus length. A fresh random salt is
// drawn each time, so two signatures of one message differ.
// Throws Error(InvalidType) for a key that is not RSA, Error(InvalidValue)
// for a key too small for the salt, Error(Internal) otherwise.
std::vector<std::uint8_t> sign_pss_sha256(EVP_PKEY* key, const std::uint8_t* message,
                                          std::size_t size);

// Verifies a signature made by sign_pss_sha256 (salt length 32 exactly).
bool verify_pss_sha256(EVP_PKEY* key, const std::uint8_t* message, std::size_t size,
                       const std::uint8_t* signature, std::size_t signature_size);

} // namespace corvane::crypto
