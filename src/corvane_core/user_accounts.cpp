// Scaffolding: the functions of this file are being written.
#include "corvane_user.h"

namespace corvane::user {

void def_accounts(nb::module_&, const Namespace&) {}

} // namespace corvane::user
