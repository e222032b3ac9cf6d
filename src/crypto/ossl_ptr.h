// Owning smart pointers for every OpenSSL object the crypto core touches.
//
// Each alias frees its object with the matching OpenSSL destructor; nothing
// else in the core calls a *_free function. Where an OpenSSL API takes
// ownership, the caller uses release() and names the new owner in a comment.
#pragma once

#include <memory>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/x509.h>

namespace corvane::crypto {

template <typename T, void (*Free)(T*)> struct OsslDeleter {
    void operator()(T* p) const noexcept { Free(p); }
};

template <typename T, void (*Free)(T*)> using OsslPtr = std::unique_ptr<T, OsslDeleter<T, Free>>;

// Parameter arrays carry key components: wipe each value before freeing.
inline void free_params_wiped(OSSL_PARAM* params) {
    for (OSSL_PARAM* p = params; p != nullptr && p->key != nullptr; ++p)
        OPENSSL_cleanse(p->data, p->data_size);
    OSSL_PARAM_free(params);
}

inline void free_openssl_bytes(unsigned char* p) {
    OPENSSL_free(p);
}

using BioPtr = OsslPtr<BIO, BIO_free_all>;
using BignumPtr = OsslPtr<BIGNUM, BN_clear_free>;
using BnCtxPtr = OsslPtr<BN_CTX, BN_CTX_free>;
using EvpCipherCtxPtr = OsslPtr<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using EvpMdCtxPtr = OsslPtr<EVP_MD_CTX, EVP_MD_CTX_free>;
using EvpPkeyCtxPtr = OsslPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using EvpPkeyPtr = OsslPtr<EVP_PKEY, EVP_PKEY_free>;
using OsslBytesPtr = OsslPtr<unsigned char, free_openssl_bytes>; // from i2d_* allocating calls
using ParamBldPtr = OsslPtr<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using ParamsPtr = OsslPtr<OSSL_PARAM, free_params_wiped>;
using Pkcs8InfoPtr = OsslPtr<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>;
using X509NamePtr = OsslPtr<X509_NAME, X509_NAME_free>;
using X509NameEntryPtr = OsslPtr<X509_NAME_ENTRY, X509_NAME_ENTRY_free>;
using X509ReqPtr = OsslPtr<X509_REQ, X509_REQ_free>;

} // namespace corvane::crypto
