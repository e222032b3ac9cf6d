// _signature_headers: the "Digest" (SHA-512 of the body) and "Signature"
// (hs2019 over "(request-target)", "host", "digest", "(created)" and, when
// present, "authorization") headers of one request, added to the caller's
// header dictionary only once the signer has returned.
//
// GIL policy: the body digest runs with the interpreter lock released from
// kUnlockedDigestMinSize bytes on; below it, getting the lock back costs more
// than the hash. The body's UTF-8 bytes belong to the payload str, which the
// caller's reference keeps alive and unchanged meanwhile.
#include <string>

#include "corvane_user.h"
#include "crypto/base64.h"
#include "crypto/sha512.h"

namespace corvane::user {
namespace {

// 1 MiB, hashed in about 1.5 ms: well inside the 5 ms switch interval that
// another busy thread waits before it asks for the lock. Measured by
// benchmarks/bench_threads.py with a busy Python thread alongside: released
// for a body hashed in microseconds (CPython's hashlib threshold, 2,048
// bytes), the lock was taken back before the waiting thread woke, which
// kept 2-4 % of its progress (4 KB bodies); for a body of tens of
// kilobytes, the signing thread waited out the switch interval after each
// digest and kept 10 % of its throughput (64 KB). Kept below 1 MiB, both
// threads get their half; released from 1 MiB on, the other thread keeps
// 90 % of its progress while the body is hashed.
constexpr std::size_t kUnlockedDigestMinSize = std::size_t{1} << 20;

// "SHA-512=" + Base64 of the SHA-512 of the payload's UTF-8 text form; an
// empty payload (None, "", {} or any other false value) hashes zero bytes.
nb::str body_digest(nb::handle payload) {
    std::string_view body;
    nb::object text; // keeps the str that owns `body` alive
    if (host::truthy(payload)) {
        text = PyUnicode_Check(payload.ptr()) ? nb::borrow(payload) : nb::object(nb::str(payload));
        body = host::utf8_of(text, "payload");
    }
    crypto::Sha512Digest digest;
    if (body.size() >= kUnlockedDigestMinSize) {
        nb::gil_scoped_release unlocked;
        digest = crypto::sha512(body.data(), body.size());
    } else {
        digest = crypto::sha512(body.data(), body.size());
    }
    return host::make_str("SHA-512=" + crypto::base64_encode(digest.data(), digest.size()));
}

void signature_headers(const Namespace& ns, nb::handle kav_user, nb::handle headers,
                       nb::handle payload, nb::handle request_target) {
    nb::str created = nb::str(nb::int_(ns[name::kTime].attr("time")()));
    nb::str digest = body_digest(payload);

    const char* header_names = "(request-target) host digest (created)";
    nb::str signing_string = host::concat(
        {nb::str("(request-target): "), request_target, nb::str("\nhost: "), ns[name::kHost],
         nb::str("\ndigest: "), digest, nb::str("\n(created): "), created});
    nb::object authorization = headers.attr("get")("Authorization");
    if (host::truthy(authorization)) {
        header_names = "(request-target) host digest (created) authorization";
        signing_string =
            host::concat({signing_string, nb::str("\nauthorization: "), authorization});
    }

    nb::object key_record = kav_user.attr("sign_cert_id").attr("private_key_id");
    nb::object signature = ns[name::kSign](key_record, signing_string)["return"];

    headers[nb::str("Digest")] = digest;
    nb::object key_id = kav_user.attr("sign_cert_key_identifier");
    headers[nb::str("Signature")] =
        host::concat({nb::str("keyId=\""), key_id, nb::str("\",created="), created,
                      nb::str(",algorithm=\"hs2019\""), nb::str(",headers=\""),
                      nb::str(header_names), nb::str("\",signature=\""), signature, nb::str("\"")});
}

} // namespace

void def_signature(nb::module_& m, const Namespace& ns) {
    m.def(
        "_signature_headers",
        [ns](nb::handle kav_user, nb::handle headers, nb::handle payload,
             nb::handle request_target) {
            signature_headers(ns, kav_user, headers, payload, request_target);
        },
        host::param("kav_user"), host::param("headers"), host::param("payload"),
        host::param("request_target"),
        "Add \"Digest\" and \"Signature\" for `request_target` and `payload` to `headers`.");
}

} // namespace corvane::user
