// libFuzzer target: the subject-string parser and the CSR builder.
//
// Every input is parsed and the outcome compared with a model of the
// documented rules (strip the outer slashes, split at "/", split each
// component at its first "=", keep the five known keys). When the parse
// succeeds and every kept value is valid UTF-8 (the binding only ever hands
// over the UTF-8 of a str), the request is built with a fixed key, read back
// with OpenSSL's own PEM reader, verified, and its subject compared entry by
// entry: one attribute per RDN, in string order, with the right string type.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "crypto/csr.h"
#include "crypto/error.h"
#include "crypto/ossl_ptr.h"
#include "crypto/private_key.h"

namespace {

using corvane::crypto::Error;
using corvane::crypto::ErrorKind;
using corvane::crypto::SubjectAttribute;

[[noreturn]] void fail(const char* what, const char* detail = "") {
    std::fprintf(stderr, "subject/CSR invariant broken: %s %s\n", what, detail);
    std::abort();
}

// One key for the whole run: generation costs far more than a request.
EVP_PKEY* fixed_key() {
    static corvane::crypto::EvpPkeyPtr key =
        corvane::crypto::generate_rsa_key(corvane::crypto::check_rsa_parameters(1024, 65537));
    return key.get();
}

struct ModelAttribute {
    std::string key;
    std::string value;
};

// The documented parse, written as plainly as possible. `ok` is false when
// a component has no "=".
bool model_parse(std::string_view s, std::vector<ModelAttribute>& out) {
    std::size_t first = s.find_first_not_of('/');
    if (first == std::string_view::npos)
        return false; // empty or all slashes: one empty component
    std::size_t last = s.find_last_not_of('/');
    std::string inner(s.substr(first, last - first + 1));
    std::vector<std::string> components;
    std::string current;
    for (char c : inner) {
        if (c == '/') {
            components.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    components.push_back(current);
    for (const std::string& c : components) {
        std::size_t eq = c.find('=');
        if (eq == std::string::npos)
            return false;
        std::string key = c.substr(0, eq);
        if (key == "C" || key == "O" || key == "OU" || key == "CN" || key == "serialNumber")
            out.push_back({key, c.substr(eq + 1)});
    }
    return true;
}

int nid_of(const std::string& key) {
    if (key == "C")
        return NID_countryName;
    if (key == "O")
        return NID_organizationName;
    if (key == "OU")
        return NID_organizationalUnitName;
    if (key == "CN")
        return NID_commonName;
    return NID_serialNumber;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t n;
        std::uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + n >= s.size())
            return false; // truncated sequence
        for (std::size_t k = 1; k <= n; ++k) {
            unsigned char cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n + 1;
    }
    return true;
}

void check_request(const std::string& pem, const std::vector<SubjectAttribute>& subject) {
    if (pem.rfind("-----BEGIN CERTIFICATE REQUEST-----\n", 0) != 0)
        fail("the request does not start with its PEM header");
    corvane::crypto::BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio)
        fail("BIO_new_mem_buf");
    corvane::crypto::X509ReqPtr req(PEM_read_bio_X509_REQ(bio.get(), nullptr, nullptr, nullptr));
    if (!req)
        fail("OpenSSL cannot read the request back");
    if (X509_REQ_verify(req.get(), fixed_key()) != 1)
        fail("the request does not verify with its key");
    if (X509_REQ_get_version(req.get()) != X509_REQ_VERSION_1 ||
        X509_REQ_get_attr_count(req.get()) != 0)
        fail("version or attributes");
    const X509_NAME* name = X509_REQ_get_subject_name(req.get());
    if (X509_NAME_entry_count(name) != static_cast<int>(subject.size()))
        fail("subject entry count");
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        const SubjectAttribute& want = subject[static_cast<std::size_t>(i)];
        if (X509_NAME_ENTRY_set(entry) != i)
            fail("two attributes share an RDN");
        if (OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry)) != want.nid)
            fail("attribute type");
        const ASN1_STRING* value = X509_NAME_ENTRY_get_data(entry);
        int type = want.printable ? V_ASN1_PRINTABLESTRING : V_ASN1_UTF8STRING;
        if (ASN1_STRING_type(value) != type)
            fail("string type");
        if (static_cast<std::size_t>(ASN1_STRING_length(value)) != want.value.size() ||
            std::memcmp(ASN1_STRING_get0_data(value), want.value.data(), want.value.size()) != 0)
            fail("attribute value");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<ModelAttribute> expected;
    bool model_ok = model_parse(text, expected);

    std::vector<SubjectAttribute> subject;
    try {
        subject = corvane::crypto::parse_subject(text);
    } catch (const Error& e) {
        if (e.kind() != ErrorKind::InvalidValue)
            fail("parse_subject failed with a kind other than InvalidValue:", e.what());
        if (ERR_peek_error() != 0)
            fail("OpenSSL error queue not empty after a refused subject");
        // The parser refuses more than the model (value checks of kept
        // attributes), but never reports a missing "=" that is not missing.
        if (model_ok &&
            std::strcmp(e.what(), "not enough values to unpack (expected 2, got 1)") == 0)
            fail("unpacking error for a subject whose components all hold \"=\"");
        return 0;
    }
    if (!model_ok)
        fail("parsed a subject with a component that has no \"=\"");
    if (subject.size() != expected.size())
        fail("attribute count differs from the model");
    for (std::size_t i = 0; i < subject.size(); ++i) {
        if (subject[i].nid != nid_of(expected[i].key) || subject[i].value != expected[i].value)
            fail("attribute differs from the model");
        if (subject[i].printable != (expected[i].key == "C" || expected[i].key == "serialNumber"))
            fail("string type choice");
    }

    for (const SubjectAttribute& a : subject) {
        if (!valid_utf8(a.value))
            return 0; // the binding never hands such a value over
    }
    std::string pem;
    try {
        pem = corvane::crypto::build_csr(fixed_key(), subject);
    } catch (const Error& e) {
        fail("build_csr refused a parsed subject:", e.what());
    }
    if (ERR_peek_error() != 0)
        fail("OpenSSL error queue not empty after a request");
    check_request(pem, subject);
    return 0;
}
