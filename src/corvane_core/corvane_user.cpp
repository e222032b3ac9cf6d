// Module definition of corvane_core.corvane_user: the load-time bindings in
// their fixed order, then the functions, then the public name list.
#include "corvane_user.h"

namespace nb = nanobind;
using corvane::host::Namespace;

namespace {

// The public names, in the order of __all__; a name is listed once its
// function is defined.
constexpr const char* kPublicNames[] = {"get_account_reports", "list_accounts",
                                        "revoke_refresh_token", "user_linking"};

void bind_host_facilities(nb::module_& m) {
    m.attr("base64") = nb::module_::import_("base64");
    m.attr("logging") = nb::module_::import_("logging");
    m.attr("time") = nb::module_::import_("time");
    m.attr("urlencode") = nb::module_::import_("urllib.parse").attr("urlencode");
    m.attr("datetime") = nb::module_::import_("datetime").attr("datetime");
    m.attr("hashlib") = nb::module_::import_("hashlib");
    m.attr("requests") = nb::module_::import_("requests");
}

} // namespace

NB_MODULE(corvane_user, m) {
    corvane::host::register_core_errors();
    bind_host_facilities(m);
    corvane::host::import_from_sibling(m, "constants", {"TOLVEX_API_HOST", "TOLVEX_API_HOST_URL"});
    corvane::host::import_from_sibling(m, "corvane_keys", {"_corvane_connect_sign"});
    m.attr("_logger") = m.attr("logging").attr("getLogger")(m.attr("__name__"));

    Namespace ns(m);
    corvane::user::def_linking(m, ns);
    corvane::user::def_accounts(m, ns);
    corvane::user::def_reports(m, ns);
    corvane::user::def_guard(m, ns);
    corvane::user::def_tokens(m, ns);
    corvane::user::def_signature(m, ns);

    nb::list public_names;
    for (const char* name : kPublicNames) {
        if (nb::hasattr(m, name))
            public_names.append(name);
    }
    m.attr("__all__") = public_names;
}
