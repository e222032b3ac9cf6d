// Scaffolding: the function of this file is being written.
#include "corvane_pain.h"

namespace corvane::pain {

void def_pain_request(nb::module_&, const Namespace&) {}

} // namespace corvane::pain
