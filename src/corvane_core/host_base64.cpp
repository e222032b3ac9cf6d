// Base64 input as the host's base64.b64decode reads it.
#include "host_base64.h"

#include "host_errors.h"
#include "host_text.h"

namespace corvane::host {

Base64Input::Base64Input(nb::handle value) : owner_(nb::borrow(value)) {
    PyObject* v = value.ptr();
    if (PyUnicode_Check(v)) {
        if (!is_ascii(value))
            raise(PyExc_ValueError, "string argument should contain only ASCII characters");
        Py_ssize_t size;
        const char* data = PyUnicode_AsUTF8AndSize(v, &size);
        if (!data)
            throw nb::python_error();
        view_ = {data, static_cast<std::size_t>(size)};
        return;
    }
    if (!PyObject_CheckBuffer(v)) {
        // The host's wording: "... not %r" % value.__class__.__name__.
        nb::str name = nb::repr(value.attr("__class__").attr("__name__"));
        nb::object message =
            nb::str("argument should be a bytes-like object or ASCII string, not ") + name;
        PyErr_SetObject(PyExc_TypeError, message.ptr());
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
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '+' || c == '/')
            return true;
    return false;
}

nb::object Base64Input::decode_with(nb::handle b64decode) const {
    return b64decode(owner_);
}

} // namespace corvane::host
