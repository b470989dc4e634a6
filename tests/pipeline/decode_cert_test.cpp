// The decode job on certificate input made by the OpenSSL command line
// (committed with tests/pipeline/data/cert/make_certs.sh): certificates,
// CRLs and PKCS #7 messages land in the target database, the CRL set (else
// the certificate set) is the output, a signed message reports its
// signature, and an envelope whose key is locked asks for the passphrase
// until it is given. Each run's events are checked in order.
#include "../keys/keys_fixture.h"

#include "qelClientEncode.h"
#include "qelClientKeyDB.h"
#include "qelDecode.h"
#include "qelEvent.h"
#include "qelKeyDB.h"
#include "qelKeyEditInternal.h"
#include "qelKeyIter.h"
#include "qelKeySet.h"
#include "qelKeyObjInternal.h"
#include "qelMemory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

const auto *const gEnv = qeltest::addHomeEnvironment("qeldecodecert", qeltest::HomeEnvironment::SDK::Up);

Bytes fixture(const std::string &name)
{
    return keystest::readFile(std::string(QEL_SOURCE_DIR) + "/tests/pipeline/data/cert/" + name);
}

bool contains(const Bytes &hay, const Bytes &needle)
{
    return !needle.empty() && std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

struct Events {
    std::vector<std::int32_t> events;
    std::deque<std::string> passphrases; // answers to Passphrase events
    std::vector<std::uint32_t> lockedCounts;
    std::vector<std::string> signatures; // "none" for a signer not found
};

std::int32_t handler(QELContext *ctx, QELEvent *event, void *user)
{
    auto &run = *static_cast<Events *>(user);
    run.events.push_back(event->kind);
    if (event->kind == QELEvent_Passphrase) {
        std::uint32_t count = 0;
        if (event->data.passphrase.keys != nullptr && qelKeySetCount(event->data.passphrase.keys, &count) != 0)
            count = 0;
        run.lockedCounts.push_back(count);
        if (!run.passphrases.empty()) {
            event->reply->options = qelOptionPassphrase(ctx, run.passphrases.front().c_str());
            run.passphrases.pop_front();
        }
    } else if (event->kind == QELEvent_Signature) {
        const QELEventSignature &s = event->data.signature;
        run.signatures.push_back(s.key == nullptr ? "none"
                                                  : std::string(s.checked ? "checked" : "unchecked") +
                                                        (s.verified ? " good" : " bad"));
    }
    return 0;
}

class DecodeCertTest : public keystest::ContextTest {
protected:
    void SetUp() override
    {
        keystest::ContextTest::SetUp();
        ASSERT_EQ(qelKeyDBNewInMemory(ctx, &target_), 0);
    }
    void TearDown() override
    {
        if (out_ != nullptr) {
            EXPECT_EQ(qelMemFree(out_), 0);
        }
        EXPECT_EQ(qelKeyDBRelease(target_), 0);
        keystest::ContextTest::TearDown();
    }
    std::uint32_t targetKeys()
    {
        std::uint32_t count = 0;
        EXPECT_EQ(qelKeyDBCountKeys(target_, &count), 0);
        return count;
    }
    QELStatus decode(const Bytes &input, std::int32_t format, Events &run, QELOptionList *more = nullptr,
                     QELOptionList *further = nullptr)
    {
        if (out_ != nullptr) {
            EXPECT_EQ(qelMemFree(out_), 0);
        }
        out_ = nullptr;
        size_ = 0;
        return qelDecode(ctx, qelOptionInputBuffer(ctx, input.data(), input.size()), qelOptionInputFormat(ctx, format),
                         qelOptionKeyDB(ctx, target_), qelOptionOutputAllocatedBuffer(ctx, &out_, 1 << 20, &size_),
                         qelOptionEventHandler(ctx, handler, &run), more != nullptr ? more : qelOptionNull(ctx),
                         further != nullptr ? further : qelOptionNull(ctx), qelOptionLastOption(ctx));
    }
    Bytes output() const { return out_ != nullptr ? Bytes(static_cast<std::uint8_t *>(out_), static_cast<std::uint8_t *>(out_) + size_) : Bytes(); }

    QELKeyDB *target_ = nullptr;
    void *out_ = nullptr;
    std::uint64_t size_ = 0;
};

const std::vector<std::int32_t> kPlain{QELEvent_Initial, QELEvent_BeginSection, QELEvent_Analyze,
                                       QELEvent_EndSection, QELEvent_Final};

TEST_F(DecodeCertTest, CertificatesAndCRLsLandInTheTargetDatabase)
{
    const Bytes ca = fixture("ca.der"), ee = fixture("ee.der"), crl = fixture("crl.der");
    struct Case {
        const char *name;
        Bytes input;
        std::int32_t format;
        std::uint32_t keys;
        std::vector<Bytes> written; // in the output
    };
    Bytes both = ca;
    both.insert(both.end(), ee.begin(), ee.end());
    const Case cases[] = {
        {"one certificate", ee, 10000, 1, {ee}},
        {"two certificates one after the other", both, 10000, 2, {ca, ee}},
        {"degenerate PKCS #7 with a CRL", fixture("degen.p7"), 10000, 2, {crl}},
        {"PEM PKCS #7", fixture("ca.p7.pem"), 10006, 1, {ca}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(qelKeyDBRelease(target_), 0);
        ASSERT_EQ(qelKeyDBNewInMemory(ctx, &target_), 0);
        Events run;
        ASSERT_EQ(decode(c.input, c.format, run), 0);
        EXPECT_EQ(targetKeys(), c.keys);
        for (const Bytes &der : c.written)
            EXPECT_TRUE(contains(output(), der));
        EXPECT_EQ(run.events, kPlain);
    }
    // The degenerate message's CRL went in beside the certificates, and the
    // certificates of the output are not mistaken for it.
    EXPECT_FALSE(contains(output(), ee));
}

TEST_F(DecodeCertTest, SignedMessageReportsItsSignature)
{
    Events run;
    ASSERT_EQ(decode(fixture("signed.p7"), 10000, run), 0);
    EXPECT_EQ(targetKeys(), 1u);
    EXPECT_TRUE(contains(output(), fixture("ee.der")));
    const std::vector<std::int32_t> expected{QELEvent_Initial, QELEvent_BeginSection, QELEvent_Analyze,
                                             QELEvent_Signature, QELEvent_EndSection, QELEvent_Final};
    EXPECT_EQ(run.events, expected);
    // Its signer is in no database the run searches.
    EXPECT_EQ(run.signatures, std::vector<std::string>{"none"});

    // With the signer's certificate in the search database the signature
    // is checked: good as OpenSSL made it, bad once its content changed.
    Events setup;
    ASSERT_EQ(decode(fixture("ee.der"), 10000, setup), 0);
    QELKeyDB *search = target_;
    ASSERT_EQ(qelKeyDBNewInMemory(ctx, &target_), 0);
    Bytes altered = fixture("signed.p7");
    const std::string text = "certificate test message";
    const auto at = std::search(altered.begin(), altered.end(), text.begin(), text.end());
    ASSERT_NE(at, altered.end());
    *at ^= 0x20;
    struct Case {
        const char *name;
        Bytes input;
        const char *verdict;
    };
    const Case cases[] = {{"as made", fixture("signed.p7"), "checked good"}, {"altered", altered, "checked bad"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Events checked;
        ASSERT_EQ(decode(c.input, 10000, checked, qelOptionTargetKeyDB(ctx, search)), 0);
        EXPECT_EQ(checked.events, expected);
        EXPECT_EQ(checked.signatures, std::vector<std::string>{c.verdict});
    }
    EXPECT_EQ(qelKeyDBRelease(search), 0);
}

TEST_F(DecodeCertTest, LockedEnvelopeKeyAsksForThePassphrase)
{
    // The end entity's key, from its PKCS #8 form, beside its certificate,
    // protected by a passphrase.
    QELKeyDB *certs = nullptr;
    Events setup;
    ASSERT_EQ(decode(fixture("ee.der"), 10000, setup), 0);
    certs = target_;
    ASSERT_EQ(qelKeyDBNewInMemory(ctx, &target_), 0);
    const Bytes p8 = fixture("ee.p8");
    QELKeyDB *keys = nullptr;
    ASSERT_EQ(qelImportKeys(ctx, &keys, qelOptionInputBuffer(ctx, p8.data(), p8.size()), qelOptionInputFormat(ctx, 10012),
                            qelOptionTargetKeyDB(ctx, certs), qelOptionLastOption(ctx)),
              0);
    QELKeyIter *iter = nullptr;
    QELKeyObject *key = nullptr;
    ASSERT_EQ(qelKeyIterNewOnDB(keys, &iter), 0);
    ASSERT_EQ(qelKeyIterNext(iter, 1, &key), 0);
    EXPECT_EQ(qelKeyIterFree(iter), 0);
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(qelKeyChangePassphraseLocal(keys, key, key, nullptr, 0, "right", 5, 0, 0, 0), 0);

    const Bytes env = fixture("env.p7");
    // Asked twice: a wrong answer, then the right one.
    Events run;
    run.passphrases = {"wrong", "right"};
    ASSERT_EQ(decode(env, 10000, run, qelOptionTargetKeyDB(ctx, keys)), 0);
    const std::vector<std::int32_t> expected{QELEvent_Initial,    QELEvent_BeginSection, QELEvent_Analyze,
                                             QELEvent_Passphrase, QELEvent_Passphrase,   QELEvent_EndSection,
                                             QELEvent_Final};
    EXPECT_EQ(run.events, expected);
    EXPECT_EQ(run.lockedCounts, (std::vector<std::uint32_t>{1, 1}));
    EXPECT_EQ(targetKeys(), 2u);
    EXPECT_TRUE(contains(output(), fixture("crl.der")));

    // The passphrase of the call opens it at once.
    Events given;
    EXPECT_EQ(qelKeyDBRelease(target_), 0);
    ASSERT_EQ(qelKeyDBNewInMemory(ctx, &target_), 0);
    ASSERT_EQ(decode(env, 10000, given, qelOptionTargetKeyDB(ctx, keys), qelOptionPassphrase(ctx, "right")), 0);
    EXPECT_EQ(std::count(given.events.begin(), given.events.end(), QELEvent_Passphrase), 0);
    EXPECT_EQ(targetKeys(), 2u);

    // A handler that answers without one ends the asking with the refusal.
    Events silent;
    EXPECT_EQ(decode(env, 10000, silent, qelOptionTargetKeyDB(ctx, keys)), QELError_BadPassphrase);
    const std::vector<std::int32_t> refused{QELEvent_Initial, QELEvent_BeginSection, QELEvent_Analyze,
                                            QELEvent_Passphrase, QELEvent_Error, QELEvent_Final};
    EXPECT_EQ(silent.events, refused);

    EXPECT_EQ(qelKeyDBRelease(keys), 0);
    EXPECT_EQ(qelKeyDBRelease(certs), 0);
}

} // namespace
