// Opening key databases through the public calls: argument checks, the
// same files giving the same database, and the catching-up a ring file gets
// when it was written before an unchecked revocation or before an expiry.
#include "keys_fixture.h"

#include "qelClientKeyDB.h"
#include "qelEnumeratedSet.h"
#include "qelFIPS.h"
#include "qelKeyDB.h"
#include "qelKeyDBChange.h"
#include "qelKeyMan.h"
#include "qelKeyProperty.h"
#include "qelKeySig.h"
#include "qelKeySet.h"
#include "qelRandomPoolInternal.h"
#include "qelTestHooks.h"
#include "qelTrustPropInternal.h"

#include <sys/stat.h>
#include <utime.h>

using namespace keystest;

namespace {

std::uint32_t g_clock = 0;
std::uint32_t testClock() { return g_clock; }

class KeyDBOpen : public ContextTest {
protected:
    void TearDown() override
    {
        qelTrustSetClockForTesting(nullptr);
        for (QELFileSpec *spec : specs_)
            EXPECT_EQ(qelFreeFileSpec(spec), QELError_NoErr);
        ContextTest::TearDown();
    }
    // A spec for a file in the scratch directory, optionally written first.
    QELFileSpec *spec(const std::string &name, const std::vector<std::uint8_t> *bytes = nullptr)
    {
        const std::string path = dir_ / name;
        if (bytes != nullptr)
            qeltest::writeFile(path, std::string(bytes->begin(), bytes->end()));
        QELFileSpec *s = nullptr;
        EXPECT_EQ(qelNewFileSpecFromFullPath(ctx, path.c_str(), &s), QELError_NoErr);
        specs_.push_back(s);
        return s;
    }
    void setModificationTime(const std::string &name, std::uint32_t sdkTime)
    {
        const struct utimbuf times = {qelTimeDateToPlatform(sdkTime), qelTimeDateToPlatform(sdkTime)};
        ASSERT_EQ(utime((dir_ / name).c_str(), &times), 0);
    }
    static std::uint8_t boolProperty(QELKeyObject *object, std::uint32_t property)
    {
        std::uint8_t value = 0xFF;
        EXPECT_EQ(qelKeyObjGetBoolProperty(object, property, &value), QELError_NoErr);
        return value;
    }

    qeltest::TempDir dir_{"qelkeydbopen"};
    std::vector<QELFileSpec *> specs_;
};

TEST_F(KeyDBOpen, ArgumentsAreChecked)
{
    const auto ring = readFile(dataPath("keysig.gpg"));
    QELFileSpec *pub = spec("pub.gpg", &ring);
    QELKeyDB *db = reinterpret_cast<QELKeyDB *>(&db);
    EXPECT_EQ(qelKeyDBOpenFiles(ctx, 0, pub, nullptr, nullptr), QELError_BadParams);
    EXPECT_EQ(qelKeyDBOpenFiles(nullptr, 0, pub, nullptr, &db), QELError_BadParams);
    EXPECT_EQ(db, nullptr);
    EXPECT_EQ(qelKeyDBOpenFiles(ctx, 0, nullptr, nullptr, &db), QELError_BadParams);
    EXPECT_EQ(qelKeyDBOpenFiles(ctx, 0, pub, reinterpret_cast<QELFileSpec *>(ctx), &db), QELError_BadParams);
    EXPECT_EQ(qelKeyDBOpenFromBuffer(ctx, nullptr, 4, &db), QELError_BadParams);
    EXPECT_EQ(qelKeyDBOpenFromBuffer(nullptr, ring.data(), ring.size(), &db), QELError_BadParams);
    EXPECT_EQ(qelKeyDBOpenFromBuffer(ctx, ring.data(), ring.size(), nullptr), QELError_BadParams);
    // A missing ring without the create flag.
    EXPECT_EQ(qelKeyDBOpenFiles(ctx, 0, spec("missing.gpg"), nullptr, &db), QELError_FileNotFound);
    EXPECT_EQ(db, nullptr);
}

TEST_F(KeyDBOpen, TheSameFilesGiveTheSameDatabase)
{
    const auto ring = readFile(dataPath("keysig.gpg"));
    QELFileSpec *pub = spec("pub.gpg", &ring);
    QELKeyDB *first = nullptr, *second = nullptr;
    ASSERT_EQ(qelKeyDBOpenFiles(ctx, QELKeyDBOpen_ReadOnly, pub, nullptr, &first), QELError_NoErr);
    ASSERT_EQ(qelKeyDBOpenFiles(ctx, QELKeyDBOpen_ReadOnly, spec("pub.gpg"), nullptr, &second), QELError_NoErr);
    EXPECT_EQ(first, second);
    std::uint32_t count = 0;
    EXPECT_EQ(qelKeyDBCountKeys(first, &count), QELError_NoErr);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(qelKeyDBRelease(second), QELError_NoErr);
    EXPECT_EQ(qelKeyDBRelease(first), QELError_NoErr);
}

// A key's own revocation, read from a ring without trust packets, is not
// checked yet: opening the files checks the signatures because of it, so
// the key is revoked from the start. A ring read from memory is left as
// read.
TEST_F(KeyDBOpen, AnUncheckedRevocationIsCheckedOnOpening)
{
    const auto ring = readFile(dataPath("public.gpg"));
    QELKeyDB *db = nullptr;
    ASSERT_EQ(qelKeyDBOpenFiles(ctx, QELKeyDBOpen_ReadOnly, spec("pub.gpg", &ring), nullptr, &db), QELError_NoErr);
    QELKeyObject *key = keyWithUserID(db, "revoked@example.org");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(boolProperty(key, QELProperty_IsRevoked), 1);
    QELKeyObject *selfSig = liveChildren(liveChildren(key, QELObjectType_UserID).at(0), QELObjectType_Signature).at(0);
    EXPECT_EQ(boolProperty(selfSig, QELProperty_SigIsChecked), 1);
    EXPECT_EQ(qelKeyDBRelease(db), QELError_NoErr);

    ASSERT_EQ(qelKeyDBOpenFromBuffer(ctx, ring.data(), ring.size(), &db), QELError_NoErr);
    key = keyWithUserID(db, "revoked@example.org");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(boolProperty(key, QELProperty_IsRevoked), 0);
    selfSig = liveChildren(liveChildren(key, QELObjectType_UserID).at(0), QELObjectType_Signature).at(0);
    EXPECT_EQ(boolProperty(selfSig, QELProperty_SigIsChecked), 0);
    EXPECT_EQ(qelKeyDBRelease(db), QELError_NoErr);
}

// Dave's key expires. A ring committed while it was valid (Dave axiomatic,
// so his user ID fully valid) holds that validity in its trust packets;
// opened later, the validity is recomputed only when the ring file was
// written before the expiry.
TEST_F(KeyDBOpen, AnExpirySinceTheRingWasWrittenPropagatesTrust)
{
    qelRandomPoolSetSeeded();
    QELKeyDB *source = openOwned(readFile(dataPath("keyedit_secret.gpg")));
    ASSERT_NE(source, nullptr);
    QELKeyObject *dave = keyWithUserID(source, "dave@example.org");
    ASSERT_NE(dave, nullptr);
    // The expiry comes from the checked self-signature.
    ASSERT_EQ(qelKeySigCheckKeySet(qelKeyDBGetRootSet(source), nullptr, 0, nullptr, nullptr), QELError_NoErr);
    const std::uint32_t expiry = qelKeyObjExpiration(dave);
    ASSERT_NE(expiry, 0u);
    ASSERT_LT(expiry, qelTrustNow());

    // Written a day before the expiry.
    g_clock = expiry - 86400;
    qelTrustSetClockForTesting(testClock);
    QELKeySet *onlyDave = nullptr;
    ASSERT_EQ(qelEnumeratedSetFromObject(dave, &onlyDave), QELError_NoErr);
    QELKeyDB *rings = nullptr;
    ASSERT_EQ(qelKeyDBOpenFiles(ctx, QELKeyDBOpen_Writable | QELKeyDBOpen_Create, spec("pub.gpg"), spec("sec.gpg"),
                                &rings),
              QELError_NoErr);
    ASSERT_EQ(qelKeyDBAddKeySet(onlyDave, rings, nullptr), QELError_NoErr);
    EXPECT_EQ(qelKeySetRelease(onlyDave), QELError_NoErr);
    QELKeyObject *copy = keyWithUserID(rings, "dave@example.org");
    ASSERT_NE(copy, nullptr);
    ASSERT_EQ(qelKeySetAxiomatic(copy, 1, qelOptionPassphrase(ctx, "dave-pass"), qelOptionLastOption(ctx)),
              QELError_NoErr);
    std::int32_t written = 0;
    ASSERT_EQ(qelKeyGetValidity(copy, &written), QELError_NoErr);
    ASSERT_GT(written, 0);
    ASSERT_EQ(qelKeyDBRelease(rings), QELError_NoErr); // commits
    qelTrustSetClockForTesting(nullptr);

    struct Case {
        const char *what;
        std::uint32_t fileTime;
        bool recomputed;
    } cases[] = {
        {"written before the expiry", expiry - 86400, true},
        {"written after the expiry", expiry + 86400, false},
    };
    for (const Case &c : cases) {
        setModificationTime("pub.gpg", c.fileTime);
        QELKeyDB *db = nullptr;
        ASSERT_EQ(qelKeyDBOpenFiles(ctx, QELKeyDBOpen_ReadOnly, spec("pub.gpg"), spec("sec.gpg"), &db),
                  QELError_NoErr)
            << c.what;
        QELKeyObject *key = keyWithUserID(db, "dave@example.org");
        ASSERT_NE(key, nullptr) << c.what;
        std::int32_t validity = -1;
        EXPECT_EQ(qelKeyGetValidity(key, &validity), QELError_NoErr) << c.what;
        if (c.recomputed)
            EXPECT_LT(validity, written) << c.what;
        else
            EXPECT_EQ(validity, written) << c.what << ": the ring's own validity stands";
        EXPECT_EQ(qelKeyDBRelease(db), QELError_NoErr) << c.what;
    }
}

} // namespace
