// Key filters: construction, reference counting of combined filters and the
// four query writers, with values that need escaping.
#include "qelContextInternal.h"
#include "qelKeyFilterInternal.h"
#include "qelKeyIDInternal.h"
#include "qelMemoryInternal.h"
#include "qelTestEnv.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const auto *const gEnv = qeltest::addHomeEnvironment("qelkeyfilter", qeltest::HomeEnvironment::SDK::Up);

class KeyFilter : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(qelContextNew(QELSDKVersion, &context_), QELError_NoErr); }
    void TearDown() override { EXPECT_EQ(qelContextFree(context_), QELError_NoErr); }

    QELKeyFilter *data(std::int32_t property, const std::string &value, std::int32_t criterion)
    {
        QELKeyFilter *f = nullptr;
        EXPECT_EQ(qelKeyFilterNewDataProperty(context_, property, value.data(), value.size(), criterion, &f),
                  QELError_NoErr);
        return f;
    }
    QELKeyFilter *keyID(std::int32_t property, const std::string &hexBytes)
    {
        std::uint8_t bytes[8];
        for (std::size_t i = 0; i < hexBytes.size() / 2; ++i)
            bytes[i] = std::uint8_t(std::stoi(hexBytes.substr(2 * i, 2), nullptr, 16));
        QELKeyID id;
        EXPECT_EQ(qelKeyIDFromData(bytes, std::uint32_t(hexBytes.size() / 2), 1, &id), QELError_NoErr);
        QELKeyFilter *f = nullptr;
        EXPECT_EQ(qelKeyFilterNewDataProperty(context_, property, &id, sizeof id, QELMatchCriterion_Equal, &f),
                  QELError_NoErr);
        return f;
    }
    QELKeyFilter *number(std::int32_t property, std::int32_t value, std::int32_t criterion)
    {
        QELKeyFilter *f = nullptr;
        EXPECT_EQ(qelKeyFilterNewNumberProperty(context_, property, value, criterion, &f), QELError_NoErr);
        return f;
    }
    QELKeyFilter *boolean(std::int32_t property, std::uint8_t value)
    {
        QELKeyFilter *f = nullptr;
        EXPECT_EQ(qelKeyFilterNewBoolProperty(context_, property, value, &f), QELError_NoErr);
        return f;
    }
    QELKeyFilter *time(std::int32_t property, QELTime t, std::int32_t criterion)
    {
        QELKeyFilter *f = nullptr;
        EXPECT_EQ(qelKeyFilterNewTimeProperty(context_, property, t, criterion, &f), QELError_NoErr);
        return f;
    }

    // The text of a writer (empty on failure) and its status; releases f.
    std::string write(QELStatus (*writer)(QELKeyFilter *, char **), QELKeyFilter *f, QELStatus *status = nullptr)
    {
        char *text = reinterpret_cast<char *>(this);
        QELStatus s = writer(f, &text);
        if (status != nullptr)
            *status = s;
        std::string out;
        if (s == QELError_NoErr) {
            out = text;
            EXPECT_EQ(qelMemFree(text), QELError_NoErr);
        } else {
            EXPECT_EQ(text, nullptr);
        }
        EXPECT_EQ(qelKeyFilterRelease(f), QELError_NoErr);
        return out;
    }

    QELContext *context_ = nullptr;
};

TEST_F(KeyFilter, KindsFollowThePropertyRanges)
{
    struct Row {
        std::int32_t property;
        std::int32_t dataKind, numberKind, timeKind, boolKind;
    } rows[] = {
        {20, 50, 51, 52, 53}, {402, 50, 51, 52, 53}, {600, 62, 63, 64, 65},
        {1200, 54, 55, 56, 57}, {1600, 58, 59, 60, 61},
    };
    for (const Row &r : rows) {
        QELKeyFilter *f = data(r.property, "x", 1);
        EXPECT_EQ(f->kind, r.dataKind);
        EXPECT_EQ(qelKeyFilterRelease(f), QELError_NoErr);
        f = number(r.property, 1, 1);
        EXPECT_EQ(f->kind, r.numberKind);
        EXPECT_EQ(qelKeyFilterRelease(f), QELError_NoErr);
        f = time(r.property, 1, 1);
        EXPECT_EQ(f->kind, r.timeKind);
        EXPECT_EQ(qelKeyFilterRelease(f), QELError_NoErr);
        f = boolean(r.property, 1);
        EXPECT_EQ(f->kind, r.boolKind);
        EXPECT_EQ(f->criterion, QELMatchCriterion_Equal);
        EXPECT_EQ(qelKeyFilterRelease(f), QELError_NoErr);
    }
    QELKeyFilter *f = reinterpret_cast<QELKeyFilter *>(this);
    EXPECT_EQ(qelKeyFilterNewBoolProperty(nullptr, 100, 1, &f), QELError_BadParams);
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(qelKeyFilterNewBoolProperty(context_, 100, 1, nullptr), QELError_BadParams);
    EXPECT_EQ(qelKeyFilterNewDataProperty(context_, 1200, nullptr, 3, 1, &f), QELError_BadParams);
    EXPECT_EQ(qelKeyFilterRelease(nullptr), QELError_BadParams);
    EXPECT_EQ(qelKeyFilterSetOwnLevel(reinterpret_cast<QELKeyFilter *>(this), 1), QELError_BadParams);
}

TEST_F(KeyFilter, CombinersTakeOverTheirOperands)
{
    QELKeyFilter *a = boolean(QELProperty_IsSecret, 1), *b = boolean(QELProperty_IsRevoked, 0);
    ASSERT_EQ(qelKeyFilterAddRef(a), QELError_NoErr); // keep a alive to watch it
    QELKeyFilter *both = nullptr;
    ASSERT_EQ(qelKeyFilterAnd(a, b, &both), QELError_NoErr);
    EXPECT_EQ(a->refCount, 2);
    EXPECT_EQ(both->first.operand, a);
    EXPECT_EQ(both->second.operand, b);
    EXPECT_EQ(qelKeyFilterRelease(both), QELError_NoErr);
    EXPECT_EQ(a->refCount, 1);

    // An invalid second operand: -12000 and the valid one is given up.
    ASSERT_EQ(qelKeyFilterAddRef(a), QELError_NoErr);
    QELKeyFilter *out = reinterpret_cast<QELKeyFilter *>(this);
    EXPECT_EQ(qelKeyFilterOr(a, reinterpret_cast<QELKeyFilter *>(this), &out), QELError_BadParams);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(a->refCount, 1);
    ASSERT_EQ(qelKeyFilterAddRef(a), QELError_NoErr);
    EXPECT_EQ(qelKeyFilterNot(a, nullptr), QELError_BadParams);
    EXPECT_EQ(a->refCount, 1);
    EXPECT_EQ(qelKeyFilterRelease(a), QELError_NoErr);
}

TEST_F(KeyFilter, KeyServerLDAPText)
{
    struct Case {
        const char *name;
        QELKeyFilter *filter;
        const char *text;
        QELStatus status;
    } cases[] = {
        {"revoked", boolean(QELProperty_IsRevoked, 1), "(&(qelRevoked=1)(qelDisabled=0))", QELError_NoErr},
        {"key ID 8", keyID(QELProperty_KeyID, "0123456789ABCDEF"), "(&(qelCertID=0123456789ABCDEF)(qelDisabled=0))",
         QELError_NoErr},
        {"key ID 4", keyID(QELProperty_KeyID, "89abcdef"), "(&(qelKeyID=89ABCDEF)(qelDisabled=0))", QELError_NoErr},
        {"algorithm", number(QELProperty_Algorithm, 17, 4), "(&(qelKeyType=DSS/DH)(qelDisabled=0))", QELError_NoErr},
        {"algorithm 0", number(QELProperty_Algorithm, 0, 1), "", QELError_BadFilterCriterion},
        {"bits", number(QELProperty_Bits, 2048, QELMatchCriterion_GreaterOrEqual),
         "(&(|(qelKeySize>=02048)(qelKeySize=02048))(qelDisabled=0))", QELError_NoErr},
        {"bits contains", number(QELProperty_Bits, 2048, 4), "", QELError_BadFilterCriterion},
        {"creation", time(QELProperty_Creation, 86400 * 365, QELMatchCriterion_LessOrEqual),
         "(&(|(qelKeyCreateTime<=19710101000000Z)(qelKeyCreateTime=19710101000000Z))(qelDisabled=0))",
         QELError_NoErr},
        {"creation 0", time(QELProperty_Creation, 0, 1), "(&(qelDisabled=0))", QELError_NoErr},
        {"name", data(QELProperty_UserIDName, "Bob (work) *", QELMatchCriterion_Contains),
         "(&(qelUserID=*Bob \\28work\\29 \\2a*)(qelDisabled=0))", QELError_NoErr},
        {"name wildcard", data(QELProperty_UserIDName, "*", QELMatchCriterion_Contains),
         "(&(qelUserID=*)(qelDisabled=0))", QELError_NoErr},
        {"email", data(QELProperty_UserIDEmail, "a\\b@x", QELMatchCriterion_Equal),
         "(&(qelUserID=*<a\\5cb@x>*)(qelDisabled=0))", QELError_NoErr},
        {"user-ID number", number(QELProperty_UserIDValidity, 1, 1), "", QELError_BadFilterType},
        {"fingerprint", data(QELProperty_Fingerprint, "abc", 1), "(&(qelDisabled=0))", QELError_NoErr},
    };
    for (const Case &c : cases) {
        QELStatus s = 0;
        EXPECT_EQ(write(qelKeyFilterToLDAPQuery, c.filter, &s), c.text) << c.name;
        EXPECT_EQ(s, c.status) << c.name;
    }
    // A tree that tests the disabled state is not wrapped.
    QELKeyFilter *either = nullptr, *neither = nullptr;
    ASSERT_EQ(qelKeyFilterOr(boolean(QELProperty_IsRevoked, 1), boolean(QELProperty_IsDisabled, 1), &either),
              QELError_NoErr);
    ASSERT_EQ(qelKeyFilterNot(either, &neither), QELError_NoErr);
    EXPECT_EQ(write(qelKeyFilterToLDAPQuery, neither), "(!(|(qelRevoked=1)(qelDisabled=1)))");
}

TEST_F(KeyFilter, DirectoryTextGrowsAndEscapes)
{
    EXPECT_EQ(write(qelKeyFilterToDirectoryQuery, data(QELProperty_UserIDName, "J*n (x)", QELMatchCriterion_Equal)),
              "(cn=J\\2an \\28x\\29)");
    EXPECT_EQ(write(qelKeyFilterToDirectoryQuery, data(QELProperty_UserIDName, "", QELMatchCriterion_Contains)),
              "(cn=*)");
    EXPECT_EQ(write(qelKeyFilterToDirectoryQuery, data(QELProperty_UserIDEmail, "a@b", 1)), "");
    std::string nul("a\0b", 3);
    EXPECT_EQ(write(qelKeyFilterToDirectoryQuery, data(QELProperty_UserIDName, nul, 1)), "(cn=a\\00b)");
    QELStatus s = 0;
    EXPECT_EQ(write(qelKeyFilterToDirectoryQuery, boolean(QELProperty_IsSecret, 1), &s), "");
    EXPECT_EQ(s, QELError_FilterNotSupportedBySchema);
    EXPECT_EQ(write(qelKeyFilterToDirectoryQuery, number(QELProperty_SigAlgorithm, 1, 1), &s), "");
    EXPECT_EQ(s, QELError_BadFilterType);

    // Values and trees far beyond a fixed scratch area.
    const std::string longName(3000, '(');
    QELKeyFilter *tree = data(QELProperty_UserIDName, longName, QELMatchCriterion_Contains);
    for (int i = 0; i < 40; ++i) {
        QELKeyFilter *next = nullptr;
        ASSERT_EQ(qelKeyFilterOr(tree, data(QELProperty_UserIDName, std::string(100, 'x'), 1), &next),
                  QELError_NoErr);
        tree = next;
    }
    const std::string text = write(qelKeyFilterToDirectoryQuery, tree);
    EXPECT_EQ(text.size(), 40 * (2 + 1) + (6 + 3 * 3000 + 1) + 40 * (4 + 100 + 1));
    EXPECT_EQ(text.find("(|(|"), 0u);
}

TEST_F(KeyFilter, HTTPAndHexQueries)
{
    EXPECT_EQ(write(qelKeyFilterToHTTPQuery, keyID(QELProperty_KeyID, "0123456789ABCDEF")),
              "exact=off&search=0x89ABCDEF");
    EXPECT_EQ(write(qelKeyFilterToHTTPQuery, data(QELProperty_UserIDName, "Ann Lee <a+l@x.org>", 4)),
              "exact=off&search=Ann+Lee+%3Ca%2Bl%40x%2Eorg%3E");
    QELStatus s = 0;
    EXPECT_EQ(write(qelKeyFilterToHTTPQuery, data(QELProperty_UserIDName, "Ann", 1), &s), "");
    EXPECT_EQ(s, QELError_FilterNotSupportedByHTTP);
    EXPECT_EQ(write(qelKeyFilterToHTTPQuery, time(QELProperty_Creation, 5, 1), &s), "");
    EXPECT_EQ(s, QELError_BadFilterType);
    // Key-ID data shorter than a key ID is refused without reading past it.
    EXPECT_EQ(write(qelKeyFilterToHTTPQuery, data(QELProperty_KeyID, "\x01\x08", 1), &s), "");
    EXPECT_EQ(s, QELError_BadParams);
    EXPECT_EQ(write(qelKeyFilterToLDAPQuery, data(QELProperty_KeyID, "\x01\x08", 1), &s), "");
    EXPECT_EQ(s, QELError_BadParams);

    EXPECT_EQ(write(qelKeyFilterToHexQuery, data(QELProperty_Fingerprint, "\x01\xab\xff", 4)), "md5=01ABFF");
    EXPECT_EQ(write(qelKeyFilterToHexQuery, data(QELProperty_SPKIHash, "\x10", 1)), "cnk=10");
    EXPECT_EQ(write(qelKeyFilterToHexQuery, data(QELProperty_KeyID, "\x10", 1), &s), "");
    EXPECT_EQ(s, QELError_FilterNotExpressible);
}

} // namespace
