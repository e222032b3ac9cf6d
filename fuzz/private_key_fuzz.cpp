// libFuzzer target: the PEM reader and the private key loader, and signing
// with whatever key they accept.
//
// Contract checked: any text either loads as an RSA key or fails with
// Error(InvalidValue) (no key) or Error(InvalidType) (encrypted or not RSA),
// never with an internal error, and leaves OpenSSL's error queue empty. A key
// that loads must sign, and its signature must verify with the same key:
// a key whose parts do not fit together must be refused, never turned into
// a signature that nobody can verify.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include <openssl/err.h>
#include <openssl/evp.h>

#include "crypto/error.h"
#include "crypto/pem.h"
#include "crypto/private_key.h"
#include "crypto/pss.h"

namespace {

using corvane::crypto::Error;
using corvane::crypto::ErrorKind;

[[noreturn]] void fail(const char* what, const char* detail = "") {
    std::fprintf(stderr, "private key invariant broken: %s %s\n", what, detail);
    std::abort();
}

void expect_clean_queue(const char* where) {
    if (ERR_peek_error() != 0)
        fail("OpenSSL error queue not empty after", where);
}

bool any_label(std::string_view) {
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);

    // The block reader alone, over any label.
    try {
        corvane::crypto::PemBlock block;
        corvane::crypto::find_pem_block(text, any_label, block);
    } catch (const Error& e) {
        if (e.kind() != ErrorKind::InvalidValue)
            fail("find_pem_block failed with a kind other than InvalidValue:", e.what());
    }

    corvane::crypto::EvpPkeyPtr key;
    try {
        key = corvane::crypto::load_private_key(text);
    } catch (const Error& e) {
        if (e.kind() != ErrorKind::InvalidValue && e.kind() != ErrorKind::InvalidType)
            fail("load_private_key failed with an unexpected kind:", e.what());
        expect_clean_queue("a refused key");
        return 0;
    }
    expect_clean_queue("a loaded key");
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA)
        fail("load_private_key returned something that is not an RSA key");

    static const std::uint8_t kMessage[] =
        "(request-target): get /corvane-connect/accounts?offset=0&size=20";
    std::vector<std::uint8_t> signature;
    try {
        signature = corvane::crypto::sign_pss_sha256(key.get(), kMessage, sizeof kMessage - 1);
    } catch (const Error& e) {
        // Too small a modulus for PSS with a 32-byte salt is the one refusal
        // a loaded key may meet.
        if (e.kind() != ErrorKind::InvalidValue)
            fail("signing with a loaded key failed with an unexpected kind:", e.what());
        expect_clean_queue("a refused signature");
        return 0;
    }
    expect_clean_queue("a signature");
    if (signature.size() != static_cast<std::size_t>(EVP_PKEY_get_size(key.get())))
        fail("signature length differs from the modulus length");
    if (!corvane::crypto::verify_pss_sha256(key.get(), kMessage, sizeof kMessage - 1,
                                            signature.data(), signature.size()))
        fail("a loaded key made a signature that does not verify");
    expect_clean_queue("a verification");
    return 0;
}
