// The module namespace and the imports from sibling modules.
#include "host_module.h"

#include <string>

namespace corvane::host {

Namespace::Namespace(nb::handle module)
    : globals_(nb::borrow<nb::dict>(PyModule_GetDict(module.ptr()))) {}

nb::object Namespace::operator[](const char* name) const {
    nb::str key(name);
    PyObject* value;
#if PY_VERSION_HEX >= 0x030D0000
    // A strong reference: another thread may rebind the name meanwhile.
    int found = PyDict_GetItemRef(globals_.ptr(), key.ptr(), &value);
    if (found < 0)
        throw nb::python_error();
    if (found == 0) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw nb::python_error();
    }
    return nb::steal(value);
#else
    value = PyDict_GetItemWithError(globals_.ptr(), key.ptr());
    if (value == nullptr) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw nb::python_error();
    }
    return nb::borrow(value);
#endif
}

void import_from_sibling(nb::module_& self, const char* name,
                         std::initializer_list<const char*> names) {
    // The package is whatever our own dotted name says: an addon may vendor
    // the package under another one.
    nb::str own_name = nb::borrow<nb::str>(self.attr("__name__"));
    nb::object package = own_name.attr("rpartition")(".")[0];
    nb::object importlib = nb::module_::import_("importlib");
    nb::object module =
        importlib.attr("import_module")(nb::str((std::string(".") + name).c_str()), package);
    for (const char* attr : names) {
        PyObject* value = PyObject_GetAttrString(module.ptr(), attr);
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                throw nb::python_error();
            PyErr_Clear();
            nb::str module_name = nb::borrow<nb::str>(module.attr("__name__"));
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%U'", attr,
                         module_name.ptr());
            throw nb::python_error();
        }
        self.attr(attr) = nb::steal(value);
    }
}

} // namespace corvane::host
