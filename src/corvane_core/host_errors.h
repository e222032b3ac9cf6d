// The host's exceptions: raising one, and the crypto core's failures mapped
// onto them.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane::host {

namespace nb = nanobind;

// Raises `type(message)` as a Python exception.
[[noreturn]] void raise(PyObject* type, const char* message);

// Makes crypto::Error reach Python as the host's exception for its kind:
// MemoryError, binascii.Error, ValueError, TypeError, RuntimeError.
// Called once from every module's initialisation.
void register_core_errors();

} // namespace corvane::host
