// Subject parsing and PKCS #10 request building.
#include "csr.h"

#include <string>

#include <openssl/obj_mac.h>
#include <openssl/x509.h>

#include "error.h"
#include "ossl_ptr.h"
#include "pem.h"

namespace corvane::crypto {
namespace {

struct KnownKey {
    std::string_view key;
    int nid;
    bool printable;
};

constexpr KnownKey kOidMap[] = {
    {"C", NID_countryName, true},
    {"O", NID_organizationName, false},
    {"OU", NID_organizationalUnitName, false},
    {"CN", NID_commonName, false},
    {"serialNumber", NID_serialNumber, true},
};

bool is_printable_char(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ' ||
           c == '\'' || c == '(' || c == ')' || c == '+' || c == ',' || c == '-' || c == '.' ||
           c == '/' || c == ':' || c == '=' || c == '?';
}

// Length limits in UTF-8 bytes, as the Python X.509 library enforces them
// (ISO 3166 country codes; the X.520 upper bound of a common name). Other
// attributes have no limit of their own.
struct LengthLimit {
    int nid;
    std::size_t min;
    std::size_t max;
};

constexpr LengthLimit kLengthLimits[] = {
    {NID_countryName, 2, 2},
    {NID_commonName, 1, 64},
};

// The whole subject string may not exceed this: every value must fit the
// int lengths of OpenSSL's name and DER functions with room to spare.
constexpr std::size_t kMaxSubjectBytes = std::size_t{1} << 30;

void check_value(const KnownKey& k, std::string_view value) {
    for (const LengthLimit& limit : kLengthLimits) {
        if (limit.nid == k.nid && (value.size() < limit.min || value.size() > limit.max))
            throw Error(ErrorKind::InvalidValue,
                        "Attribute's length must be >= " + std::to_string(limit.min) +
                            " and <= " + std::to_string(limit.max) + ", but it was " +
                            std::to_string(value.size()));
    }
    if (k.printable) {
        for (unsigned char c : value) {
            if (!is_printable_char(c))
                throw Error(ErrorKind::InvalidValue,
                            "Value is not a valid PrintableString for attribute " +
                                std::string(k.key));
        }
    }
}

} // namespace

std::vector<SubjectAttribute> parse_subject(std::string_view subject) {
    if (subject.size() > kMaxSubjectBytes)
        throw Error(ErrorKind::InvalidValue, "subject string is too long");
    while (!subject.empty() && subject.front() == '/')
        subject.remove_prefix(1);
    while (!subject.empty() && subject.back() == '/')
        subject.remove_suffix(1);
    std::vector<SubjectAttribute> out;
    for (;;) {
        std::size_t slash = subject.find('/');
        std::string_view component = subject.substr(0, slash);
        std::size_t eq = component.find('=');
        if (eq == std::string_view::npos)
            throw Error(ErrorKind::InvalidValue, "not enough values to unpack (expected 2, got 1)");
        std::string_view key = component.substr(0, eq);
        std::string_view value = component.substr(eq + 1);
        for (const KnownKey& k : kOidMap) {
            if (k.key == key) {
                check_value(k, value);
                out.push_back({k.nid, k.printable, std::string(value)});
                break;
            }
        }
        if (slash == std::string_view::npos)
            break;
        subject.remove_prefix(slash + 1);
    }
    return out;
}

std::string build_csr(EVP_PKEY* key, const std::vector<SubjectAttribute>& subject) {
    X509NamePtr name(X509_NAME_new());
    check(name != nullptr, "X509_NAME_new");
    for (const SubjectAttribute& a : subject) {
        // loc -1 appends, set 0 opens a new RDN: one attribute per RDN.
        check(X509_NAME_add_entry_by_NID(name.get(), a.nid,
                                         a.printable ? V_ASN1_PRINTABLESTRING : V_ASN1_UTF8STRING,
                                         reinterpret_cast<const unsigned char*>(a.value.data()),
                                         static_cast<int>(a.value.size()), -1, 0) == 1,
              "X509_NAME_add_entry_by_NID");
    }
    X509ReqPtr req(X509_REQ_new());
    check(req != nullptr, "X509_REQ_new");
    check(X509_REQ_set_version(req.get(), X509_REQ_VERSION_1) == 1, "X509_REQ_set_version");
    check(X509_REQ_set_subject_name(req.get(), name.get()) == 1, "X509_REQ_set_subject_name");
    check(X509_REQ_set_pubkey(req.get(), key) == 1, "X509_REQ_set_pubkey");
    check(X509_REQ_sign(req.get(), key, EVP_sha256()) > 0, "X509_REQ_sign");

    unsigned char* der = nullptr;
    int der_len = i2d_X509_REQ(req.get(), &der);
    check(der_len > 0, "i2d_X509_REQ");
    OsslBytesPtr der_owner(der); // i2d allocated it for us

    // Read our own output back: malformed output never leaves the core.
    const unsigned char* p = der;
    X509ReqPtr parsed(d2i_X509_REQ(nullptr, &p, der_len));
    check(parsed != nullptr && p == der + der_len, "d2i_X509_REQ");
    check(X509_REQ_verify(parsed.get(), key) == 1, "X509_REQ_verify");
    return write_pem("CERTIFICATE REQUEST", der, static_cast<std::size_t>(der_len));
}

} // namespace corvane::crypto
