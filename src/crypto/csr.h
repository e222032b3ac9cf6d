// Certificate signing requests (PKCS #10) from a slash-separated subject string.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <openssl/evp.h>

namespace corvane::crypto {

struct SubjectAttribute {
    int nid;           // NID_countryName, NID_organizationName, ...
    bool printable;    // PrintableString when true, UTF8String otherwise
    std::string value; // UTF-8
};

// Parses "/C=BE/O=Company/CN=Company key": leading and trailing slashes are
// stripped, the rest split at every "/", each component split at its first
// "=". Only the keys C, O, OU, CN and serialNumber are kept (compared
// exactly), in string order. Throws Error(InvalidValue) with the host's
// unpacking message for a component without "=" (an empty one included),
// for a country that is not two bytes, a common name outside 1 to 64 bytes,
// characters a PrintableString cannot hold (C, serialNumber), and a subject
// string over 1 GiB. Values are taken as bytes: the caller makes sure that
// the UTF8String values it keeps are valid UTF-8.
std::vector<SubjectAttribute> parse_subject(std::string_view subject);

// A version 1 request for the public half of `key` with that subject (one
// attribute per RDN), no attributes, signed with SHA-256 and PKCS #1 v1.5.
// The request is read back and verified before its PEM text is returned.
std::string build_csr(EVP_PKEY* key, const std::vector<SubjectAttribute>& subject);

} // namespace corvane::crypto
