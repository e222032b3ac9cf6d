// RSASSA-PSS through EVP_DigestSign with explicit padding parameters.
#include "pss.h"

#include <openssl/err.h>
#include <openssl/rsa.h>

#include "error.h"
#include "ossl_ptr.h"

namespace corvane::crypto {
namespace {

constexpr int kSaltLength = 32;

// Prepares `md` for PSS with SHA-256 in the direction `sign`.
void init_pss(EVP_MD_CTX* md, EVP_PKEY* key, bool sign) {
    EVP_PKEY_CTX* pctx = nullptr; // owned by `md`
    int ok = sign ? EVP_DigestSignInit(md, &pctx, EVP_sha256(), nullptr, key)
                  : EVP_DigestVerifyInit(md, &pctx, EVP_sha256(), nullptr, key);
    check(ok == 1, "EVP_DigestSignInit");
    check(EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING) == 1,
          "EVP_PKEY_CTX_set_rsa_padding");
    check(EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, kSaltLength) == 1,
          "EVP_PKEY_CTX_set_rsa_pss_saltlen");
    check(EVP_PKEY_CTX_set_rsa_mgf1_md(pctx, EVP_sha256()) == 1, "EVP_PKEY_CTX_set_rsa_mgf1_md");
}

} // namespace

std::vector<std::uint8_t> sign_pss_sha256(EVP_PKEY* key, const std::uint8_t* message,
                                          std::size_t size) {
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA)
        throw Error(ErrorKind::InvalidType, "the private key is not an RSA key");
    // PSS needs hLen + sLen + 2 bytes of encoded message: 66 for SHA-256 and
    // salt 32. The encoded message has one bit less than the modulus, so
    // keys of 522 bits and more fit.
    int em_bits = EVP_PKEY_get_bits(key) - 1;
    if ((em_bits + 7) / 8 < 32 + kSaltLength + 2)
        throw Error(ErrorKind::InvalidValue,
                    "Digest too large for key size. Use a larger key or different digest.");
    EvpMdCtxPtr md(EVP_MD_CTX_new());
    check(md != nullptr, "EVP_MD_CTX_new");
    init_pss(md.get(), key, true);
    std::vector<std::uint8_t> sig(static_cast<std::size_t>(EVP_PKEY_get_size(key)));
    std::size_t sig_len = sig.size();
    check(EVP_DigestSign(md.get(), sig.data(), &sig_len, message, size) == 1, "EVP_DigestSign");
    sig.resize(sig_len);
    return sig;
}

bool verify_pss_sha256(EVP_PKEY* key, const std::uint8_t* message, std::size_t size,
                       const std::uint8_t* signature, std::size_t signature_size) {
    EvpMdCtxPtr md(EVP_MD_CTX_new());
    check(md != nullptr, "EVP_MD_CTX_new");
    init_pss(md.get(), key, false);
    int ok = EVP_DigestVerify(md.get(), signature, signature_size, message, size);
    ERR_clear_error();
    return ok == 1;
}

} // namespace corvane::crypto
