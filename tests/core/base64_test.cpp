// Base64: the RFC 4648 vectors, and the lenient decoder held byte for byte to
// the host codec's non-strict rules (expectations checked against python3's
// binascii.a2b_base64).
#include <algorithm>
#include <random>
#include <string>

#include "crypto/base64.h"
#include "test_keys.h"

namespace corvane::crypto::test {
namespace {

struct Rfc4648Case {
    const char* name;
    std::string_view plain;
    std::string_view encoded;
};

const Rfc4648Case kRfc4648[] = {
    {"empty", "", ""},
    {"f", "f", "Zg=="},
    {"fo", "fo", "Zm8="},
    {"foo", "foo", "Zm9v"},
    {"foob", "foob", "Zm9vYg=="},
    {"fooba", "fooba", "Zm9vYmE="},
    {"foobar", "foobar", "Zm9vYmFy"},
};

class Rfc4648 : public CoreTestWithParam<Rfc4648Case> {};

TEST_P(Rfc4648, EncodesWithPadding) {
    EXPECT_EQ(base64_encode(GetParam().plain), GetParam().encoded);
}

TEST_P(Rfc4648, DecodesLeniently) {
    const auto& c = GetParam();
    std::vector<std::uint8_t> out(base64_decoded_bound(c.encoded.size()));
    out.resize(base64_decode_lenient(c.encoded, out.data()));
    EXPECT_EQ(out, bytes_of(c.plain));
}

INSTANTIATE_TEST_SUITE_P(Vectors, Rfc4648, ::testing::ValuesIn(kRfc4648), CaseName());

class Base64 : public CoreTest {};

// Every byte value through both ends, at each length remainder: catches a
// wrong alphabet entry, sign extension of high bytes and tail mistakes.
TEST_F(Base64, EveryByteValueRoundTrips) {
    std::vector<std::uint8_t> all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<std::uint8_t>(255 - i);
    for (std::size_t size : {253u, 254u, 255u, 256u}) {
        std::string encoded = base64_encode(all.data(), size);
        ASSERT_EQ(encoded.size(), (size + 2) / 3 * 4);
        std::vector<std::uint8_t> back(base64_decoded_bound(encoded.size()));
        back.resize(base64_decode_lenient(encoded, back.data()));
        EXPECT_EQ(back, std::vector<std::uint8_t>(all.begin(), all.begin() + size))
            << "size " << size;
    }
}

TEST_F(Base64, EncodesTheLastTwoAlphabetCharacters) {
    const std::uint8_t data[] = {0xfb, 0xff, 0xbf};
    EXPECT_EQ(base64_encode(data, 3), "+/+/");
    EXPECT_EQ(base64_encode(data, 2), "+/8=");
}

struct LenientCase {
    const char* name;
    std::string_view in;
    std::string_view out; // decoded bytes, when `error` is empty
    std::string_view error;
};

constexpr std::string_view kIncorrectPadding = "Incorrect padding";
#define ONE_MORE(n)                                                                                \
    "Invalid base64-encoded string: number of data characters (" #n                                \
    ") cannot be 1 more than a multiple of 4"

const LenientCase kLenient[] = {
    // Characters outside the alphabet are skipped, whatever they are.
    {"line_breaks", "Zm9v\nYmFy\n", "foobar", {}},
    {"crlf", "Zm9v\r\nYmFy", "foobar", {}},
    {"blank_inside_group", "Zm 9v", "foo", {}},
    {"punctuation", "Zm9v!Ym*Fy", "foobar", {}},
    {"url_safe_alphabet_skipped", "-_Zm9v", "foo", {}},
    {"high_bytes_and_nul", std::string_view("\x80\xffZm9v\0", 7), "foo", {}},
    // A complete pad sequence ends the input; what follows is ignored.
    {"pad_ends_input", "Zg==Zm9v", "f", {}},
    {"single_pad_after_three", "Zm9=", "fo", {}},
    {"data_after_single_pad", "Zm9=junk", "fo", {}},
    {"two_padded_groups", "Zm8=Zm8=", "fo", {}},
    {"pad_split_by_line_break", "Zm=\n=", "f", {}},
    {"pad_split_by_nul", std::string_view("Zg=\0=", 5), "f", {}},
    {"trailing_newline_after_pad", "Zm==\n", "f", {}},
    {"extra_pads_after_full_group", "Zm9v====", "foo", {}},
    // A pad that does not complete its group is skipped; data resumes it.
    {"leading_pad", "=Zm9v", "foo", {}},
    {"pad_inside_group", "Zm=9v", "foo", {}},
    {"pad_then_data_then_pad", "Zg=a=", "f\x06", {}},
    {"pads_between_every_character", "Z=m=9=v", "fo", {}},
    {"only_pads", "==", "", {}},
    {"empty", "", "", {}},
    // Groups of two or three data characters need their padding.
    {"two_without_pad", "Zg", "", kIncorrectPadding},
    {"two_with_one_pad", "Zg=", "", kIncorrectPadding},
    {"three_without_pad", "Zm8", "", kIncorrectPadding},
    {"second_group_short_pad", "Zm9vYg=", "", kIncorrectPadding},
    {"second_group_split", "Zm9vY\nm", "", kIncorrectPadding},
    // One data character past a multiple of four: the count in the message is
    // that of the data characters read, pads and skipped characters aside.
    {"one_character", "Z", "", ONE_MORE(1)},
    {"one_character_with_pads", "Z===", "", ONE_MORE(1)},
    {"five_characters", "Zm9vY", "", ONE_MORE(5)},
    {"five_with_ignored_pad", "Zm9vY=", "", ONE_MORE(5)},
    {"nine_characters_with_noise", "Zm9v\nYmFy Z", "", ONE_MORE(9)},
};

class LenientDecode : public CoreTestWithParam<LenientCase> {};

// Writes into a buffer of exactly base64_decoded_bound bytes followed by
// guard bytes, so an overrun of the documented bound shows.
TEST_P(LenientDecode, MatchesHostCodec) {
    const auto& c = GetParam();
    constexpr std::size_t kGuard = 8;
    const std::size_t bound = base64_decoded_bound(c.in.size());
    std::vector<std::uint8_t> buf(bound + kGuard, 0xa5);
    if (c.error.empty()) {
        std::size_t n = base64_decode_lenient(c.in, buf.data());
        ASSERT_LE(n, bound);
        EXPECT_EQ(std::vector<std::uint8_t>(buf.begin(), buf.begin() + n), bytes_of(c.out));
    } else {
        EXPECT_TRUE(fails_with([&] { base64_decode_lenient(c.in, buf.data()); }, ErrorKind::Base64,
                               c.error));
    }
    EXPECT_TRUE(
        std::all_of(buf.end() - kGuard, buf.end(), [](std::uint8_t b) { return b == 0xa5; }));
}

TEST_P(LenientDecode, SecretVariantAgrees) {
    const auto& c = GetParam();
    if (c.error.empty()) {
        SecureBytes out = base64_decode_secret(c.in);
        EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.end()), bytes_of(c.out));
    } else {
        EXPECT_TRUE(fails_with([&] { base64_decode_secret(c.in); }, ErrorKind::Base64, c.error));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, LenientDecode, ::testing::ValuesIn(kLenient), CaseName());

// The count is of data characters decoded so far, not of the input's length.
TEST_F(Base64, OneMoreCountScalesWithInput) {
    std::string in;
    for (int i = 0; i < 100; ++i)
        in += "QUJD\n";
    in += "Q";
    EXPECT_TRUE(fails_with([&] { base64_decode_secret(in); }, ErrorKind::Base64, ONE_MORE(401)));
}

// ---- randomized cross-check, large inputs ------------------------------------

// The host codec's non-strict rules stated naively, one character at a time,
// apart from the decoder's own structure (which decodes runs of plain groups
// on a fast path): which data characters are consumed, how the input ends,
// then the bits of those characters.
struct Outcome {
    std::vector<std::uint8_t> bytes;
    std::string error; // empty on success
};

Outcome reference_decode(std::string_view in) {
    static const std::string kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<int> values;
    int pads = 0;
    bool ended_by_pads = false;
    for (unsigned char c : in) {
        if (c == '=') {
            std::size_t in_group = values.size() % 4;
            if (in_group >= 2 && in_group + ++pads >= 4) {
                ended_by_pads = true;
                break;
            }
            continue;
        }
        std::size_t v = kAlphabet.find(static_cast<char>(c));
        if (v == std::string::npos)
            continue;
        pads = 0;
        values.push_back(static_cast<int>(v));
    }
    Outcome out;
    if (!ended_by_pads && values.size() % 4 == 1) {
        out.error = "Invalid base64-encoded string: number of data characters (" +
                    std::to_string(values.size()) + ") cannot be 1 more than a multiple of 4";
        return out;
    }
    if (!ended_by_pads && values.size() % 4 != 0) {
        out.error = "Incorrect padding";
        return out;
    }
    std::uint32_t acc = 0;
    int bits = 0;
    for (int v : values) {
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.bytes.push_back(static_cast<std::uint8_t>(acc >> bits));
        }
    }
    return out;
}

// Random inputs shaped like real ones and like damaged ones: the encoding of
// random bytes of every length remainder, broken into lines of a random width
// (or not at all), with characters from outside the alphabet and pads strewn
// in at a random rate (from none to half of the input), and sometimes cut
// short. Large inputs make long runs of plain groups, where the fast path
// works, interrupted at every position of a group.
std::string random_input(std::mt19937& rng, std::size_t max_plain) {
    static const std::string kNoise = std::string("\n\r \t=-_!.\x80\xff\0", 12);
    std::uniform_int_distribution<std::size_t> size_of(0, max_plain);
    std::vector<std::uint8_t> plain(size_of(rng));
    std::uniform_int_distribution<int> byte(0, 255);
    for (auto& b : plain)
        b = static_cast<std::uint8_t>(byte(rng));
    std::string encoded = base64_encode(plain.data(), plain.size());

    static const int kLineWidths[] = {0, 0, 1, 3, 4, 64, 76, 77};
    static const double kNoiseRates[] = {0.0, 0.0, 1e-4, 1e-2, 0.2, 0.5};
    const int width = kLineWidths[std::uniform_int_distribution<int>(0, 7)(rng)];
    const double rate = kNoiseRates[std::uniform_int_distribution<int>(0, 5)(rng)];
    std::bernoulli_distribution noisy(rate);
    std::uniform_int_distribution<std::size_t> noise_char(0, kNoise.size() - 1);

    std::string in;
    in.reserve(encoded.size() * 2 + 16);
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        if (width > 0 && i > 0 && i % width == 0)
            in += '\n';
        while (rate > 0 && noisy(rng))
            in += kNoise[noise_char(rng)];
        in += encoded[i];
    }
    if (std::bernoulli_distribution(0.2)(rng) && !in.empty())
        in.resize(std::uniform_int_distribution<std::size_t>(0, in.size() - 1)(rng));
    return in;
}

TEST_F(Base64, RandomizedInputsDecodeAsTheRulesSay) {
    std::mt19937 rng(20261209);
    struct Round {
        int count;
        std::size_t max_plain;
    };
    for (Round round : {Round{2000, 40}, Round{300, 4096}, Round{6, 3 << 20}}) {
        for (int i = 0; i < round.count; ++i) {
            const std::string in = random_input(rng, round.max_plain);
            const Outcome expected = reference_decode(in);
            constexpr std::size_t kGuard = 8;
            const std::size_t bound = base64_decoded_bound(in.size());
            std::vector<std::uint8_t> buf(bound + kGuard, 0xa5);
            SCOPED_TRACE("input of " + std::to_string(in.size()) +
                         " characters: " + in.substr(0, 80));
            if (expected.error.empty()) {
                std::size_t n = base64_decode_lenient(in, buf.data());
                ASSERT_EQ(n, expected.bytes.size());
                ASSERT_TRUE(std::equal(expected.bytes.begin(), expected.bytes.end(), buf.begin()));
            } else {
                ASSERT_TRUE(fails_with([&] { base64_decode_lenient(in, buf.data()); },
                                       ErrorKind::Base64, expected.error));
            }
            ASSERT_TRUE(std::all_of(buf.end() - kGuard, buf.end(),
                                    [](std::uint8_t b) { return b == 0xa5; }));
        }
    }
}

} // namespace
} // namespace corvane::crypto::test
