// SHA-512 against the FIPS 180 example vectors.
#include <cstdio>
#include <string>

#include "crypto/sha512.h"
#include "test_keys.h"

namespace corvane::crypto::test {
namespace {

std::string hex(const Sha512Digest& d) {
    std::string out;
    char two[3];
    for (std::uint8_t b : d) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

struct Sha512Case {
    const char* name;
    std::string message;
    const char* digest;
};

const Sha512Case kFips180[] = {
    {"empty", "",
     "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
     "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
    {"abc", "abc",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
     "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
    // 896 bits: the padding spills into a second block.
    {"two_blocks_896_bits",
     "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
     "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
     "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
     "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
    {"million_a", std::string(1000000, 'a'),
     "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
     "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
};

class Sha512Fips180 : public CoreTestWithParam<Sha512Case> {};

TEST_P(Sha512Fips180, MatchesVector) {
    const auto& c = GetParam();
    EXPECT_EQ(hex(sha512(c.message.data(), c.message.size())), c.digest);
}

INSTANTIATE_TEST_SUITE_P(Vectors, Sha512Fips180, ::testing::ValuesIn(kFips180), CaseName());

// An empty view may carry a null pointer; the digest is that of no bytes.
TEST(Sha512, NullPointerWithZeroSize) {
    EXPECT_EQ(hex(sha512(nullptr, 0)), kFips180[0].digest);
}

} // namespace
} // namespace corvane::crypto::test
