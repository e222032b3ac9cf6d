// Text conversion between the host's str and the UTF-8 bytes the crypto
// core works on, and the one type check of a str argument.
#pragma once

#include <string_view>

#include <nanobind/nanobind.h>

namespace corvane::host {

namespace nb = nanobind;

// Raises TypeError("<what> must be str, not <type name>") unless `value` is
// a str (or a subclass).
void require_str(nb::handle value, const char* what);

// The UTF-8 bytes of a str, without copying: the host keeps them with the
// object. Raises UnicodeEncodeError for lone surrogates (as str.encode would)
// and TypeError for anything but str.
std::string_view utf8_of(nb::handle str, const char* what);

// A new str from UTF-8 bytes known to be valid.
nb::str make_str(std::string_view utf8);

} // namespace corvane::host
