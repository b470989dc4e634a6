// The encode job's PKI messages read by OpenSSL: a request signed by the
// end entity's key verifies with `openssl cms -verify` and `openssl smime
// -verify` and gives back the content; one enveloped for the end entity's
// certificate decrypts with `openssl cms -decrypt`; signed around
// enveloped, both. The keys are the committed fixtures of
// tests/pipeline/data/cert/make_certs.sh, the request is made at test time.
// Each run's events are checked in order.
#include "../keys/keys_fixture.h"
#include "../pki/pki_test_util.h"

#include "qelClientEncode.h"
#include "qelClientKeyDB.h"
#include "qelDecode.h"
#include "qelEncode.h"
#include "qelEvent.h"
#include "qelKeyDB.h"
#include "qelKeyEditInternal.h"
#include "qelKeyIter.h"
#include "qelMemory.h"
#include "qelRandomPoolInternal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

const auto *const gEnv = qeltest::addHomeEnvironment("qelencodecert", qeltest::HomeEnvironment::SDK::Up);

const std::string kData = std::string(QEL_SOURCE_DIR) + "/tests/pipeline/data/cert/";

std::int32_t record(QELContext *, QELEvent *event, void *user)
{
    static_cast<std::vector<std::int32_t> *>(user)->push_back(event->kind);
    return 0;
}

QELKeyObject *firstKey(QELKeyDB *db)
{
    QELKeyIter *iter = nullptr;
    QELKeyObject *key = nullptr;
    if (qelKeyIterNewOnDB(db, &iter) != 0)
        return nullptr;
    if (qelKeyIterNext(iter, 1, &key) != 0)
        key = nullptr;
    EXPECT_EQ(qelKeyIterFree(iter), 0);
    return key;
}

class EncodeCertTest : public keystest::ContextTest {
protected:
    void SetUp() override
    {
        keystest::ContextTest::SetUp();
        if (!pkitest::havePeers())
            GTEST_SKIP() << "no OpenSSL";
        qelRandomPoolSetSeeded();
        // The end entity's certificate as a key, and its secret key from
        // PKCS #8 beside it, locked with a passphrase.
        const Bytes ee = keystest::readFile(kData + "ee.der"), p8 = keystest::readFile(kData + "ee.p8");
        ASSERT_EQ(qelKeyDBNewInMemory(ctx, &certs_), 0);
        ASSERT_EQ(qelDecode(ctx, qelOptionInputBuffer(ctx, ee.data(), ee.size()), qelOptionInputFormat(ctx, 10000),
                            qelOptionKeyDB(ctx, certs_), qelOptionDiscardOutput(ctx, 1), qelOptionLastOption(ctx)),
                  0);
        ASSERT_EQ(qelImportKeys(ctx, &keys_, qelOptionInputBuffer(ctx, p8.data(), p8.size()),
                                qelOptionInputFormat(ctx, 10012), qelOptionTargetKeyDB(ctx, certs_),
                                qelOptionLastOption(ctx)),
                  0);
        recipient_ = firstKey(certs_);
        signer_ = firstKey(keys_);
        ASSERT_NE(recipient_, nullptr);
        ASSERT_NE(signer_, nullptr);
        ASSERT_EQ(qelKeyChangePassphraseLocal(keys_, signer_, signer_, nullptr, 0, "pw", 2, 0, 0, 0), 0);
        ASSERT_EQ(dir_.sh("openssl pkey -inform DER -in " + kData + "ee.p8 -out ee.key && "
                          "openssl req -new -key ee.key -subj '/CN=Cert Test EE' -outform DER -out req.der"),
                  0);
        request_ = dir_.read("req.der");
        ASSERT_FALSE(request_.empty());
    }
    void TearDown() override
    {
        if (keys_ != nullptr) {
            EXPECT_EQ(qelKeyDBRelease(keys_), 0);
        }
        if (certs_ != nullptr) {
            EXPECT_EQ(qelKeyDBRelease(certs_), 0);
        }
        keystest::ContextTest::TearDown();
    }
    // One PKI message of the request into msg.der.
    QELStatus encode(std::vector<std::int32_t> &events, bool sign, bool envelope, const char *passphrase = "pw",
                     QELOptionList *more = nullptr)
    {
        void *out = nullptr;
        std::uint64_t size = 0;
        const QELStatus s = qelEncode(
            ctx, qelOptionInputBuffer(ctx, request_.data(), request_.size()), qelOptionOutputFormat(ctx, 10000),
            qelOptionOutputAllocatedBuffer(ctx, &out, 1 << 20, &size), qelOptionEventHandler(ctx, record, &events),
            sign ? qelOptionSignWithKey(ctx, signer_, qelOptionPassphrase(ctx, passphrase), qelOptionLastOption(ctx))
                 : qelOptionNull(ctx),
            envelope ? qelOptionEncryptToKey(ctx, recipient_) : qelOptionNull(ctx),
            more != nullptr ? more : qelOptionNull(ctx), qelOptionLastOption(ctx));
        if (out != nullptr) {
            dir_.write("msg.der", static_cast<const std::uint8_t *>(out), size);
            EXPECT_EQ(qelMemFree(out), 0);
        }
        return s;
    }

    pkitest::Workdir dir_;
    QELKeyDB *certs_ = nullptr;
    QELKeyDB *keys_ = nullptr;
    QELKeyObject *recipient_ = nullptr;
    QELKeyObject *signer_ = nullptr;
    Bytes request_;
};

const std::vector<std::int32_t> kGood{QELEvent_Initial, QELEvent_Final};
// A certificate's key has no validity of its own: below the warning level.
const std::vector<std::int32_t> kGoodWarned{QELEvent_Initial, QELEvent_Warning, QELEvent_Final};

TEST_F(EncodeCertTest, SignedRequestVerifiesWithOpenSSL)
{
    std::vector<std::int32_t> events;
    ASSERT_EQ(encode(events, true, false), 0);
    EXPECT_EQ(events, kGood);
    EXPECT_EQ(dir_.sh("openssl cms -verify -noverify -inform DER -in msg.der -binary -out content.bin"), 0);
    EXPECT_EQ(dir_.read("content.bin"), request_);
    EXPECT_EQ(dir_.sh("openssl smime -verify -noverify -inform DER -in msg.der -binary -out smime.bin"), 0);
    EXPECT_EQ(dir_.read("smime.bin"), request_);
    // The signer is the request's key under a temporary certificate.
    EXPECT_EQ(dir_.sh("openssl pkcs7 -inform DER -in msg.der -print_certs | openssl x509 -pubkey -noout > a.pub && "
                      "openssl req -inform DER -in req.der -pubkey -noout > b.pub && cmp a.pub b.pub"),
              0);
}

TEST_F(EncodeCertTest, EnvelopedRequestDecryptsWithOpenSSL)
{
    std::vector<std::int32_t> events;
    ASSERT_EQ(encode(events, false, true), 0);
    EXPECT_EQ(events, kGoodWarned);
    EXPECT_EQ(dir_.sh("openssl cms -decrypt -provider legacy -provider default -inform DER -in msg.der "
                      "-inkey ee.key -binary -out plain.bin"),
              0);
    EXPECT_EQ(dir_.read("plain.bin"), request_);
}

TEST_F(EncodeCertTest, SignedAroundEnvelopedGivesBothBack)
{
    std::vector<std::int32_t> events;
    ASSERT_EQ(encode(events, true, true), 0);
    EXPECT_EQ(events, kGoodWarned);
    EXPECT_EQ(dir_.sh("openssl cms -verify -noverify -inform DER -in msg.der -binary -out env.der && "
                      "openssl cms -decrypt -provider legacy -provider default -inform DER -in env.der "
                      "-inkey ee.key -binary -out plain.bin"),
              0);
    EXPECT_EQ(dir_.read("plain.bin"), request_);
}

TEST_F(EncodeCertTest, RefusedRunsEndWithErrorThenFinal)
{
    constexpr std::int32_t I = QELEvent_Initial, W = QELEvent_Warning, E = QELEvent_Error, F = QELEvent_Final;
    struct Case {
        const char *name;
        bool sign, envelope;
        const char *passphrase;
        bool conventional, detached;
        QELStatus expected;
        std::vector<std::int32_t> events;
    };
    const Case cases[] = {
        {"wrong passphrase", true, false, "no", false, false, QELError_BadPassphrase, {I, E, F}},
        {"with conventional encryption", false, true, "pw", true, false, QELError_BadParams, {I, W, E, F}},
        {"detached", true, false, "pw", false, true, QELError_BadParams, {I, E, F}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::int32_t> events;
        QELOptionList *more = c.conventional ? qelOptionConventionalEncrypt(ctx, qelOptionPassphrase(ctx, "x"),
                                                                           qelOptionLastOption(ctx))
                              : c.detached   ? qelOptionDetachedSignature(ctx, qelOptionNull(ctx), qelOptionLastOption(ctx))
                                             : nullptr;
        EXPECT_EQ(encode(events, c.sign, c.envelope, c.passphrase, more), c.expected);
        EXPECT_EQ(events, c.events);
    }
}

} // namespace
