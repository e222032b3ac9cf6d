// _generate_corvane_connect_csr: a PKCS #10 request for the key record's key
// with the subject of a slash-separated string, as PEM text.
//
// The subject is parsed completely before the key is read, so a faulty
// subject fails before any key problem is seen. The single signature keeps
// the interpreter lock (see keys_sign.cpp).
#include "corvane_keys.h"

#include "crypto/csr.h"
#include "host.h"

namespace corvane::keys {
namespace {

// The subject's UTF-8 bytes, lone surrogates kept in their 3-byte form. The
// parse never looks inside keys or values, so a surrogate in a component that
// is skipped does no harm, exactly as with str methods; only a kept value is
// ever encoded (see reject_surrogates).
nb::bytes subject_bytes(nb::handle x509_name) {
    host::require_str(x509_name, "x509_name");
    PyObject* encoded = PyUnicode_AsEncodedString(x509_name.ptr(), "utf-8", "surrogatepass");
    if (!encoded)
        throw nb::python_error();
    return nb::steal<nb::bytes>(encoded);
}

// A kept value that holds a lone surrogate (ED A0..BF xx in the surrogatepass
// form) cannot become UTF8String content: raise the host's own
// UnicodeEncodeError for it, as encoding that value in Python would.
void reject_surrogates(const std::string& value) {
    for (std::size_t i = 0; i + 1 < value.size(); ++i) {
        if (static_cast<unsigned char>(value[i]) == 0xED &&
            static_cast<unsigned char>(value[i + 1]) >= 0xA0) {
            nb::object text = nb::steal(PyUnicode_DecodeUTF8(
                value.data(), static_cast<Py_ssize_t>(value.size()), "surrogatepass"));
            if (!text.is_valid())
                throw nb::python_error();
            nb::object strict = nb::steal(PyUnicode_AsUTF8String(text.ptr()));
            if (!strict.is_valid())
                throw nb::python_error();
            // Not reached: strict encoding of a lone surrogate always fails.
            host::raise(PyExc_ValueError, "value is not valid UTF-8");
        }
    }
}

nb::dict generate_csr(const Namespace& ns, nb::handle key_record, nb::handle x509_name) {
    nb::dict result;
    nb::bytes encoded = subject_bytes(x509_name);
    std::vector<crypto::SubjectAttribute> subject =
        crypto::parse_subject(std::string_view(encoded.c_str(), encoded.size()));
    for (const crypto::SubjectAttribute& attribute : subject)
        reject_surrogates(attribute.value);
    crypto::EvpPkeyPtr key = load_record_key(ns, key_record);
    result["return"] = host::make_str(crypto::build_csr(key.get(), subject));
    return result;
}

} // namespace

void def_generate_csr(nb::module_& m, const Namespace& ns) {
    m.def(
        "_generate_corvane_connect_csr",
        [ns](nb::handle key_record, nb::handle x509_name) {
            return generate_csr(ns, key_record, x509_name);
        },
        host::param("key_record"), host::param("x509_name"),
        "Build a certificate signing request for the key record's key with the subject "
        "\"/C=../O=../OU=../CN=../serialNumber=..\". Returns {\"return\": PEM text}.");
}

} // namespace corvane::keys
