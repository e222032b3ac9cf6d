// The crypto core's one failure type.
//
// The core knows nothing of Python: it throws Error with a kind that the
// binding layer maps onto the host's exception types, and a message that
// never carries key material.
#pragma once

#include <stdexcept>
#include <string>

namespace corvane::crypto {

enum class ErrorKind {
    OutOfMemory,  // an allocation failed (std::bad_alloc is used for C++ allocations)
    Base64,       // malformed Base64 input (padding, length)
    InvalidValue, // input of the right type whose content is refused
    InvalidType,  // input of a kind the operation does not handle (encrypted key, non-RSA key)
    Internal,     // OpenSSL failed where it should not
};

class Error : public std::runtime_error {
  public:
    Error(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    ErrorKind kind() const noexcept { return kind_; }

  private:
    ErrorKind kind_;
};

// Drains OpenSSL's error queue of this thread and throws an Error: OutOfMemory
// when the reason is an allocation failure, otherwise `kind` with `what`
// followed by OpenSSL's reason text. Never returns.
[[noreturn]] void throw_openssl_error(ErrorKind kind, const char* what);

// Throws throw_openssl_error(Internal, what) when `ok` is false. Every OpenSSL
// call is checked on the next line with this or an explicit test.
inline void check(bool ok, const char* what) {
    if (!ok)
        throw_openssl_error(ErrorKind::Internal, what);
}

} // namespace corvane::crypto
