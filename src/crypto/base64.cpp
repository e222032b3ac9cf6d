// Base64 encoder and lenient decoder.
#include "base64.h"

#include <array>

#include "error.h"

namespace corvane::crypto {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kSkip = 0xff;

constexpr std::array<std::uint8_t, 256> make_decode_table() {
    std::array<std::uint8_t, 256> t{};
    for (auto& v : t)
        v = kSkip;
    for (std::uint8_t i = 0; i < 64; ++i)
        t[static_cast<unsigned char>(kAlphabet[i])] = i;
    return t;
}

constexpr auto kDecode = make_decode_table();

} // namespace

std::string base64_encode(const std::uint8_t* data, std::size_t size) {
    std::string out;
    out.resize((size + 2) / 3 * 4);
    char* o = out.data();
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        std::uint32_t v = (std::uint32_t(data[i]) << 16) | (std::uint32_t(data[i + 1]) << 8) | data[i + 2];
        *o++ = kAlphabet[(v >> 18) & 63];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = kAlphabet[v & 63];
    }
    if (std::size_t rest = size - i) {
        std::uint32_t v = std::uint32_t(data[i]) << 16;
        if (rest == 2)
            v |= std::uint32_t(data[i + 1]) << 8;
        *o++ = kAlphabet[(v >> 18) & 63];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        *o++ = '=';
    }
    return out;
}

std::size_t base64_decode_lenient(std::string_view in, std::uint8_t* out) {
    std::uint8_t* o = out;
    int quad_pos = 0;
    int pads = 0;
    std::uint8_t left = 0;
    for (unsigned char ch : in) {
        if (ch == '=') {
            // A pad completes the group only once two data characters stand
            // before it; then the input ends here, whatever follows.
            if (quad_pos >= 2 && quad_pos + ++pads >= 4)
                return static_cast<std::size_t>(o - out);
            continue;
        }
        std::uint8_t v = kDecode[ch];
        if (v == kSkip)
            continue;
        pads = 0;
        switch (quad_pos) {
        case 0:
            quad_pos = 1;
            left = v;
            break;
        case 1:
            quad_pos = 2;
            *o++ = static_cast<std::uint8_t>((left << 2) | (v >> 4));
            left = v & 0x0f;
            break;
        case 2:
            quad_pos = 3;
            *o++ = static_cast<std::uint8_t>((left << 4) | (v >> 2));
            left = v & 0x03;
            break;
        default:
            quad_pos = 0;
            *o++ = static_cast<std::uint8_t>((left << 6) | v);
            left = 0;
            break;
        }
    }
    if (quad_pos == 1) {
        std::size_t chars = static_cast<std::size_t>(o - out) / 3 * 4 + 1;
        throw Error(ErrorKind::Base64, "Invalid base64-encoded string: number of data characters (" +
                                           std::to_string(chars) +
                                           ") cannot be 1 more than a multiple of 4");
    }
    if (quad_pos != 0)
        throw Error(ErrorKind::Base64, "Incorrect padding");
    return static_cast<std::size_t>(o - out);
}

SecureBytes base64_decode_secret(std::string_view in) {
    SecureBytes out(base64_decoded_bound(in.size()));
    out.resize(base64_decode_lenient(in, out.data()));
    return out;
}

} // namespace corvane::crypto
