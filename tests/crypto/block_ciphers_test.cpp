// Block ciphers behind the descriptors: published known answers, peers
// (OpenSSL, libgcrypt), lazy direction switching and the key washes.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cipher_test_util.h"
#include "qelAlgorithms.h"
#include "qelIDEAInternal.h"
#include "qelRC2Internal.h"
#include "qelSymmetricCipherInternal.h"
#include "qelTripleDESInternal.h"

#ifdef QEL_HAVE_GCRYPT
#include <gcrypt.h>
#endif

namespace {

using qeltest::Bytes;
using qeltest::fromHex;
using qeltest::toHex;

// A zero-filled context for one descriptor, as the cipher object makes it.
struct Keyed {
    const QELCipherDescriptor *d;
    std::vector<std::uint8_t> ctx;

    Keyed(std::int32_t id, const Bytes &key) : d(qelCipherDescriptorFind(id)), ctx(d->contextSize + 8, 0)
    {
        EXPECT_EQ(key.size(), d->keySize);
        d->keySchedule(ctx.data(), key.data());
    }
    Bytes encrypt(const Bytes &in)
    {
        Bytes out(in.size());
        for (std::size_t i = 0; i < in.size(); i += d->blockSize)
            d->encrypt(ctx.data(), in.data() + i, out.data() + i);
        return out;
    }
    Bytes decrypt(const Bytes &in)
    {
        Bytes out(in.size());
        for (std::size_t i = 0; i < in.size(); i += d->blockSize)
            d->decrypt(ctx.data(), in.data() + i, out.data() + i);
        return out;
    }
};

struct Vector {
    std::int32_t id;
    const char *key, *plain, *cipher;
};

// FIPS 197 Appendix C, SP 800-67 (three keys), the Twofish paper's 256-bit
// table, Blowfish reference vectors (an 8-byte key K is the 16-byte key K||K,
// since the key bytes are taken cyclically), and the IDEA reference vector.
const Vector kVectors[] = {
    {7, "000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {8, "000102030405060708090a0b0c0d0e0f1011121314151617", "00112233445566778899aabbccddeeff",
     "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {9, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "00112233445566778899aabbccddeeff",
     "8ea2b7ca516745bfeafc49904b496089"},
    {2, "0123456789abcdef23456789abcdef01456789abcdef0123",
     "5468652071756663" "6b2062726f776e20" "666f78206a756d70", "a826fd8ce53b855fcce21c8112256fe668d5c05dd9b6b900"},
    {10, "0000000000000000000000000000000000000000000000000000000000000000", "00000000000000000000000000000000",
     "57ff739d4dc92c1bd7fc01700cc8216f"},
    {10, "d43bb7556ea32e46f2a282b7d45b4e0d57ff739d4dc92c1bd7fc01700cc8216f", "90afe91bb288544f2c32dc239b2635e6",
     "6cb4561c40bf0a9705931cb6d408e7fa"},
    {10, "0123456789abcdeffedcba987654321000112233445566778899aabbccddeeff", "00000000000000000000000000000000",
     "37527be0052334b89f0cfccae87cfa20"},
    {4, "00000000000000000000000000000000", "0000000000000000", "4ef997456198dd78"},
    {4, "ffffffffffffffffffffffffffffffff", "ffffffffffffffff", "51866fd5b85ecb8a"},
    {4, "30000000000000003000000000000000", "1000000000000001", "7d856f9a613063f2"},
    {4, "11111111111111111111111111111111", "1111111111111111", "2466dd878b963c9d"},
    {4, "0123456789abcdef0123456789abcdef", "1111111111111111", "61f9c3802281b096"},
    {4, "fedcba9876543210fedcba9876543210", "0123456789abcdef", "0aceab0fc6a0a28d"},
    {1, "00010002000300040005000600070008", "0000000100020003", "11fbed2b01986de5"},
    {3, "0123456712345678234567893456789a", "0123456789abcdef", "238b4fe5847e44b2"},
};

TEST(BlockCiphers, PublishedVectors)
{
    for (const Vector &v : kVectors) {
        Keyed k(v.id, fromHex(v.key));
        const Bytes plain = fromHex(v.plain);
        EXPECT_EQ(toHex(k.encrypt(plain)), v.cipher) << k.d->name << " key " << v.key;
        EXPECT_EQ(toHex(k.decrypt(fromHex(v.cipher))), v.plain) << k.d->name << " key " << v.key;
    }
}

TEST(BlockCiphers, InPlaceAndAlternatingDirections)
{
    std::mt19937 rng(110);
    for (std::int32_t id : {1, 2, 3, 4, 7, 8, 9, 10, 102, 101}) {
        const QELCipherDescriptor *d = qelCipherDescriptorFind(id);
        Bytes key(d->keySize);
        for (auto &b : key)
            b = static_cast<std::uint8_t>(rng());
        Keyed k(id, key);
        Bytes block(d->blockSize);
        for (auto &b : block)
            b = static_cast<std::uint8_t>(rng());
        const Bytes plain = block;
        d->encrypt(k.ctx.data(), block.data(), block.data());
        const Bytes first = block;
        d->decrypt(k.ctx.data(), block.data(), block.data());
        EXPECT_EQ(block, plain) << d->name;
        d->encrypt(k.ctx.data(), block.data(), block.data());
        EXPECT_EQ(block, first) << d->name;
        d->decrypt(k.ctx.data(), block.data(), block.data());
        EXPECT_EQ(block, plain) << d->name;
    }
}

// RFC 2268 section 5, through the general key expansion.
TEST(RC2, RFC2268Vectors)
{
    struct Case {
        const char *key;
        unsigned bits;
        const char *plain, *cipher;
    };
    const Case cases[] = {
        {"0000000000000000", 63, "0000000000000000", "ebb773f993278eff"},
        {"ffffffffffffffff", 64, "ffffffffffffffff", "278b27e42e2f0d49"},
        {"3000000000000000", 64, "1000000000000001", "30649edf9be7d2c2"},
        {"88", 64, "0000000000000000", "61a8a244adacccf0"},
        {"88bca90e90875a", 64, "0000000000000000", "6ccf4308974c267f"},
        {"88bca90e90875a7f0f79c384627bafb2", 64, "0000000000000000", "1a807d272bbe5db1"},
        {"88bca90e90875a7f0f79c384627bafb2", 128, "0000000000000000", "2269552ab0f85ca6"},
        {"88bca90e90875a7f0f79c384627bafb216f80a6f85920584c42fceb0be255daf1e", 129, "0000000000000000",
         "5b78d3a43dfff1f1"},
    };
    for (const Case &c : cases) {
        const Bytes key = fromHex(c.key);
        QELRC2Context ctx;
        qelRC2ExpandKey(&ctx, key.data(), key.size(), c.bits);
        Bytes block = fromHex(c.plain);
        qelRC2Encrypt(&ctx, block.data(), block.data());
        EXPECT_EQ(toHex(block), c.cipher) << c.key << "/" << c.bits;
        qelRC2Decrypt(&ctx, block.data(), block.data());
        EXPECT_EQ(toHex(block), c.plain);
    }
}

TEST(Twofish, AlternativeScheduleReversesKeyWords)
{
    std::mt19937 rng(102);
    Bytes key(32), reversed(32);
    for (auto &b : key)
        b = static_cast<std::uint8_t>(rng());
    for (int i = 0; i < 32; i += 4)
        for (int j = 0; j < 4; ++j)
            reversed[i + j] = key[i + 3 - j];
    Bytes plain(48);
    for (auto &b : plain)
        b = static_cast<std::uint8_t>(rng());
    Keyed bad(QELCipherAlgorithm_TwofishBE, key), good(QELCipherAlgorithm_Twofish, reversed);
    EXPECT_EQ(bad.encrypt(plain), good.encrypt(plain));
    EXPECT_NE(Keyed(QELCipherAlgorithm_Twofish, key).encrypt(plain), good.encrypt(plain));

    // A key made of four-byte palindromes reads the same both ways.
    Bytes palindromes(32);
    for (int i = 0; i < 32; i += 4) {
        palindromes[i] = palindromes[i + 3] = static_cast<std::uint8_t>(rng());
        palindromes[i + 1] = palindromes[i + 2] = static_cast<std::uint8_t>(rng());
    }
    EXPECT_EQ(Keyed(QELCipherAlgorithm_TwofishBE, palindromes).encrypt(plain),
              Keyed(QELCipherAlgorithm_Twofish, palindromes).encrypt(plain));
}

TEST(TripleDES, CopyBeforeFirstUseBuildsItsOwnSchedules)
{
    Keyed source(QELCipherAlgorithm_3DES, fromHex("0123456789abcdef23456789abcdef01456789abcdef0123"));
    auto *ctx = reinterpret_cast<QELTripleDESContext *>(source.ctx.data());
    ASSERT_EQ(ctx->marker, 0);
    std::vector<std::uint8_t> copy = source.ctx;
    const Bytes plain = fromHex("5468652071756663");
    const Bytes enc = source.encrypt(plain);
    Bytes out(8);
    source.d->decrypt(copy.data(), enc.data(), out.data());
    EXPECT_EQ(out, plain);
    EXPECT_EQ(reinterpret_cast<QELTripleDESContext *>(copy.data())->marker, 34);
    EXPECT_EQ(ctx->marker, 17);
}

// What a wash absorbs: the data, 0x80, zeros, and the data's length in the
// last two bytes of a whole number of 8-byte blocks.
Bytes washPadded(const Bytes &data)
{
    const std::size_t len = data.size();
    const std::size_t total = (len % 8 >= 6 ? len / 8 + 2 : len / 8 + 1) * 8;
    Bytes msg = data;
    msg.push_back(0x80);
    msg.resize(total, 0);
    msg[total - 2] = static_cast<std::uint8_t>(len >> 8);
    msg[total - 1] = static_cast<std::uint8_t>(len);
    return msg;
}

#ifdef QEL_HAVE_OPENSSL
TEST(RC2, FortyAndHundredTwentyEightAgainstOpenSSL)
{
    std::mt19937 rng(2268);
    for (int round = 0; round < 16; ++round) {
        for (auto [id, bits] : {std::pair{QELCipherAlgorithm_RC2_40, 40}, std::pair{QELCipherAlgorithm_RC2_128, 1024}}) {
            const QELCipherDescriptor *d = qelCipherDescriptorFind(id);
            Bytes key(d->keySize), data(64);
            for (auto &b : key)
                b = static_cast<std::uint8_t>(rng());
            for (auto &b : data)
                b = static_cast<std::uint8_t>(rng());
            Bytes peerCipher;
            if (!qeltest::peerCrypt("RC2-ECB", key, {}, data, true, peerCipher, bits)) {
                GTEST_SKIP() << "OpenSSL legacy provider (RC2) not available";
            }
            Keyed k(id, key);
            EXPECT_EQ(k.decrypt(peerCipher), data) << d->name;
            if (d->encrypt != nullptr) {
                EXPECT_EQ(k.encrypt(data), peerCipher) << d->name;
            }
        }
    }
}

TEST(BlockCiphers, RandomKeysAgainstOpenSSL)
{
    struct Peer {
        std::int32_t id;
        const char *name;
    };
    const Peer peers[] = {{2, "DES-EDE3-ECB"}, {3, "CAST5-ECB"}, {4, "BF-ECB"},
                          {7, "AES-128-ECB"},  {8, "AES-192-ECB"}, {9, "AES-256-ECB"}};
    std::mt19937 rng(4880);
    for (const Peer &p : peers) {
        for (int round = 0; round < 8; ++round) {
            const QELCipherDescriptor *d = qelCipherDescriptorFind(p.id);
            Bytes key(d->keySize), data(d->blockSize * 8);
            for (auto &b : key)
                b = static_cast<std::uint8_t>(rng());
            for (auto &b : data)
                b = static_cast<std::uint8_t>(rng());
            Bytes expected;
            if (!qeltest::peerCrypt(p.name, key, {}, data, true, expected))
                continue; // legacy algorithm without the legacy provider
            Keyed k(p.id, key);
            EXPECT_EQ(k.encrypt(data), expected) << p.name;
            EXPECT_EQ(k.decrypt(expected), data) << p.name;
        }
    }
}

// The triple-DES wash, replayed with OpenSSL's single DES.
TEST(TripleDES, WashAgainstSingleDESReference)
{
    auto des = [](const std::uint8_t *key, const std::uint8_t *in, bool enc, std::uint8_t *out) {
        Bytes o;
        const bool ok = qeltest::peerCrypt("DES-ECB", Bytes(key, key + 8), {}, Bytes(in, in + 8), enc, o);
        if (ok)
            std::memcpy(out, o.data(), 8);
        return ok;
    };
    auto ede = [&](const std::uint8_t *k1, const std::uint8_t *k2, const std::uint8_t *k3, const std::uint8_t *x,
                   std::uint8_t *out) {
        std::uint8_t t[8];
        return des(k1, x, true, t) && des(k2, t, false, t) && des(k3, t, true, out);
    };
    const Bytes key = fromHex("0123456789abcdef23456789abcdef01456789abcdef0123");
    for (std::size_t len = 0; len <= 17; ++len) {
        Bytes data(len);
        for (std::size_t i = 0; i < len; ++i)
            data[i] = static_cast<std::uint8_t>(0x30 + 7 * i);
        // Reference: pad, then absorb each block into the thirds A, B, C.
        const Bytes msg = washPadded(data);
        const std::size_t total = msg.size();
        Bytes k = key;
        std::uint8_t *a = k.data(), *b = k.data() + 8, *c = k.data() + 16;
        for (std::size_t i = 0; i < total; i += 8) {
            const std::uint8_t *m = msg.data() + i;
            std::uint8_t t1[8], t2[8], t3[8];
            if (!ede(c, b, m, a, t1)) {
                GTEST_SKIP() << "OpenSSL single DES not available";
            }
            for (int j = 0; j < 8; ++j)
                a[j] ^= t1[j];
            ASSERT_TRUE(ede(c, m, t1, b, t2));
            for (int j = 0; j < 8; ++j)
                b[j] ^= t2[j];
            ASSERT_TRUE(ede(m, t2, t1, c, t3));
            for (int j = 0; j < 8; ++j)
                c[j] ^= t3[j];
        }
        Keyed washed(QELCipherAlgorithm_3DES, key);
        washed.d->wash(washed.ctx.data(), data.data(), data.size());
        auto *ctx = reinterpret_cast<QELTripleDESContext *>(washed.ctx.data());
        EXPECT_EQ(ctx->marker, 17);
        EXPECT_EQ(toHex(ctx->key, 24), toHex(k)) << "length " << len;
        const Bytes plain = fromHex("0011223344556677");
        Bytes expected;
        ASSERT_TRUE(qeltest::peerCrypt("DES-EDE3-ECB", k, {}, plain, true, expected));
        EXPECT_EQ(washed.encrypt(plain), expected);
        EXPECT_EQ(washed.decrypt(expected), plain);
    }
}
#endif

// The IDEA wash, replayed with IDEA block encryptions under fresh keys.
TEST(IDEA, WashMatchesItsDefinition)
{
    auto idea = [](const std::uint8_t *key, const std::uint8_t *in, std::uint8_t *out) {
        Keyed k(QELCipherAlgorithm_IDEA, Bytes(key, key + 16));
        k.d->encrypt(k.ctx.data(), in, out);
    };
    const Bytes key = fromHex("00010002000300040005000600070008");
    std::set<std::string> newKeys;
    for (std::size_t len = 0; len <= 17; ++len) {
        Bytes data(len);
        for (std::size_t i = 0; i < len; ++i)
            data[i] = static_cast<std::uint8_t>(0xC0 + i);
        const Bytes msg = washPadded(data);
        const std::size_t total = msg.size();
        Bytes s = key; // G || H: the first eight subkeys are the key itself
        for (std::size_t i = 0; i < total; i += 8) {
            std::uint8_t k1[16], e1[8], k2[16], e2[8];
            std::memcpy(k1, s.data() + 8, 8);
            std::memcpy(k1 + 8, msg.data() + i, 8);
            idea(k1, s.data(), e1);
            std::memcpy(k2, msg.data() + i, 8);
            std::memcpy(k2 + 8, e1, 8);
            idea(k2, s.data() + 8, e2);
            for (int j = 0; j < 8; ++j) {
                s[j] ^= e1[j];
                s[8 + j] ^= e2[j];
            }
        }
        Keyed washed(QELCipherAlgorithm_IDEA, key);
        Bytes block(8, 0x42);
        washed.d->wash(washed.ctx.data(), data.data(), data.size());
        Keyed expected(QELCipherAlgorithm_IDEA, s);
        EXPECT_EQ(std::memcmp(washed.ctx.data(), expected.ctx.data(), kQELIDEAContextSize), 0) << "length " << len;
        EXPECT_EQ(washed.encrypt(block), expected.encrypt(block));
        newKeys.insert(toHex(s));
    }
    EXPECT_EQ(newKeys.size(), 18u); // every length, the empty one included, gives a new key
    EXPECT_EQ(newKeys.count(toHex(key)), 0u);
}

#ifdef QEL_HAVE_GCRYPT
TEST(IDEA, RandomKeysAgainstLibgcrypt)
{
    ASSERT_NE(gcry_check_version(nullptr), nullptr);
    gcry_cipher_hd_t h;
    if (gcry_cipher_open(&h, GCRY_CIPHER_IDEA, GCRY_CIPHER_MODE_ECB, 0) != 0)
        GTEST_SKIP() << "libgcrypt without IDEA";
    std::mt19937 rng(1991);
    for (int round = 0; round < 32; ++round) {
        Bytes key(16), data(64), expected(64);
        for (auto &b : key)
            b = static_cast<std::uint8_t>(rng());
        for (auto &b : data)
            b = static_cast<std::uint8_t>(rng());
        ASSERT_EQ(gcry_cipher_setkey(h, key.data(), key.size()), 0u);
        ASSERT_EQ(gcry_cipher_encrypt(h, expected.data(), expected.size(), data.data(), data.size()), 0u);
        Keyed k(QELCipherAlgorithm_IDEA, key);
        EXPECT_EQ(k.encrypt(data), expected);
        EXPECT_EQ(k.decrypt(expected), data);
    }
    gcry_cipher_close(h);
}
#endif

} // namespace
