// Module definition of corvane_core.corvane_pain: its bindings in their fixed
// order, then the two functions.
#include "corvane_pain.h"

namespace nb = nanobind;

NB_MODULE(corvane_pain, m) {
    corvane::host::register_core_errors();
    nb::list public_names;
    public_names.append("refresh_state");
    m.attr("__all__") = public_names;
    m.attr("base64") = nb::module_::import_("base64");
    m.attr("logging") = nb::module_::import_("logging");
    corvane::host::import_from_sibling(m, "constants", {"TOLVEX_API_HOST_URL"});
    corvane::host::import_from_sibling(
        m, "corvane_user", {"_check_status", "_request_access_token", "_signature_headers"});
    m.attr("_logger") = m.attr("logging").attr("getLogger")(m.attr("__name__"));

    corvane::host::Namespace ns(m);
    corvane::pain::def_refresh_state(m, ns);
    corvane::pain::def_pain_request(m, ns);
}
