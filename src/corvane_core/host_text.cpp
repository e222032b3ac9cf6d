// Text conversion.
#include "host_text.h"

namespace corvane::host {

void require_str(nb::handle value, const char* what) {
    if (PyUnicode_Check(value.ptr()))
        return;
    PyErr_Format(PyExc_TypeError, "%s must be str, not %.200s", what,
                 Py_TYPE(value.ptr())->tp_name);
    throw nb::python_error();
}

std::string_view utf8_of(nb::handle str, const char* what) {
    require_str(str, what);
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
    if (!data)
        throw nb::python_error();
    return {data, static_cast<std::size_t>(size)};
}

nb::str make_str(std::string_view utf8) {
    return nb::str(utf8.data(), utf8.size());
}

} // namespace corvane::host
