// Signature specifications and the signature packets built from them: field
// rules, subpacket layout and limits, and whole certifications that GnuPG
// accepts.
#include "qelContextInternal.h"
#include "qelHashInternal.h"
#include "qelKeySigInternal.h"
#include "qelPkAlgInternal.h"
#include "qelSettingsInternal.h"
#include "qelSigBuildInternal.h"
#include "qelSigItemInternal.h"
#include "qelSigSpecInternal.h"
#include "qelTestEnv.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#ifdef QEL_HAVE_OPENSSL
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#endif

namespace {

const auto *const gEnv = qeltest::addHomeEnvironment("qelsigspec", qeltest::HomeEnvironment::SDK::Up);

using Bytes = std::vector<std::uint8_t>;

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes digestOf(QELContext *context, std::int32_t algorithm, const Bytes &data)
{
    QELHashContext *h = nullptr;
    EXPECT_EQ(qelHashNew(context, algorithm, &h), QELError_NoErr);
    EXPECT_EQ(qelHashUpdate(h, data.data(), data.size()), QELError_NoErr);
    std::uint64_t size = 0;
    EXPECT_EQ(qelHashGetSize(h, &size), QELError_NoErr);
    Bytes out(size);
    EXPECT_EQ(qelHashFinal(h, out.data()), QELError_NoErr);
    EXPECT_EQ(qelHashFree(h), QELError_NoErr);
    return out;
}

class SigSpec : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(qelContextNew(QELSDKVersion, &context_), QELError_NoErr);
        settings_ = qelContextGetSettings(context_);
    }
    void TearDown() override
    {
        qelSigSpecFreeList(spec_);
        EXPECT_EQ(qelContextFree(context_), QELError_NoErr);
    }
    // A version 4 RSA signer's specification.
    QELSigSpec *makeSpec(std::uint8_t type = 0x13)
    {
        spec_ = qelSigSpecNewFor(settings_, nullptr, type, false, 1, 2048);
        EXPECT_NE(spec_, nullptr);
        return spec_;
    }

    // Builds with a stand-in signer that records the digest and returns the
    // material {0x00, 0x08, 0xA5}.
    std::int64_t build(const QELSigSpec *spec, std::int32_t hashAlgorithm, const Bytes &signedData, Bytes &body,
                       Bytes *digest = nullptr)
    {
        QELHashContext *h = nullptr;
        EXPECT_EQ(qelHashNew(context_, hashAlgorithm, &h), QELError_NoErr);
        if (!signedData.empty()) {
            EXPECT_EQ(qelHashUpdate(h, signedData.data(), signedData.size()), QELError_NoErr);
        }
        QELSigSigner signer;
        signer.algorithm = 1;
        std::memcpy(signer.keyID, "\x11\x22\x33\x44\x55\x66\x77\x88", 8);
        signer.sign = [digest](const QELSigSpec *, std::uint8_t, const std::uint8_t *d, std::size_t n, Bytes &out) {
            if (digest != nullptr)
                digest->assign(d, d + n);
            out = {0x00, 0x08, 0xA5};
            return QELError_NoErr;
        };
        std::uint8_t *out = nullptr;
        std::int64_t n = qelSigSpecMakePacketWith(spec, h, signer, &out);
        if (n > 0) {
            body.assign(out, out + n);
            EXPECT_EQ(qelContextMemFree(context_, out), QELError_NoErr);
        } else {
            EXPECT_EQ(out, nullptr);
        }
        // The caller's hash is still usable.
        EXPECT_EQ(qelHashUpdate(h, "x", 1), QELError_NoErr);
        EXPECT_EQ(qelHashFree(h), QELError_NoErr);
        return n;
    }

    QELContext *context_ = nullptr;
    QELSettings *settings_ = nullptr;
    QELSigSpec *spec_ = nullptr;
};

TEST_F(SigSpec, DefaultHashAndVersion)
{
    struct Row {
        bool oldKey;
        std::uint8_t algorithm;
        std::uint32_t bits;
        bool legacy;
        std::uint8_t hash;
    } rows[] = {
        // Version 4 keys sign over SHA-256 (a 160-bit DSA subgroup truncates
        // it); SHA-1 only when the caller asks for the legacy forms.
        {false, 1, 2048, false, 8},  {false, 17, 1024, false, 8}, {false, 1, 2048, true, 2},
        {false, 17, 1024, true, 2},  {false, 17, 1536, false, 11}, {false, 17, 2048, false, 8},
        {false, 17, 3072, false, 8}, {false, 17, 4096, false, 9},  {true, 1, 1024, false, 1},
    };
    for (const Row &r : rows)
        EXPECT_EQ(qelSigSpecDefaultHash(1, r.oldKey, r.algorithm, r.bits, r.legacy), r.hash)
            << int(r.algorithm) << " " << r.bits << " " << r.legacy;

    // A version 4 signer with the default settings: version 4, SHA-256; with
    // version 3 asked for: the settings' version and SHA-1.
    spec_ = qelSigSpecNewFor(settings_, nullptr, 0x10, false, 1, 2048);
    ASSERT_NE(spec_, nullptr);
    EXPECT_EQ(qelSigSpecVersion(spec_), 4u);
    EXPECT_EQ(qelSigSpecHashAlgorithm(spec_), 8);
    qelSigSpecFreeList(spec_);
    ASSERT_EQ(qelSettingsSetInt(settings_, QELSetting_PacketVersion, 3, QELSettingPriority_Job), QELError_NoErr);
    spec_ = qelSigSpecNewFor(settings_, nullptr, 0x10, false, 1, 2048);
    ASSERT_NE(spec_, nullptr);
    EXPECT_EQ(qelSigSpecVersion(spec_), 3u);
    EXPECT_EQ(qelSigSpecHashAlgorithm(spec_), 2);
    qelSigSpecFreeList(spec_);

    // An old RSA signer with the default settings: version 3, MD5.
    spec_ = qelSigSpecNewFor(settings_, nullptr, 0x10, true, 1, 1024);
    ASSERT_NE(spec_, nullptr);
    EXPECT_EQ(qelSigSpecVersion(spec_), 3u);
    EXPECT_EQ(qelSigSpecHashAlgorithm(spec_), 1);
    EXPECT_EQ(qelSigSpecType(spec_), 0x10);
    EXPECT_EQ(qelSigSpecContext(spec_), context_);
    EXPECT_NE(qelSigSpecCreationTime(spec_), 0u);
    // Any subpacket makes it version 4 and replaces MD5.
    ASSERT_EQ(qelSigSpecSetExportable(spec_, 0, 1), QELError_NoErr);
    EXPECT_EQ(qelSigSpecVersion(spec_), 4u);
    EXPECT_EQ(qelSigSpecHashAlgorithm(spec_), 2);
    EXPECT_EQ(qelSigSpecSetHashAlgorithm(spec_, 99), QELError_UnknownHashAlgorithm);
    EXPECT_EQ(qelSigSpecHashAlgorithm(spec_), 2);
    ASSERT_EQ(qelSigSpecSetHashAlgorithm(spec_, 10), QELError_NoErr);
    ASSERT_NE(qelSigSpecHashDescriptor(spec_), nullptr);

    std::uint32_t n = 0;
    ASSERT_EQ(qelSigSpecSetCreation(spec_, 0x01020304), QELError_NoErr);
    const std::uint8_t *block = qelSigSpecHashedBlock(spec_, &n);
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(Bytes(block, block + 5), (Bytes{0x10, 1, 2, 3, 4}));
}

TEST_F(SigSpec, SingleValuedSettersReplaceEveryEarlierValue)
{
    makeSpec();
    const std::uint8_t a[] = {0x01}, b[] = {0x0C};
    ASSERT_EQ(qelSigSpecSetKeyFlags(spec_, QELSigSpecFlag_Critical, a, 1), QELError_NoErr);
    ASSERT_EQ(qelSigSpecSetKeyFlags(spec_, 0, b, 1), QELError_NoErr);
    const std::uint8_t *data = nullptr;
    std::size_t len = 0;
    EXPECT_EQ(qelSigSpecKeyFlags(spec_, &data, &len), QELSigSpecPresent);
    ASSERT_EQ(len, 1u);
    EXPECT_EQ(data[0], 0x0C);
    int count = 0;
    for (QELSigItem *i = spec_->items; i != nullptr; i = i->next)
        count += (i->tag & 0xFF) == QELSubpacket_KeyFlags;
    EXPECT_EQ(count, 1);

    // Flags come back with the present bit.
    ASSERT_EQ(qelSigSpecSetKeyExpiration(spec_, QELSigSpecFlag_Unhashed | QELSigSpecFlag_Critical, 86400), QELError_NoErr);
    std::uint32_t seconds = 0;
    EXPECT_EQ(qelSigSpecKeyExpiration(spec_, &seconds), QELSigSpecPresent | 0x600);
    EXPECT_EQ(seconds, 86400u);

    // Multi-valued kinds keep every item, newest first.
    const std::uint8_t r1[22] = {0x80, 1, 0xAA}, r2[22] = {0x80, 17, 0xBB};
    ASSERT_EQ(qelSigSpecAddRevocationKey(spec_, 0, r1, 22), QELError_NoErr);
    ASSERT_EQ(qelSigSpecAddRevocationKey(spec_, 0, r2, 22), QELError_NoErr);
    EXPECT_EQ(qelSigSpecRevocationKey(spec_, 0, &data, &len), QELSigSpecPresent);
    EXPECT_EQ(data[1], 17);
    EXPECT_EQ(qelSigSpecRevocationKey(spec_, 1, &data, &len), QELSigSpecPresent);
    EXPECT_EQ(data[1], 1);
    EXPECT_EQ(qelSigSpecRevocationKey(spec_, 2, &data, &len), 0u);

    // Absent kinds clear their outputs.
    std::uint8_t depth = 9, amount = 9;
    EXPECT_EQ(qelSigSpecTrust(spec_, &depth, &amount), 0u);
    EXPECT_EQ(depth, 0);
    EXPECT_EQ(amount, 0);
    data = b;
    len = 7;
    EXPECT_EQ(qelSigSpecPrefKeyServer(spec_, &data, &len), 0u);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(len, 0u);

    // Removal by whole tag word.
    EXPECT_EQ(qelSigSpecRemove(spec_, QELSubpacket_KeyExpiration), 0u);
    EXPECT_EQ(qelSigSpecRemove(spec_, QELSubpacket_KeyExpiration | 0x600), QELSigSpecPresent);
    EXPECT_EQ(qelSigSpecKeyExpiration(spec_, &seconds), 0u);
}

TEST_F(SigSpec, CopyIsIndependentAndChainsFree)
{
    makeSpec();
    ASSERT_EQ(qelSigSpecSetPassphrase(spec_, "secret", 6, 0), QELError_NoErr);
    ASSERT_EQ(qelSigSpecSetRegExp(spec_, 0, "<[^>]+[@.]example\\.com>$"), QELError_NoErr);
    QELSigSpec *copy = qelSigSpecCopy(spec_);
    ASSERT_NE(copy, nullptr);
    std::uint64_t len = 0;
    std::uint8_t passkey = 1;
    const std::uint8_t *p = qelSigSpecPassphrase(copy, &len, &passkey);
    ASSERT_EQ(len, 6u);
    EXPECT_NE(p, spec_->passphrase);
    EXPECT_EQ(std::memcmp(p, "secret", 6), 0);
    EXPECT_EQ(passkey, 0);
    const char *text = nullptr;
    EXPECT_EQ(qelSigSpecRegExp(copy, &text), QELSigSpecPresent);
    EXPECT_STREQ(text, "<[^>]+[@.]example\\.com>$");
    ASSERT_EQ(qelSigSpecSetRegExp(spec_, 0, "other"), QELError_NoErr);
    EXPECT_EQ(qelSigSpecRegExp(copy, &text), QELSigSpecPresent);
    EXPECT_STREQ(text, "<[^>]+[@.]example\\.com>$");
    EXPECT_EQ(qelSigSpecPush(nullptr, copy), QELError_BadParams);
    ASSERT_EQ(qelSigSpecPush(&spec_, copy), QELError_NoErr); // freed with the chain
    EXPECT_EQ(spec_, copy);
    EXPECT_NE(qelSigSpecNext(spec_), nullptr);
}

TEST_F(SigSpec, BareVersion4LayoutAndHashTrailer)
{
    makeSpec(0x13);
    ASSERT_EQ(qelSigSpecSetVersion(spec_, 4), QELError_NoErr);
    ASSERT_EQ(qelSigSpecSetCreation(spec_, 0x5F000000), QELError_NoErr);
    const Bytes signedData = {0x99, 0x00, 0x01, 0x04};
    Bytes body, digest;
    ASSERT_EQ(build(spec_, 2, signedData, body, &digest), 29);
    const Bytes head = {4, 0x13, 1, 2, 0, 6, 5, 2, 0x5F, 0, 0, 0};
    EXPECT_EQ(Bytes(body.begin(), body.begin() + 12), head);
    EXPECT_EQ(Bytes(body.begin() + 12, body.begin() + 24),
              (Bytes{0, 10, 9, 16, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}));
    const Bytes expected = digestOf(context_, 2, cat({signedData, head, {4, 0xFF, 0, 0, 0, 12}}));
    EXPECT_EQ(digest, expected);
    EXPECT_EQ(body[24], expected[0]);
    EXPECT_EQ(body[25], expected[1]);
    EXPECT_EQ(Bytes(body.begin() + 26, body.end()), (Bytes{0x00, 0x08, 0xA5}));
    // The body validates and its hashed part is what was hashed.
    EXPECT_EQ(qelSigPacketValidate(body.data(), body.size(), nullptr), QELError_NoErr);
    EXPECT_LE(body.size() - 3, qelSigSpecPacketSize(spec_));
}

TEST_F(SigSpec, ItemsInTheirAreasAndOrder)
{
    makeSpec(0x13);
    const std::uint8_t flags[] = {0x03}, comp[] = {2, 1}, rk1[22] = {0x80, 1, 1}, rk2[22] = {0x80, 1, 2};
    Bytes raw(200, 0x42);
    raw[0] = 100;
    ASSERT_EQ(qelSigSpecSetKeyFlags(spec_, QELSigSpecFlag_Critical, flags, 1), QELError_NoErr);
    ASSERT_EQ(qelSigSpecSetPrefCompression(spec_, QELSigSpecFlag_Unhashed, comp, 2), QELError_NoErr);
    ASSERT_EQ(qelSigSpecAddRevocationKey(spec_, 0, rk1, 22), QELError_NoErr);
    ASSERT_EQ(qelSigSpecAddRevocationKey(spec_, 0, rk2, 22), QELError_NoErr);
    ASSERT_EQ(qelSigSpecAddRawSubpacket(spec_, QELSigSpecFlag_Critical, raw.data(), raw.size()), QELError_NoErr);
    ASSERT_EQ(qelSigSpecSetSigExpiration(spec_, 0, 0x01020304), QELError_NoErr);
    ASSERT_EQ(qelSigSpecSetCreation(spec_, 0), QELError_NoErr);
    Bytes body;
    ASSERT_GT(build(spec_, 8, {}, body), 0);

    const Bytes hashed = cat({{5, 2, 0, 0, 0, 0},
                              {5, 3, 1, 2, 3, 4},
                              cat({{23, 12}, Bytes(rk2, rk2 + 22)}),
                              cat({{23, 12}, Bytes(rk1, rk1 + 22)}),
                              {2, 0x9B, 0x03},
                              cat({{0xC0, 0x08, 100 | 0x80}, Bytes(raw.begin() + 1, raw.end())})});
    ASSERT_GE(body.size(), 6 + hashed.size());
    EXPECT_EQ(std::size_t((body[4] << 8) | body[5]), hashed.size());
    EXPECT_EQ(Bytes(body.begin() + 6, body.begin() + 6 + std::ptrdiff_t(hashed.size())), hashed);
    const std::size_t u = 6 + hashed.size();
    const Bytes unhashed = {0, 14, 9, 16, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 3, 22, 2, 1};
    EXPECT_EQ(Bytes(body.begin() + std::ptrdiff_t(u), body.begin() + std::ptrdiff_t(u + unhashed.size())), unhashed);
    EXPECT_EQ(qelSigPacketValidate(body.data(), body.size(), nullptr), QELError_NoErr);
    EXPECT_LE(body.size() - 3, qelSigSpecPacketSize(spec_));
}

TEST_F(SigSpec, Version3IgnoresItems)
{
    spec_ = qelSigSpecNewFor(settings_, nullptr, 0x10, true, 1, 1024);
    ASSERT_NE(spec_, nullptr);
    ASSERT_EQ(qelSigSpecSetKeyFlags(spec_, 0, "\x01", 1), QELError_NoErr);
    ASSERT_EQ(qelSigSpecSetVersion(spec_, 3), QELError_NoErr);
    ASSERT_EQ(qelSigSpecSetCreation(spec_, 0x5F5F5F5F), QELError_NoErr);
    Bytes body, digest;
    ASSERT_EQ(build(spec_, 1, {0xAA}, body, &digest), 22);
    EXPECT_EQ(Bytes(body.begin(), body.begin() + 17),
              (Bytes{3, 5, 0x10, 0x5F, 0x5F, 0x5F, 0x5F, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 1, 1}));
    EXPECT_EQ(digest, digestOf(context_, 1, {0xAA, 0x10, 0x5F, 0x5F, 0x5F, 0x5F}));
    EXPECT_EQ(body[17], digest[0]);
    EXPECT_EQ(qelSigSpecPacketSize(spec_), 19u);

    std::uint8_t onePass[13];
    QELSigSigner signer;
    signer.algorithm = 17;
    std::memcpy(signer.keyID, "ABCDEFGH", 8);
    EXPECT_EQ(qelSigSpecMakeOnePassWith(onePass, spec_, signer, 1), 13);
    EXPECT_EQ(Bytes(onePass, onePass + 13), (Bytes{3, 0x10, 2, 17, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 1}));
    EXPECT_EQ(qelSigSpecOnePassLength(spec_), 13);
}

TEST_F(SigSpec, ItemsThatDoNotFitTheirLengthFieldsAreRefused)
{
    struct Case {
        const char *name;
        std::size_t size;
        bool fits;
    } cases[] = {{"190 octets", 190, true}, {"191 octets", 191, false}, {"255 octets", 255, false}};
    for (const Case &c : cases) {
        makeSpec();
        Bytes prefs(c.size, 9);
        ASSERT_EQ(qelSigSpecSetPrefSymmetric(spec_, 0, prefs.data(), prefs.size()), QELError_NoErr);
        Bytes body;
        std::int64_t n = build(spec_, 2, {}, body);
        if (c.fits)
            EXPECT_GT(n, 0) << c.name;
        else
            EXPECT_EQ(n, QELError_PacketTooLarge) << c.name;
        qelSigSpecFreeList(spec_);
        spec_ = nullptr;
    }
    // A regular expression keeps its NUL: 189 characters fit, 190 do not.
    for (std::size_t chars : {189u, 190u}) {
        makeSpec();
        ASSERT_EQ(qelSigSpecSetRegExp(spec_, 0, std::string(chars, 'a').c_str()), QELError_NoErr);
        Bytes body;
        EXPECT_EQ(build(spec_, 2, {}, body) > 0, chars == 189) << chars;
        qelSigSpecFreeList(spec_);
        spec_ = nullptr;
    }
    // An area past 65535 octets.
    makeSpec();
    Bytes raw(40000, 1);
    ASSERT_EQ(qelSigSpecAddRawSubpacket(spec_, QELSigSpecFlag_Unhashed, raw.data(), raw.size()), QELError_NoErr);
    Bytes body;
    EXPECT_GT(build(spec_, 2, {}, body), 0);
    ASSERT_EQ(qelSigSpecAddRawSubpacket(spec_, QELSigSpecFlag_Unhashed, raw.data(), raw.size()), QELError_NoErr);
    EXPECT_EQ(build(spec_, 2, {}, body), QELError_PacketTooLarge);
}

TEST_F(SigSpec, HashingKeyMaterialPrefixes)
{
    const Bytes key = {4, 1, 2, 3, 4, 1};
    const Bytes uid = {'u', 'i', 'd'};
    struct Case {
        QELHashedObject kind;
        bool v4;
        Bytes prefix;
    } cases[] = {
        {QELHashedObject::Key, true, {0x99, 0, 6}},
        {QELHashedObject::Key, false, {0x99, 0, 6}},
        {QELHashedObject::UserID, true, {0xB4, 0, 0, 0, 6}},
        {QELHashedObject::UserAttribute, true, {0xD1, 0, 0, 0, 6}},
        {QELHashedObject::UserID, false, {}},
    };
    for (const Case &c : cases) {
        QELHashContext *h = nullptr;
        ASSERT_EQ(qelHashNew(context_, 2, &h), QELError_NoErr);
        ASSERT_EQ(qelKeySigHashPacketBody(h, c.kind, key.data(), key.size(), c.v4), QELError_NoErr);
        Bytes got(20);
        ASSERT_EQ(qelHashFinal(h, got.data()), QELError_NoErr);
        EXPECT_EQ(got, digestOf(context_, 2, cat({c.prefix, key})));
        EXPECT_EQ(qelHashFree(h), QELError_NoErr);
    }
    QELHashContext *h = nullptr;
    ASSERT_EQ(qelHashNew(context_, 2, &h), QELError_NoErr);
    Bytes big(70000);
    EXPECT_EQ(qelKeySigHashPacketBody(h, QELHashedObject::Key, big.data(), big.size(), true), QELError_BadPacketFormat);
    EXPECT_EQ(qelKeySigHashPacketBody(nullptr, QELHashedObject::Key, key.data(), key.size(), true), QELError_BadParams);
    EXPECT_EQ(qelHashFree(h), QELError_NoErr);
    static_cast<void>(uid);
}

#ifdef QEL_HAVE_OPENSSL
// Certifications made by the builder over key material hashed here, signed
// with an OpenSSL RSA key, and checked by GnuPG.
Bytes mpiOf(const BIGNUM *bn)
{
    const int bits = BN_num_bits(bn);
    Bytes out{std::uint8_t(bits >> 8), std::uint8_t(bits)};
    Bytes mag(std::size_t(BN_num_bytes(bn)));
    BN_bn2bin(bn, mag.data());
    return cat({out, mag});
}

Bytes packet(std::uint8_t tag, const Bytes &body)
{
    // New-format header with a two-octet length when needed.
    Bytes out{std::uint8_t(0xC0 | tag)};
    if (body.size() < 192) {
        out.push_back(std::uint8_t(body.size()));
    } else {
        const std::size_t n = body.size() - 192;
        out.push_back(std::uint8_t((n >> 8) + 192));
        out.push_back(std::uint8_t(n));
    }
    return cat({out, body});
}

TEST_F(SigSpec, GnuPGAcceptsBuiltCertificationsAndBindings)
{
    auto rsa = [] { return EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t(1024)); };
    EVP_PKEY *primary = rsa(), *sub = rsa();
    ASSERT_NE(primary, nullptr);
    ASSERT_NE(sub, nullptr);
    auto keyBody = [](EVP_PKEY *k) {
        BIGNUM *n = nullptr, *e = nullptr;
        EXPECT_EQ(EVP_PKEY_get_bn_param(k, "n", &n), 1);
        EXPECT_EQ(EVP_PKEY_get_bn_param(k, "e", &e), 1);
        Bytes b = cat({{4, 0x5F, 0, 0, 0, 1}, mpiOf(n), mpiOf(e)});
        BN_free(n);
        BN_free(e);
        return b;
    };
    const Bytes pk = keyBody(primary), sk = keyBody(sub);
    const Bytes fpr = digestOf(context_, 2, cat({{0x99, std::uint8_t(pk.size() >> 8), std::uint8_t(pk.size())}, pk}));
    const Bytes uid = {'K', 'e', 'y', 'u', 's', 'e', ' ', '<', 'k', '@', 'e', 'x', '.', 'o', 'r', 'g', '>'};

    QELSigSigner signer;
    signer.algorithm = 1;
    std::memcpy(signer.keyID, fpr.data() + 12, 8);
    signer.sign = [primary](const QELSigSpec *, std::uint8_t hashAlgorithm, const std::uint8_t *d, std::size_t n,
                            Bytes &out) {
        EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(primary, nullptr);
        const EVP_MD *md = hashAlgorithm == 8 ? EVP_sha256() : EVP_sha1();
        std::size_t len = 0;
        Bytes sig;
        bool ok = ctx != nullptr && EVP_PKEY_sign_init(ctx) == 1 &&
                  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
                  EVP_PKEY_CTX_set_signature_md(ctx, md) == 1 && EVP_PKEY_sign(ctx, nullptr, &len, d, n) == 1;
        if (ok) {
            sig.resize(len);
            ok = EVP_PKEY_sign(ctx, sig.data(), &len, d, n) == 1;
            sig.resize(len);
        }
        EVP_PKEY_CTX_free(ctx);
        if (!ok)
            return QELError_BadSignature;
        BIGNUM *bn = BN_bin2bn(sig.data(), int(sig.size()), nullptr);
        out = mpiOf(bn);
        BN_free(bn);
        return QELError_NoErr;
    };
    auto sign = [&](std::uint8_t type, std::int32_t hash, const Bytes &second, QELHashedObject kind,
                    const std::uint8_t *keyFlags) {
        QELSigSpec *spec = qelSigSpecNewFor(settings_, nullptr, type, false, 1, 1024);
        EXPECT_NE(spec, nullptr);
        EXPECT_EQ(qelSigSpecSetKeyFlags(spec, 0, keyFlags, 1), QELError_NoErr);
        EXPECT_EQ(qelSigSpecSetHashAlgorithm(spec, hash), QELError_NoErr);
        EXPECT_EQ(qelSigSpecSetCreation(spec, 0x60000000), QELError_NoErr);
        QELHashContext *h = nullptr;
        EXPECT_EQ(qelHashNew(context_, hash, &h), QELError_NoErr);
        EXPECT_EQ(qelKeySigHashPacketBody(h, QELHashedObject::Key, pk.data(), pk.size(), true), QELError_NoErr);
        EXPECT_EQ(qelKeySigHashPacketBody(h, kind, second.data(), second.size(), true), QELError_NoErr);
        std::uint8_t *out = nullptr;
        std::int64_t n = qelSigSpecMakePacketWith(spec, h, signer, &out);
        EXPECT_GT(n, 0);
        Bytes body(out, out + (n > 0 ? n : 0));
        EXPECT_EQ(qelContextMemFree(context_, out), QELError_NoErr);
        EXPECT_EQ(qelHashFree(h), QELError_NoErr);
        qelSigSpecFreeList(spec);
        return body;
    };
    const std::uint8_t certify = 0x03, encrypt = 0x0C;
    const Bytes cert = sign(0x13, 8, uid, QELHashedObject::UserID, &certify);
    const Bytes binding = sign(0x18, 2, sk, QELHashedObject::Key, &encrypt);
    EVP_PKEY_free(primary);
    EVP_PKEY_free(sub);

    // Our own verification agrees: the certification's digest over the key
    // material, its hashed part and the trailer.
    QELStatus st = QELError_NoErr;
    QELPublicKeyObject *pub = qelPublicKeyObjectFromData(context_, 1, pk.data() + 6, pk.size() - 6, &st);
    ASSERT_NE(pub, nullptr) << st;
    const std::size_t hashedCount = 6 + std::size_t((cert[4] << 8) | cert[5]);
    const Bytes certDigest = digestOf(
        context_, 8,
        cat({{0x99, std::uint8_t(pk.size() >> 8), std::uint8_t(pk.size())}, pk,
             {0xB4, 0, 0, 0, std::uint8_t(uid.size())}, uid, Bytes(cert.begin(), cert.begin() + std::ptrdiff_t(hashedCount)),
             {4, 0xFF, 0, 0, 0, std::uint8_t(hashedCount)}}));
    EXPECT_EQ(qelSigPacketVerifyWithPublic(cert.data(), cert.size(), pub, certDigest.data()), 1);
    Bytes forged = cert;
    forged.back() ^= 1;
    EXPECT_EQ(qelSigPacketVerifyWithPublic(forged.data(), forged.size(), pub, certDigest.data()), 0);
    Bytes otherDigest = certDigest;
    otherDigest[0] ^= 1; // the stored prefix no longer agrees: invalid at once
    EXPECT_EQ(qelSigPacketVerifyWithPublic(cert.data(), cert.size(), pub, otherDigest.data()), 0);
    EXPECT_EQ(pub->destroy(pub), QELError_NoErr);

    qeltest::TempDir home("qelgpg");
    const Bytes ring = cat({packet(6, pk), packet(13, uid), packet(2, cert), packet(14, sk), packet(2, binding)});
    qeltest::writeFile(home / "ring.gpg", std::string(ring.begin(), ring.end()));
    const std::string gpg = "gpg --homedir " + home.path() + " --batch --quiet --no-tty --pinentry-mode loopback ";
    ASSERT_EQ(std::system((gpg + "--import " + home / "ring.gpg" + " 2>/dev/null").c_str()), 0);
    ASSERT_EQ(std::system((gpg + "--with-colons --check-sigs > " + home / "sigs.txt" + " 2>/dev/null").c_str()), 0);
    static_cast<void>(std::system(("gpgconf --homedir " + home.path() + " --kill all >/dev/null 2>&1").c_str())); // best effort
    const std::string listing = qeltest::readFile(home / "sigs.txt");
    // Both signatures good ("!"), none bad.
    std::size_t good = 0;
    for (std::size_t at = listing.find("\nsig:!:"); at != std::string::npos; at = listing.find("\nsig:!:", at + 1))
        ++good;
    EXPECT_EQ(good, 2u) << listing;
    EXPECT_EQ(listing.find("sig:-:"), std::string::npos) << listing;
}
#endif

} // namespace
