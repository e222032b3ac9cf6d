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

// The integer of an argument that has passed the checks below, as the host's
// operator.index reads it (TypeError for a float or a str). Values beyond
// `long long` are handed on as out of range so that the core refuses them.
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

// The key parameters checked as the Python crypto library checks them, in
// its order and with its messages: `public_exponent in (3, 65537)` and
// `key_size < 1024` by the host's own comparisons (so a str exponent is a
// ValueError, a str size the TypeError of "<"), then both read as integers
// and the core's limits applied (sizes above 16384 bits too). The limits
// and messages are the core's.
crypto::RsaParameters read_rsa_parameters(nb::handle public_exponent, nb::handle key_size) {
    nb::tuple exponents = nb::make_tuple(crypto::kRsaExponents[0], crypto::kRsaExponents[1]);
    if (!host::contains(exponents, public_exponent))
        host::raise(PyExc_ValueError, crypto::kRsaExponentRefusal);
    if (host::compare(key_size, nb::int_(crypto::kMinRsaBits), Py_LT))
        host::raise(PyExc_ValueError, crypto::kRsaTooSmallRefusal);
    long long exponent = integer_argument(public_exponent);
    long long bits = integer_argument(key_size);
    return crypto::check_rsa_parameters(bits, exponent);
}

nb::dict generate_private_key(nb::handle key_record, nb::handle name, nb::handle passphrase,
                              nb::handle public_exponent, nb::handle key_size, nb::handle company) {
    nb::dict result;
    crypto::RsaParameters parameters = read_rsa_parameters(public_exponent, key_size);
    // Refused before any key is generated.
    crypto::Passphrase secret = crypto::check_passphrase(host::utf8_of(passphrase, "passphrase"));
    // The passphrase str is kept alive by the caller's reference for the
    // whole call, so its UTF-8 view stays valid with the lock released.
    std::string pem;
    {
        nb::gil_scoped_release unlocked;
        crypto::EvpPkeyPtr key = crypto::generate_rsa_key(parameters);
        pem = crypto::write_encrypted_traditional_pem(key.get(), secret);
    }
    std::string content = crypto::base64_encode(pem);

    // key_record.env["certificate.key.corvane.connect"].create({...}): the
    // model and its create are looked up before the values are built, and
    // the company is tested and read while they are.
    nb::object model = key_record.attr("env")["certificate.key.corvane.connect"];
    nb::object create = model.attr("create");
    nb::dict vals;
    vals["name"] = name;
    vals["content"] = nb::bytes(content.data(), content.size());
    vals["password"] = passphrase;
    vals["company_id"] =
        host::truthy(company) ? nb::object(company.attr("id")) : nb::borrow(company);
    result["return"] = create(vals);
    return result;
}

} // namespace

void def_generate_private_key(nb::module_& m) {
    m.def("_generate_corvane_connect_private_key", &generate_private_key, host::param("key_record"),
          host::param("name"), host::param("passphrase") = nb::none(),
          host::param("public_exponent") = 65537, host::param("key_size") = 2048,
          host::param("company") = nb::none(),
          "Generate an RSA key and store it, encrypted under `passphrase`, in a new "
          "certificate.key.corvane.connect record. Returns {\"return\": record}.");
}

} // namespace corvane::keys
