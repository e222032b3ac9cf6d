// Text conversion.
#include "host_text.h"

namespace corvane::host {

std::string type_name_of(nb::handle value) {
#ifdef Py_LIMITED_API
    PyTypeObject* type = Py_TYPE(value.ptr());
    nb::handle type_object(reinterpret_cast<PyObject*>(type));
    nb::str name = nb::str(type_object.attr("__name__"));
    if (PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE)
        return name.c_str();
    nb::str module = nb::str(type_object.attr("__module__"));
    if (module.equal(nb::str("builtins")))
        return name.c_str();
    return std::string(module.c_str()) + "." + name.c_str();
#else
    return Py_TYPE(value.ptr())->tp_name;
#endif
}

bool is_ascii(nb::handle value) {
    PyObject* v = value.ptr();
#ifdef Py_LIMITED_API
    // As many UTF-8 bytes as characters: every character is ASCII.
    Py_ssize_t size;
    if (!PyUnicode_AsUTF8AndSize(v, &size)) {
        PyErr_Clear(); // lone surrogates have no UTF-8 form
        return false;
    }
    return size == PyUnicode_GetLength(v);
#else
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(v) != 0) // a legacy str does not know yet whether it is ASCII
        throw nb::python_error();
#endif
    return PyUnicode_IS_ASCII(v);
#endif
}

void require_str(nb::handle value, const char* what) {
    if (PyUnicode_Check(value.ptr()))
        return;
    PyErr_Format(PyExc_TypeError, "%s must be str, not %.200s", what, type_name_of(value).c_str());
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
