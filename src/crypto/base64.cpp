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

// The fast path's tables: for each position in a group of four characters,
// the character's six bits already shifted into their place of the group's
// 24 bits. Every other character ('=' included) sets kNotPlain instead, so
// one test of the four entries OR-ed together tells whether the group is
// four alphabet characters.
constexpr std::uint32_t kNotPlain = std::uint32_t{1} << 24;

constexpr std::array<std::uint32_t, 256> make_shifted_table(int shift) {
    std::array<std::uint32_t, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[c] = kDecode[c] == kSkip ? kNotPlain : std::uint32_t{kDecode[c]} << shift;
    return t;
}

constexpr auto kShifted0 = make_shifted_table(18);
constexpr auto kShifted1 = make_shifted_table(12);
constexpr auto kShifted2 = make_shifted_table(6);
constexpr auto kShifted3 = make_shifted_table(0);

// Decodes groups of four alphabet characters from `p` on, three bytes each,
// and stops before the first group that holds any other character (or that
// the input cannot complete). Only valid at a group boundary, where the
// lenient rules reduce to exactly this for plain groups: a data character
// never ends the input and resets the pad count, which is zero at a group
// boundary anyway.
void decode_plain_groups(const unsigned char*& p, const unsigned char* end, std::uint8_t*& o) {
    while (end - p >= 4) {
        std::uint32_t v = kShifted0[p[0]] | kShifted1[p[1]] | kShifted2[p[2]] | kShifted3[p[3]];
        if (v & kNotPlain)
            return;
        o[0] = static_cast<std::uint8_t>(v >> 16);
        o[1] = static_cast<std::uint8_t>(v >> 8);
        o[2] = static_cast<std::uint8_t>(v);
        o += 3;
        p += 4;
    }
}

} // namespace

std::string base64_encode(const std::uint8_t* data, std::size_t size) {
    std::string out;
    out.resize((size + 2) / 3 * 4);
    char* o = out.data();
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        std::uint32_t v =
            (std::uint32_t(data[i]) << 16) | (std::uint32_t(data[i + 1]) << 8) | data[i + 2];
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
    const auto* p = reinterpret_cast<const unsigned char*>(in.data());
    const auto* end = p + in.size();
    for (;;) {
        // Runs of plain groups (all but the odd line break, pad or stray
        // character of a real input) take the fast path; everything else
        // goes through the exact rules below one character at a time, until
        // the next group boundary.
        if (quad_pos == 0)
            decode_plain_groups(p, end, o);
        if (p == end)
            break;
        unsigned char ch = *p++;
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
        throw Error(ErrorKind::Base64,
                    "Invalid base64-encoded string: number of data characters (" +
                        std::to_string(chars) + ") cannot be 1 more than a multiple of 4");
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
