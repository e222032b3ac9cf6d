// Host helpers shared by the three modules.
#include "host.h"

#include <string>

#include "crypto/error.h"

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

bool has_error(nb::handle result) {
    return truthy(result.attr("get")("error"));
}

nb::object fail_with_response(const Namespace& ns, nb::handle result, const char* title,
                              nb::handle response) {
    std::string prefix = std::string("Error on '") + title + "':\n";
    nb::str msg = concat({nb::str(prefix.c_str()), response.attr("text")});
    ns["_logger"].attr("error")(msg);
    result[nb::str("error")] = msg;
    return nb::borrow(result);
}

std::string_view utf8_of(nb::handle str, const char* what) {
    if (!PyUnicode_Check(str.ptr())) {
        PyErr_Format(PyExc_TypeError, "%s must be str, not %.200s", what,
                     Py_TYPE(str.ptr())->tp_name);
        throw nb::python_error();
    }
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
    if (!data)
        throw nb::python_error();
    return {data, static_cast<std::size_t>(size)};
}

nb::str make_str(std::string_view utf8) {
    return nb::str(utf8.data(), utf8.size());
}

Base64Input::Base64Input(nb::handle value) : owner_(nb::borrow(value)) {
    PyObject* v = value.ptr();
    if (PyUnicode_Check(v)) {
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(v) != 0) // a legacy str does not know yet whether it is ASCII
            throw nb::python_error();
#endif
        if (!PyUnicode_IS_ASCII(v))
            raise(PyExc_ValueError, "string argument should contain only ASCII characters");
        Py_ssize_t size;
        const char* data = PyUnicode_AsUTF8AndSize(v, &size);
        if (!data)
            throw nb::python_error();
        view_ = {data, static_cast<std::size_t>(size)};
        return;
    }
    if (!PyObject_CheckBuffer(v)) {
        PyErr_Format(PyExc_TypeError,
                     "argument should be a bytes-like object or ASCII string, not '%.200s'",
                     Py_TYPE(v)->tp_name);
        throw nb::python_error();
    }
    // Any layout, as memoryview(value).tobytes() accepts it.
    Py_buffer& buffer = export_.buffer;
    if (PyObject_GetBuffer(v, &buffer, PyBUF_FULL_RO) != 0)
        throw nb::python_error();
    export_.held = true;
    if (PyBuffer_IsContiguous(&buffer, 'C')) {
        view_ = {static_cast<const char*>(buffer.buf), static_cast<std::size_t>(buffer.len)};
        return;
    }
    copy_.resize(static_cast<std::size_t>(buffer.len));
    if (PyBuffer_ToContiguous(copy_.data(), &buffer, buffer.len, 'C') != 0)
        throw nb::python_error();
    view_ = crypto::as_text(copy_);
}

bool Base64Input::needs_host_decoder() const {
    std::size_t pad = view_.find('=');
    if (pad == std::string_view::npos)
        return false;
    for (unsigned char c : view_.substr(pad))
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/')
            return true;
    return false;
}

nb::object Base64Input::decode_with(nb::handle b64decode) const { return b64decode(owner_); }

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
