// _generate_corvane_connect_private_key: a new RSA key, stored as the Base64
// of its traditional PEM form encrypted under the passphrase, in a new key
// record.
//
// GIL policy: generation runs with the interpreter lock released (it takes
// from tens of milliseconds to seconds); every Python value it needs has been
// turned into a C++ value first.
#include "corvane_keys.h"

#include <climits>

#include "crypto/base64.h"
#include "crypto/error.h"
#include "crypto/private_key.h"
#include "host.h"

namespace corvane::keys {
namespace {

// An integer argument as the host's int() of an index would read it; values
// beyond `long long` are handed on as out of range so that the core refuses
// them with its ValueError.
long long integer_argument(nb::handle value) {
    nb::object index = nb::steal(PyNumber_Index(value.ptr()));
    if (!index.is_valid())
        throw nb::python_error();
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow)
        return overflow > 0 ? LLONG_MAX : LLONG_MIN;
    return v;
}

nb::dict generate_private_key(nb::handle key_record, nb::handle name, nb::handle passphrase,
                              nb::handle public_exponent, nb::handle key_size, nb::handle company) {
    nb::dict result;
    long long exponent = integer_argument(public_exponent);
    long long bits = integer_argument(key_size);
    crypto::check_rsa_parameters(bits, exponent);
    if (!PyUnicode_Check(passphrase.ptr())) {
        PyErr_Format(PyExc_TypeError, "passphrase must be str, not %.200s", Py_TYPE(passphrase.ptr())->tp_name);
        throw nb::python_error();
    }
    std::string_view secret = host::utf8_of(passphrase, "passphrase");
    if (secret.empty())
        host::raise(PyExc_ValueError, "Password must be 1 or more bytes");
    // The passphrase str is kept alive by the caller's reference for the
    // whole call, so its UTF-8 view stays valid with the lock released.
    std::string pem;
    {
        nb::gil_scoped_release unlocked;
        crypto::EvpPkeyPtr key = crypto::generate_rsa_key(bits, exponent);
        pem = crypto::write_encrypted_traditional_pem(key.get(), secret);
    }
    std::string content = crypto::base64_encode(pem);
    nb::object company_id = host::truthy(company) ? nb::object(company.attr("id")) : nb::borrow(company);

    nb::dict vals;
    vals["name"] = name;
    vals["content"] = nb::bytes(content.data(), content.size());
    vals["password"] = passphrase;
    vals["company_id"] = company_id;
    nb::object model = key_record.attr("env")["certificate.key.corvane.connect"];
    result["return"] = model.attr("create")(vals);
    return result;
}

} // namespace

void def_generate_private_key(nb::module_& m) {
    m.def("_generate_corvane_connect_private_key", &generate_private_key, nb::arg("key_record"), nb::arg("name"),
          nb::arg("passphrase") = nb::none(), nb::arg("public_exponent") = 65537, nb::arg("key_size") = 2048,
          nb::arg("company") = nb::none(),
          "Generate an RSA key and store it, encrypted under `passphrase`, in a new "
          "certificate.key.corvane.connect record. Returns {\"return\": record}.");
}

} // namespace corvane::keys
