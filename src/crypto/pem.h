// PEM text armour (RFC 7468, with the RFC 1421 headers of the traditional
// encrypted form): finding a block and reading its body.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "secure_bytes.h"

namespace corvane::crypto {

struct PemBlock {
    std::string label;                                        // e.g. "RSA PRIVATE KEY"
    std::vector<std::pair<std::string, std::string>> headers; // "Proc-Type", "4,ENCRYPTED"
    SecureBytes der;                                          // the decoded body
};

// Finds the first block whose label satisfies `accept` and decodes it.
// Text before, between and after blocks is ignored. Returns false when no
// such block is complete; throws Error(InvalidValue) when the chosen block's
// body is not Base64.
bool find_pem_block(std::string_view text, bool (*accept)(std::string_view label), PemBlock& out);

// Writes `der` as a PEM block with `label`, 64 characters a line.
std::string write_pem(std::string_view label, const unsigned char* der, std::size_t size);

} // namespace corvane::crypto
