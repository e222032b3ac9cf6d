// PEM armour: finding a block among other text, headers, line ends, and
// refusing damaged blocks; the writer against OpenSSL's own.
#include <string>

#include "crypto/pem.h"
#include "test_keys.h"

namespace corvane::crypto::test {
namespace {

bool any_label(std::string_view) {
    return true;
}
bool private_key_label(std::string_view label) {
    return label == "RSA PRIVATE KEY" || label == "PRIVATE KEY";
}

std::vector<std::uint8_t> der_of(const PemBlock& b) {
    return {b.der.begin(), b.der.end()};
}

std::string replace_all(std::string s, std::string_view from, std::string_view to) {
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

// "ABCDEF" in Base64 is "QUJDREVG"; "ABCD" is "QUJDRA==".
constexpr std::string_view kSmall = "-----BEGIN THING-----\nQUJD\nREVG\n-----END THING-----\n";

class PemRead : public CoreTest {};

TEST_F(PemRead, ReadsLabelAndBody) {
    PemBlock b;
    ASSERT_TRUE(find_pem_block(kSmall, any_label, b));
    EXPECT_EQ(b.label, "THING");
    EXPECT_TRUE(b.headers.empty());
    EXPECT_EQ(der_of(b), bytes_of("ABCDEF"));
}

TEST_F(PemRead, BodyOfRealKeyMatchesOpenSsl) {
    for (std::string_view pem : {kRsa2048Pkcs1Pem, kRsa2048Pkcs8Pem, kEcP256Pem}) {
        PemBlock b;
        ASSERT_TRUE(find_pem_block(pem, any_label, b));
        EXPECT_EQ(der_of(b), der_with_openssl(pem));
    }
}

TEST_F(PemRead, SkipsBlocksWithOtherLabelsAndSurroundingText) {
    std::string text = "Bag Attributes\n    localKeyID: 01 02\nsubject=/CN=x\n";
    text += replace_all(std::string(kSmall), "THING", "CERTIFICATE");
    text += "some prose between blocks\n";
    text += kRsa2048Pkcs1Pem;
    text += "trailing text, no newline";
    PemBlock b;
    ASSERT_TRUE(find_pem_block(text, private_key_label, b));
    EXPECT_EQ(b.label, "RSA PRIVATE KEY");
    EXPECT_EQ(der_of(b), der_with_openssl(kRsa2048Pkcs1Pem));
}

TEST_F(PemRead, FirstAcceptedBlockWins) {
    std::string text = std::string(kRsa2048Pkcs8Pem) + std::string(kRsa2048Pkcs1Pem);
    PemBlock b;
    ASSERT_TRUE(find_pem_block(text, private_key_label, b));
    EXPECT_EQ(b.label, "PRIVATE KEY");
}

TEST_F(PemRead, ReadsEncryptionHeaders) {
    PemBlock b;
    ASSERT_TRUE(find_pem_block(kRsa512EncryptedTraditionalPem, any_label, b));
    EXPECT_EQ(b.label, "RSA PRIVATE KEY");
    ASSERT_EQ(b.headers.size(), 2u);
    EXPECT_EQ(b.headers[0].first, "Proc-Type");
    EXPECT_EQ(b.headers[0].second, "4,ENCRYPTED");
    EXPECT_EQ(b.headers[1].first, "DEK-Info");
    EXPECT_EQ(b.headers[1].second.rfind("AES-256-CBC,", 0), 0u) << b.headers[1].second;
    EXPECT_EQ(der_of(b), der_with_openssl(kRsa512EncryptedTraditionalPem));
}

struct LayoutCase {
    const char* name;
    std::string (*reshape)(std::string);
};

const LayoutCase kLayouts[] = {
    {"crlf", [](std::string s) { return replace_all(s, "\n", "\r\n"); }},
    {"no_final_newline", [](std::string s) { return s.substr(0, s.size() - 1); }},
    {"trailing_blanks", [](std::string s) { return replace_all(s, "\n", " \t\n"); }},
    {"indented", [](std::string s) { return replace_all("  " + s, "\n", "\n  "); }},
    {"one_long_body_line",
     [](std::string s) {
         std::size_t body = s.find('\n') + 1, end = s.find("-----END");
         return s.substr(0, body) + replace_all(s.substr(body, end - body), "\n", "") + "\n" +
                s.substr(end);
     }},
    {"blank_line_inside_body",
     [](std::string s) {
         std::size_t third_line = s.find('\n', s.find('\n') + 1) + 1;
         return s.insert(third_line, "\n");
     }},
};

class PemLayout : public CoreTestWithParam<LayoutCase> {};

TEST_P(PemLayout, DecodesTheSameBytes) {
    std::string text = GetParam().reshape(std::string(kRsa2048Pkcs1Pem));
    ASSERT_NE(text, kRsa2048Pkcs1Pem);
    PemBlock b;
    ASSERT_TRUE(find_pem_block(text, private_key_label, b)) << text;
    EXPECT_EQ(b.label, "RSA PRIVATE KEY");
    EXPECT_EQ(der_of(b), der_with_openssl(kRsa2048Pkcs1Pem));
}

INSTANTIATE_TEST_SUITE_P(Table, PemLayout, ::testing::ValuesIn(kLayouts), CaseName());

struct IncompleteCase {
    const char* name;
    std::string_view text;
};

const IncompleteCase kIncomplete[] = {
    {"empty", ""},
    {"no_block", "just some text\n"},
    {"missing_end", "-----BEGIN THING-----\nQUJD\nREVG\n"},
    {"end_of_another_label", "-----BEGIN THING-----\nQUJD\n-----END OTHER-----\n"},
    {"begin_line_only", "-----BEGIN THING-----"},
    {"begin_without_closing_dashes", "-----BEGIN THING\nQUJD\n-----END THING-----\n"},
    {"end_without_closing_dashes", "-----BEGIN THING-----\nQUJD\n-----END THING\n"},
};

class PemIncomplete : public CoreTestWithParam<IncompleteCase> {};

TEST_P(PemIncomplete, FindsNoBlock) {
    PemBlock b;
    EXPECT_FALSE(find_pem_block(GetParam().text, any_label, b));
}

INSTANTIATE_TEST_SUITE_P(Table, PemIncomplete, ::testing::ValuesIn(kIncomplete), CaseName());

TEST_F(PemRead, NoAcceptedLabelFindsNoBlock) {
    PemBlock b;
    EXPECT_FALSE(find_pem_block(kEcP256Pem, private_key_label, b));
}

TEST_F(PemRead, EmptyBodyIsAnEmptyBlock) {
    PemBlock b;
    ASSERT_TRUE(find_pem_block("-----BEGIN THING-----\n-----END THING-----\n", any_label, b));
    EXPECT_TRUE(b.der.empty());
}

struct DamagedCase {
    const char* name;
    std::string_view body; // between the BEGIN and END lines of "THING"
};

// Each body is refused by OpenSSL's reader too; the lenient Base64 decoder
// alone would turn most of them into bytes.
const DamagedCase kDamaged[] = {
    {"foreign_character", "QUJD\nRE*G\n"},
    {"url_safe_characters", "QUJD\nRE-_\n"},
    {"unpadded_tail", "QUJD\nREU\n"},
    {"one_character_tail", "QUJD\nR\n"},
    {"data_after_padding", "QUJDRA==\nRUZH\n"},
    {"data_after_padding_same_line", "QUJDRA==RUZH\n"},
    {"padding_at_start", "=QUJD\n"},
    {"padding_inside", "QU=JD\n"},
    {"three_pads", "QUJDRA===\n"},
};

class PemDamaged : public CoreTestWithParam<DamagedCase> {};

TEST_P(PemDamaged, IsInvalidValue) {
    std::string text =
        "-----BEGIN THING-----\n" + std::string(GetParam().body) + "-----END THING-----\n";
    ASSERT_TRUE(der_with_openssl(text).empty()) << "OpenSSL reads this block";
    PemBlock b;
    EXPECT_TRUE(fails_with([&] { find_pem_block(text, any_label, b); }, ErrorKind::InvalidValue,
                           "PEM body is not Base64"));
}

INSTANTIATE_TEST_SUITE_P(Table, PemDamaged, ::testing::ValuesIn(kDamaged), CaseName());

class PemWrite : public CoreTest {};

// Same text as OpenSSL's writer for every line-length situation: shorter
// than a line, exactly one line (48 bytes), one byte more, several.
TEST_F(PemWrite, MatchesOpenSslWriter) {
    std::vector<std::uint8_t> der(1000);
    for (std::size_t i = 0; i < der.size(); ++i)
        der[i] = static_cast<std::uint8_t>(i * 7 + 3);
    for (std::size_t size : {1u, 47u, 48u, 49u, 96u, 1000u}) {
        BioPtr bio(BIO_new(BIO_s_mem()));
        ASSERT_TRUE(bio);
        ASSERT_GT(PEM_write_bio(bio.get(), "CERTIFICATE REQUEST", "", der.data(),
                                static_cast<long>(size)),
                  0);
        char* data = nullptr;
        long len = BIO_get_mem_data(bio.get(), &data);
        EXPECT_EQ(write_pem("CERTIFICATE REQUEST", der.data(), size),
                  std::string(data, static_cast<std::size_t>(len)))
            << "size " << size;
    }
}

// OpenSSL's writer refuses an empty body; ours writes the two boundary lines.
TEST_F(PemWrite, EmptyBody) {
    EXPECT_EQ(write_pem("X", nullptr, 0), "-----BEGIN X-----\n-----END X-----\n");
}

TEST_F(PemWrite, ReadsBack) {
    const std::vector<std::uint8_t> der = bytes_of("any bytes \x01\xff at all");
    std::string text = write_pem("PRIVATE KEY", der.data(), der.size());
    PemBlock b;
    ASSERT_TRUE(find_pem_block(text, private_key_label, b));
    EXPECT_EQ(b.label, "PRIVATE KEY");
    EXPECT_EQ(der_of(b), der);
}

} // namespace
} // namespace corvane::crypto::test
