// Toolkit context: creation over given and default allocators, the lists it
// starts with, the status messages and the codec-status translation, and
// certificate objects decoded from OpenSSL-made DER.
#include "pki_test_util.h"

#include "qelPKIExtensionInternal.h"
#include "qelPKINameInternal.h"

using namespace pkitest;

TEST(PKIContext, CreationAndTheListsItStartsWith)
{
    QELPKIContext *ctx = nullptr;
    ASSERT_EQ(qelPKIContextNew(&ctx, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(ctx->allocator, &asn1DefaultAllocator);
    EXPECT_EQ(ctx->codec->allocator, &asn1DefaultAllocator);
    EXPECT_EQ(ctx->codec->reserved, 0u);
    // The DN list is the table in reverse; the understood list holds
    // nameConstraints, then basicConstraints.
    int n = 0;
    const QELDNAttribute *a = ctx->dnAttributes;
    EXPECT_STREQ(a->keyword, "unstructuredAddress");
    for (; a != nullptr; a = a->next, ++n)
        EXPECT_STREQ(a->keyword, qelDNAttributeTable[29 - n].keyword);
    EXPECT_EQ(n, 30);
    ASSERT_NE(ctx->understoodExtensions, nullptr);
    EXPECT_EQ(toHex(ctx->understoodExtensions->entry->oid, 3), "551d1e");
    EXPECT_EQ(toHex(ctx->understoodExtensions->next->entry->oid, 3), "551d13");
    EXPECT_EQ(ctx->understoodExtensions->next->next, nullptr);
    EXPECT_EQ(qelPKIContextFree(ctx), 0);

    asn1test::TestAllocator broken;
    broken.base.free = nullptr;
    ctx = reinterpret_cast<QELPKIContext *>(1);
    EXPECT_EQ(qelPKIContextNew(&ctx, &broken.base, nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(ctx, nullptr);
    EXPECT_EQ(qelPKIContextNew(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), -1);
}

TEST(PKIContext, EveryFailedAllocationDuringCreationLeavesNothing)
{
    for (long failAt = 0;; ++failAt) {
        asn1test::TestAllocator alloc;
        alloc.failAt = failAt;
        QELPKIContext *ctx = nullptr;
        const int32_t status = qelPKIContextNew(&ctx, &alloc.base, nullptr, nullptr, nullptr, nullptr);
        if (status == 0) {
            qelPKIContextFree(ctx);
            EXPECT_TRUE(alloc.live.empty());
            EXPECT_GT(failAt, 60);
            break;
        }
        EXPECT_EQ(status, -3);
        EXPECT_EQ(ctx, nullptr);
        EXPECT_TRUE(alloc.live.empty()) << "fail at " << failAt;
    }
}

TEST(PKIContext, MessagesAndTranslation)
{
    EXPECT_STREQ(qelPKIErrorMessage(-1), "invalid arguments");
    EXPECT_STREQ(qelPKIErrorMessage(-27), "one of notBefore or notAfter must be defined in privateKeyUsagePeriod");
    EXPECT_STREQ(qelPKIErrorMessage(-42), "certicicate policy does not match acceptable use");
    EXPECT_STREQ(qelPKIErrorMessage(-48), "inner and outer signature OIDs in cert do not match ");
    EXPECT_STREQ(qelPKIErrorMessage(-52), "v1 cert has version field present");
    EXPECT_EQ(qelPKIErrorMessage(0), nullptr);
    EXPECT_EQ(qelPKIErrorMessage(-53), nullptr);

    const int32_t table[][2] = {{0, 0},     {-1, -2},   {-2, -2},   {-3, -2},   {-4, -21}, {-5, -2},
                                {-6, -1},   {-7, -1},   {-8, -1},   {-9, -2},   {-13, -2}, {-16, -2},
                                {-17, -3},  {-18, -2},  {-19, -2},  {-20, -21}, {-50, -2}, {-60, -24},
                                {-61, -25}, {-70, -21}, {-99, -21}, {5, -21}};
    for (const auto &row : table)
        EXPECT_EQ(qelPKIErrorFromASN1(row[0]), row[1]) << row[0];
}

TEST(PKIContext, CertificateObjectsFromOpenSSL)
{
    Context ctx;
    for (const char *file : {"cert_rsa_v3_ca.der", "cert_rsa_v1.der", "cert_dsa_v3_gentime.der"}) {
        SCOPED_TRACE(file);
        const Bytes der = asn1test::fixture(file);
        QELPKICertificate *cert = nullptr;
        ASSERT_EQ(qelPKICertificateDecode(&cert, der.data(), der.size(), ctx), 0);
        EXPECT_EQ(cert->certificate, cert->owned);
        // The signed form keeps the to-be-signed octets as received.
        const ASN1_Any &tbs = cert->signedForm->toBeSigned;
        ASSERT_GT(tbs.length, 4u);
        EXPECT_EQ(0, std::memcmp(tbs.data, der.data() + (der[1] & 0x80 ? 2 + (der[1] & 0x7F) : 2), tbs.length));
        qelPKICertificateFree(cert, ctx);
    }
    QELPKICertificate *cert = reinterpret_cast<QELPKICertificate *>(1);
    const Bytes junk = hex("30 03 02 01 01");
    EXPECT_EQ(qelPKICertificateDecode(&cert, junk.data(), junk.size(), ctx), -2);
    EXPECT_EQ(cert, nullptr);
    EXPECT_EQ(qelPKICertificateDecode(&cert, junk.data(), 0, ctx), -1);
}
