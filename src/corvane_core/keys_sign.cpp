// _corvane_connect_sign: RSASSA-PSS (SHA-256, MGF1-SHA-256, salt 32) over the
// UTF-8 bytes of a message, with the key record's key parsed anew each call.
//
// GIL policy: a single signature keeps the interpreter lock. It costs well
// under a millisecond; releasing the lock for it would make the call wait up
// to the 5 ms switch interval to get it back whenever another thread is busy.
#include "corvane_keys.h"

#include "crypto/base64.h"
#include "crypto/private_key.h"
#include "crypto/pss.h"
#include "host.h"

namespace corvane::keys {
namespace {

nb::dict corvane_connect_sign(const Namespace& ns, nb::handle key_record, nb::handle message) {
    nb::dict result;
    crypto::EvpPkeyPtr key = load_record_key(ns, key_record);
    std::string_view bytes = host::utf8_of(message, "message");
    std::vector<std::uint8_t> signature = crypto::sign_pss_sha256(
        key.get(), reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    result["return"] = host::make_str(crypto::base64_encode(signature.data(), signature.size()));
    return result;
}

} // namespace

crypto::EvpPkeyPtr load_record_key(const Namespace& ns, nb::handle key_record) {
    nb::object pem_key = key_record.attr("pem_key");
    host::Base64Input input(pem_key);
    crypto::SecureBytes pem;
    if (input.needs_host_decoder()) {
        nb::bytes decoded = nb::bytes(input.decode_with(ns[name::kBase64].attr("b64decode")));
        pem.assign(decoded.c_str(), decoded.c_str() + decoded.size());
    } else {
        pem = crypto::base64_decode_secret(input.view());
    }
    return crypto::load_private_key(crypto::as_text(pem));
}

void def_sign(nb::module_& m, const Namespace& ns) {
    m.def(
        "_corvane_connect_sign",
        [ns](nb::handle key_record, nb::handle message) {
            return corvane_connect_sign(ns, key_record, message);
        },
        host::param("key_record"), host::param("message"),
        "Sign `message` (text) with the key record's RSA key: RSASSA-PSS, SHA-256, MGF1-SHA-256, "
        "salt length 32. Returns {\"return\": Base64 signature}.");
}

} // namespace corvane::keys
