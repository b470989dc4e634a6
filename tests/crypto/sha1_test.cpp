// SHA-1: FIPS 180 known answers, the in-place compression contract, and
// agreement with OpenSSL on random data fed in random pieces.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "qelSHA1Internal.h"
#include "qelTestHex.h"

#ifdef QEL_HAVE_OPENSSL
#include <openssl/sha.h>
#endif

namespace {

using qeltest::toHex;

std::string sha1Hex(const std::string &message)
{
    QELSHA1State state;
    qelSHA1Init(&state);
    qelSHA1Update(&state, message.data(), message.size());
    return toHex(qelSHA1Final(&state), 20);
}

struct KnownAnswer {
    std::string message;
    const char *digest;
};

TEST(SHA1, FIPS180KnownAnswers)
{
    const KnownAnswer cases[] = {
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(sha1Hex(c.message), c.digest) << "message length " << c.message.size();
}

TEST(SHA1, MillionAInUnevenPieces)
{
    QELSHA1State state;
    qelSHA1Init(&state);
    const std::string chunk(997, 'a');
    std::size_t left = 1000000;
    while (left > 0) {
        const std::size_t n = std::min(left, chunk.size());
        qelSHA1Update(&state, chunk.data(), n);
        left -= n;
    }
    EXPECT_EQ(toHex(qelSHA1Final(&state), 20), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    EXPECT_EQ(state.countLow, 1000000u);
    EXPECT_EQ(state.countHigh, 0u);
}

TEST(SHA1, CompressLeavesExpandedScheduleInPlace)
{
    // The padded single block of "abc", as host-order words.
    std::uint32_t m[16] = {0x61626380u, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x18u};
    // Reference schedule, computed the plain way with all eighty words.
    std::uint32_t w[80];
    std::memcpy(w, m, sizeof m);
    for (int t = 16; t < 80; ++t)
        w[t] = std::rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

    std::uint32_t h[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
    qelSHA1Compress(h, m);
    const std::uint32_t expected[5] = {0xa9993e36u, 0x4706816au, 0xba3e2571u, 0x7850c26cu, 0x9cd0d89du};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(h[i], expected[i]) << "chaining word " << i;
    for (int i = 0; i <= 12; ++i)
        EXPECT_EQ(m[i], w[64 + i]) << "message word " << i;
    for (int i = 13; i <= 15; ++i)
        EXPECT_EQ(m[i], w[48 + i]) << "message word " << i;
}

TEST(SHA1, SetChainingValueReadsBigEndianWords)
{
    QELSHA1State state;
    qelSHA1Init(&state);
    qelSHA1Update(&state, "xy", 2);
    std::uint8_t bytes[20];
    for (int i = 0; i < 20; ++i)
        bytes[i] = static_cast<std::uint8_t>(i + 1);
    qelSHA1SetChainingValue(&state, bytes);
    EXPECT_EQ(state.h[0], 0x01020304u);
    EXPECT_EQ(state.h[4], 0x11121314u);
    EXPECT_EQ(state.countLow, 2u);
    EXPECT_EQ(state.block[0], 'x');
}

#ifdef QEL_HAVE_OPENSSL
TEST(SHA1, MatchesOpenSSLOnRandomDataAndChunkings)
{
    std::mt19937_64 rng(20261210);
    // Lengths around the one- and two-final-block boundary, then random ones.
    std::vector<std::size_t> lengths = {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 128};
    for (int i = 0; i < 40; ++i)
        lengths.push_back(rng() % 5000);
    for (std::size_t len : lengths) {
        std::vector<std::uint8_t> data(len);
        for (auto &b : data)
            b = static_cast<std::uint8_t>(rng());
        std::uint8_t expected[20];
        SHA1(data.data(), data.size(), expected);

        QELSHA1State state;
        qelSHA1Init(&state);
        std::size_t pos = 0;
        while (pos < len) {
            const std::size_t n = std::min<std::size_t>(len - pos, rng() % 150);
            qelSHA1Update(&state, data.data() + pos, n);
            pos += n;
        }
        EXPECT_EQ(toHex(qelSHA1Final(&state), 20), toHex(expected, 20)) << "length " << len;
    }
}
#endif

} // namespace
