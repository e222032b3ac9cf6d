// The thin layer between the modules' steps and the Python host: the module
// namespace looked up at call time, text building with Python's own string
// semantics, result dictionaries, logging, and the mapping of crypto core
// failures onto the host's exception types.
//
// Every Python name the modules touch is spelled at its use; nothing callable
// is cached: a caller that rebinds a module attribute sees it take effect.
#pragma once

#include <initializer_list>
#include <string_view>

#include <nanobind/nanobind.h>

#include "crypto/secure_bytes.h"

namespace corvane::host {

namespace nb = nanobind;

// A module's globals. Bound functions capture it at module creation and look
// names up on every call, as Python code reads its globals.
class Namespace {
  public:
    explicit Namespace(nb::handle module);

    // globals()[name]; a missing name raises NameError like Python does.
    nb::object operator[](const char* name) const;

  private:
    nb::dict globals_;
};

// A parameter of a module function: any object, None included (nanobind
// refuses None for a plain nb::arg), by position or by this keyword name.
inline auto param(const char* name) {
    return nb::arg(name).none();
}

// str(value).
inline nb::str text(nb::handle value) {
    return nb::str(value);
}

// bool(value); exceptions of __bool__ propagate.
bool truthy(nb::handle value);

// The concatenation of the given pieces, each str() first. Built with the
// host's own str operations, so any text (lone surrogates included) is kept
// exactly as Python's "+" would keep it.
nb::str concat(std::initializer_list<nb::handle> pieces);

// `for item in iterable`: the host's own iterator, which holds each item
// while the loop body runs; a list changed under the walk behaves as in
// Python (emptied: the walk ends). A range-for over nb::list or nb::dict
// itself walks with borrowed items, by index with an end fixed at the start
// on GIL builds: never where the body runs Python code.
inline nb::iterator each(nb::handle iterable) {
    return nb::iter(iterable);
}

// `a <op> b` as a Python condition: the rich comparison, then bool() of
// what it returned (no identity shortcut: NaN != NaN as in Python).
bool compare(nb::handle a, nb::handle b, int op);

// `item in container`.
bool contains(nb::handle container, nb::handle item);

// `value or False`.
nb::object or_false(nb::handle value);

// `result.get("error")` is truthy: the convention every step shares for
// "stop and hand this dictionary back".
bool has_error(nb::handle result);

// "Error on '<title>':\n" + str(response.text), logged through the module's
// `_logger` at error level, stored under "error" in `result` and returned.
nb::object fail_with_response(const Namespace& ns, nb::handle result, const char* title,
                              nb::handle response);

// The UTF-8 bytes of a str, without copying: the host keeps them with the
// object. Raises UnicodeEncodeError for lone surrogates (as str.encode would)
// and TypeError for anything but str.
std::string_view utf8_of(nb::handle str, const char* what);

// A new str from UTF-8 bytes known to be valid.
nb::str make_str(std::string_view utf8);

// The input bytes of the host's base64.b64decode for `value`: the characters
// of an ASCII-only str, or the bytes of any bytes-like object (a
// non-contiguous one is copied in C order into a buffer wiped on release,
// since key material passes here). Anything else raises what b64decode
// raises: ValueError for a str with non-ASCII characters, TypeError for a
// value of another type. Keeps `value` (and its buffer export, which also
// stops a bytearray from being resized) while alive, so view() stays valid.
class Base64Input {
  public:
    explicit Base64Input(nb::handle value);
    Base64Input(const Base64Input&) = delete;
    Base64Input& operator=(const Base64Input&) = delete;

    std::string_view view() const { return view_; }

    // True when an alphabet character follows a "=" somewhere. Interpreters
    // disagree on such input: some stop at a completed pad sequence, newer
    // ones read on past it. The native decoder serves every other input,
    // where they agree; this one goes to the host's own decoder, so the
    // result is always the running interpreter's.
    bool needs_host_decoder() const;

    // `b64decode(value)` through the host's function (the module's `base64`
    // binding): its result, or its exception.
    nb::object decode_with(nb::handle b64decode) const;

  private:
    // A member, so that the export is released on a throwing constructor too.
    struct Export {
        Py_buffer buffer{};
        bool held = false;
        Export() = default;
        Export(const Export&) = delete;
        Export& operator=(const Export&) = delete;
        ~Export() {
            if (held)
                PyBuffer_Release(&buffer);
        }
    };

    nb::object owner_;
    Export export_;
    crypto::SecureBytes copy_;
    std::string_view view_;
};

// Raises `type(message)` as a Python exception.
[[noreturn]] void raise(PyObject* type, const char* message);

// Makes crypto::Error reach Python as the host's exception for its kind:
// MemoryError, binascii.Error, ValueError, TypeError, RuntimeError.
// Called once from every module's initialisation.
void register_core_errors();

// Imports `name` relative to the package that module `self` lives in and
// binds each of `names` from it into `self`, as "from .name import a, b"
// does; a missing module or attribute raises ImportError.
void import_from_sibling(nb::module_& self, const char* name,
                         std::initializer_list<const char*> names);

} // namespace corvane::host
