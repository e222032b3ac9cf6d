// RSASSA-PSS (SHA-256, MGF1-SHA-256, salt 32): randomised, so tested by
// round trips, by verifiers built here with other parameters, and by fixed
// negative cases.
#include <openssl/rsa.h>

#include "crypto/pss.h"
#include "test_keys.h"

namespace corvane::crypto::test {
namespace {

const std::vector<std::uint8_t> kMessage =
    bytes_of("(request-target): get /corvane-connect/accounts?offset=0&size=20");

// An independent PSS verifier with the given parameters, built on EVP.
struct Verifier {
    const char* name;
    const EVP_MD* (*md)();
    const EVP_MD* (*mgf1)();
    int salt_length; // bytes, or RSA_PSS_SALTLEN_AUTO / RSA_PSS_SALTLEN_MAX
    bool accepts;
};

bool verify_with(const Verifier& v, EVP_PKEY* key, const std::vector<std::uint8_t>& message,
                 const std::vector<std::uint8_t>& sig) {
    EvpMdCtxPtr md(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr; // owned by md
    bool ok =
        md && EVP_DigestVerifyInit(md.get(), &pctx, v.md(), nullptr, key) == 1 &&
        EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING) == 1 &&
        EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, v.salt_length) == 1 &&
        EVP_PKEY_CTX_set_rsa_mgf1_md(pctx, v.mgf1()) == 1 &&
        EVP_DigestVerify(md.get(), sig.data(), sig.size(), message.data(), message.size()) == 1;
    ERR_clear_error();
    return ok;
}

// An independent PSS signer: SHA-256, MGF1-SHA-256 and `salt_length`.
std::vector<std::uint8_t> sign_with(EVP_PKEY* key, int salt_length,
                                    const std::vector<std::uint8_t>& message) {
    EvpMdCtxPtr md(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr; // owned by md
    std::vector<std::uint8_t> sig(static_cast<std::size_t>(EVP_PKEY_get_size(key)));
    std::size_t len = sig.size();
    bool ok = md && EVP_DigestSignInit(md.get(), &pctx, EVP_sha256(), nullptr, key) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING) == 1 &&
              EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, salt_length) == 1 &&
              EVP_PKEY_CTX_set_rsa_mgf1_md(pctx, EVP_sha256()) == 1 &&
              EVP_DigestSign(md.get(), sig.data(), &len, message.data(), message.size()) == 1;
    ERR_clear_error();
    sig.resize(ok ? len : 0);
    return sig;
}

std::vector<std::uint8_t> sign(EVP_PKEY* key, const std::vector<std::uint8_t>& message) {
    return sign_pss_sha256(key, message.data(), message.size());
}

bool verify(EVP_PKEY* key, const std::vector<std::uint8_t>& message,
            const std::vector<std::uint8_t>& sig) {
    return verify_pss_sha256(key, message.data(), message.size(), sig.data(), sig.size());
}

class Pss : public CoreTest {};

TEST_F(Pss, SignThenVerify) {
    EVP_PKEY* key = shared_rsa_1024();
    std::vector<std::uint8_t> sig = sign(key, kMessage);
    EXPECT_EQ(sig.size(), 128u);
    EXPECT_TRUE(verify(key, kMessage, sig));
}

TEST_F(Pss, TwoSignaturesDifferAndBothVerify) {
    EVP_PKEY* key = shared_rsa_1024();
    std::vector<std::uint8_t> a = sign(key, kMessage), b = sign(key, kMessage);
    EXPECT_NE(a, b);
    EXPECT_TRUE(verify(key, kMessage, a));
    EXPECT_TRUE(verify(key, kMessage, b));
}

TEST_F(Pss, EmptyMessage) {
    EVP_PKEY* key = shared_rsa_1024();
    std::vector<std::uint8_t> sig = sign_pss_sha256(key, nullptr, 0);
    EXPECT_TRUE(verify_pss_sha256(key, nullptr, 0, sig.data(), sig.size()));
    EXPECT_FALSE(verify(key, kMessage, sig));
}

TEST_F(Pss, Key2048GivesSignatureOf256Bytes) {
    EvpPkeyPtr key = read_key_with_openssl(kRsa2048Pkcs1Pem);
    ASSERT_TRUE(key);
    std::vector<std::uint8_t> sig = sign(key.get(), kMessage);
    EXPECT_EQ(sig.size(), 256u);
    EXPECT_TRUE(verify(key.get(), kMessage, sig));
}

// The exact parameters, seen from outside: only a verifier fixed to
// SHA-256, MGF1-SHA-256 and salt 32 (or one that reads the salt length from
// the signature) accepts.
const Verifier kVerifiers[] = {
    {"salt32_sha256", EVP_sha256, EVP_sha256, 32, true},
    {"salt_auto", EVP_sha256, EVP_sha256, RSA_PSS_SALTLEN_AUTO, true},
    {"salt_max", EVP_sha256, EVP_sha256, RSA_PSS_SALTLEN_MAX, false},
    {"salt20", EVP_sha256, EVP_sha256, 20, false},
    {"salt64", EVP_sha256, EVP_sha256, 64, false},
    {"salt0", EVP_sha256, EVP_sha256, 0, false},
    {"mgf1_sha1", EVP_sha256, EVP_sha1, 32, false},
    {"mgf1_sha512", EVP_sha256, EVP_sha512, 32, false},
    {"hash_sha512", EVP_sha512, EVP_sha256, 32, false},
};

class PssVerifier : public CoreTestWithParam<Verifier> {};

TEST_P(PssVerifier, JudgesOurSignature) {
    EvpPkeyPtr key = read_key_with_openssl(kRsa2048Pkcs1Pem);
    ASSERT_TRUE(key);
    std::vector<std::uint8_t> sig = sign(key.get(), kMessage);
    EXPECT_EQ(verify_with(GetParam(), key.get(), kMessage, sig), GetParam().accepts);
}

INSTANTIATE_TEST_SUITE_P(Table, PssVerifier, ::testing::ValuesIn(kVerifiers), CaseName());

// And the other way: our verifier accepts an independent salt-32 signature
// and no other salt length.
TEST_F(Pss, VerifierTakesOnlySalt32) {
    EVP_PKEY* key = shared_rsa_1024();
    std::vector<std::uint8_t> salt32 = sign_with(key, 32, kMessage);
    ASSERT_FALSE(salt32.empty());
    EXPECT_TRUE(verify(key, kMessage, salt32));
    for (int salt : {0, 20, 31, 33, RSA_PSS_SALTLEN_MAX}) {
        std::vector<std::uint8_t> other = sign_with(key, salt, kMessage);
        ASSERT_FALSE(other.empty()) << "salt " << salt;
        EXPECT_FALSE(verify(key, kMessage, other)) << "salt " << salt;
    }
}

// Every rejection leaves OpenSSL's error queue empty (CoreTest checks that).
TEST_F(Pss, RejectsTampering) {
    EVP_PKEY* key = shared_rsa_1024();
    std::vector<std::uint8_t> sig = sign(key, kMessage);

    std::vector<std::uint8_t> message = kMessage;
    message[5] ^= 0x01;
    EXPECT_FALSE(verify(key, message, sig));
    message = kMessage;
    message.push_back('x');
    EXPECT_FALSE(verify(key, message, sig));
    message.pop_back();
    message.pop_back();
    EXPECT_FALSE(verify(key, message, sig));

    std::vector<std::uint8_t> bad = sig;
    bad[40] ^= 0x80;
    EXPECT_FALSE(verify(key, kMessage, bad));
    bad = sig;
    bad.pop_back();
    EXPECT_FALSE(verify(key, kMessage, bad));
    bad = sig;
    bad.insert(bad.begin(), 0);
    EXPECT_FALSE(verify(key, kMessage, bad));
    EXPECT_FALSE(verify(key, kMessage, {}));
    EXPECT_FALSE(verify_pss_sha256(key, kMessage.data(), kMessage.size(), nullptr, 0));
}

TEST_F(Pss, RejectsSignatureOfAnotherKey) {
    EvpPkeyPtr other = read_key_with_openssl(kRsa2048Pkcs1Pem);
    ASSERT_TRUE(other);
    std::vector<std::uint8_t> sig = sign(other.get(), kMessage);
    EXPECT_FALSE(verify(shared_rsa_1024(), kMessage, sig));
}

// PSS with SHA-256 and salt 32 needs 66 bytes of encoded message, which is
// one bit short of the modulus: 522 bits is the smallest key that fits.
TEST_F(Pss, SmallestKeyThatFits) {
    EvpPkeyPtr fits = read_key_with_openssl(kRsa522Pkcs1Pem);
    ASSERT_EQ(EVP_PKEY_get_bits(fits.get()), 522);
    std::vector<std::uint8_t> sig = sign(fits.get(), kMessage);
    EXPECT_TRUE(verify(fits.get(), kMessage, sig));
    EXPECT_TRUE(verify_with(kVerifiers[0], fits.get(), kMessage, sig));

    for (std::string_view pem : {kRsa521Pkcs1Pem, kRsa512Pkcs1Pem}) {
        EvpPkeyPtr small = read_key_with_openssl(pem);
        ASSERT_TRUE(small);
        EXPECT_TRUE(
            fails_with([&] { sign(small.get(), kMessage); }, ErrorKind::InvalidValue,
                       "Digest too large for key size. Use a larger key or different digest."))
            << EVP_PKEY_get_bits(small.get()) << " bits";
    }
}

TEST_F(Pss, NonRsaKeyIsInvalidType) {
    for (std::string_view pem : {kEcP256Pem, kEd25519Pkcs8Pem}) {
        EvpPkeyPtr key = read_key_with_openssl(pem);
        ASSERT_TRUE(key);
        EXPECT_TRUE(fails_with([&] { sign(key.get(), kMessage); }, ErrorKind::InvalidType,
                               "the private key is not an RSA key"));
    }
}

} // namespace
} // namespace corvane::crypto::test
