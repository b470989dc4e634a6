// The processor paths (SHA extensions, AES-NI, AVX2 and AVX-512 for
// SHA-512, several blocks at once) against the portable code in the same
// process: the same digests, the same schedule bytes, the same output and the
// same mode state, whatever the split points. The published vectors and
// OpenSSL cross-checks of the other suites run on every path through their
// ".portable" copies (and the hash suites' ".avx2" copies).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "cipher_test_util.h"
#include "qelAESInternal.h"
#include "qelAlgorithms.h"
#include "qelCAST5Internal.h"
#include "qelCBCInternal.h"
#include "qelCFBInternal.h"
#include "qelCipherBulk.h"
#include "qelCryptoCPU.h"
#include "qelTestHooks.h"
#include "qelHashInternal.h"
#include "qelMemoryInternal.h"
#include "qelSHA2Internal.h"
#include "qelSymmetricCipherInternal.h"

namespace {

using qeltest::Bytes;

// Runs fn with a test switch set on or off, then restores it.
template <class F>
auto withSwitch(void (*set)(bool), bool (*get)(), bool on, F &&fn)
{
    const bool before = get();
    set(on);
    auto result = fn();
    set(before);
    return result;
}

// Runs fn with the portable code forced on or off.
template <class F>
auto onPath(bool portable, F &&fn)
{
    return withSwitch(qelTestForcePortableCrypto, qelTestPortableCryptoForced, portable, fn);
}

bool hardwareOffered(bool (*use)())
{
    return onPath(false, [&] { return use(); });
}

// Runs fn with SHA-384/512 kept on their AVX2 code or not.
template <class F>
auto onSHA512AVX2(bool avx2, F &&fn)
{
    return withSwitch(qelTestForceSHA512AVX2, qelTestSHA512AVX2Forced, avx2, fn);
}

TEST(CryptoPaths, SwitchTurnsEveryInstructionPathOff)
{
    const char *env = std::getenv("QEL_TEST_PORTABLE_CRYPTO");
    if (env != nullptr && env[0] == '1') {
        EXPECT_TRUE(qelTestPortableCryptoForced());
    }
    onPath(true, [] {
        EXPECT_FALSE(qelCryptoUseSHA());
        EXPECT_FALSE(qelCryptoUseAES());
        EXPECT_FALSE(qelCryptoUseAVX2());
        EXPECT_FALSE(qelCryptoUseAVX512());
        return 0;
    });
}

TEST(CryptoPaths, SHA512SwitchLeavesOnlyAVX512Off)
{
    const char *env = std::getenv("QEL_TEST_SHA512_AVX2");
    if (env != nullptr && env[0] == '1') {
        EXPECT_TRUE(qelTestSHA512AVX2Forced());
    }
    onPath(false, [] {
        const bool avx2 = qelCryptoUseAVX2(), sha = qelCryptoUseSHA();
        onSHA512AVX2(true, [&] {
            EXPECT_FALSE(qelCryptoUseAVX512());
            EXPECT_EQ(qelCryptoUseAVX2(), avx2);
            EXPECT_EQ(qelCryptoUseSHA(), sha);
            return 0;
        });
        return 0;
    });
}

#if defined(QEL_CRYPTO_X86)
// The AVX-512 code takes blocks four at a time, with the next four's
// schedule computed along the way: every count up to a few batches, one
// call each, at every alignment, against the portable code. The kernels are
// called directly as well, since the hash leaves short runs to the portable
// rounds.
TEST(CryptoPaths, SHA512KernelsAgreeOnEveryBatchShape)
{
    const bool avx512 = onSHA512AVX2(false, [] { return hardwareOffered(qelCryptoUseAVX512); });
    const bool avx2 = hardwareOffered(qelCryptoUseAVX2);
    if (!avx512 && !avx2)
        GTEST_SKIP() << "no AVX2 or AVX-512 on this processor";
    std::mt19937 rng(512);
    Bytes data(128 * 14 + 8);
    qeltest::fillRandom(rng, data);
    const QELHashDescriptor *d = qelHashDescriptorFind(QELHashAlgorithm_SHA512);
    ASSERT_NE(d, nullptr);
    for (std::size_t offset : {0, 1, 8}) {
        for (std::size_t blocks = 0; blocks <= 14 && offset + 128 * blocks <= data.size(); ++blocks) {
            const std::uint8_t *in = data.data() + offset;
            // Whole blocks go straight from the caller's buffer to the kernel.
            auto digest = [&] {
                std::vector<std::uint8_t> state(d->stateSize);
                d->init(state.data());
                d->update(state.data(), in, 128 * blocks);
                const std::uint8_t *out = d->final(state.data());
                return Bytes(out, out + d->digestSize);
            };
            const Bytes portable = onPath(true, digest);
            const Bytes avx2Digest = onSHA512AVX2(true, [&] { return onPath(false, digest); });
            const Bytes widest = onSHA512AVX2(false, [&] { return onPath(false, digest); });
            EXPECT_EQ(avx2Digest, portable) << blocks << " blocks at +" << offset;
            EXPECT_EQ(widest, portable) << blocks << " blocks at +" << offset;

            // The chaining words after these blocks, from the portable rounds
            // and from each kernel.
            QELSHA512State reference;
            qelSHA512Init(&reference);
            onPath(true, [&] {
                qelSHA512Update(&reference, in, 128 * blocks);
                return 0;
            });
            QELSHA512State start;
            qelSHA512Init(&start);
            auto chain = [&](void (*kernel)(std::uint64_t *, const std::uint8_t *, std::size_t)) {
                std::vector<std::uint64_t> h(start.h, start.h + 8);
                kernel(h.data(), in, blocks);
                return h;
            };
            const std::vector<std::uint64_t> expected(reference.h, reference.h + 8);
            if (avx512) {
                EXPECT_EQ(chain(qelSHA512BlocksAVX512), expected) << blocks << " blocks at +" << offset;
            }
            if (avx2) {
                EXPECT_EQ(chain(qelSHA512BlocksAVX2), expected) << blocks << " blocks at +" << offset;
            }
        }
    }
}
#endif

TEST(CryptoPaths, HashesAgreeOnRandomChunkings)
{
    if (!hardwareOffered(qelCryptoUseSHA) && !hardwareOffered(qelCryptoUseAVX2))
        GTEST_SKIP() << "no SHA extensions or AVX2 on this processor";
    std::mt19937 rng(1804);
    for (std::int32_t id : {QELHashAlgorithm_SHA1, QELHashAlgorithm_SHA224, QELHashAlgorithm_SHA256,
                            QELHashAlgorithm_SHA384, QELHashAlgorithm_SHA512}) {
        const QELHashDescriptor *d = qelHashDescriptorFind(id);
        ASSERT_NE(d, nullptr);
        for (int round = 0; round < 20; ++round) {
            Bytes data(rng() % 3000);
            qeltest::fillRandom(rng, data);
            std::vector<std::size_t> cuts;
            for (std::size_t pos = 0; pos < data.size();) {
                const std::size_t n = std::min<std::size_t>(data.size() - pos, rng() % 700);
                cuts.push_back(n);
                pos += n;
            }
            auto digest = [&] {
                std::vector<std::uint8_t> state(d->stateSize);
                d->init(state.data());
                std::size_t pos = 0;
                for (std::size_t n : cuts) {
                    d->update(state.data(), data.data() + pos, n);
                    pos += n;
                }
                const std::uint8_t *out = d->final(state.data());
                return Bytes(out, out + d->digestSize);
            };
            const Bytes portable = onPath(true, digest);
            EXPECT_EQ(onPath(false, digest), portable) << d->name << " " << data.size();
            EXPECT_EQ(onSHA512AVX2(true, [&] { return onPath(false, digest); }), portable)
                << d->name << " " << data.size() << " (SHA-512 on AVX2)";
        }
    }
}

TEST(CryptoPaths, AESSchedulesBlocksAndDirectionChangesAgree)
{
    if (!hardwareOffered(qelCryptoUseAES))
        GTEST_SKIP() << "no AES-NI on this processor";
    std::mt19937 rng(197);
    for (std::int32_t id : {QELCipherAlgorithm_AES128, QELCipherAlgorithm_AES192, QELCipherAlgorithm_AES256}) {
        const QELCipherDescriptor *d = qelCipherDescriptorFind(id);
        for (int round = 0; round < 10; ++round) {
            Bytes key(d->keySize), block(16);
            qeltest::fillRandom(rng, key, block);
            // The context after each step: schedule, encryption, decryption
            // (turning the schedule round), encryption again.
            auto trace = [&] {
                std::vector<Bytes> steps;
                Bytes ctx(d->contextSize);
                d->keySchedule(ctx.data(), key.data());
                steps.push_back(ctx);
                Bytes out(16);
                for (bool encrypt : {true, false, true}) {
                    (encrypt ? d->encrypt : d->decrypt)(ctx.data(), block.data(), out.data());
                    steps.push_back(out);
                    steps.push_back(ctx);
                }
                return steps;
            };
            EXPECT_EQ(onPath(false, trace), onPath(true, trace)) << d->name;
        }
    }
}

// Output and every byte of the mode's state after random pieces.
struct ModeRun {
    Bytes out;
    Bytes state;
    bool operator==(const ModeRun &) const = default;
};

class ModePaths : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(qelMemMgrNewHeap(&mgr_), QELError_NoErr); }
    void TearDown() override { EXPECT_EQ(qelMemMgrFree(mgr_), QELError_NoErr); }

    ModeRun cfb(std::int32_t id, const Bytes &key, const Bytes &iv, const Bytes &in, bool encrypt,
                const std::vector<std::size_t> &pieces)
    {
        QELSymmetricCipher *cipher = nullptr;
        QELCFBContext *c = nullptr;
        EXPECT_EQ(qelSymmetricCipherCreate(mgr_, id, &cipher), QELError_NoErr);
        EXPECT_EQ(qelCFBCreate(cipher, 1, &c), QELError_NoErr);
        EXPECT_EQ(qelCFBInit(c, key.data(), iv.data()), QELError_NoErr);
        ModeRun run{in, {}};
        std::size_t pos = 0;
        for (std::size_t n : pieces) {
            n = std::min(n, in.size() - pos);
            if (n == 0)
                continue;
            // In place, as the stream's callers often do.
            EXPECT_EQ((encrypt ? qelCFBEncrypt : qelCFBDecrypt)(c, run.out.data() + pos, n, run.out.data() + pos),
                      QELError_NoErr);
            pos += n;
        }
        const QELCFBStream &s = qelCFBStreams(c)[0];
        run.state.assign(s.previous, s.previous + sizeof s.previous);
        run.state.insert(run.state.end(), s.reg, s.reg + sizeof s.reg);
        run.state.push_back(static_cast<std::uint8_t>(s.pending));
        EXPECT_EQ(qelCFBFree(c), QELError_NoErr);
        return run;
    }

    ModeRun cbc(std::int32_t id, const Bytes &key, const Bytes &iv, const Bytes &in,
                const std::vector<std::size_t> &pieces)
    {
        QELSymmetricCipher *cipher = nullptr;
        QELCBCContext *c = nullptr;
        EXPECT_EQ(qelSymmetricCipherCreate(mgr_, id, &cipher), QELError_NoErr);
        EXPECT_EQ(qelCBCCreate(cipher, &c), QELError_NoErr);
        EXPECT_EQ(qelCBCInit(c, key.data(), iv.data()), QELError_NoErr);
        ModeRun run{Bytes(in.size()), {}};
        const std::size_t b = qelCBCGetBlockSize(c);
        std::size_t pos = 0;
        for (std::size_t blocks : pieces) {
            const std::size_t n = std::min(blocks * b, in.size() - pos);
            if (n == 0)
                continue;
            EXPECT_EQ(qelCBCDecrypt(c, in.data() + pos, n, run.out.data() + pos), QELError_NoErr);
            pos += n;
        }
        run.state.assign(c->ivA, c->ivA + sizeof c->ivA);
        run.state.insert(run.state.end(), c->ivB, c->ivB + sizeof c->ivB);
        run.state.push_back(c->currentIV == c->ivA ? 0 : 1);
        EXPECT_EQ(qelCBCFree(c), QELError_NoErr);
        return run;
    }

    QELMemoryMgr *mgr_ = nullptr;
};

TEST_F(ModePaths, CFBAndCBCLeaveTheSameStateOnBothPaths)
{
    std::mt19937 rng(38);
    for (std::int32_t id : {QELCipherAlgorithm_AES128, QELCipherAlgorithm_AES256, QELCipherAlgorithm_CAST5}) {
        const QELCipherDescriptor *d = qelCipherDescriptorFind(id);
        const std::size_t b = d->blockSize;
        for (int round = 0; round < 12; ++round) {
            Bytes key(d->keySize), iv(b), data(rng() % 900);
            qeltest::fillRandom(rng, key, iv, data);
            std::vector<std::size_t> pieces;
            for (std::size_t total = 0; total < data.size();) {
                pieces.push_back(rng() % 300);
                total += pieces.back();
            }
            for (bool encrypt : {true, false}) {
                auto go = [&] { return cfb(id, key, iv, data, encrypt, pieces); };
                EXPECT_EQ(onPath(false, go), onPath(true, go)) << d->name << " CFB " << encrypt;
            }
            data.resize(data.size() / b * b);
            std::vector<std::size_t> blockPieces;
            for (std::size_t total = 0; total < data.size() / b + 1;) {
                blockPieces.push_back(rng() % 20);
                total += blockPieces.back() + 1;
            }
            auto go = [&] { return cbc(id, key, iv, data, blockPieces); };
            EXPECT_EQ(onPath(false, go), onPath(true, go)) << d->name << " CBC";
        }
    }
}

TEST(CryptoPaths, CAST5SeveralBlocksMatchOneAtATime)
{
    std::mt19937 rng(2144);
    QELCAST5Context ctx;
    Bytes key(16);
    qeltest::fillRandom(rng, key);
    qelCAST5KeySchedule(&ctx, key.data());
    for (std::size_t blocks = 0; blocks < 40; ++blocks) {
        Bytes in(8 * blocks), expected(8 * blocks);
        qeltest::fillRandom(rng, in);
        for (std::size_t i = 0; i < blocks; ++i)
            qelCAST5Encrypt(&ctx, in.data() + 8 * i, expected.data() + 8 * i);
        Bytes out(8 * blocks);
        qelCAST5EncryptBlocks(&ctx, in.data(), out.data(), blocks);
        EXPECT_EQ(out, expected) << blocks;
        qelCAST5EncryptBlocks(&ctx, in.data(), in.data(), blocks);
        EXPECT_EQ(in, expected) << blocks << " in place";
    }
}

} // namespace
