// SHA-512 through libcrypto's one-shot digest.
#include "sha512.h"

#include <openssl/sha.h>

namespace corvane::crypto {

Sha512Digest sha512(const void* data, std::size_t size) {
    Sha512Digest out;
    // SHA512() cannot fail: it has no context to allocate.
    SHA512(static_cast<const unsigned char*>(data), size, out.data());
    return out;
}

} // namespace corvane::crypto
