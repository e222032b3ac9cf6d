// Raising host exceptions; the mapping of crypto::Error onto them.
#include "host_errors.h"

#include "crypto/error.h"

namespace corvane::host {

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw nb::python_error();
}

namespace {

void set_core_error(const crypto::Error& e) {
    switch (e.kind()) {
    case crypto::ErrorKind::OutOfMemory:
        PyErr_NoMemory();
        return;
    case crypto::ErrorKind::Base64: {
        PyObject* binascii = PyImport_ImportModule("binascii");
        if (!binascii)
            return;
        PyObject* error = PyObject_GetAttrString(binascii, "Error");
        Py_DECREF(binascii);
        if (!error)
            return;
        PyErr_SetString(error, e.what());
        Py_DECREF(error);
        return;
    }
    case crypto::ErrorKind::InvalidValue:
        PyErr_SetString(PyExc_ValueError, e.what());
        return;
    case crypto::ErrorKind::InvalidType:
        PyErr_SetString(PyExc_TypeError, e.what());
        return;
    case crypto::ErrorKind::Internal:
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return;
    }
}

} // namespace

void register_core_errors() {
    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const crypto::Error& e) {
            set_core_error(e);
        }
    });
}

} // namespace corvane::host
