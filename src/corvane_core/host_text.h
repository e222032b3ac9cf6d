// Text conversion between the host's str and the UTF-8 bytes the crypto
// core works on, and the one type check of a str argument.
#pragma once

#include <string>
#include <string_view>

#include <nanobind/nanobind.h>

namespace corvane::host {

namespace nb = nanobind;

// The name the host's messages give the type of `value` (formatted with
// "%.200s", as they format it): its type's tp_name. The limited API does not
// reach tp_name: there it is rebuilt as the host builds it, the __name__ of
// a class made by a class statement, "<__module__>.<__name__>" for other
// types (the module left out when it is "builtins"), which names a type
// whose C definition gives no module by its __name__ alone.
std::string type_name_of(nb::handle value);

// Whether the str `value` holds ASCII characters only. Lone surrogates are
// not ASCII.
bool is_ascii(nb::handle value);

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
