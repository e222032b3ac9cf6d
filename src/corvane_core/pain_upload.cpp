// _pain_request: upload of a payment initiation file, held Base64-encoded on
// a payment initiation request record, as a signed bulk payment initiation
// request, and storage of the identifier and status the service assigns.
//
// Files run to tens of megabytes, so the body is made with one pass over the
// Base64 text and one copy: the Base64 is decoded straight into a new bytes
// object, and the strict UTF-8 decoder reads those into the body str, which
// the signature step hashes. The session is handed the UTF-8 bytes of that
// str, not the str: the digest covers those bytes, and a transport may
// encode text otherwise (Latin-1, with older urllib3). For an ASCII body
// they are the decoded bytes object itself.
//
// GIL policy: the Base64 decoding runs with the interpreter lock released
// from kUnlockedDecodeMinSize input bytes on; it reads the input (kept alive
// and, for a bytes-like value, exported) and writes a bytes object nobody
// else holds yet. Below the threshold it takes less time than the switch
// interval that getting the lock back can cost when another thread runs.
#include <cstdint>

#include "corvane_pain.h"
#include "crypto/base64.h"

namespace corvane::pain {
namespace {

constexpr std::size_t kUnlockedDecodeMinSize = std::size_t{1} << 20;

// The body of an upload: the text of the file and its exact UTF-8 bytes.
struct Body {
    nb::str text;
    nb::bytes utf8;
};

// The body whose UTF-8 bytes are `utf8`: strict decoding, UnicodeDecodeError
// for bytes that are not UTF-8.
Body text_of(nb::bytes utf8) {
    PyObject* text =
        PyUnicode_DecodeUTF8(utf8.c_str(), static_cast<Py_ssize_t>(utf8.size()), "strict");
    if (!text)
        throw nb::python_error();
    return Body{nb::steal<nb::str>(text), std::move(utf8)};
}

// base64.b64decode(data).decode("utf-8"), with the decoded bytes kept.
// Raises as those two calls would: TypeError for a value that is neither
// text nor bytes-like, ValueError for text with non-ASCII characters,
// binascii.Error for bad Base64, UnicodeDecodeError for bytes that are not
// strict UTF-8.
Body decode_body(const Namespace& ns, nb::handle data) {
    host::Base64Input input(data);
    if (input.needs_host_decoder())
        return text_of(nb::bytes(input.decode_with(ns[name::kBase64].attr("b64decode"))));
    std::string_view encoded = input.view();

    PyObject* raw = PyBytes_FromStringAndSize(
        nullptr, static_cast<Py_ssize_t>(crypto::base64_decoded_bound(encoded.size())));
    if (!raw)
        throw nb::python_error();
    nb::object owned = nb::steal(raw);
    auto* out = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(raw));
    std::size_t size;
    if (encoded.size() >= kUnlockedDecodeMinSize) {
        nb::gil_scoped_release unlocked;
        size = crypto::base64_decode_lenient(encoded, out);
    } else {
        size = crypto::base64_decode_lenient(encoded, out);
    }
#ifdef Py_LIMITED_API
    // The limited API cannot shrink a bytes object: the bytes written are
    // copied into one of their size (one more copy of the file, transient).
    PyObject* exact = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out),
                                                static_cast<Py_ssize_t>(size));
    if (!exact)
        throw nb::python_error();
    return text_of(nb::steal<nb::bytes>(exact));
#else
    // Shrinks the fresh, unshared object to what was written (the bound is
    // at most a few bytes over, or the share of skipped characters): a
    // realloc that keeps large blocks in place.
    raw = owned.release().ptr();
    if (_PyBytes_Resize(&raw, static_cast<Py_ssize_t>(size)) != 0)
        throw nb::python_error(); // raw was released and set to null
    return text_of(nb::steal<nb::bytes>(raw));
#endif
}

// Takes the payment initiation request record. Returns the guard's or the
// token step's dictionary when either refuses (nothing sent); otherwise a
// new dictionary: {} once `identifier` and `state` hold the service's
// answer, {"error": message} (logged) when the service refuses the upload,
// with the record unchanged. Decoding errors of `data` (see decode_body),
// errors of the signer, transport errors and a success answer without
// data.id or data.attributes.status propagate; the last after `identifier`
// was written, as it comes first.
nb::object pain_request(const Namespace& ns, nb::handle pain_record) {
    auto [kav_user, opening] = open_payment(ns, pain_record);
    if (opening.refused())
        return opening.refusal;

    operation::Target target =
        operation::target(ns, operation::Method::Post, {nb::str(operation::kPaymentRequestsPath)});
    nb::dict headers;
    headers["Content-Type"] = nb::str("application/xml");
    headers["Authorization"] = operation::bearer(kav_user);
    // The name goes in as it stands: a double quote in it is not escaped.
    headers["Content-Disposition"] =
        host::concat({nb::str("inline; filename=\""), pain_record.attr("name"), nb::str("\"")});
    headers["Is-Shared"] = nb::str("True");
    headers["Hide-Details"] = nb::str("True");

    Body body = decode_body(ns, pain_record.attr("data"));
    // An ASCII str is its own UTF-8. Any other one gets a UTF-8 form of its
    // own when it is hashed (kept with the str; the host builds it through a
    // transient buffer up to twice the text's size). The decoded bytes are
    // let go before the hashing and copied from that form after it, which
    // keeps them out of that peak. The text was decoded from those bytes:
    // it is ASCII when it has as many characters as they have bytes.
    bool ascii = static_cast<std::size_t>(PyUnicode_GetLength(body.text.ptr())) == body.utf8.size();
    if (!ascii)
        body.utf8.reset();
    operation::Request request{target, "Payment Initiation Request", headers, body.text};
    request.data = [&body, ascii]() -> nb::object {
        if (!ascii) {
            std::string_view utf8 = host::utf8_of(body.text, "body");
            body.utf8 = nb::bytes(utf8.data(), utf8.size());
        }
        return body.utf8;
    };
    nb::dict result;
    operation::Answer answer =
        operation::send_signed(ns, kav_user, opening.session, request, result);
    if (!answer.failed()) {
        nb::object data = answer.response.attr("json")()["data"];
        pain_record.attr("identifier") = data["id"];
        store_state(pain_record, data);
    }
    return result;
}

} // namespace

void def_pain_request(nb::module_& m, const Namespace& ns) {
    m.def(
        "_pain_request", [ns](nb::handle pain_record) { return pain_request(ns, pain_record); },
        host::param("pain_record"),
        "Upload the record's payment initiation file; store the request's identifier and state.");
}

} // namespace corvane::pain
