// Result dictionaries and the logging of refused answers.
#include "host_result.h"

#include <string>

#include "host_expr.h"

namespace corvane::host {

bool has_error(nb::handle result) {
    return truthy(result.attr("get")("error"));
}

nb::object fail_with_response(const Namespace& ns, nb::handle result, const char* title,
                              nb::handle response) {
    std::string prefix = std::string("Error on '") + title + "':\n";
    nb::str msg = concat({nb::str(prefix.c_str()), response.attr("text")});
    ns[kLoggerName].attr("error")(msg);
    result[nb::str("error")] = msg;
    return nb::borrow(result);
}

} // namespace corvane::host
