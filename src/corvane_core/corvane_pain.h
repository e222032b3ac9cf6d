// corvane_core.corvane_pain: upload of payment initiation files as bulk
// payment initiation requests, and the refresh of their status. Reuses the
// guard, the token step and the signature step of corvane_user through its
// own namespace, where they are bound at load.
#pragma once

#include <nanobind/nanobind.h>

#include "host.h"

namespace corvane::pain {

namespace nb = nanobind;
using host::Namespace;

void def_refresh_state(nb::module_& m, const Namespace& ns); // pain_status.cpp
void def_pain_request(nb::module_& m, const Namespace& ns);  // pain_upload.cpp

} // namespace corvane::pain
