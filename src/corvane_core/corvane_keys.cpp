// Module definition of corvane_core.corvane_keys: binds the Base64 codec,
// then the three functions, in this order.
#include "corvane_keys.h"

#include "host.h"

NB_MODULE(corvane_keys, m) {
    corvane::host::register_core_errors();
    m.attr("base64") = nanobind::module_::import_("base64");
    corvane::host::Namespace ns(m);
    corvane::keys::def_generate_private_key(m);
    corvane::keys::def_generate_csr(m, ns);
    corvane::keys::def_sign(m, ns);
}
