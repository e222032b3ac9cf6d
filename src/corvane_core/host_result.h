// The result-dictionary protocol every module function shares: a failure
// it detects is a new or given dictionary with "error", logged through the
// module's `_logger` when it is the service's refusal.
#pragma once

#include <nanobind/nanobind.h>

#include "host_module.h"

namespace corvane::host {

namespace nb = nanobind;

// The module attribute refusals are logged through, read at call time.
inline constexpr const char* kLoggerName = "_logger";

// `result.get("error")` is truthy: the convention every step shares for
// "stop and hand this dictionary back".
bool has_error(nb::handle result);

// "Error on '<title>':\n" + str(response.text), logged through the module's
// `_logger` at error level, stored under "error" in `result` and returned.
nb::object fail_with_response(const Namespace& ns, nb::handle result, const char* title,
                              nb::handle response);

} // namespace corvane::host
