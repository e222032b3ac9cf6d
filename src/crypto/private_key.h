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

// The limits of a new RSA key, each checked by check_rsa_parameters alone,
// and the messages of its refusals (the most careful Python crypto
// library's own, which callers that apply the host's comparison semantics
// first reuse).
inline constexpr long long kRsaExponents[] = {3, 65537};
inline constexpr long long kMinRsaBits = 1024;
inline constexpr long long kMaxRsaBits = 16384; // larger keys would take hours to generate
inline constexpr const char* kRsaExponentRefusal =
    "public_exponent must be either 3 (for legacy compatibility) or 65537. "
    "Almost everyone should choose 65537 here!";
inline constexpr const char* kRsaTooSmallRefusal = "key_size must be at least 1024-bits.";

// Key parameters that check_rsa_parameters accepted: generate_rsa_key takes
// nothing else, so the limits are checked once per key.
class RsaParameters {
  public:
    int bits() const { return bits_; }
    unsigned long exponent() const { return exponent_; }

  private:
    friend RsaParameters check_rsa_parameters(long long bits, long long exponent);
    RsaParameters(int bits, unsigned long exponent) : bits_(bits), exponent_(exponent) {}
    int bits_;
    unsigned long exponent_;
};

// Refuses, exponent first, exponents other than kRsaExponents, sizes below
// kMinRsaBits and above kMaxRsaBits (InvalidValue).
RsaParameters check_rsa_parameters(long long bits, long long exponent);

// Generates an RSA key. Touches no shared state: callers run it with the
// interpreter lock released.
EvpPkeyPtr generate_rsa_key(const RsaParameters& parameters);

// A passphrase that check_passphrase accepted: 1 to 1023 bytes (the
// longest the Python crypto library's traditional PEM writer takes).
class Passphrase {
  public:
    std::string_view bytes() const { return bytes_; }

  private:
    friend Passphrase check_passphrase(std::string_view bytes);
    explicit Passphrase(std::string_view bytes) : bytes_(bytes) {}
    std::string_view bytes_; // the caller's bytes, which must outlive it
};

// Refuses an empty passphrase and one longer than 1023 bytes (InvalidValue,
// with the Python crypto library's messages). The result views `bytes`.
Passphrase check_passphrase(std::string_view bytes);

// The traditional OpenSSL PEM form (PKCS #1 under RSA PRIVATE KEY) encrypted
// with AES-256-CBC under `passphrase` (Proc-Type and DEK-Info headers).
std::string write_encrypted_traditional_pem(EVP_PKEY* key, const Passphrase& passphrase);

} // namespace corvane::crypto
