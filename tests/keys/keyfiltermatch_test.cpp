// Key filter evaluation on the GnuPG-made fixture ring (Carol: DSA with an
// ElGamal subkey; Bob: RSA, no expiry; Alice: RSA, expires in 2033, three
// user IDs, certified by Bob and Carol): every value kind and criterion, the
// four object scopes, NOT/AND/OR, the own-level flag, filtered sets, and
// short key-ID data that must never be read past its end.
#include "keys_fixture.h"

#include "qelEnumeratedSet.h"
#include "qelKeyFilterInternal.h"
#include "qelKeyIDInternal.h"
#include "qelKeyPacketInternal.h"
#include "qelKeyProperty.h"
#include "qelKeySetInternal.h"
#include "qelKeySigInternal.h"

#include <functional>
#include <set>

namespace {

using namespace keystest;

class KeyFilterMatch : public ContextTest {
protected:
    void SetUp() override
    {
        ContextTest::SetUp();
        QELStatus s = 0;
        db_ = openBuffer(readFile(dataPath("keysig.gpg")), &s);
        ASSERT_NE(db_, nullptr) << s;
        ASSERT_EQ(qelKeySigCheckSetWithProgress(qelKeyDBRootSet(db_), nullptr, true, nullptr, nullptr, nullptr),
                  QELError_NoErr);
        for (QELKeyObject *k : liveKeys(db_))
            names_[k] = nameOf(liveChildren(k, QELObjectType_UserID).at(0));
    }
    void TearDown() override
    {
        if (db_ != nullptr) {
            EXPECT_EQ(qelKeyDBRelease(db_), QELError_NoErr);
        }
        ContextTest::TearDown();
    }
    static std::string nameOf(QELKeyObject *uid)
    {
        std::size_t n = 0;
        const std::uint8_t *p = qelKeyObjRawPacket(uid, &n);
        const std::size_t h = qelPacketHeaderSize(p, n);
        const std::string text(reinterpret_cast<const char *>(p + h), n - h);
        return text.substr(0, text.find(' '));
    }
    // The names of the keys the filter accepts; the filter is released.
    std::set<std::string> run(QELKeyFilter *f)
    {
        std::set<std::string> out;
        EXPECT_NE(f, nullptr);
        if (f == nullptr)
            return out;
        for (QELKeyObject *k : liveKeys(db_))
            if (qelKeyFilterMatch(f, k))
                out.insert(names_[k]);
        // A filtered set agrees.
        QELKeySet *set = nullptr;
        EXPECT_EQ(qelFilteredSetNew(qelKeyDBRootSet(db_), f, &set), QELError_NoErr);
        EXPECT_EQ(qelKeySetCountInternal(set), out.size());
        qelKeySetReleaseInternal(set, false);
        EXPECT_EQ(qelKeyFilterRelease(f), QELError_NoErr);
        return out;
    }
    QELKeyFilter *number(std::int32_t property, std::int32_t value, std::int32_t criterion)
    {
        QELKeyFilter *f = nullptr;
        EXPECT_EQ(qelKeyFilterNewNumberProperty(ctx, property, value, criterion, &f), QELError_NoErr);
        return f;
    }
    QELKeyFilter *boolean(std::int32_t property, std::uint8_t value)
    {
        QELKeyFilter *f = nullptr;
        EXPECT_EQ(qelKeyFilterNewBoolProperty(ctx, property, value, &f), QELError_NoErr);
        return f;
    }
    QELKeyFilter *time(std::int32_t property, QELTime t, std::int32_t criterion)
    {
        QELKeyFilter *f = nullptr;
        EXPECT_EQ(qelKeyFilterNewTimeProperty(ctx, property, t, criterion, &f), QELError_NoErr);
        return f;
    }
    QELKeyFilter *data(std::int32_t property, const void *bytes, std::size_t n, std::int32_t criterion)
    {
        QELKeyFilter *f = nullptr;
        EXPECT_EQ(qelKeyFilterNewDataProperty(ctx, property, bytes, n, criterion, &f), QELError_NoErr);
        return f;
    }
    QELKeyFilter *text(std::int32_t property, const std::string &s, std::int32_t criterion)
    {
        return data(property, s.data(), s.size(), criterion);
    }
    QELKeyObject *key(const std::string &name)
    {
        for (auto &[k, n] : names_)
            if (n == name)
                return k;
        return nullptr;
    }
    QELKeyFilter *keyID(std::int32_t property, QELKeyObject *k)
    {
        QELKeyID id{};
        qelKeyObjGetKeyID(k, nullptr, &id);
        return data(property, &id, sizeof id, QELMatchCriterion_Equal);
    }
    QELKeyDB *db_ = nullptr;
    std::map<QELKeyObject *, std::string> names_;
};

using Names = std::set<std::string>;

TEST_F(KeyFilterMatch, ValueKindsAndScopes)
{
    const QELTime aliceExpiry = qelKeyObjExpiration(key("Alice"));
    ASSERT_NE(aliceExpiry, 0u);
    const struct {
        const char *name;
        std::function<QELKeyFilter *()> make;
        Names expected;
    } rows[] = {
        {"bool, none secret", [&] { return boolean(QELProperty_IsSecret, 1); }, {}},
        {"bool false matches all", [&] { return boolean(QELProperty_IsSecret, 0); }, {"Alice", "Bob", "Carol"}},
        {"number equal", [&] { return number(QELProperty_Algorithm, 17, QELMatchCriterion_Equal); }, {"Carol"}},
        {"number >=", [&] { return number(QELProperty_Bits, 1024, QELMatchCriterion_GreaterOrEqual); },
         {"Alice", "Bob", "Carol"}},
        {"number contains never", [&] { return number(QELProperty_Bits, 1024, QELMatchCriterion_Contains); }, {}},
        {"creation <=", [&] { return time(QELProperty_Creation, 1700000300, QELMatchCriterion_LessOrEqual); },
         {"Bob", "Carol"}},
        {"creation equal", [&] { return time(QELProperty_Creation, 1700000100, QELMatchCriterion_Equal); },
         {"Carol"}},
        {"expiry >= T takes never", [&] { return time(QELProperty_Expiration, aliceExpiry, QELMatchCriterion_GreaterOrEqual); },
         {"Alice", "Bob", "Carol"}},
        {"expiry >= T+1", [&] { return time(QELProperty_Expiration, aliceExpiry + 1, QELMatchCriterion_GreaterOrEqual); },
         {"Bob", "Carol"}},
        {"expiry <= 0 takes all", [&] { return time(QELProperty_Expiration, 0, QELMatchCriterion_LessOrEqual); },
         {"Alice", "Bob", "Carol"}},
        {"user ID contains, any case", [&] { return text(QELProperty_UserIDName, "ALICE@WORK", QELMatchCriterion_Contains); },
         {"Alice"}},
        {"user ID equal", [&] { return text(QELProperty_UserIDName, "Bob Rsa <bob@example.org>", QELMatchCriterion_Equal); },
         {"Bob"}},
        {"user ID equal is whole", [&] { return text(QELProperty_UserIDName, "Bob Rsa", QELMatchCriterion_Equal); }, {}},
        {"empty contains takes all", [&] { return text(QELProperty_UserIDName, "", QELMatchCriterion_Contains); },
         {"Alice", "Bob", "Carol"}},
        {"NUL ends the text", [&] { return data(QELProperty_UserIDName, "Bob\0zzz", 7, QELMatchCriterion_Contains); },
         {"Bob"}},
        {"key ID", [&] { return keyID(QELProperty_KeyID, key("Bob")); }, {"Bob"}},
        {"signer key ID", [&] { return keyID(QELProperty_SigSignerKeyID, key("Bob")); }, {"Alice", "Bob"}},
        {"subkey algorithm", [&] { return number(QELProperty_SubKeyAlgorithm, 16, QELMatchCriterion_Equal); },
         {"Carol"}},
        {"short key-ID data is never read past", [&] {
             QELKeyID id{};
             qelKeyObjGetKeyID(key("Bob"), nullptr, &id);
             return data(QELProperty_KeyID, &id, 12, QELMatchCriterion_Equal);
         }, {}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(run(r.make()), r.expected);
    }
}

TEST_F(KeyFilterMatch, CombinationsAndOwnLevel)
{
    QELKeyFilter *rsa = number(QELProperty_Algorithm, 1, QELMatchCriterion_Equal);
    QELKeyFilter *work = text(QELProperty_UserIDName, "work", QELMatchCriterion_Contains);
    QELKeyFilter *both = nullptr, *either = nullptr, *neither = nullptr;
    ASSERT_EQ(qelKeyFilterAddRef(rsa), QELError_NoErr);
    ASSERT_EQ(qelKeyFilterAddRef(work), QELError_NoErr);
    ASSERT_EQ(qelKeyFilterAnd(rsa, work, &both), QELError_NoErr);
    EXPECT_EQ(run(both), (Names{"Alice"}));
    ASSERT_EQ(qelKeyFilterOr(rsa, work, &either), QELError_NoErr);
    ASSERT_EQ(qelKeyFilterNot(either, &neither), QELError_NoErr);
    EXPECT_EQ(run(neither), (Names{"Carol"}));

    // Own level: a user-ID filter asked about one user ID judges that one;
    // without it any user ID of the key counts.
    QELKeyObject *alice = key("Alice");
    QELKeyObject *workUID = nullptr, *mainUID = nullptr;
    for (QELKeyObject *u : liveChildren(alice, QELObjectType_UserID)) {
        std::size_t n = 0;
        const std::uint8_t *p = qelKeyObjRawPacket(u, &n);
        const std::string t(reinterpret_cast<const char *>(p), n);
        (t.find("work") != std::string::npos ? workUID : t.find("<alice@example.org>") != std::string::npos ? mainUID
                                                                                                           : u) = u;
    }
    ASSERT_NE(workUID, nullptr);
    ASSERT_NE(mainUID, nullptr);
    QELKeyFilter *f = text(QELProperty_UserIDName, "work", QELMatchCriterion_Contains);
    EXPECT_TRUE(qelKeyFilterMatch(f, mainUID));
    ASSERT_EQ(qelKeyFilterSetOwnLevel(f, 1), QELError_NoErr);
    qelKeyFilterClearCache(f);
    EXPECT_TRUE(qelKeyFilterMatch(f, alice)); // the key: any user ID
    EXPECT_TRUE(qelKeyFilterMatch(f, workUID));
    EXPECT_FALSE(qelKeyFilterMatch(f, mainUID));
    // A signature under a user ID is judged with that user ID.
    EXPECT_FALSE(qelKeyFilterMatch(f, liveChildren(mainUID, QELObjectType_Signature).at(0)));

    // The cache answers for a key's descendants only until the next pass.
    QELKeyFilter *bob = keyID(QELProperty_KeyID, key("Bob"));
    EXPECT_FALSE(qelKeyFilterMatch(bob, alice));
    EXPECT_FALSE(qelKeyFilterMatch(bob, mainUID)); // cached for Alice
    EXPECT_TRUE(qelKeyFilterMatch(bob, key("Bob")));
    QELKeySet *set = nullptr;
    ASSERT_EQ(qelFilteredSetNew(qelKeyDBRootSet(db_), bob, &set), QELError_NoErr);
    EXPECT_TRUE(qelKeySetHas(liveChildren(key("Bob"), QELObjectType_UserID).at(0), set));
    EXPECT_FALSE(qelKeySetHas(mainUID, set));
    qelKeySetReleaseInternal(set, false);
    EXPECT_EQ(qelKeyFilterRelease(bob), QELError_NoErr);
    EXPECT_EQ(qelKeyFilterRelease(f), QELError_NoErr);
    EXPECT_FALSE(qelKeyFilterMatch(nullptr, alice));
}

} // namespace
