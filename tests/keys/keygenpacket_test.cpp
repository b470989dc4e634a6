// Key packets written for freshly generated keys, and secret packets
// rewritten after their material changed.
#include "keys_fixture.h"

#include "qelAlgorithms.h"
#include "qelKeyGenInternal.h"
#include "qelKeyGenParamsInternal.h"
#include "qelKeyPacketInternal.h"
#include "qelPkAlgInternal.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

using namespace keystest;

namespace {

constexpr std::uint32_t kCreation = 0x5F123456;

class KeyGenPacketTest : public ContextTest {
protected:
    void SetUp() override
    {
        ContextTest::SetUp();
        QELKeyGenRequest r{};
        r.context = ctx;
        r.algorithm = QELPublicKeyAlgorithm_RSA;
        r.bits = 1024;
        r.primaryKey = true;
        r.fastGeneration = 1;
        ASSERT_EQ(qelKeyGenMakeKeyPair(r, &sk_, &params_), QELError_NoErr);
        pk_ = sk_->publicObject(sk_);
        ASSERT_NE(pk_, nullptr);
        QELKeyGenParams *unused = nullptr;
        ASSERT_EQ(qelKeyGenMakeKeyPair(r, &subSk_, &unused), QELError_NoErr);
        qelKeyGenParamsFree(unused);
        subPk_ = subSk_->publicObject(subSk_);
        ASSERT_NE(subPk_, nullptr);
        ASSERT_EQ(qelKeyGenParamsSetCreation(params_, kCreation), QELError_NoErr);
        ASSERT_EQ(qelKeyGenParamsSetValidityDays(params_, 0x0102), QELError_NoErr);
        ASSERT_EQ(qelKeyDBNewInMemoryLocal(ctx, &db_), QELError_NoErr);
    }
    void TearDown() override
    {
        if (db_ != nullptr) {
            EXPECT_EQ(qelKeyDBRelease(db_), QELError_NoErr);
        }
        for (QELPublicKeyObject *p : {pk_, subPk_})
            if (p != nullptr)
                static_cast<void>(p->destroy(p)); // test cleanup
        for (QELSecretKeyObject *k : {sk_, subSk_})
            if (k != nullptr)
                static_cast<void>(k->destroy(k)); // test cleanup
        qelKeyGenParamsFree(params_);
        ContextTest::TearDown();
    }
    static std::vector<std::uint8_t> secretMaterial(QELSecretKeyObject *sk)
    {
        std::vector<std::uint8_t> m(sk->secretDataLength(sk));
        sk->exportSecretData(sk, m.data());
        return m;
    }
    static std::vector<std::uint8_t> publicMaterial(QELPublicKeyObject *pk)
    {
        std::vector<std::uint8_t> m(pk->exportedSize(pk));
        pk->exportPublic(pk, m.data());
        return m;
    }
    // A key from the first pair, a subkey (parent given) from the second.
    QELKeyObject *add(QELKeyObject *parent, bool secret)
    {
        return parent ? qelKeyDBAddGeneratedKeyPacket(db_, parent, secret, subPk_, subSk_, params_,
                                                      QELPublicKeyAlgorithm_RSA)
                      : qelKeyDBAddGeneratedKeyPacket(db_, parent, secret, pk_, sk_, params_,
                                                      QELPublicKeyAlgorithm_RSA);
    }
    static std::vector<std::uint8_t> raw(QELKeyObject *o)
    {
        std::size_t n = 0;
        const std::uint8_t *p = qelKeyObjRawPacket(o, &n);
        return p ? std::vector<std::uint8_t>(p, p + n) : std::vector<std::uint8_t>{};
    }

    QELSecretKeyObject *sk_ = nullptr, *subSk_ = nullptr;
    QELPublicKeyObject *pk_ = nullptr, *subPk_ = nullptr;
    QELKeyGenParams *params_ = nullptr;
    QELKeyDB *db_ = nullptr;
};

// A secret-key object whose material is the real one followed by zeros, so
// that packets of any size can be made from a small key.
struct PaddedSecret {
    static inline std::vector<std::uint8_t> material;
    QELSecretKeyObject object;
    PaddedSecret(const QELSecretKeyObject &real, std::vector<std::uint8_t> realMaterial, std::size_t total)
        : object(real)
    {
        material = std::move(realMaterial);
        material.resize(total, 0);
        object.secretDataLength = [](QELSecretKeyObject *) { return material.size(); };
        object.exportSecretData = [](QELSecretKeyObject *, std::uint8_t *out) {
            std::copy(material.begin(), material.end(), out);
        };
    }
};

TEST(KeyGenParamsPrefix, WritesTheFieldsBeforeTheMaterial)
{
    QELKeyGenParams p{};
    p.creation = 0x01020304;
    p.validityDays = 0xA0B1;
    struct Case {
        std::int32_t version;
        std::vector<std::uint8_t> expected;
    } const cases[] = {
        {4, {4, 1, 2, 3, 4, 17}},
        {3, {3, 1, 2, 3, 4, 0xA0, 0xB1, 17}},
        {2, {2, 1, 2, 3, 4, 0xA0, 0xB1, 17}},
    };
    for (const Case &c : cases) {
        p.version = c.version;
        ASSERT_EQ(qelKeyGenParamsMaterialOffset(&p), c.expected.size());
        std::vector<std::uint8_t> out(c.expected.size() + 1, 0xEE);
        qelKeyGenParamsWritePrefix(out.data(), &p, 17);
        EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.end() - 1), c.expected) << c.version;
        EXPECT_EQ(out.back(), 0xEE) << "nothing written past the prefix";
    }
}

TEST_F(KeyGenPacketTest, KeysAndSubkeysOfBothVersionsReadBack)
{
    for (std::int32_t version : {3, 4}) {
        for (bool isSecret : {true, false}) {
            SCOPED_TRACE(testing::Message() << "version " << version << (isSecret ? " secret" : " public"));
            ASSERT_EQ(qelKeyGenParamsSetVersion(params_, version), QELError_NoErr);
            QELKeyDB *db = nullptr;
            ASSERT_EQ(qelKeyDBNewInMemoryLocal(ctx, &db), QELError_NoErr);
            std::swap(db, db_);
            QELKeyObject *key = add(nullptr, isSecret);
            ASSERT_NE(key, nullptr);
            QELKeyObject *sub = add(key, isSecret);
            ASSERT_NE(sub, nullptr);
            std::swap(db, db_);

            const std::size_t offset = version == 4 ? 6 : 8;
            std::vector<std::uint8_t> ring;
            for (QELKeyObject *o : {key, sub}) {
                const std::vector<std::uint8_t> p = raw(o);
                const bool isSub = o == sub;
                const std::vector<std::uint8_t> material = isSecret
                                                               ? secretMaterial(isSub ? subSk_ : sk_)
                                                               : publicMaterial(isSub ? subPk_ : pk_);
                const std::uint8_t first = isSecret ? (isSub ? 0x9D : 0x95) : (isSub ? 0xB9 : 0x99);
                ASSERT_EQ(p.size(), 3 + offset + material.size());
                EXPECT_EQ(p[0], first);
                EXPECT_EQ((p[1] << 8 | p[2]), int(offset + material.size()));
                std::vector<std::uint8_t> prefix{std::uint8_t(version), 0x5F, 0x12, 0x34, 0x56};
                if (version != 4)
                    prefix.insert(prefix.end(), {0x01, 0x02});
                prefix.push_back(QELPublicKeyAlgorithm_RSA);
                EXPECT_EQ(std::vector<std::uint8_t>(p.begin() + 3, p.begin() + 3 + offset), prefix);
                EXPECT_EQ(std::vector<std::uint8_t>(p.begin() + 3 + std::ptrdiff_t(offset), p.end()), material);
                EXPECT_EQ(qelKeyObjKeyInfo(o)->creation, kCreation);
                ring.insert(ring.end(), p.begin(), p.end());
            }
            EXPECT_EQ(qelKeyObjParent(sub), key);

            QELKeyDB *back = openOwned(ring);
            ASSERT_NE(back, nullptr);
            ASSERT_EQ(liveKeys(back).size(), 1u);
            QELKeyObject *k2 = liveKeys(back)[0];
            EXPECT_EQ(keyIDHex(k2), keyIDHex(key));
            ASSERT_EQ(liveChildren(k2, QELObjectType_SubKey).size(), 1u);
            EXPECT_EQ(keyIDHex(liveChildren(k2, QELObjectType_SubKey)[0]), keyIDHex(sub));
            EXPECT_EQ(raw(k2), raw(key));
            EXPECT_EQ(qelKeyDBRelease(db), QELError_NoErr);
        }
    }
}

// GnuPG, reading the public packet on its own, finds the key ID we give.
TEST_F(KeyGenPacketTest, GnuPGReadsThePublicPacket)
{
    if (std::system("gpg --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "gpg not installed";
    ASSERT_EQ(qelKeyGenParamsSetVersion(params_, 4), QELError_NoErr);
    QELKeyObject *key = add(nullptr, false);
    ASSERT_NE(key, nullptr);
    const std::vector<std::uint8_t> p = raw(key);
    // The plain and portable runs of this test go side by side: each keeps
    // its files apart.
    const std::string dir = testing::TempDir();
    const std::string stem = dir + "/keygenpacket-" + std::to_string(::getpid());
    const std::string in = stem + ".pgp", out = stem + ".txt";
    std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char *>(p.data()), std::streamsize(p.size()));
    const std::string cmd = "GNUPGHOME=" + dir + " gpg --batch --list-packets " + in + " >" + out + " 2>/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::ifstream listing(out);
    const std::string text((std::istreambuf_iterator<char>(listing)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find(":public key packet:"), std::string::npos) << text;
    std::string id = keyIDHex(key);
    EXPECT_NE(text.find("keyid: " + id), std::string::npos) << text;
    std::remove(in.c_str());
    std::remove(out.c_str());
}

TEST_F(KeyGenPacketTest, PacketsUpToTheCapAreWritten)
{
    ASSERT_EQ(qelKeyGenParamsSetVersion(params_, 4), QELError_NoErr);
    const std::vector<std::uint8_t> real = secretMaterial(sk_);
    // A body over 65535 octets takes a four-octet length: header of 5.
    const std::size_t fits = QELPacketMaxWritten - 5 - 6;
    {
        PaddedSecret big(*sk_, real, fits);
        QELKeyObject *key = qelKeyDBAddGeneratedKeyPacket(db_, nullptr, true, pk_, &big.object, params_,
                                                          QELPublicKeyAlgorithm_RSA);
        ASSERT_NE(key, nullptr);
        EXPECT_EQ(raw(key).size(), QELPacketMaxWritten);

        PaddedSecret over(*sk_, real, fits + 1);
        db_->lastError = QELError_NoErr;
        EXPECT_EQ(qelKeyDBAddGeneratedKeyPacket(db_, key, true, pk_, &over.object, params_,
                                                QELPublicKeyAlgorithm_RSA),
                  nullptr);
        EXPECT_EQ(db_->lastError, QELError_PacketTooLarge);
        EXPECT_EQ(qelKeyObjRebuildSecretPacket(key, &over.object), QELError_PacketTooLarge);
        EXPECT_EQ(raw(key).size(), QELPacketMaxWritten) << "a refused rebuild keeps the packet";
    }
}

TEST_F(KeyGenPacketTest, RebuildKeepsThePublicFields)
{
    for (std::int32_t version : {3, 4}) {
        SCOPED_TRACE(version);
        const std::vector<std::uint8_t> real = secretMaterial(sk_);
        ASSERT_EQ(qelKeyGenParamsSetVersion(params_, version), QELError_NoErr);
        QELKeyDB *db = nullptr;
        ASSERT_EQ(qelKeyDBNewInMemoryLocal(ctx, &db), QELError_NoErr);
        std::swap(db, db_);
        QELKeyObject *key = add(nullptr, true);
        QELKeyObject *sub = add(key, true);
        std::swap(db, db_);
        QELKeyObject *pubKey = add(nullptr, false);
        ASSERT_NE(key, nullptr);
        ASSERT_NE(sub, nullptr);
        ASSERT_NE(pubKey, nullptr);

        const std::size_t offset = version == 4 ? 6 : 8;
        for (QELKeyObject *o : {key, sub}) {
            QELSecretKeyObject *owner = o == sub ? subSk_ : sk_;
            PaddedSecret longer(*owner, secretMaterial(owner), owner->secretDataLength(owner) + 40);
            const std::vector<std::uint8_t> before = raw(o);
            const std::string id = keyIDHex(o);
            ASSERT_EQ(qelKeyObjRebuildSecretPacket(o, &longer.object), QELError_NoErr);
            const std::vector<std::uint8_t> after = raw(o);
            ASSERT_EQ(after.size(), before.size() + 40);
            EXPECT_EQ(after[0], before[0]);
            EXPECT_EQ(std::vector<std::uint8_t>(after.begin() + 3, after.begin() + 3 + std::ptrdiff_t(offset)),
                      std::vector<std::uint8_t>(before.begin() + 3, before.begin() + 3 + std::ptrdiff_t(offset)));
            EXPECT_EQ(std::vector<std::uint8_t>(after.begin() + 3 + std::ptrdiff_t(offset), after.end()),
                      PaddedSecret::material);
            QELKeyPacketInfo info;
            ASSERT_EQ(qelKeyPacketParse(ctx, after.data(), after.size(), &info, true), QELError_NoErr);
            EXPECT_EQ(hex(info.keyID, 8), id);
        }
        // A public packet has no secret material to replace.
        PaddedSecret longer(*sk_, real, real.size() + 40);
        const std::vector<std::uint8_t> pubBefore = raw(pubKey);
        EXPECT_EQ(qelKeyObjRebuildSecretPacket(pubKey, &longer.object), QELError_BadParams);
        EXPECT_EQ(raw(pubKey), pubBefore);
        EXPECT_EQ(qelKeyDBRelease(db), QELError_NoErr);
    }
}

} // namespace
