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

nb::dict generate_csr(nb::handle key_record, nb::handle x509_name) {
    nb::dict result;
    std::string_view subject_text = host::utf8_of(x509_name, "x509_name");
    std::vector<crypto::SubjectAttribute> subject = crypto::parse_subject(subject_text);
    crypto::EvpPkeyPtr key = load_record_key(key_record);
    result["return"] = host::make_str(crypto::build_csr(key.get(), subject));
    return result;
}

} // namespace

void def_generate_csr(nb::module_& m) {
    m.def("_generate_corvane_connect_csr", &generate_csr, nb::arg("key_record"), nb::arg("x509_name"),
          "Build a certificate signing request for the key record's key with the subject "
          "\"/C=../O=../OU=../CN=../serialNumber=..\". Returns {\"return\": PEM text}.");
}

} // namespace corvane::keys
