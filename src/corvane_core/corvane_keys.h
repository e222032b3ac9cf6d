// corvane_core.corvane_keys: the company's RSA key, its certificate signing
// request, and RSASSA-PSS message signing. Each function takes a key record
// first and returns {"return": value}; every failure is raised.
#pragma once

#include <nanobind/nanobind.h>

#include "crypto/ossl_ptr.h"
#include "host.h"

namespace corvane::keys {

namespace nb = nanobind;
using host::Namespace;

// The one name corvane_keys's functions read from its namespace at call
// time, bound at load (corvane_keys.cpp).
namespace name {
inline constexpr const char* kBase64 = "base64"; // keys_sign.cpp: the host's decoder
} // namespace name

// Module functions, defined in this order.
void def_generate_private_key(nb::module_& m);              // keys_generate.cpp
void def_generate_csr(nb::module_& m, const Namespace& ns); // keys_csr.cpp
void def_sign(nb::module_& m, const Namespace& ns);         // keys_sign.cpp

// Reads the key record's `pem_key` (Base64 text or bytes of an unencrypted
// PEM private key), decodes it leniently and loads the key. Raises what the
// host's Base64 codec raises for a bad value (TypeError, ValueError,
// binascii.Error), ValueError for data that is no key, TypeError for an
// encrypted key. The decoded key material is wiped before it is freed.
// Input on which interpreters' decoders differ goes to the module's
// `base64.b64decode` (see host::Base64Input).
crypto::EvpPkeyPtr load_record_key(const Namespace& ns, nb::handle key_record);

} // namespace corvane::keys
