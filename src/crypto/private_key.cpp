// Private key loading (our own PEM and DER reading), generation and the
// encrypted traditional PEM writer.
#include "private_key.h"

#include <cstring>

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "error.h"
#include "pem.h"
#include "secure_bytes.h"

namespace corvane::crypto {
namespace {

// A forward-only reader of the few DER shapes a private key needs.
class DerReader {
  public:
    DerReader(const std::uint8_t* p, std::size_t n) : p_(p), end_(p + n) {}

    bool at_end() const { return p_ == end_; }

    // Reads one element with tag `tag` and hands its contents back.
    bool element(std::uint8_t tag, DerReader& contents) {
        const std::uint8_t* start;
        std::size_t len;
        if (!header(tag, start, len))
            return false;
        contents = DerReader(start, len);
        return true;
    }
    // A non-negative INTEGER as big-endian magnitude without leading zeros.
    bool unsigned_integer(const std::uint8_t*& mag, std::size_t& len) {
        if (!header(0x02, mag, len) || len == 0 || (mag[0] & 0x80))
            return false;
        if (len > 1 && mag[0] == 0 && !(mag[1] & 0x80))
            return false; // not minimal
        while (len > 0 && mag[0] == 0) {
            ++mag;
            --len;
        }
        return true;
    }
    bool raw(std::uint8_t tag, const std::uint8_t*& start, std::size_t& len) {
        return header(tag, start, len);
    }

  private:
    bool header(std::uint8_t tag, const std::uint8_t*& start, std::size_t& len) {
        if (end_ - p_ < 2 || p_[0] != tag)
            return false;
        const std::uint8_t* q = p_ + 1;
        std::size_t n = *q++;
        if (n & 0x80) {
            std::size_t count = n & 0x7f;
            if (count == 0 || count > 4 || static_cast<std::size_t>(end_ - q) < count)
                return false;
            n = 0;
            for (std::size_t i = 0; i < count; ++i)
                n = (n << 8) | *q++;
            if (n < 0x80)
                return false;
        }
        if (static_cast<std::size_t>(end_ - q) < n)
            return false;
        start = q;
        len = n;
        p_ = q + n;
        return true;
    }

    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

[[noreturn]] void throw_not_a_key() {
    throw Error(
        ErrorKind::InvalidValue,
        "Could not deserialize key data. The data may be in an incorrect format or it may be "
        "encrypted with an unsupported algorithm.");
}

[[noreturn]] void throw_encrypted() {
    throw Error(ErrorKind::InvalidType, "Password was not given but private key is encrypted");
}

[[noreturn]] void throw_not_rsa() {
    throw Error(ErrorKind::InvalidType, "the private key is not an RSA key");
}

BignumPtr to_bignum(const std::uint8_t* mag, std::size_t len) {
    BignumPtr bn(BN_bin2bn(mag, static_cast<int>(len), nullptr));
    check(bn != nullptr, "BN_bin2bn");
    return bn;
}

// The cheap algebra of a two-prime key: n = pq, dP = d mod (p-1),
// dQ = d mod (q-1), e dP = 1 mod (p-1), e dQ = 1 mod (q-1), qInv q = 1 mod p.
// A key failing it would sign without error and yield signatures nobody can
// verify. Full validation (primality) is what costs tens of milliseconds and
// is left out: OpenSSL checks each CRT result it computes.
// parts: n, e, d, p, q, dP, dQ, qInv.
bool components_fit(const BignumPtr (&parts)[8]) {
    const BIGNUM *n = parts[0].get(), *e = parts[1].get(), *d = parts[2].get(), *p = parts[3].get(),
                 *q = parts[4].get(), *dp = parts[5].get(), *dq = parts[6].get(),
                 *qinv = parts[7].get();
    if (BN_is_one(p) || BN_is_one(q))
        return false;
    BnCtxPtr ctx(BN_CTX_new());
    check(ctx != nullptr, "BN_CTX_new");
    BignumPtr t(BN_new()), pm1(BN_new()), qm1(BN_new());
    check(t && pm1 && qm1, "BN_new");
    check(BN_mul(t.get(), p, q, ctx.get()) == 1, "BN_mul");
    if (BN_cmp(t.get(), n) != 0)
        return false;
    check(BN_sub(pm1.get(), p, BN_value_one()) == 1 && BN_sub(qm1.get(), q, BN_value_one()) == 1,
          "BN_sub");
    auto is_mod = [&](const BIGNUM* a, const BIGNUM* m, const BIGNUM* expected) {
        check(BN_mod(t.get(), a, m, ctx.get()) == 1, "BN_mod");
        return BN_cmp(t.get(), expected) == 0;
    };
    auto product_is_one = [&](const BIGNUM* a, const BIGNUM* b, const BIGNUM* m) {
        check(BN_mod_mul(t.get(), a, b, m, ctx.get()) == 1, "BN_mod_mul");
        return BN_is_one(t.get());
    };
    return is_mod(d, pm1.get(), dp) && is_mod(d, qm1.get(), dq) &&
           product_is_one(e, dp, pm1.get()) && product_is_one(e, dq, qm1.get()) &&
           product_is_one(qinv, q, p);
}

// RSAPrivateKey (PKCS #1) of two primes, built into a provider key.
EvpPkeyPtr rsa_from_pkcs1(const std::uint8_t* der, std::size_t size) {
    DerReader outer(der, size), seq(nullptr, 0);
    if (!outer.element(0x30, seq) || !outer.at_end())
        throw_not_a_key();
    const std::uint8_t* version;
    std::size_t version_len;
    if (!seq.unsigned_integer(version, version_len))
        throw_not_a_key();
    if (version_len != 0) // version 1 is the multi-prime form, which nobody issues
        throw_not_a_key();
    static constexpr const char* kNames[] = {
        OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
        OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
        OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
        OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    BignumPtr parts[8];
    for (int i = 0; i < 8; ++i) {
        const std::uint8_t* mag;
        std::size_t len;
        if (!seq.unsigned_integer(mag, len) || len == 0)
            throw_not_a_key();
        parts[i] = to_bignum(mag, len);
    }
    if (!seq.at_end())
        throw_not_a_key();
    int bits = BN_num_bits(parts[0].get());
    if (bits > kMaxRsaBits || !BN_is_odd(parts[0].get()) || BN_is_one(parts[1].get()) ||
        !BN_is_odd(parts[1].get()))
        throw_not_a_key();
    if (!components_fit(parts))
        throw Error(ErrorKind::InvalidValue,
                    "Invalid private key: its RSA components do not fit together.");

    ParamBldPtr bld(OSSL_PARAM_BLD_new());
    check(bld != nullptr, "OSSL_PARAM_BLD_new");
    for (int i = 0; i < 8; ++i)
        check(OSSL_PARAM_BLD_push_BN(bld.get(), kNames[i], parts[i].get()) == 1,
              "OSSL_PARAM_BLD_push_BN");
    ParamsPtr params(OSSL_PARAM_BLD_to_param(bld.get()));
    check(params != nullptr, "OSSL_PARAM_BLD_to_param");
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    check(ctx != nullptr, "EVP_PKEY_CTX_new_from_name");
    check(EVP_PKEY_fromdata_init(ctx.get()) == 1, "EVP_PKEY_fromdata_init");
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_KEYPAIR, params.get()) != 1)
        throw_openssl_error(ErrorKind::InvalidValue, "Could not deserialize key data");
    return EvpPkeyPtr(raw);
}

// Any other private key that OpenSSL understands: used only to tell a valid
// key of another type (InvalidType) from data that is no key (InvalidValue).
[[noreturn]] void classify_foreign_key(const SecureBytes& der, bool pkcs8) {
    const unsigned char* p = der.data();
    EvpPkeyPtr key;
    if (pkcs8) {
        Pkcs8InfoPtr info(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(der.size())));
        if (info)
            key.reset(EVP_PKCS82PKEY(info.get()));
    } else {
        key.reset(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der.size())));
    }
    ERR_clear_error();
    if (key && EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA)
        throw_not_rsa();
    throw_not_a_key();
}

bool is_private_key_label(std::string_view label) {
    return label == "RSA PRIVATE KEY" || label == "PRIVATE KEY" ||
           label == "ENCRYPTED PRIVATE KEY" || label == "EC PRIVATE KEY" ||
           label == "DSA PRIVATE KEY";
}

// rsaEncryption, 1.2.840.113549.1.1.1
constexpr std::uint8_t kRsaEncryptionOid[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x01};

} // namespace

EvpPkeyPtr load_private_key(std::string_view pem) {
    PemBlock block;
    if (!find_pem_block(pem, is_private_key_label, block))
        throw_not_a_key();
    if (block.label == "ENCRYPTED PRIVATE KEY")
        throw_encrypted();
    for (const auto& [name, value] : block.headers) {
        if (name == "Proc-Type" && value.find("ENCRYPTED") != std::string::npos)
            throw_encrypted();
    }
    if (block.label == "RSA PRIVATE KEY")
        return rsa_from_pkcs1(block.der.data(), block.der.size());
    if (block.label != "PRIVATE KEY")
        classify_foreign_key(block.der, false);

    // PrivateKeyInfo: version, AlgorithmIdentifier, OCTET STRING privateKey.
    DerReader outer(block.der.data(), block.der.size()), info(nullptr, 0), alg(nullptr, 0);
    const std::uint8_t *version, *oid, *key;
    std::size_t version_len, oid_len, key_len;
    if (!outer.element(0x30, info) || !outer.at_end() ||
        !info.unsigned_integer(version, version_len) || version_len != 0 ||
        !info.element(0x30, alg) || !alg.raw(0x06, oid, oid_len))
        throw_not_a_key();
    if (oid_len != sizeof kRsaEncryptionOid || std::memcmp(oid, kRsaEncryptionOid, oid_len) != 0)
        classify_foreign_key(block.der, true);
    // The rsaEncryption parameters are NULL or absent, and nothing but the
    // optional [0] attributes may follow the key. Without these checks a
    // damaged block (parameters 04 00 for 05 00, a stray element after the
    // key) was read as a good key, where the Python crypto library refuses it.
    const std::uint8_t* rest;
    std::size_t rest_len;
    if (!alg.at_end() && (!alg.raw(0x05, rest, rest_len) || rest_len != 0 || !alg.at_end()))
        throw_not_a_key();
    if (!info.raw(0x04, key, key_len))
        throw_not_a_key();
    if (!info.at_end()) {
        // [0] IMPLICIT SET OF Attribute, each a SEQUENCE of a type and a SET.
        DerReader attributes(nullptr, 0), attribute(nullptr, 0);
        if (!info.element(0xa0, attributes) || !info.at_end())
            throw_not_a_key();
        while (!attributes.at_end()) {
            if (!attributes.element(0x30, attribute) || !attribute.raw(0x06, rest, rest_len) ||
                !attribute.raw(0x31, rest, rest_len) || !attribute.at_end())
                throw_not_a_key();
        }
    }
    return rsa_from_pkcs1(key, key_len);
}

RsaParameters check_rsa_parameters(long long bits, long long exponent) {
    if (exponent != kRsaExponents[0] && exponent != kRsaExponents[1])
        throw Error(ErrorKind::InvalidValue, kRsaExponentRefusal);
    if (bits < kMinRsaBits)
        throw Error(ErrorKind::InvalidValue, kRsaTooSmallRefusal);
    if (bits > kMaxRsaBits)
        throw Error(ErrorKind::InvalidValue, "key_size must be at most 16384-bits.");
    return RsaParameters(static_cast<int>(bits), static_cast<unsigned long>(exponent));
}

EvpPkeyPtr generate_rsa_key(const RsaParameters& parameters) {
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    check(ctx != nullptr, "EVP_PKEY_CTX_new_from_name");
    check(EVP_PKEY_keygen_init(ctx.get()) == 1, "EVP_PKEY_keygen_init");
    check(EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), parameters.bits()) == 1,
          "EVP_PKEY_CTX_set_rsa_keygen_bits");
    BignumPtr e(BN_new());
    check(e != nullptr && BN_set_word(e.get(), static_cast<BN_ULONG>(parameters.exponent())) == 1,
          "BN_set_word");
    check(EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get()) == 1,
          "EVP_PKEY_CTX_set1_rsa_keygen_pubexp");
    EVP_PKEY* raw = nullptr;
    check(EVP_PKEY_generate(ctx.get(), &raw) == 1, "EVP_PKEY_generate");
    return EvpPkeyPtr(raw);
}

Passphrase check_passphrase(std::string_view bytes) {
    if (bytes.empty())
        throw Error(ErrorKind::InvalidValue, "Password must be 1 or more bytes.");
    if (bytes.size() > 1023)
        throw Error(ErrorKind::InvalidValue,
                    "Passwords longer than 1023 bytes are not supported by this backend");
    return Passphrase(bytes);
}

std::string write_encrypted_traditional_pem(EVP_PKEY* key, const Passphrase& passphrase) {
    BioPtr bio(BIO_new(BIO_s_secmem()));
    check(bio != nullptr, "BIO_new");
    // The traditional writer keys AES-256-CBC with one MD5 iteration over the
    // passphrase and the first eight IV bytes, as every reader of the form expects.
    check(PEM_write_bio_PrivateKey_traditional(
              bio.get(), key, EVP_aes_256_cbc(),
              reinterpret_cast<const unsigned char*>(passphrase.bytes().data()),
              static_cast<int>(passphrase.bytes().size()), nullptr, nullptr) == 1,
          "PEM_write_bio_PrivateKey_traditional");
    char* data = nullptr;
    long len = BIO_get_mem_data(bio.get(), &data);
    check(len > 0 && data != nullptr, "BIO_get_mem_data");
    return std::string(data, static_cast<std::size_t>(len));
}

} // namespace corvane::crypto
