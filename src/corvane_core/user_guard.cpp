// _check_status: the operation guard run before every account, report and
// payment operation. It sends nothing, logs nothing and translates nothing.
#include "corvane_user.h"

namespace corvane::user {
namespace {

nb::dict check_status(nb::handle kav_user, nb::handle operation) {
    kav_user.attr("ensure_one")();
    nb::dict result;
    if (kav_user.attr("state").not_equal(nb::str("activated")) ||
        !host::truthy(kav_user.attr("active"))) {
        result["error"] = host::concat(
            {nb::str("Operation '"), operation, nb::str("' is not allowed for inactive Users.")});
        return result;
    }
    nb::object config = kav_user.attr("corvane_connect_config_id");
    if (config.attr("state").not_equal(nb::str("confirm")) ||
        !host::truthy(config.attr("active"))) {
        result["error"] =
            host::concat({nb::str("Operation '"), operation,
                          nb::str("' is not allowed for an inactive Corvane Connect Config.")});
    }
    return result;
}

} // namespace

void def_guard(nb::module_& m, const Namespace&) {
    m.def("_check_status", &check_status, host::param("kav_user"),
          host::param("operation") = nb::none(),
          "Refuse `operation` for an inactive KAV User or configuration: {} or {\"error\": "
          "message}.");
}

} // namespace corvane::user
