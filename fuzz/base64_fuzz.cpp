// libFuzzer target: the lenient Base64 decoder and the encoder.
//
// The input is decoded as text and the outcome is checked against a model of
// the host codec's non-strict rules written independently of the decoder: the
// model only decides which data characters are consumed and whether the input
// is an error; the bits themselves are decoded by OpenSSL's EVP_DecodeBlock
// over the canonical (padded, alphabet-only) form. Then the input bytes are
// encoded, and the encoding (also with line breaks and noise inserted) must
// decode back to them.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/evp.h>

#include "crypto/base64.h"
#include "crypto/error.h"

namespace {

using corvane::crypto::base64_decode_lenient;
using corvane::crypto::base64_decode_secret;
using corvane::crypto::base64_decoded_bound;
using corvane::crypto::base64_encode;
using corvane::crypto::Error;
using corvane::crypto::ErrorKind;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "base64 invariant broken: %s\n", what);
    std::abort();
}

bool in_alphabet(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

// What the host's non-strict decoder makes of `in`: either `error` with its
// message, or the bytes of the data characters before the pad sequence that
// completes a group (if any).
struct Expected {
    bool error = false;
    std::string message;
    std::vector<std::uint8_t> bytes;
};

Expected model(std::string_view in) {
    std::string data; // the data characters consumed, in order
    std::size_t run =
        0; // pads seen since the last data character while a group had >= 2 characters
    bool stopped = false;
    for (unsigned char c : in) {
        if (c == '=') {
            // A pad counts only inside a group that already holds two or
            // three data characters; enough of them complete the group and
            // end the input.
            std::size_t in_group = data.size() % 4;
            if (in_group >= 2 && in_group + ++run >= 4) {
                stopped = true;
                break;
            }
            continue;
        }
        if (!in_alphabet(c))
            continue;
        run = 0;
        data.push_back(static_cast<char>(c));
    }
    Expected e;
    std::size_t rest = data.size() % 4;
    if (!stopped && rest == 1) {
        e.error = true;
        e.message = "Invalid base64-encoded string: number of data characters (" +
                    std::to_string(data.size()) + ") cannot be 1 more than a multiple of 4";
        return e;
    }
    if (!stopped && rest != 0) {
        e.error = true;
        e.message = "Incorrect padding";
        return e;
    }
    // Canonical form: the data characters, the last group padded to four.
    std::string canonical = data;
    std::size_t pads = rest == 0 ? 0 : 4 - rest;
    canonical.append(pads, '=');
    std::vector<std::uint8_t> out(canonical.size() / 4 * 3 + 1);
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(canonical.data()),
                            static_cast<int>(canonical.size()));
    if (n < 0)
        fail("EVP_DecodeBlock refused the canonical form");
    // EVP_DecodeBlock counts the padded positions as zero bytes.
    out.resize(static_cast<std::size_t>(n) - pads);
    e.bytes = std::move(out);
    return e;
}

void check_decode(std::string_view in) {
    Expected expected = model(in);
    std::vector<std::uint8_t> out(base64_decoded_bound(in.size()));
    // A canary past the bound: the decoder must never write beyond it.
    out.push_back(0xA5);
    try {
        std::size_t n = base64_decode_lenient(in, out.data());
        if (expected.error)
            fail("decoded what the host refuses");
        if (n != expected.bytes.size() || std::memcmp(out.data(), expected.bytes.data(), n) != 0)
            fail("decoded bytes differ from the model");
        corvane::crypto::SecureBytes secret = base64_decode_secret(in);
        if (secret.size() != n || std::memcmp(secret.data(), out.data(), n) != 0)
            fail("base64_decode_secret differs from base64_decode_lenient");
    } catch (const Error& e) {
        if (e.kind() != ErrorKind::Base64)
            fail("a decoding failure of another kind than Base64");
        if (!expected.error)
            fail("refused what the host decodes");
        if (e.what() != expected.message)
            fail("error message differs from the host's");
    }
    if (out.back() != 0xA5)
        fail("wrote past the decoded bound");
}

void check_round_trip(const std::uint8_t* data, std::size_t size) {
    std::string encoded = base64_encode(data, size);
    if (encoded.size() != (size + 2) / 3 * 4)
        fail("encoded length");
    for (char c : encoded) {
        if (!in_alphabet(static_cast<unsigned char>(c)) && c != '=')
            fail("encoder wrote a character outside the alphabet");
    }
    std::vector<std::uint8_t> back(base64_decoded_bound(encoded.size()));
    if (base64_decode_lenient(encoded, back.data()) != size ||
        std::memcmp(back.data(), data, size) != 0)
        fail("decode(encode(x)) != x");

    // The forms stored key fields take: broken into lines, and with blanks
    // and other characters outside the alphabet scattered in.
    std::string noisy;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        noisy.push_back(encoded[i]);
        if (i % 64 == 63)
            noisy.append("\r\n");
        else if (size > 0 && data[i % size] % 7 == 0)
            noisy.push_back(static_cast<char>(data[i % size] % 2 ? '\t' : '!'));
    }
    if (base64_decode_lenient(noisy, back.data()) != size ||
        std::memcmp(back.data(), data, size) != 0)
        fail("decode of the encoding with noise != x");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_decode(std::string_view(reinterpret_cast<const char*>(data), size));
    check_round_trip(data, size);
    return 0;
}
