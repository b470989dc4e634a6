// Hash algorithms, descriptors, contexts and lists: published vectors,
// cross-checks against OpenSSL, and the context API's argument handling.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "qelAlgorithms.h"
#include "qelContextInternal.h"
#include "qelHashInternal.h"
#include "qelMD2Internal.h"
#include "qelSDKInternal.h"
#include "qelSymmetricCipherInternal.h"
#include "qelTestEnv.h"
#include "qelTestHex.h"

#ifdef QEL_HAVE_OPENSSL
#include <openssl/evp.h>
#endif

namespace {

using qeltest::toHex;

// Runs a descriptor directly over the message, fed in pieces of the given size.
std::string digestOf(const QELHashDescriptor *d, const std::string &message,
                     std::size_t piece = 0)
{
    std::vector<std::uint8_t> state(d->stateSize);
    d->init(state.data());
    if (piece == 0) {
        d->update(state.data(), message.data(), message.size());
    } else {
        for (std::size_t at = 0; at < message.size(); at += piece)
            d->update(state.data(), message.data() + at,
                      std::min(piece, message.size() - at));
    }
    return toHex(d->final(state.data()), d->digestSize);
}

const std::string kAlphabet = "abcdefghijklmnopqrstuvwxyz";
const std::string kAlnum = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
const std::string kDigits8 = [] {
    std::string s;
    for (int i = 0; i < 8; ++i)
        s += "1234567890";
    return s;
}();
const std::string k448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::string k896 =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrl"
    "mnopqrsmnopqrstnopqrstu";
const std::string kMillionA(1000000, 'a');

struct Vector {
    std::int32_t algorithm;
    const std::string *message;
    const char *literal;     // used when message is null
    const char *digest;
};

const Vector kVectors[] = {
    // RFC 1321 (MD5)
    {QELHashAlgorithm_MD5, nullptr, "", "d41d8cd98f00b204e9800998ecf8427e"},
    {QELHashAlgorithm_MD5, nullptr, "a", "0cc175b9c0f1b6a831c399e269772661"},
    {QELHashAlgorithm_MD5, nullptr, "abc", "900150983cd24fb0d6963f7d28e17f72"},
    {QELHashAlgorithm_MD5, nullptr, "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {QELHashAlgorithm_MD5, &kAlphabet, nullptr, "c3fcd3d76192e4007dfb496cca67e13b"},
    {QELHashAlgorithm_MD5, &kAlnum, nullptr, "d174ab98d277d9f5a5611c2c9f419d9f"},
    {QELHashAlgorithm_MD5, &kDigits8, nullptr, "57edf4a22be3c955ac49da2e2107b67a"},
    // RFC 1319 (MD2)
    {QELHashAlgorithm_MD2, nullptr, "", "8350e5a3e24c153df2275c9f80692773"},
    {QELHashAlgorithm_MD2, nullptr, "a", "32ec01ec4a6dac72c0ab96fb34c0b5d1"},
    {QELHashAlgorithm_MD2, nullptr, "abc", "da853b0d3f88d99b30283a69e6ded6bb"},
    {QELHashAlgorithm_MD2, nullptr, "message digest", "ab4f496bfb2a530b219ff33031fe06b0"},
    {QELHashAlgorithm_MD2, &kAlphabet, nullptr, "4e8ddff3650292ab5a4108c3aa47940b"},
    {QELHashAlgorithm_MD2, &kAlnum, nullptr, "da33def2a42df13975352846c30338cd"},
    {QELHashAlgorithm_MD2, &kDigits8, nullptr, "d5976f79d83d3a0dc9806c3c66f3efd8"},
    // RIPEMD-160 published set
    {QELHashAlgorithm_RIPEMD160, nullptr, "", "9c1185a5c5e9fc54612808977ee8f548b2258d31"},
    {QELHashAlgorithm_RIPEMD160, nullptr, "a", "0bdc9d2d256b3ee9daae347be6f4dc835a467ffe"},
    {QELHashAlgorithm_RIPEMD160, nullptr, "abc", "8eb208f7e05d987a9b044a8e98c6b087f15a0bfc"},
    {QELHashAlgorithm_RIPEMD160, nullptr, "message digest",
     "5d0689ef49d2fae572b881b123a85ffa21595f36"},
    {QELHashAlgorithm_RIPEMD160, &kAlphabet, nullptr, "f71c27109c692c1b56bbdceb5b9d2865b3708dbc"},
    {QELHashAlgorithm_RIPEMD160, &k448, nullptr, "12a053384a9c0c88e405a06c27dcf49ada62eb2b"},
    {QELHashAlgorithm_RIPEMD160, &kAlnum, nullptr, "b0e20b6e3116640286ed3a87a5713079b21f5189"},
    {QELHashAlgorithm_RIPEMD160, &kDigits8, nullptr, "9b752e45573d4b39f4dbd3323cab82bf63326bfb"},
    {QELHashAlgorithm_RIPEMD160, &kMillionA, nullptr, "52783243c1697bdbe16d37f97f68f08325dc1528"},
    // FIPS 180 examples (SHA-1, SHA-2)
    {QELHashAlgorithm_SHA1, nullptr, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {QELHashAlgorithm_SHA1, &k448, nullptr, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {QELHashAlgorithm_SHA224, nullptr, "", "d14a028c2a3a2bc9476102bb288234c415a2b01f828ea62ac5b3e42f"},
    {QELHashAlgorithm_SHA224, nullptr, "abc", "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7"},
    {QELHashAlgorithm_SHA224, &k448, nullptr, "75388b16512776cc5dba5da1fd890150b0c6455cb4f58b1952522525"},
    {QELHashAlgorithm_SHA224, &kMillionA, nullptr, "20794655980c91d8bbb4c1ea97618a4bf03f42581948b2ee4ee7ad67"},
    {QELHashAlgorithm_SHA256, nullptr, "",
     "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {QELHashAlgorithm_SHA256, nullptr, "abc",
     "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {QELHashAlgorithm_SHA256, &k448, nullptr,
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {QELHashAlgorithm_SHA256, &kMillionA, nullptr,
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    {QELHashAlgorithm_SHA384, nullptr, "abc",
     "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
    {QELHashAlgorithm_SHA384, &k896, nullptr,
     "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039"},
    {QELHashAlgorithm_SHA384, &kMillionA, nullptr,
     "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b07b8b3dc38ecc4ebae97ddd87f3d8985"},
    {QELHashAlgorithm_SHA512, nullptr, "abc",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
    {QELHashAlgorithm_SHA512, &k896, nullptr,
     "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
    {QELHashAlgorithm_SHA512, &kMillionA, nullptr,
     "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
};

TEST(HashAlgorithms, PublishedVectors)
{
    for (const auto &v : kVectors) {
        const QELHashDescriptor *d = qelHashDescriptorFind(v.algorithm);
        ASSERT_NE(d, nullptr) << v.algorithm;
        std::string message = v.message != nullptr ? *v.message : std::string(v.literal);
        EXPECT_EQ(digestOf(d, message), v.digest) << d->name << " len " << message.size();
        // Byte by byte and across block boundaries the result is the same.
        if (message.size() < 2000) {
            EXPECT_EQ(digestOf(d, message, 1), v.digest) << d->name;
            EXPECT_EQ(digestOf(d, message, 7), v.digest) << d->name;
        }
    }
}

TEST(HashAlgorithms, MD2PaddingAtBlockBoundaries)
{
    // 15, 16 and 17 bytes exercise the one-byte pad, the full pad block and
    // the spill-over; the digest must not depend on how the bytes arrive.
    const QELHashDescriptor *d = qelHashDescriptorFind(QELHashAlgorithm_MD2);
    for (std::size_t n : {15u, 16u, 17u, 32u}) {
        std::string m(n, 'x');
        EXPECT_EQ(digestOf(d, m), digestOf(d, m, 1)) << n;
        EXPECT_EQ(digestOf(d, m), digestOf(d, m, 5)) << n;
    }
}

TEST(HashAlgorithms, ByteCountCarriesIntoHighHalf)
{
    // The byte count is kept in full: a count that crosses 2^32 in one call
    // must reach the length field. Simulated by presetting the counters.
    for (std::int32_t id : {QELHashAlgorithm_MD5, QELHashAlgorithm_RIPEMD160, QELHashAlgorithm_SHA256}) {
        const QELHashDescriptor *d = qelHashDescriptorFind(id);
        std::vector<std::uint8_t> a(d->stateSize), b(d->stateSize);
        d->init(a.data());
        d->init(b.data());
        // Same chaining value, counts 0xFFFFFFC0 and 0x1_FFFFFFC0: feeding one
        // more block must give different digests (the high half differs).
        auto *wa = reinterpret_cast<std::uint32_t *>(a.data() + d->stateSize - 8);
        auto *wb = reinterpret_cast<std::uint32_t *>(b.data() + d->stateSize - 8);
        wa[0] = 0; wa[1] = 0xFFFFFFC0u;
        wb[0] = 1; wb[1] = 0xFFFFFFC0u;
        std::string block(64, 'q');
        d->update(a.data(), block.data(), block.size());
        d->update(b.data(), block.data(), block.size());
        EXPECT_EQ(wa[0], 1u) << d->name;    // the carry reached the high half
        EXPECT_EQ(wa[1], 0u) << d->name;
        EXPECT_NE(toHex(d->final(a.data()), d->digestSize), toHex(d->final(b.data()), d->digestSize));
    }
}

#ifdef QEL_HAVE_OPENSSL
using qeltest::peerHashName;

std::string opensslDigest(const char *name, const std::string &m)
{
    return toHex(qeltest::peerDigest(name, m.data(), m.size()));
}

TEST(HashAlgorithms, MatchOpenSSLOnEdgeLengthsAndRandomChunks)
{
    std::mt19937 rng(12345);
    std::vector<std::size_t> lengths = {0, 1, 55, 56, 63, 64, 65, 111, 112, 127, 128, 129,
                                        (1u << 20) + 3};
    for (std::size_t n = 0; n <= 300; ++n)   // every short length, both block sizes
        lengths.push_back(n);
    std::size_t count = 0;
    const QELHashDescriptor *table = qelHashDescriptorTable(&count);
    for (std::size_t n : lengths) {
        std::string m(n, '\0');
        for (auto &c : m)
            c = static_cast<char>(rng());
        for (std::size_t i = 0; i < count; ++i) {
            const QELHashDescriptor *d = &table[i];
            const char *name = peerHashName(d->algorithm);
            if (name == nullptr)
                continue;
            std::string expected = opensslDigest(name, m);
            if (expected.empty())
                continue;   // not offered by this OpenSSL build
            EXPECT_EQ(digestOf(d, m), expected) << d->name << " len " << n;
            // Random piece sizes, straddling block boundaries.
            std::vector<std::uint8_t> state(d->stateSize);
            d->init(state.data());
            for (std::size_t at = 0; at < n;) {
                std::size_t piece = std::min<std::size_t>(rng() % 300, n - at);
                d->update(state.data(), m.data() + at, piece);
                at += piece;
            }
            EXPECT_EQ(toHex(d->final(state.data()), d->digestSize), expected)
                << d->name << " chunked len " << n;
        }
    }
}
#endif

// ---- Descriptor table ------------------------------------------------------

TEST(HashDescriptors, TableRows)
{
    struct Row {
        const char *name;
        std::int32_t id;
        std::uint64_t digest, block, state, word;
        const char *prefix;
    };
    const Row rows[] = {
        {"MD5", 1, 16, 64, 88, 4, "3020300c06082a864886f70d020505000410"},
        {"SHA1", 2, 20, 64, 92, 4, "3021300906052b0e03021a05000414"},
        {"RIPEMD160", 3, 20, 64, 92, 4, "3021300906052b2403020105000414"},
        {"MD2", 5, 16, 16, 84, 4, "3020300c06082a864886f70d020205000410"},
        {"SHA224", 11, 28, 64, 168, 4, "302d300d06096086480165030402040500041c"},
        {"SHA256", 8, 32, 64, 168, 4, "3031300d060960864801650304020105000420"},
        {"SHA384", 9, 48, 128, 336, 8, "3041300d060960864801650304020205000430"},
        {"SHA512", 10, 64, 128, 336, 8, "3051300d060960864801650304020305000440"},
    };
    std::size_t count = 0;
    const QELHashDescriptor *table = qelHashDescriptorTable(&count);
    ASSERT_EQ(count, std::size(rows));
    for (std::size_t i = 0; i < count; ++i) {
        const QELHashDescriptor &d = table[i];
        EXPECT_STREQ(d.name, rows[i].name);
        EXPECT_EQ(d.algorithm, rows[i].id);
        EXPECT_EQ(d.digestSize, rows[i].digest);
        EXPECT_EQ(d.blockSize, rows[i].block);
        EXPECT_EQ(d.stateSize, rows[i].state);
        EXPECT_EQ(d.wordSize, rows[i].word);
        EXPECT_EQ(toHex(d.digestInfoPrefix, d.prefixLength), rows[i].prefix);
    }
}

TEST(HashDescriptors, LookupByIdAndName)
{
    for (std::int32_t id : {0, 4, 6, 7, 12, -1})
        EXPECT_EQ(qelHashDescriptorFind(id), nullptr) << id;
    ASSERT_NE(qelHashDescriptorFind(11), nullptr);
    EXPECT_STREQ(qelHashDescriptorFind(11)->name, "SHA224");
    EXPECT_EQ(qelHashDescriptorFindByName("SHA", 3), nullptr);
    EXPECT_EQ(qelHashDescriptorFindByName("SHA1", 4), qelHashDescriptorFind(2));
    EXPECT_EQ(qelHashDescriptorFindByName("sha1", 4), nullptr);
    EXPECT_EQ(qelHashDescriptorFindByName("SHA1", 3), nullptr);
    EXPECT_EQ(qelHashDescriptorFindByName(nullptr, 0), nullptr);
}

// ---- Contexts and lists over an SDK context -------------------------------

class HashContextTest : public qeltest::SDKHomeTest {
protected:
    HashContextTest() : SDKHomeTest("qelhash") {}
    void SetUp() override
    {
        SDKHomeTest::SetUp();
        mgr_ = qelContextGetMemoryMgr(context_);
    }
    std::string finalHex(QELHashContext *h)
    {
        std::uint64_t size = 0;
        EXPECT_EQ(qelHashGetSize(h, &size), 0);
        std::vector<std::uint8_t> out(size);
        EXPECT_EQ(qelHashFinal(h, out.data()), 0);
        return toHex(out.data(), out.size());
    }

    QELMemoryMgr *mgr_ = nullptr;
};

TEST_F(HashContextTest, NewUpdateFinalResetCopy)
{
    QELHashContext *h = nullptr;
    ASSERT_EQ(qelHashNew(context_, QELHashAlgorithm_SHA256, &h), 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(qelHashUpdate(h, "ab", 2), 0);
    QELHashContext *copy = nullptr;
    ASSERT_EQ(qelHashCopy(h, &copy), 0);
    EXPECT_EQ(qelHashUpdate(h, "c", 1), 0);
    EXPECT_EQ(finalHex(h), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // The copy continues independently from "ab".
    EXPECT_EQ(qelHashUpdate(copy, "c", 1), 0);
    EXPECT_EQ(finalHex(copy), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // Final, reset, same data again: same digest.
    EXPECT_EQ(qelHashReset(h), 0);
    EXPECT_EQ(qelHashUpdate(h, "abc", 3), 0);
    EXPECT_EQ(finalHex(h), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    std::uint64_t block = 0;
    EXPECT_EQ(qelHashGetBlockSize(h, &block), 0);
    EXPECT_EQ(block, 64u);
    EXPECT_EQ(qelHashGetDescriptor(h), qelHashDescriptorFind(QELHashAlgorithm_SHA256));
    EXPECT_EQ(qelHashFree(copy), 0);
    EXPECT_EQ(qelHashFree(h), 0);
}

TEST_F(HashContextTest, ArgumentErrorsChangeNothing)
{
    QELHashContext *h = reinterpret_cast<QELHashContext *>(0x1);
    EXPECT_EQ(qelHashNew(context_, 4, &h), QELError_BadParams);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(qelHashNew(context_, QELHashAlgorithm_MD5, nullptr), QELError_BadParams);
    EXPECT_EQ(qelHashNew(nullptr, QELHashAlgorithm_MD5, &h), QELError_BadParams);
    EXPECT_EQ(h, nullptr);

    ASSERT_EQ(qelHashNew(context_, QELHashAlgorithm_MD5, &h), 0);
    std::vector<std::uint8_t> before(88);
    std::memcpy(before.data(), h->state, before.size());
    EXPECT_EQ(qelHashUpdate(h, "x", 0), 0);             // length 0: nothing happens
    EXPECT_EQ(qelHashUpdate(h, nullptr, 0), QELError_BadParams);
    EXPECT_EQ(std::memcmp(before.data(), h->state, before.size()), 0);
    EXPECT_EQ(qelHashFinal(h, nullptr), QELError_BadParams);
    EXPECT_EQ(qelHashUpdate(nullptr, "x", 1), QELError_BadParams);
    std::uint64_t size = 7;
    EXPECT_EQ(qelHashGetSize(nullptr, &size), QELError_BadParams);
    EXPECT_EQ(size, 0u);
    QELHashContext *copy = reinterpret_cast<QELHashContext *>(0x1);
    EXPECT_EQ(qelHashCopy(nullptr, &copy), QELError_BadParams);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(finalHex(h), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(qelHashFree(h), 0);
}

TEST_F(HashContextTest, CipherObjectIsRefusedAsAHash)
{
    // The cipher object carries the same magic; it must be told apart by its
    // class, not dereferenced as a hash.
    QELSymmetricCipher *cipher = nullptr;
    ASSERT_EQ(qelSymmetricCipherNew(context_, QELCipherAlgorithm_CAST5, &cipher), 0);
    auto *foreign = reinterpret_cast<QELHashContext *>(cipher);
    ASSERT_EQ(foreign->magic, QELHashContextMagic);
    std::uint8_t out[64];
    std::uint64_t size = 0;
    EXPECT_EQ(qelHashUpdate(foreign, "abc", 3), QELError_BadParams);
    EXPECT_EQ(qelHashFinal(foreign, out), QELError_BadParams);
    EXPECT_EQ(qelHashReset(foreign), QELError_BadParams);
    EXPECT_EQ(qelHashGetSize(foreign, &size), QELError_BadParams);
    EXPECT_EQ(qelHashFree(foreign), QELError_BadParams);
    EXPECT_EQ(qelHashGetDescriptor(foreign), nullptr);
    EXPECT_EQ(qelSymmetricCipherFree(cipher), 0);
}

TEST_F(HashContextTest, ListSkipsUnknownIdsAndMatchesSeparateContexts)
{
    const std::uint8_t ids[] = {2, 4, 8};
    QELHashList *list = nullptr;
    ASSERT_EQ(qelHashListCreate(mgr_, ids, &list, 3), 0);
    ASSERT_EQ(qelHashListCount(list), 2);
    EXPECT_EQ(qelHashGetDescriptor(qelHashListGet(list, 0)), qelHashDescriptorFind(2));
    EXPECT_EQ(qelHashGetDescriptor(qelHashListGet(list, 1)), qelHashDescriptorFind(8));
    EXPECT_EQ(qelHashListGet(list, 2), nullptr);
    EXPECT_EQ(qelHashListFind(list, qelHashDescriptorFind(1)), nullptr);
    EXPECT_EQ(qelHashListFind(list, qelHashDescriptorFind(8)), qelHashListGet(list, 1));

    std::string data(5000, 'z');
    for (std::int32_t i = 0; i < qelHashListCount(list); ++i)
        EXPECT_EQ(qelHashUpdate(qelHashListGet(list, i), data.data(), data.size()), 0);
    for (std::int32_t i = 0; i < qelHashListCount(list); ++i) {
        QELHashContext *alone = nullptr;
        ASSERT_EQ(qelHashNew(context_, ids[i == 0 ? 0 : 2], &alone), 0);
        EXPECT_EQ(qelHashUpdate(alone, data.data(), data.size()), 0);
        EXPECT_EQ(finalHex(qelHashListGet(list, i)), finalHex(alone));
        static_cast<void>(qelHashFree(alone));
    }
    qelHashListFree(list);

    QELHashList *empty = reinterpret_cast<QELHashList *>(0x1);
    const std::uint8_t unknown[] = {4, 6};
    ASSERT_EQ(qelHashListCreate(mgr_, unknown, &empty, 2), 0);
    EXPECT_EQ(qelHashListCount(empty), 0);
    qelHashListFree(empty);

    QELHashList *none = reinterpret_cast<QELHashList *>(0x1);
    EXPECT_EQ(qelHashListCreate(mgr_, ids, &none, 0), QELError_BadParams);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(qelHashListCreate(mgr_, nullptr, &none, 1), QELError_BadParams);
    EXPECT_EQ(qelHashListCreate(mgr_, ids, nullptr, 1), QELError_BadParams);
}

} // namespace
