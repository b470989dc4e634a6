// Random contexts: uniform ranges over scripted sources, the X9.17
// generator against an independent computation over OpenSSL's CAST-128, and
// the front end's reserve and draws.
#include "qelAlgorithms.h"
#include "qelContextInternal.h"
#include "qelFIPSInternal.h"
#include "qelMemoryInternal.h"
#include "qelRandomContextInternal.h"
#include "qelRandomPoolInternal.h"
#include "qelSDKInternal.h"
#include "qelTestEnv.h"
#include "qelTestMemory.h"
#include "qelTimeDateInternal.h"
#include "qelTestHooks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(QEL_HAVE_OPENSSL)
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/cast.h>
#include <openssl/des.h>
#endif

namespace {

using Bytes = std::vector<std::uint8_t>;

// A random source that hands out scripted bytes (a counter once the script
// runs out) and records every request.
struct ScriptedSource {
    Bytes bytes;
    std::size_t position = 0;
    bool counting = false;
    std::uint8_t counter = 0;
    int stirs = 0;
    QELStatus failure = QELError_NoErr; // when set, every draw fails with it
    std::vector<std::pair<std::uint32_t, std::uint32_t>> requests; // length, bits

    static void add(void *, const void *, std::uint32_t) {}
    static void stir(void *state) { ++static_cast<ScriptedSource *>(state)->stirs; }
    static QELStatus get(void *state, void *buffer, std::uint32_t length, std::uint32_t bits)
    {
        auto *self = static_cast<ScriptedSource *>(state);
        self->requests.emplace_back(length, bits);
        if (self->failure != QELError_NoErr) {
            std::memset(buffer, 0, length);
            return self->failure;
        }
        for (std::uint32_t i = 0; i < length; ++i)
            static_cast<std::uint8_t *>(buffer)[i] = self->next();
        return QELError_NoErr;
    }
    std::uint8_t next()
    {
        if (position < bytes.size())
            return bytes[position++];
        return counting ? counter++ : 0;
    }
    static constexpr QELRandomDescriptor descriptor = {"scripted", add, get, stir};

    QELRandomContext random{nullptr, &descriptor, this, nullptr};
};

Bytes draw(QELRandomContext *random, std::uint32_t length, std::uint32_t bits)
{
    Bytes out(length, 0xEE);
    EXPECT_EQ(random->descriptor->get(random->state, out.data(), length, bits), QELError_NoErr);
    return out;
}

class RandomContextTest : public qeltest::SDKSuite {
protected:
    // Sets the global pool's estimate to exactly `bits`.
    static void setPoolEntropy(std::uint32_t bits)
    {
        qelRandomPoolGet(nullptr, nullptr, 0, 0xFFFFFFFFu);
        qelRandomPoolRaiseEntropy(bits);
        ASSERT_EQ(qelRandomPoolGetEntropy(), static_cast<std::int32_t>(bits));
    }

};

#if defined(QEL_HAVE_OPENSSL)
// ANSI X9.17 computed independently: OpenSSL's CAST-128 and DES for the
// block operations, with the generator's own key washes written out from
// their descriptions.
class X917Reference {
public:
    enum class Cipher { CAST5, TripleDES };

    // The generator's cipher starts as an all-zero key context and is keyed
    // and seeded by washing the seed in.
    X917Reference(Cipher cipher, const Bytes &seed) : cipher_(cipher) { wash(seed); }

    void wash(const Bytes &data)
    {
        if (cipher_ == Cipher::CAST5)
            washCAST5(data);
        else
            washTripleDES(data);
        std::size_t j = 0;
        for (std::uint8_t byte : data) {
            reg_[j++] ^= byte;
            if (j == 8) {
                encrypt(reg_, reg_);
                j = 0;
            }
        }
        for (; j < 8; ++j)
            reg_[j] ^= static_cast<std::uint8_t>(data.size());
        encrypt(reg_, reg_);
        pending_ = 0;
    }

    void cycle(const std::uint8_t t[8])
    {
        for (int i = 0; i < 8; ++i)
            reg_[i] ^= t[i];
        encrypt(reg_, out_);
        std::uint8_t x[8];
        for (int i = 0; i < 8; ++i)
            x[i] = t[i] ^ out_[i];
        encrypt(x, reg_);
        pending_ = 8;
    }

    std::size_t take(std::uint8_t *out, std::size_t count)
    {
        const std::size_t n = std::min(count, pending_);
        if (n > 0)
            std::memcpy(out, out_ + 8 - pending_, n);
        pending_ -= n;
        return n;
    }

    // Mirrors a get: leftover output first, then one step per block T from
    // the source; with a time stamp (FIPS mode), T is first XORed with the
    // encryption of the stamp's little-endian block.
    Bytes get(ScriptedSource &source, std::size_t length, const std::uint32_t *stamp = nullptr)
    {
        Bytes out(length);
        std::size_t done = take(out.data(), length);
        while (done < length) {
            std::uint8_t t[8];
            for (auto &b : t)
                b = source.next();
            if (stamp != nullptr) {
                std::uint8_t block[8] = {static_cast<std::uint8_t>(*stamp), static_cast<std::uint8_t>(*stamp >> 8),
                                         static_cast<std::uint8_t>(*stamp >> 16),
                                         static_cast<std::uint8_t>(*stamp >> 24)};
                encrypt(block, block);
                for (int i = 0; i < 8; ++i)
                    t[i] ^= block[i];
            }
            cycle(t);
            done += take(out.data() + done, length - done);
        }
        return out;
    }

    // CAST5 keyed with a raw 16-byte key (for checking this reference itself).
    void setKey(const std::uint8_t key[16])
    {
        CAST_set_key(&cast_, 16, key);
        zeroContext_ = false;
    }
    void encryptBlock(const std::uint8_t in[8], std::uint8_t out[8]) const { encrypt(in, out); }
    void washKeyOnly(const Bytes &data) { washCAST5(data); }

private:
    static void ede(const std::uint8_t k1[8], const std::uint8_t k2[8], const std::uint8_t k3[8],
                    const std::uint8_t in[8], std::uint8_t out[8])
    {
        DES_key_schedule s1, s2, s3;
        DES_cblock c1, c2, c3;
        std::memcpy(c1, k1, 8);
        std::memcpy(c2, k2, 8);
        std::memcpy(c3, k3, 8);
        DES_set_key_unchecked(&c1, &s1);
        DES_set_key_unchecked(&c2, &s2);
        DES_set_key_unchecked(&c3, &s3);
        DES_cblock block;
        std::memcpy(block, in, 8);
        DES_ecb3_encrypt(&block, &block, &s1, &s2, &s3, DES_ENCRYPT);
        std::memcpy(out, block, 8);
    }

    void encrypt(const std::uint8_t in[8], std::uint8_t out[8]) const
    {
        if (cipher_ == Cipher::CAST5)
            CAST_ecb_encrypt(in, out, &cast_, CAST_ENCRYPT);
        else
            ede(des_, des_ + 8, des_ + 16, in, out);
    }

    // The data, 0x80, zeros and the 16-bit big-endian length in the last two
    // bytes of the last block (an extra block when the tail is 6 or 7 bytes).
    static std::vector<std::array<std::uint8_t, 8>> washBlocks(const Bytes &data)
    {
        std::vector<std::array<std::uint8_t, 8>> blocks;
        const std::size_t whole = data.size() / 8;
        for (std::size_t i = 0; i < whole; ++i) {
            std::array<std::uint8_t, 8> m;
            std::memcpy(m.data(), data.data() + 8 * i, 8);
            blocks.push_back(m);
        }
        const std::size_t r = data.size() % 8;
        std::array<std::uint8_t, 8> last{};
        if (r > 0)
            std::memcpy(last.data(), data.data() + 8 * whole, r);
        last[r] = 0x80;
        if (r >= 6) {
            blocks.push_back(last);
            last.fill(0);
        }
        last[6] = static_cast<std::uint8_t>(data.size() >> 8);
        last[7] = static_cast<std::uint8_t>(data.size());
        blocks.push_back(last);
        return blocks;
    }

    void castStep(std::uint8_t h[16], const std::uint8_t m[8])
    {
        std::uint8_t k[16], x[8], y[8];
        std::memcpy(k, h + 8, 8);
        std::memcpy(k + 8, m, 8);
        CAST_set_key(&cast_, 16, k);
        CAST_ecb_encrypt(h, x, &cast_, CAST_ENCRYPT);
        std::memcpy(k, m, 8);
        std::memcpy(k + 8, x, 8);
        CAST_set_key(&cast_, 16, k);
        CAST_ecb_encrypt(h + 8, y, &cast_, CAST_ENCRYPT);
        for (int i = 0; i < 8; ++i) {
            h[i] ^= x[i];
            h[8 + i] ^= y[i];
        }
    }

    void washCAST5(const Bytes &data)
    {
        // H: the low 16 bits of the first eight schedule words Km1, Kr1, ...
        // Km4, Kr4. OpenSSL keeps each rotation offset by 16.
        std::uint8_t h[16] = {};
        if (!zeroContext_) {
            for (int k = 0; k < 8; ++k) {
                std::uint32_t w = cast_.data[k];
                if (k % 2 == 1)
                    w = (w - 16) & 31;
                h[2 * k] = static_cast<std::uint8_t>(w >> 8);
                h[2 * k + 1] = static_cast<std::uint8_t>(w);
            }
        }
        for (const auto &m : washBlocks(data))
            castStep(h, m.data());
        CAST_set_key(&cast_, 16, h);
        zeroContext_ = false;
    }

    void washTripleDES(const Bytes &data)
    {
        std::uint8_t *a = des_, *b = des_ + 8, *c = des_ + 16;
        for (const auto &m : washBlocks(data)) {
            std::uint8_t t1[8], t2[8], t3[8];
            ede(c, b, m.data(), a, t1);
            for (int i = 0; i < 8; ++i)
                a[i] ^= t1[i];
            ede(c, m.data(), t1, b, t2);
            for (int i = 0; i < 8; ++i)
                b[i] ^= t2[i];
            ede(m.data(), t2, t1, c, t3);
            for (int i = 0; i < 8; ++i)
                c[i] ^= t3[i];
        }
    }

    Cipher cipher_;
    CAST_KEY cast_{};
    bool zeroContext_ = true;
    std::uint8_t des_[24] = {};   // triple DES key A, B, C (all zero at first)
    std::uint8_t reg_[8] = {};
    std::uint8_t out_[8] = {};
    std::size_t pending_ = 0;
};
#endif

} // namespace

TEST_F(RandomContextTest, RangeTable)
{
    const struct {
        std::uint32_t n;
        std::uint32_t bits;
        Bytes script;
        std::uint32_t expected;
        std::size_t consumed;
    } table[] = {
        {0, 0, {0x42}, 0, 1},
        {1, 5, {0x42}, 0, 1},
        {256, 0, {0xAA, 0x37}, 0x37, 2},
        {100, 0, {0x00, 200, 0xFF, 99}, 49, 4},                   // q = 2
        {2, 0, {0x00, 0xFF}, 1, 2},
        {1000, 0, {0x00, 0xFD, 0xE8, 0xFD, 0xE7}, 999, 5},         // q = 65; 65000 retried
        {257, 0, {0x00, 0x01, 0x01}, 1, 3},                       // q = 255
        {65536, 0, {0x00, 0xFF, 0xFF}, 65535, 3},                 // q = 1
        {65537, 0, {0x00, 0x12, 0x34, 0x56, 0x78}, 4660, 5},      // four bytes, q = 65535
        {70000, 0, {0x00, 0xFF, 0xFF, 0x4C, 0x40, 0x00, 0x01, 0x00, 0x00}, 1, 9}, // q = 61356
        {0xFFFFFFFF, 0, {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}, 0xFFFFFFFE, 9},
        {0x80000001, 0, {0x00, 0x80, 0x00, 0x00, 0x01, 0x80, 0x00, 0x00, 0x00}, 0x80000000, 9},
    };
    for (const auto &row : table) {
        ScriptedSource source;
        source.bytes = row.script;
        std::uint32_t got = 0;
        EXPECT_EQ(qelRandomRange(&source.random, row.n, row.bits, &got), QELError_NoErr);
        EXPECT_EQ(got, row.expected) << "n = " << row.n;
        EXPECT_EQ(source.position, row.consumed) << "n = " << row.n;
        ASSERT_FALSE(source.requests.empty());
        EXPECT_EQ(source.requests[0], std::make_pair(1u, row.bits));
        for (std::size_t i = 1; i < source.requests.size(); ++i)
            EXPECT_EQ(source.requests[i].second, 0u);
    }
}

TEST_F(RandomContextTest, RangeAboveSixteenBitsIsUniformAndInRange)
{
    // Over the default generator, large ranges spread over their whole
    // span (two-byte draws could never reach the upper part).
    QELRandomContext *random = qelContextGetRandomContext(context);
    ASSERT_NE(random, nullptr);
    for (std::uint32_t n : {65537u, 100000u, 3000000000u, 0xFFFFFFFFu}) {
        std::uint32_t highest = 0;
        for (int i = 0; i < 200; ++i) {
            std::uint32_t x = 0;
            ASSERT_EQ(qelRandomRange(random, n, 0, &x), QELError_NoErr);
            ASSERT_LT(x, n);
            highest = std::max(highest, x);
        }
        EXPECT_GT(highest, n / 2) << n;
    }
}

TEST_F(RandomContextTest, GetBytesClaimsEightBitsPerByte)
{
    ScriptedSource source;
    source.bytes = {1, 2, 3};
    std::uint8_t out[3] = {};
    ASSERT_EQ(qelRandomGetBytes(&source.random, out, 3), QELError_NoErr);
    EXPECT_EQ(source.requests, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{3, 24}}));
    EXPECT_EQ(Bytes(out, out + 3), (Bytes{1, 2, 3}));
}

#if defined(QEL_HAVE_OPENSSL)
TEST_F(RandomContextTest, ReferenceWashMatchesPublishedValues)
{
    // CAST5 keyed with the RFC 2144 key; wash, then encrypt eight zero bytes.
    const std::uint8_t key[16] = {0x01, 0x23, 0x45, 0x67, 0x12, 0x34, 0x56, 0x78,
                                  0x23, 0x45, 0x67, 0x89, 0x34, 0x56, 0x78, 0x9A};
    const std::uint8_t zero[8] = {};
    const struct {
        Bytes data;
        Bytes expected;
    } cases[] = {
        {{}, {0x94, 0xA0, 0xA0, 0xB7, 0xF7, 0x21, 0xD5, 0x97}},
        {{'a', 'b', 'c'}, {0x04, 0x88, 0x95, 0xD7, 0x4C, 0x46, 0x82, 0xA6}},
    };
    for (const auto &c : cases) {
        X917Reference ref(X917Reference::Cipher::CAST5, Bytes{});
        ref.setKey(key);
        ref.washKeyOnly(c.data);
        std::uint8_t out[8];
        ref.encryptBlock(zero, out);
        EXPECT_EQ(Bytes(out, out + 8), c.expected);
    }
}

TEST_F(RandomContextTest, X917MatchesIndependentComputation)
{
    ScriptedSource source;
    source.counting = true;
    source.counter = 0x30;
    QELRandomContext *gen = qelRandomX917Create(context, QELCipherAlgorithm_CAST5, &source.random);
    ASSERT_NE(gen, nullptr);
    EXPECT_STREQ(gen->descriptor->name, "X9.17-based cryptographic PRNG");
    ASSERT_EQ(source.requests.size(), 1u);
    EXPECT_EQ(source.requests[0], std::make_pair(32u, 0u)); // the seed, claiming nothing

    ScriptedSource mirror;
    mirror.counting = true;
    mirror.counter = 0x30;
    Bytes seed(32);
    for (auto &b : seed)
        b = mirror.next();
    X917Reference ref(X917Reference::Cipher::CAST5, seed);

    // Draws that split and straddle output blocks.
    for (std::uint32_t length : {5u, 3u, 20u, 1u, 0u, 17u}) {
        source.requests.clear();
        EXPECT_EQ(draw(gen, length, 8 * length + 1), ref.get(mirror, length)) << length;
        ASSERT_FALSE(source.requests.empty());
        EXPECT_EQ(source.requests[0], std::make_pair(0u, 8 * length + 1)); // entropy charged
        for (std::size_t i = 1; i < source.requests.size(); ++i)
            EXPECT_EQ(source.requests[i], std::make_pair(8u, 0u));
    }

    // Adding washes data into key and seed; stirring washes nothing and
    // stirs the seed source.
    const Bytes extra = {'e', 'n', 't', 'r', 'o', 'p', 'y', '!', '?'};
    gen->descriptor->add(gen->state, extra.data(), static_cast<std::uint32_t>(extra.size()));
    ref.wash(extra);
    EXPECT_EQ(draw(gen, 11, 0), ref.get(mirror, 11));
    gen->descriptor->stir(gen->state);
    ref.wash({});
    EXPECT_EQ(source.stirs, 1);
    EXPECT_EQ(draw(gen, 24, 0), ref.get(mirror, 24));
    gen->destroy(gen);
}

TEST_F(RandomContextTest, ZeroSeedGeneratorsAgree)
{
    QELRandomContext *a = qelRandomX917CreateZeroSeed(context);
    QELRandomContext *b = qelRandomX917CreateZeroSeed(context);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ScriptedSource zeros; // hands out zero bytes, like the dummy source
    X917Reference ref(X917Reference::Cipher::CAST5, Bytes(32, 0));
    const Bytes expected = ref.get(zeros, 40);
    EXPECT_EQ(draw(a, 40, 0), expected);
    EXPECT_EQ(draw(b, 40, 0), expected);
    const std::uint8_t extra = 1;
    a->descriptor->add(a->state, &extra, 1);
    EXPECT_NE(draw(a, 16, 0), draw(b, 16, 0));
    a->destroy(a);
    b->destroy(b);
}
#endif

// In a child process only: FIPS mode cannot be left again. The slow
// self-tests are replaced by ones that pass.
bool enterFIPSMode()
{
    for (int kind : {1, 2})
        qelFIPSSetSelfTestForTesting(kind, []() -> QELStatus { return 0; });
    static_cast<void>(qelFIPSEnable());
    return qelFIPSRunAllSelfTests() == 0;
}

#if defined(QEL_HAVE_OPENSSL)
// Runs in a child process, since FIPS mode cannot be left again: in FIPS
// mode the generators run over triple DES and mix an encrypted time stamp
// into every block T. Returns 0 when everything matches.
int fipsGeneratorsMatchReference(QELContext *context)
{
    if (!enterFIPSMode())
        return 10;
    QELRandomContext *byDefault = qelRandomContextCreateDefault(context);
    if (byDefault == nullptr || std::strcmp(byDefault->descriptor->name, "X9.17-based cryptographic PRNG") != 0)
        return 11;
    byDefault->destroy(byDefault);

    // A draw that straddles a change of second is tried again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        ScriptedSource source, mirror;
        source.counting = mirror.counting = true;
        source.counter = mirror.counter = 0x40;
        QELRandomContext *gen = qelRandomX917Create(context, QELCipherAlgorithm_3DES, &source.random);
        QELRandomContext *zero = qelRandomX917CreateZeroSeed(context);
        if (gen == nullptr || zero == nullptr)
            return 12;
        Bytes seed(32);
        for (auto &b : seed)
            b = mirror.next();
        X917Reference ref(X917Reference::Cipher::TripleDES, seed);
        X917Reference zeroRef(X917Reference::Cipher::TripleDES, Bytes(32, 0));
        ScriptedSource zeros;

        const std::uint32_t before = qelTimeDateNow();
        const Bytes got = draw(gen, 30, 0);
        const Bytes gotZero = draw(zero, 19, 0);
        const std::uint32_t after = qelTimeDateNow();
        gen->destroy(gen);
        zero->destroy(zero);
        if (before != after)
            continue;
        if (got != ref.get(mirror, 30, &before))
            return 13;
        if (gotZero != zeroRef.get(zeros, 19, &before))
            return 14;
        return 0;
    }
    return 15;
}

TEST_F(RandomContextTest, FIPSModeUsesTripleDESAndTimeStamps)
{
    EXPECT_EXIT(std::exit(fipsGeneratorsMatchReference(context)), ::testing::ExitedWithCode(0), "");
}
#endif

TEST_F(RandomContextTest, X917ChargesThePoolEvenForEmptyDraws)
{
    QELRandomContext *pool = qelContextGetPoolRandomContext(context);
    ASSERT_NE(pool, nullptr);
    QELRandomContext *gen = qelRandomX917Create(context, QELCipherAlgorithm_CAST5, pool);
    ASSERT_NE(gen, nullptr);
    setPoolEntropy(1000);
    draw(gen, 0, 100);
    EXPECT_EQ(qelRandomPoolGetEntropy(), 900);
    gen->destroy(gen);
}

TEST_F(RandomContextTest, CreationFailures)
{
    ScriptedSource source;
    EXPECT_EQ(qelRandomX917Create(context, 0, &source.random), nullptr);
    EXPECT_EQ(qelRandomX917Create(context, 103, &source.random), nullptr);
    EXPECT_EQ(qelRandomX917Create(nullptr, QELCipherAlgorithm_CAST5, &source.random), nullptr);
    EXPECT_EQ(qelRandomX917Create(context, QELCipherAlgorithm_CAST5, nullptr), nullptr);
    EXPECT_TRUE(source.requests.empty());
}

TEST_F(RandomContextTest, SourceFailureIsReportedAndNothingPredictableHandedOut)
{
    ScriptedSource source;
    source.failure = QELError_OutOfEntropy;
    std::uint8_t out[16];
    std::memset(out, 0xA5, sizeof out);
    EXPECT_EQ(qelRandomGetBytes(&source.random, out, sizeof out), QELError_OutOfEntropy);
    std::uint32_t value = 7;
    EXPECT_EQ(qelRandomRange(&source.random, 1000, 0, &value), QELError_OutOfEntropy);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(qelRandomGetBytes(nullptr, out, sizeof out), QELError_BadParams);

    // An X9.17 generator whose seed source runs dry after seeding: its draws
    // fail with the source's status and leave the buffer wiped.
    source.failure = QELError_NoErr;
    source.counting = true;
    QELRandomContext *x917 = qelRandomX917Create(context, QELCipherAlgorithm_CAST5, &source.random);
    ASSERT_NE(x917, nullptr);
    source.failure = QELError_ReadFailed;
    Bytes drawn(40, 0xA5);
    EXPECT_EQ(qelRandomGetBytes(x917, drawn.data(), 40), QELError_ReadFailed);
    EXPECT_EQ(drawn, Bytes(40, 0));
    x917->destroy(x917);
    // A seed source that fails at once gives no generator.
    EXPECT_EQ(qelRandomX917Create(context, QELCipherAlgorithm_CAST5, &source.random), nullptr);
}

TEST_F(RandomContextTest, DefaultGeneratorIsX917OutsideServiceMode)
{
    QELRandomContext *random = qelContextGetRandomContext(context);
    ASSERT_NE(random, nullptr);
    EXPECT_STREQ(random->descriptor->name, "X9.17-based cryptographic PRNG");
    Bytes first(64, 0), second(64, 0);
    ASSERT_EQ(qelRandomGetBytes(random, first.data(), 64), QELError_NoErr);
    ASSERT_EQ(qelRandomGetBytes(random, second.data(), 64), QELError_NoErr);
    EXPECT_NE(first, Bytes(64, 0));
    EXPECT_NE(first, second);
}

TEST_F(RandomContextTest, FrontEndReserveCountsBytesNotBits)
{
    QELRandomContext *front = qelRandomFrontEndCreate(context);
    ASSERT_NE(front, nullptr);
    EXPECT_STREQ(front->descriptor->name, "frontend to cryptographic PRNG");

    // Another kind of context answers the pool's estimate in bytes.
    setPoolEntropy(800);
    EXPECT_EQ(qelRandomFrontEndReserve(qelContextGetPoolRandomContext(context), 5), 100u);

    // 400 bits cover 50 bytes, not 400.
    setPoolEntropy(400);
    EXPECT_EQ(qelRandomFrontEndReserve(front, 100), 50u);
    EXPECT_EQ(qelRandomPoolGetEntropy(), 0); // the fetch claimed 8 bits a byte
    EXPECT_EQ(qelRandomFrontEndReserve(front, 100), 50u); // nothing more to fetch
    EXPECT_EQ(qelRandomFrontEndReserve(front, 30), 50u);

    // Draws that claim entropy take reserved bytes first: 12 bits -> 2 bytes.
    draw(front, 5, 12);
    EXPECT_EQ(qelRandomFrontEndReserve(front, 1), 48u);
    draw(front, 3, 0); // claims nothing: the reserve stays
    EXPECT_EQ(qelRandomFrontEndReserve(front, 1), 48u);
    const Bytes all = draw(front, 48, 48 * 8);
    EXPECT_NE(all, Bytes(48, 0xEE));
    EXPECT_EQ(qelRandomFrontEndReserve(front, 1), 0u);
    front->destroy(front);
}

TEST_F(RandomContextTest, FrontEndFillsExactlyWhatWasAsked)
{
    QELRandomContext *front = qelRandomFrontEndCreate(context);
    ASSERT_NE(front, nullptr);
    setPoolEntropy(160);
    ASSERT_EQ(qelRandomFrontEndReserve(front, 20), 20u);
    for (std::uint32_t length : {1u, 7u, 20u, 33u}) {
        Bytes buffer(length + 16, 0xEE);
        front->descriptor->get(front->state, buffer.data(), length, 8 * length);
        EXPECT_EQ(Bytes(buffer.begin() + length, buffer.end()), Bytes(16, 0xEE)) << length;
        // A single random octet equals the fill one time in 256: only a
        // longer draw can show that nothing was written.
        if (length > 1) {
            EXPECT_NE(Bytes(buffer.begin(), buffer.begin() + length), Bytes(length, 0xEE)) << length;
        }
    }
    front->destroy(front);
}

namespace {

// Runs in a child: a front end whose fetch cannot get its block. Exit 0 when
// the draw reports the failure and leaves nothing behind.
void drawWithFailingFetch()
{
    static qeltest::TestHeap heap;
    const QELMemoryMgrCallbacks callbacks = heap.callbacks();
    QELMemoryMgr *mgr = nullptr;
    if (qelMemMgrNew(&callbacks, &mgr) != 0)
        std::exit(3);
    QELContextParams params{QELSDKVersion, mgr};
    QELContext *ctx = nullptr;
    if (qelContextNewCustom(&params, &ctx) != 0)
        std::exit(4);
    QELRandomContext *front = qelRandomFrontEndCreate(ctx);
    if (front == nullptr)
        std::exit(5);
    heap.failSize = 777 + 32; // the fetch's block of 777 bytes plus its header
    Bytes buffer(777, 0xA5);
    const QELStatus status = front->descriptor->get(front->state, buffer.data(), 777, 0);
    // _Exit: the child's context is left to the process's end, unchecked.
    std::_Exit(status == QELError_OutOfMemory && buffer == Bytes(777, 0) ? 0 : 6);
}

} // namespace

TEST_F(RandomContextTest, FrontEndReportsAGeneratorThatCannotDeliver)
{
    EXPECT_EXIT(drawWithFailingFetch(), ::testing::ExitedWithCode(0), "");
}

namespace {

// Runs in a child: a FIPS-mode draw whose time stamp cannot be encrypted.
// Exit 0 when the draw reports it and hands out nothing.
void drawWithFailingTimeStamp(QELContext *context)
{
    if (!enterFIPSMode())
        std::exit(3);
    QELRandomContext *gen = qelRandomX917CreateZeroSeed(context);
    if (gen == nullptr)
        std::exit(4);
    qelRandomX917FailTimeStampForTesting(true);
    Bytes out(8, 0xA5);
    const QELStatus status = gen->descriptor->get(gen->state, out.data(), 8, 0);
    const int code = status != QELError_NoErr && out == Bytes(8, 0) ? 0 : 6;
    gen->destroy(gen);
    std::_Exit(code);
}

// Runs in a child: two generators with the same seed give the same first
// block within one second. The continuous test compares a block with the
// last one handed out; once the first generator is gone its block is
// forgotten, so the second one's equal block is no failure. Exit 0 when so.
int lastOutputGoesWithItsGenerator(QELContext *context)
{
    if (!enterFIPSMode())
        return 3;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const std::uint32_t before = qelTimeDateNow();
        QELRandomContext *first = qelRandomX917CreateZeroSeed(context);
        if (first == nullptr)
            return 4;
        const Bytes a = draw(first, 8, 0);
        first->destroy(first);
        QELRandomContext *second = qelRandomX917CreateZeroSeed(context);
        if (second == nullptr)
            return 5;
        const Bytes b = draw(second, 8, 0);
        second->destroy(second);
        if (qelTimeDateNow() != before)
            continue;
        if (a != b)
            return 6;
        return qelFIPSGetError() == QELError_NoErr ? 0 : 7;
    }
    return 8;
}

} // namespace

TEST_F(RandomContextTest, FIPSTimeStampThatCannotBeEncryptedStopsTheDraw)
{
    EXPECT_EXIT(drawWithFailingTimeStamp(context), ::testing::ExitedWithCode(0), "");
}

TEST_F(RandomContextTest, LastOutputBlockIsForgottenWhenItsGeneratorGoes)
{
    EXPECT_EXIT(std::exit(lastOutputGoesWithItsGenerator(context)), ::testing::ExitedWithCode(0), "");
}
