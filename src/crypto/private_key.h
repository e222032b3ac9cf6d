// Private keys: reading the unencrypted PEM forms, generating RSA keys and
// writing the traditional passphrase-protected PEM form.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ossl_ptr.h"

namespace corvane::crypto {

// Reads the first private key block of `pem` (labels RSA PRIVATE KEY,
// PRIVATE KEY, and the other private key labels so that a non-RSA key is told
// apart from garbage). The key is built straight from its components and is
// not validated: OpenSSL checks every CRT result it signs with.
// Throws Error(InvalidValue) for data that is no private key, Error(InvalidType)
// for an encrypted key ("Password was not given but private key is encrypted")
// or a key that is not RSA.
EvpPkeyPtr load_private_key(std::string_view pem);

// Refuses what the most careful Python crypto library refuses, exponent
// first: exponents other than 3 and 65537, sizes below 1024 bits
// (InvalidValue). Sizes above 16384 bits are refused too: their generation
// would take hours.
void check_rsa_parameters(long long bits, long long exponent);

// Generates an RSA key of `bits` bits and public exponent `exponent`, after
// check_rsa_parameters. Touches no shared state: callers run it with the
// interpreter lock released.
EvpPkeyPtr generate_rsa_key(long long bits, long long exponent);

// The traditional OpenSSL PEM form (PKCS #1 under RSA PRIVATE KEY) encrypted
// with AES-256-CBC under `passphrase` (Proc-Type and DEK-Info headers).
// An empty passphrase is refused (InvalidValue).
std::string write_encrypted_traditional_pem(EVP_PKEY* key, std::string_view passphrase);

} // namespace corvane::crypto
