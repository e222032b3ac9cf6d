// Python-expression semantics through the host's own C API.
#include "host_expr.h"

namespace corvane::host {

bool truthy(nb::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

nb::str concat(std::initializer_list<nb::handle> pieces) {
    nb::list parts;
    for (nb::handle p : pieces)
        parts.append(PyUnicode_Check(p.ptr()) ? nb::borrow<nb::str>(p) : nb::str(p));
    PyObject* joined = PyUnicode_Join(nb::str("").ptr(), parts.ptr());
    if (!joined)
        throw nb::python_error();
    return nb::steal<nb::str>(joined);
}

bool compare(nb::handle a, nb::handle b, int op) {
    PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (!r)
        throw nb::python_error();
    return truthy(nb::steal(r));
}

bool contains(nb::handle container, nb::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

nb::object or_false(nb::handle value) {
    return truthy(value) ? nb::borrow(value) : nb::object(nb::bool_(false));
}

} // namespace corvane::host
