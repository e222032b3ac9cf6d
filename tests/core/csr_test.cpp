// Certificate signing requests: the subject string rules, and a built request
// read back with OpenSSL's own parser.
#include <openssl/obj_mac.h>
#include <openssl/x509.h>

#include "crypto/csr.h"
#include "test_keys.h"

namespace corvane::crypto::test {
namespace {

struct Attr {
    int nid;
    bool printable;
    std::string value;
    bool operator==(const Attr& o) const {
        return nid == o.nid && printable == o.printable && value == o.value;
    }
};

std::ostream& operator<<(std::ostream& os, const Attr& a) {
    return os << OBJ_nid2sn(a.nid) << (a.printable ? "(printable)=" : "(utf8)=") << a.value;
}

Attr C(std::string v) {
    return {NID_countryName, true, std::move(v)};
}
Attr O(std::string v) {
    return {NID_organizationName, false, std::move(v)};
}
Attr OU(std::string v) {
    return {NID_organizationalUnitName, false, std::move(v)};
}
Attr CN(std::string v) {
    return {NID_commonName, false, std::move(v)};
}
Attr SN(std::string v) {
    return {NID_serialNumber, true, std::move(v)};
}

std::vector<Attr> parsed(std::string_view subject) {
    std::vector<Attr> out;
    for (const SubjectAttribute& a : parse_subject(subject))
        out.push_back({a.nid, a.printable, a.value});
    return out;
}

constexpr std::string_view kUnpack = "not enough values to unpack (expected 2, got 1)";

struct SubjectCase {
    const char* name;
    std::string subject;
    std::vector<Attr> attrs;
    bool fails = false;
    std::string_view
        message; // when it fails: the host's exact message, or empty for the core's own wording
};

const std::vector<Attr> kCompany = {C("BE"), O("Company"), CN("Company key")};

SubjectCase parses(const char* name, std::string subject, std::vector<Attr> attrs) {
    return {name, std::move(subject), std::move(attrs), false, {}};
}

SubjectCase refused(const char* name, std::string subject, std::string_view message = {}) {
    return {name, std::move(subject), {}, true, message};
}

const SubjectCase kSubjects[] = {
    parses("typical", "/C=BE/O=Company/CN=Company key", kCompany),
    parses("no_leading_slash", "C=BE/O=Company/CN=Company key", kCompany),
    parses("several_slashes_around", "///C=BE/O=Company/CN=Company key///", kCompany),
    parses("equals_sign_in_value", "/CN=a=b", {CN("a=b")}),
    parses("empty_value", "/O=", {O("")}),
    parses("unknown_keys_skipped", "/L=Brussels/CN=x/ST=Brabant", {CN("x")}),
    parses("lower_case_key_skipped", "/cn=x/c=be/Cn=y/CN=z", {CN("z")}),
    parses("spaces_belong_to_key_or_value", "/ CN=a/CN =b/CN= c /O=d ", {CN(" c "), O("d ")}),
    parses("only_unknown_keys", "/L=Brussels/cn=x", {}),
    parses("repeated_ou_in_order", "/OU=first/CN=x/OU=second",
           {OU("first"), CN("x"), OU("second")}),
    parses("order_of_the_string", "/CN=x/serialNumber=42/O=y/C=BE",
           {CN("x"), SN("42"), O("y"), C("BE")}),
    parses("serial_number_key_exact", "/serialNumber=1/serialnumber=2/SERIALNUMBER=3", {SN("1")}),
    parses("utf8_kept_as_is", "/O=Soci\xc3\xa9t\xc3\xa9/CN=\xe2\x82\xac",
           {O("Soci\xc3\xa9t\xc3\xa9"), CN("\xe2\x82\xac")}),
    parses("printable_charset", "/serialNumber=AZaz09 '()+,-.:=?", {SN("AZaz09 '()+,-.:=?")}),
    parses("common_name_of_64_bytes", "/CN=" + std::string(64, 'x'), {CN(std::string(64, 'x'))}),
    // A component without "=" fails, whichever key it might have had.
    refused("empty_component_inside", "/C=BE//CN=x", kUnpack),
    refused("empty_string", "", kUnpack),
    refused("only_slashes", "///", kUnpack),
    refused("unknown_component_without_equals", "/C=BE/junk/CN=x", kUnpack),
    refused("fails_before_later_bad_country", "/junk/C=BEL", kUnpack),
    // The country is exactly two characters (UTF-8 bytes); a common name 1 to 64.
    refused("country_three", "/C=BEL"),
    refused("country_one", "/C=B"),
    refused("country_empty", "/C="),
    refused("country_fails_before_later_empty_component", "/C=BEL//CN=x"),
    refused("common_name_empty", "/CN="),
    refused("common_name_of_65_bytes", "/CN=" + std::string(65, 'x')),
    // PrintableString holds no other characters.
    refused("country_not_printable", "/C=B!"),
    refused("country_two_utf8_bytes", "/C=\xc3\xa9"),
    refused("serial_number_asterisk", "/serialNumber=a*b"),
    refused("serial_number_at_sign", "/serialNumber=a@b"),
    refused("serial_number_underscore", "/serialNumber=a_b"),
    refused("serial_number_non_ascii", "/serialNumber=\xc3\xa9"),
};

class ParseSubject : public CoreTestWithParam<SubjectCase> {};

TEST_P(ParseSubject, Table) {
    const auto& c = GetParam();
    if (!c.fails) {
        EXPECT_EQ(parsed(c.subject), c.attrs);
    } else {
        EXPECT_TRUE(
            fails_with([&] { parse_subject(c.subject); }, ErrorKind::InvalidValue, c.message));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseSubject, ::testing::ValuesIn(kSubjects), CaseName());

// The request's DER read with OpenSSL's PEM reader and d2i_X509_REQ, which
// must consume all of it.
X509ReqPtr read_request(const std::string& pem) {
    std::vector<std::uint8_t> der = der_with_openssl(pem);
    const unsigned char* p = der.data();
    X509ReqPtr req(d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size())));
    EXPECT_TRUE(req != nullptr && p == der.data() + der.size()) << pem;
    ERR_clear_error();
    return req;
}

class BuildCsr : public CoreTest {};

TEST_F(BuildCsr, ReadsBackAsSpecified) {
    EVP_PKEY* key = shared_rsa_1024();
    const std::vector<Attr> want = {C("BE"), O("Soci\xc3\xa9t\xc3\xa9"), OU("a"),
                                    OU("b"), CN("Company key"),          SN("0123")};
    std::string pem = build_csr(
        key, parse_subject(
                 "/C=BE/O=Soci\xc3\xa9t\xc3\xa9/OU=a/L=x/OU=b/CN=Company key/serialNumber=0123/"));

    EXPECT_EQ(pem.rfind("-----BEGIN CERTIFICATE REQUEST-----\n", 0), 0u);
    EXPECT_EQ(pem.substr(pem.size() - 34), "-----END CERTIFICATE REQUEST-----\n");
    X509ReqPtr req = read_request(pem);
    ASSERT_TRUE(req);

    EXPECT_EQ(X509_REQ_get_version(req.get()), 0); // version 1
    EXPECT_EQ(X509_REQ_get_attr_count(req.get()), 0);
    EXPECT_EQ(X509_REQ_get_signature_nid(req.get()), NID_sha256WithRSAEncryption);

    const X509_NAME* name = X509_REQ_get_subject_name(req.get());
    ASSERT_EQ(X509_NAME_entry_count(name), static_cast<int>(want.size()));
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* e = X509_NAME_get_entry(name, i);
        const ASN1_STRING* data = X509_NAME_ENTRY_get_data(e);
        Attr got{OBJ_obj2nid(X509_NAME_ENTRY_get_object(e)),
                 ASN1_STRING_type(data) == V_ASN1_PRINTABLESTRING,
                 std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(data)),
                             static_cast<std::size_t>(ASN1_STRING_length(data)))};
        EXPECT_EQ(got, want[i]) << "entry " << i;
        EXPECT_EQ(ASN1_STRING_type(data),
                  want[i].printable ? V_ASN1_PRINTABLESTRING : V_ASN1_UTF8STRING);
        EXPECT_EQ(X509_NAME_ENTRY_set(e), i) << "one attribute per RDN";
    }

    EXPECT_EQ(EVP_PKEY_eq(X509_REQ_get0_pubkey(req.get()), key), 1);
    EXPECT_EQ(X509_REQ_verify(req.get(), key), 1);
    EXPECT_EQ(X509_REQ_verify(req.get(), X509_REQ_get0_pubkey(req.get())), 1);
}

TEST_F(BuildCsr, EmptySubject) {
    std::string pem = build_csr(shared_rsa_1024(), parse_subject("/L=Brussels/cn=x"));
    X509ReqPtr req = read_request(pem);
    ASSERT_TRUE(req);
    EXPECT_EQ(X509_NAME_entry_count(X509_REQ_get_subject_name(req.get())), 0);
    EXPECT_EQ(X509_REQ_verify(req.get(), shared_rsa_1024()), 1);
}

TEST_F(BuildCsr, KeyOfAnotherSizeAndForm) {
    EvpPkeyPtr key = load_private_key(kRsa2048Pkcs8Pem);
    X509ReqPtr req = read_request(build_csr(key.get(), parse_subject("/CN=x")));
    ASSERT_TRUE(req);
    EXPECT_EQ(EVP_PKEY_get_bits(X509_REQ_get0_pubkey(req.get())), 2048);
    EXPECT_EQ(X509_REQ_verify(req.get(), key.get()), 1);
}

} // namespace
} // namespace corvane::crypto::test
