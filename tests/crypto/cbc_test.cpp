// CBC mode: SP 800-38A, chaining across calls and buffers, copies, and
// OpenSSL on random data and split points.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "cipher_test_util.h"
#include "qelAlgorithms.h"
#include "qelCBCInternal.h"
#include "qelContextInternal.h"
#include "qelSymmetricCipherInternal.h"

namespace {

using qeltest::Bytes;
using qeltest::fromHex;
using qeltest::toHex;

const auto *const gEnv = qeltest::addHomeEnvironment("qelcipher", qeltest::HomeEnvironment::SDK::Up);

class CBC : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(qelContextNew(QELSDKVersion, &context_), QELError_NoErr); }
    void TearDown() override
    {
        for (QELCBCContext *c : made_)
            static_cast<void>(qelCBCFree(c));
        static_cast<void>(qelContextFree(context_));
    }

    QELCBCContext *make(std::int32_t id)
    {
        QELSymmetricCipher *cipher = nullptr;
        EXPECT_EQ(qelSymmetricCipherNew(context_, id, &cipher), QELError_NoErr);
        QELCBCContext *cbc = nullptr;
        EXPECT_EQ(qelCBCCreate(cipher, &cbc), QELError_NoErr);
        made_.push_back(cbc);
        return cbc;
    }

    // Processes whole-block pieces of the given block counts, then the rest.
    static Bytes run(QELCBCContext *cbc, const Bytes &in, bool encrypt, const std::vector<std::size_t> &blocks)
    {
        const std::size_t b = qelCBCGetBlockSize(cbc);
        Bytes out(in.size());
        std::size_t pos = 0;
        auto step = [&](std::size_t n) {
            const QELStatus s = encrypt ? qelCBCEncrypt(cbc, in.data() + pos, n, out.data() + pos)
                                        : qelCBCDecrypt(cbc, in.data() + pos, n, out.data() + pos);
            EXPECT_EQ(s, QELError_NoErr);
            pos += n;
        };
        for (std::size_t k : blocks) {
            const std::size_t n = std::min(k * b, in.size() - pos);
            if (n != 0)
                step(n);
        }
        if (pos < in.size())
            step(in.size() - pos);
        return out;
    }

    QELContext *context_ = nullptr;
    std::vector<QELCBCContext *> made_;
};

TEST_F(CBC, SP800_38A_AES128)
{
    const Bytes key = fromHex("2b7e151628aed2a6abf7158809cf4f3c"), iv = fromHex("000102030405060708090a0b0c0d0e0f");
    const char *plain = "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                        "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
    const char *cipher = "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
                         "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7";
    QELCBCContext *cbc = make(QELCipherAlgorithm_AES128);
    ASSERT_EQ(qelCBCInit(cbc, key.data(), iv.data()), QELError_NoErr);
    EXPECT_EQ(toHex(run(cbc, fromHex(plain), true, {4})), cipher);
    ASSERT_EQ(qelCBCInit(cbc, key.data(), iv.data()), QELError_NoErr);
    EXPECT_EQ(toHex(run(cbc, fromHex(cipher), false, {1, 2, 1})), plain);
}

TEST_F(CBC, ChainingAcrossCallsAndInPlace)
{
    QELCBCContext *cbc = make(QELCipherAlgorithm_3DES);
    const Bytes key = fromHex("0123456789abcdef23456789abcdef01456789abcdef0123"), iv = fromHex("1122334455667788");
    Bytes plain(64);
    for (std::size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<std::uint8_t>(i);
    ASSERT_EQ(qelCBCInit(cbc, key.data(), iv.data()), QELError_NoErr);
    const Bytes whole = run(cbc, plain, true, {8});
    ASSERT_EQ(qelCBCInit(cbc, key.data(), iv.data()), QELError_NoErr);
    EXPECT_EQ(run(cbc, plain, true, {1, 1, 1, 1, 1, 1, 1, 1}), whole);

    // Decrypting in place, in pieces; the current IV ends as the last
    // ciphertext block whichever buffer holds it.
    ASSERT_EQ(qelCBCInit(cbc, key.data(), iv.data()), QELError_NoErr);
    Bytes buf = whole;
    ASSERT_EQ(qelCBCDecrypt(cbc, buf.data(), 24, buf.data()), QELError_NoErr);
    EXPECT_EQ(std::memcmp(cbc->currentIV, whole.data() + 16, 8), 0);
    ASSERT_EQ(qelCBCDecrypt(cbc, buf.data() + 24, 40, buf.data() + 24), QELError_NoErr);
    EXPECT_EQ(buf, plain);
    EXPECT_EQ(std::memcmp(cbc->currentIV, whole.data() + 56, 8), 0);
}

TEST_F(CBC, PartialBlockIsRefusedAndChangesNothing)
{
    QELCBCContext *cbc = make(QELCipherAlgorithm_3DES);
    const Bytes key(24, 0x42), iv(8, 0x24), data(16, 0x99);
    ASSERT_EQ(qelCBCInit(cbc, key.data(), iv.data()), QELError_NoErr);
    Bytes out(16, 0);
    EXPECT_EQ(qelCBCEncrypt(cbc, data.data(), 12, out.data()), QELError_BadParams);
    EXPECT_EQ(out, Bytes(16, 0));
    const Bytes after = run(cbc, data, true, {2});
    ASSERT_EQ(qelCBCInit(cbc, key.data(), iv.data()), QELError_NoErr);
    EXPECT_EQ(run(cbc, data, true, {2}), after);
}

TEST_F(CBC, InitWithIVOnlyKeepsTheKey)
{
    QELCBCContext *a = make(QELCipherAlgorithm_Blowfish), *b = make(QELCipherAlgorithm_Blowfish);
    const Bytes key(16, 0x10), iv1(8, 1), iv2(8, 2), data(32, 0x77);
    ASSERT_EQ(qelCBCInit(a, key.data(), iv1.data()), QELError_NoErr);
    ASSERT_EQ(qelCBCInit(b, key.data(), iv2.data()), QELError_NoErr);
    run(a, data, true, {4});
    ASSERT_EQ(qelCBCInit(a, nullptr, iv2.data()), QELError_NoErr);
    EXPECT_EQ(run(a, data, true, {4}), run(b, data, true, {4}));
    // With only a key the IV is all zero.
    ASSERT_EQ(qelCBCInit(a, key.data(), nullptr), QELError_NoErr);
    ASSERT_EQ(qelCBCInit(b, key.data(), Bytes(8, 0).data()), QELError_NoErr);
    EXPECT_EQ(run(a, data, true, {4}), run(b, data, true, {4}));
}

TEST_F(CBC, CopyContinuesTheChain)
{
    QELCBCContext *cbc = make(QELCipherAlgorithm_AES256);
    const Bytes key(32, 3), iv(16, 4), data(80, 5);
    ASSERT_EQ(qelCBCInit(cbc, key.data(), iv.data()), QELError_NoErr);
    run(cbc, Bytes(48, 6), false, {3}); // leaves the current IV in buffer B
    ASSERT_EQ(cbc->currentIV, cbc->ivB);
    QELCBCContext *copy = nullptr;
    ASSERT_EQ(qelCBCCopy(cbc, &copy), QELError_NoErr);
    made_.push_back(copy);
    EXPECT_EQ(copy->currentIV, copy->ivB);
    EXPECT_EQ(run(copy, data, false, {5}), run(cbc, data, false, {2, 3}));
    EXPECT_EQ(run(copy, data, true, {5}), run(cbc, data, true, {1, 4}));
}

TEST_F(CBC, StatusesAndOwnership)
{
    QELSymmetricCipher *cipher = nullptr;
    ASSERT_EQ(qelSymmetricCipherNew(context_, QELCipherAlgorithm_CAST5, &cipher), QELError_NoErr);
    QELCBCContext *cbc = reinterpret_cast<QELCBCContext *>(0x1);
    EXPECT_EQ(qelCBCCreate(nullptr, &cbc), QELError_BadParams);
    EXPECT_EQ(cbc, nullptr);
    EXPECT_EQ(qelCBCCreate(cipher, nullptr), QELError_BadParams);
    ASSERT_EQ(qelCBCCreate(cipher, &cbc), QELError_NoErr);
    made_.push_back(cbc);

    std::uint8_t buf[16] = {};
    EXPECT_EQ(qelCBCEncrypt(cbc, buf, 8, buf), QELError_NotInitialized);
    EXPECT_EQ(qelCBCDecrypt(cbc, buf, 8, buf), QELError_NotInitialized);
    EXPECT_EQ(qelCBCInit(cbc, nullptr, nullptr), QELError_BadParams);
    ASSERT_EQ(qelCBCInit(cbc, buf, buf), QELError_NoErr);
    EXPECT_EQ(qelCBCEncrypt(cbc, buf, 0, buf), QELError_BadParams);
    EXPECT_EQ(qelCBCEncrypt(cbc, nullptr, 8, buf), QELError_BadParams);
    EXPECT_EQ(qelCBCDecrypt(cbc, buf, 8, nullptr), QELError_BadParams);
    EXPECT_EQ(qelCBCGetBlockSize(cbc), 8u);
    EXPECT_EQ(qelCBCGetKeySize(cbc), 16u);

    QELSymmetricCipher *inner = nullptr;
    EXPECT_EQ(qelCBCGetSymmetricCipher(cbc, &inner), QELError_NoErr);
    EXPECT_EQ(inner, cipher);

    // A current IV that points outside the object is refused everywhere.
    std::uint8_t *saved = cbc->currentIV;
    cbc->currentIV = buf;
    EXPECT_EQ(qelCBCEncrypt(cbc, buf, 8, buf), QELError_BadParams);
    EXPECT_EQ(qelCBCInit(cbc, buf, buf), QELError_BadParams);
    EXPECT_EQ(qelCBCGetSymmetricCipher(cbc, &inner), QELError_BadParams);
    EXPECT_EQ(inner, nullptr);
    QELCBCContext *copy = reinterpret_cast<QELCBCContext *>(0x1);
    EXPECT_EQ(qelCBCCopy(cbc, &copy), QELError_BadParams);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(qelCBCFree(cbc), QELError_BadParams);
    cbc->currentIV = saved;
}

TEST_F(CBC, CreationAndCopyFailures)
{
    qeltest::TestHeap counter;
    QELMemoryMgr *mgr = counter.make();
    const long base = counter.live;
    QELSymmetricCipher *cipher = nullptr;
    ASSERT_EQ(qelSymmetricCipherCreate(mgr, QELCipherAlgorithm_AES128, &cipher), QELError_NoErr);
    counter.allocations = 0;
    counter.failAt = 1;
    QELCBCContext *cbc = nullptr;
    EXPECT_EQ(qelCBCCreate(cipher, &cbc), QELError_OutOfMemory);
    EXPECT_EQ(counter.live, base); // the cipher went with the failure
    counter.failAt = 0;

    ASSERT_EQ(qelSymmetricCipherCreate(mgr, QELCipherAlgorithm_AES128, &cipher), QELError_NoErr);
    ASSERT_EQ(qelCBCCreate(cipher, &cbc), QELError_NoErr);
    const long live = counter.live;
    for (long failAt : {1, 2, 3}) {
        counter.allocations = 0;
        counter.failAt = failAt;
        QELCBCContext *copy = nullptr;
        EXPECT_EQ(qelCBCCopy(cbc, &copy), QELError_OutOfMemory) << failAt;
        EXPECT_EQ(copy, nullptr);
        EXPECT_EQ(counter.live, live);
    }
    counter.failAt = 0;
    EXPECT_EQ(qelCBCFree(cbc), QELError_NoErr);
    EXPECT_EQ(counter.live, base);
    static_cast<void>(qelMemMgrFree(mgr));
}

#ifdef QEL_HAVE_OPENSSL
TEST_F(CBC, RandomDataAndSplitsAgainstOpenSSL)
{
    std::mt19937 rng(1738);
    for (const qeltest::PeerCipher &p : qeltest::kPeerCiphers) {
        const std::string name = p.in("CBC");
        QELCBCContext *cbc = make(p.id);
        const std::size_t b = qelCBCGetBlockSize(cbc);
        for (int round = 0; round < 10; ++round) {
            Bytes key(qelCBCGetKeySize(cbc)), iv(b), plain(b * (1 + rng() % 20));
            qeltest::fillRandom(rng, key, iv, plain);
            Bytes expected;
            if (!qeltest::peerCrypt(name.c_str(), key, iv, plain, true, expected))
                break;
            std::vector<std::size_t> pieces;
            for (int i = 0; i < 5; ++i)
                pieces.push_back(rng() % 5);
            ASSERT_EQ(qelCBCInit(cbc, key.data(), iv.data()), QELError_NoErr);
            EXPECT_EQ(run(cbc, plain, true, pieces), expected) << name;
            ASSERT_EQ(qelCBCInit(cbc, key.data(), iv.data()), QELError_NoErr);
            EXPECT_EQ(run(cbc, expected, false, pieces), plain) << name;
        }
    }
}

// Long runs in random whole-block pieces reach the several-block paths with
// every remainder, in place as well as into a separate buffer.
TEST_F(CBC, LongRandomSplitsAgainstOpenSSL)
{
    std::mt19937 rng(2179);
    for (const qeltest::PeerCipher &p : qeltest::kPeerCiphers) {
        const std::string name = p.in("CBC");
        QELCBCContext *cbc = make(p.id);
        const std::size_t b = qelCBCGetBlockSize(cbc);
        for (int round = 0; round < 8; ++round) {
            Bytes key(qelCBCGetKeySize(cbc)), iv(b), plain(b * (1 + rng() % 150));
            qeltest::fillRandom(rng, key, iv, plain);
            Bytes expected;
            if (!qeltest::peerCrypt(name.c_str(), key, iv, plain, true, expected))
                break;
            std::vector<std::size_t> pieces;
            for (int i = 0; i < 6; ++i)
                pieces.push_back(rng() % 40);
            ASSERT_EQ(qelCBCInit(cbc, key.data(), iv.data()), QELError_NoErr);
            EXPECT_EQ(run(cbc, plain, true, pieces), expected) << name;
            std::shuffle(pieces.begin(), pieces.end(), rng);
            ASSERT_EQ(qelCBCInit(cbc, key.data(), iv.data()), QELError_NoErr);
            EXPECT_EQ(run(cbc, expected, false, pieces), plain) << name;
            // In place, in one call.
            Bytes work = expected;
            ASSERT_EQ(qelCBCInit(cbc, key.data(), iv.data()), QELError_NoErr);
            ASSERT_EQ(qelCBCDecrypt(cbc, work.data(), work.size(), work.data()), QELError_NoErr);
            EXPECT_EQ(work, plain) << name;
        }
    }
}
#endif

} // namespace
