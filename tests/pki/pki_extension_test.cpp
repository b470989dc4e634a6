// Extension codecs against OpenSSL. Certificates made at test time with
// `openssl req -x509 -addext` carry every certificate extension the toolkit
// knows; the CRL and CRL-entry extensions come from OpenSSL's own encoders.
// Each is decoded here and its fields compared with what OpenSSL was asked
// for, then encoded again here: the DER must be OpenSSL's octet for octet,
// and OpenSSL must print ours as it prints its own.
#include "pki_test_util.h"

#include <functional>
#include <map>

#include "qelPKIConvertInternal.h"
#include "qelPKIExtensionInternal.h"
#include "qelPKIGeneralNameInternal.h"
#include "qelPKINameInternal.h"
#include "qelPKIPolicyInternal.h"

#if QEL_HAVE_OPENSSL
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>
#endif

using namespace pkitest;

namespace {

const char kConfig[] = R"([req]
distinguished_name = dn
[dn]
[pol]
policyIdentifier = 1.2.3.4
CPS.1 = "http://cps.example/"
userNotice.1 = @notice
[notice]
explicitText = "Notice text"
organization = "Org Name"
noticeNumbers = 1, 2, 300
[cdp]
fullname = URI:http://crl.example/a.crl
reasons = keyCompromise, superseded, certificateHold
CRLissuer = dirName:issuer_dn
[issuer_dn]
CN = CRL Issuer
O = Org
)";

const char *const kExtensions[] = {
    "keyUsage=critical,digitalSignature,keyEncipherment,decipherOnly",
    "basicConstraints=critical,CA:TRUE,pathlen:3",
    "subjectAltName=DNS:a.example,email:x@a.example,URI:http://a.example/,IP:192.0.2.1,IP:2001:db8::1,RID:1.2.3.4,"
    "dirName:issuer_dn",
    "issuerAltName=DNS:issuer.example",
    "authorityKeyIdentifier=keyid:always,issuer:always",
    "extendedKeyUsage=serverAuth,clientAuth,codeSigning,emailProtection,timeStamping,OCSPSigning",
    "certificatePolicies=@pol,1.5.6.7",
    "policyMappings=1.2.3.4:1.5.6.7,1.2.3.5:1.5.6.8",
    "policyConstraints=requireExplicitPolicy:1,inhibitPolicyMapping:2",
    "nameConstraints=critical,permitted;DNS:.example.com,permitted;IP:192.0.2.0/255.255.255.0,excluded;email:bad.example",
    "crlDistributionPoints=cdp,URI:http://crl.example/b.crl",
    "authorityInfoAccess=OCSP;URI:http://ocsp.example/,caIssuers;URI:http://ca.example/ca.crt",
    "issuingDistributionPoint=critical,fullname:URI:http://crl.example/idp.crl,onlysomereasons:keyCompromise,"
    "onlyuser:TRUE,indirectCRL:TRUE",
};

// A certificate OpenSSL makes with the given extensions, as DER.
Bytes opensslCertificate(const std::vector<std::string> &extensions)
{
    qeltest::TempDir dir("pkiext");
    qeltest::writeFile(dir / "cfg", kConfig);
    std::string cmd = "cd " + dir.path() +
                      " && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out k.pem 2>/dev/null"
                      " && openssl req -x509 -new -key k.pem -subj /CN=ext -days 2 -config cfg -outform DER -out c.der";
    for (const std::string &e : extensions)
        cmd += " -addext '" + e + "'";
    int status = 0;
    run(cmd + " 2>&1", &status);
    EXPECT_EQ(status, 0) << cmd;
    return fileBytes(dir / "c.der");
}

// One DER element (short lengths only).
Bytes tlv(std::uint8_t tag, const Bytes &content)
{
    Bytes out{tag, static_cast<std::uint8_t>(content.size())};
    out.insert(out.end(), content.begin(), content.end());
    return out;
}
Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string bytesText(const void *p, std::uint64_t n)
{
    return std::string(static_cast<const char *>(p), static_cast<std::size_t>(n));
}

const QELX509ExtensionCodec *rowFor(const ASN1_Extension *e)
{
    for (const QELX509ExtensionCodec *row = qelX509ExtensionCodecs; row->oid != nullptr; ++row)
        if (toHex(row->oid, row->oidLength) == toHex(e->extnID.data, e->extnID.length))
            return row;
    return nullptr;
}

#if QEL_HAVE_OPENSSL
// OpenSSL's printout of one extension value.
std::string opensslPrint(const ASN1_Extension &e)
{
    const unsigned char *p = e.extnID.data;
    ASN1_OBJECT *obj = nullptr;
    Bytes oidDer = {0x06, static_cast<std::uint8_t>(e.extnID.length)};
    oidDer.insert(oidDer.end(), p, p + e.extnID.length);
    const unsigned char *q = oidDer.data();
    obj = d2i_ASN1_OBJECT(nullptr, &q, static_cast<long>(oidDer.size()));
    ASN1_OCTET_STRING *value = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(value, e.extnValue.data, static_cast<int>(e.extnValue.length));
    X509_EXTENSION *ext = X509_EXTENSION_create_by_OBJ(nullptr, obj, e.critical != nullptr, value);
    BIO *bio = BIO_new(BIO_s_mem());
    const int ok = X509V3_EXT_print(bio, ext, 0, 0);
    char *data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::string s = ok == 1 ? std::string(data, static_cast<std::size_t>(n)) : "<unprintable>";
    BIO_free(bio);
    X509_EXTENSION_free(ext);
    ASN1_OCTET_STRING_free(value);
    ASN1_OBJECT_free(obj);
    return s;
}
#endif

// Releases a decoded record of any row.
void releaseDecoded(const std::string &oid, void *record, QELPKIContext *ctx)
{
    if (oid == "551d11" || oid == "551d12")
        qelPKIGeneralNamesFree(static_cast<QELPKIGeneralNames *>(record), ctx);
    else if (oid == "551d23")
        qelPKIAuthorityKeyIdentifierFree(static_cast<QELPKIAuthorityKeyIdentifier *>(record), ctx);
    else if (oid == "551d1e")
        qelPKINameConstraintsFree(ctx, static_cast<QELPKINameConstraints *>(record));
    else if (oid == "551d1f")
        qelPKICRLDistributionPointsFree(static_cast<QELPKICRLDistributionPoints *>(record), ctx);
    else if (oid == "2b06010505070101")
        qelPKIAuthorityInfoAccessFree(ctx, static_cast<QELPKIAuthorityInfoAccess *>(record));
    else if (oid == "551d1c")
        qelPKIIssuingDistributionPointFree(static_cast<QELPKIIssuingDistributionPoint *>(record), ctx);
    else if (oid == "551d20")
        qelPKICertificatePoliciesFree(static_cast<QELPKICertificatePolicies *>(record), ctx);
    else if (oid == "551d21")
        qelPKIPolicyMappingsFree(static_cast<QELPKIPolicyMappings *>(record), ctx);
    else if (oid == "551d09")
        qelPKISubjectDirectoryAttributesFree(static_cast<QELPKISubjectDirectoryAttributes *>(record), ctx);
    else if (oid == "551d0e")
        asn1Free_OctetString(ctx->codec, static_cast<ASN1_OctetString *>(record));
    else if (oid == "551d25") {
        ctx->allocator->free(ctx->allocator, static_cast<QELPKIExtKeyUsage *>(record)->purposes);
        ctx->allocator->free(ctx->allocator, record);
    } else if (oid != "551d17" && oid != "551d18")
        ctx->allocator->free(ctx->allocator, record);
}

// Decodes one extension, hands the record to check, encodes it again with
// the extension's criticality and compares the octets with the input.
void roundTrip(ASN1_Extension *e, QELPKIContext *ctx, const std::function<void(void *)> &check,
               bool sameOctets = true)
{
    const std::string oid = toHex(e->extnID.data, e->extnID.length);
    SCOPED_TRACE(oid);
    const QELX509ExtensionCodec *row = rowFor(e);
    ASSERT_NE(row, nullptr);
    void *record = nullptr;
    ASSERT_EQ(row->decode(&record, e, ctx), 0);
    check(record);
    ASN1_Extensions *list = nullptr;
    ASSERT_EQ(qelPKIExtensionsNew(&list, ctx), 0);
    const void *value = record;
    if (oid == "551d15")
        value = reinterpret_cast<const void *>(static_cast<std::intptr_t>(*static_cast<int32_t *>(record)));
    const int32_t critical = e->critical != nullptr && e->critical->value != 0;
    ASSERT_EQ(row->encode(list, value, critical, ctx), 0);
    ASSERT_EQ(list->count, 1);
    const ASN1_Extension *ours = list->elements[0];
    EXPECT_EQ(ours->critical != nullptr, critical != 0);
    if (sameOctets) {
        EXPECT_EQ(toHex(ours->extnValue.data, ours->extnValue.length), toHex(e->extnValue.data, e->extnValue.length));
    }
#if QEL_HAVE_OPENSSL
    EXPECT_EQ(opensslPrint(*ours), opensslPrint(*e));
#endif
    qelPKIExtensionsFree(list, ctx);
    releaseDecoded(oid, record, ctx);
}

std::string generalName(const QELPKIGeneralName *g, QELPKIContext *ctx)
{
    if (g->type == 3) {
        char *t = nullptr;
        EXPECT_EQ(qelPKINameToText(&t, static_cast<ASN1_Name *>(g->data), ctx), 0);
        std::string s = "3:" + std::string(t ? t : "");
        ctx->allocator->free(ctx->allocator, t);
        return s;
    }
    if (g->type == 5 || g->type == 6)
        return std::to_string(g->type) + ":" + toHex(static_cast<std::uint8_t *>(g->data), g->length);
    return std::to_string(g->type) + ":" + bytesText(g->data, g->length);
}

std::string generalNames(const QELPKIGeneralNames *names, QELPKIContext *ctx)
{
    std::string s;
    for (int32_t i = 0; names != nullptr && i < names->count; ++i)
        s += (i ? " " : "") + generalName(names->items[i], ctx);
    return s;
}

} // namespace

TEST(PKIExtension, OpenSSLCertificateExtensionsDecodeAndReencodeIdentically)
{
    if (!havePeers())
        GTEST_SKIP() << "no OpenSSL";
    Context ctx;
    const Bytes der = opensslCertificate({std::begin(kExtensions), std::end(kExtensions)});
    QELPKICertificate *cert = nullptr;
    ASSERT_EQ(qelPKICertificateDecode(&cert, der.data(), der.size(), ctx), 0);
    ASN1_Extensions *exts = cert->certificate->tbsCertificate.extensions;
    ASSERT_NE(exts, nullptr);
    std::map<std::string, ASN1_Extension *> byOid;
    for (std::int64_t i = 0; i < exts->count; ++i)
        byOid[toHex(exts->elements[i]->extnID.data, exts->elements[i]->extnID.length)] = exts->elements[i];
    ASSERT_EQ(byOid.size(), 14u); // the thirteen asked for and the subject key identifier

    roundTrip(byOid["551d0f"], ctx, [](void *r) { EXPECT_EQ(static_cast<QELPKIKeyUsage *>(r)->bits, 0x105u); });
    roundTrip(byOid["551d13"], ctx, [](void *r) {
        EXPECT_EQ(static_cast<QELPKIBasicConstraints *>(r)->cA, 1);
        EXPECT_EQ(static_cast<QELPKIBasicConstraints *>(r)->pathLenConstraint, 3);
    });
    roundTrip(byOid["551d11"], ctx, [&](void *r) {
        EXPECT_EQ(generalNames(static_cast<QELPKIGeneralNames *>(r), ctx),
                  "2:a.example 1:x@a.example 4:http://a.example/ 5:c0000201 5:20010db8000000000000000000000001 "
                  "6:2a0304 3:O=#0c034f7267,CN=#0c0a43524c20497373756572");
    });
    roundTrip(byOid["551d12"], ctx, [&](void *r) {
        EXPECT_EQ(generalNames(static_cast<QELPKIGeneralNames *>(r), ctx), "2:issuer.example");
    });
    roundTrip(byOid["551d23"], ctx, [&](void *r) {
        auto *aki = static_cast<QELPKIAuthorityKeyIdentifier *>(r);
        const ASN1_Extension *ski = byOid["551d0e"];
        EXPECT_EQ("0414" + toHex(aki->keyIdentifier, aki->keyIdentifierLength),
                  toHex(ski->extnValue.data, ski->extnValue.length));
        EXPECT_EQ(generalNames(aki->authorityCertIssuer, ctx), "3:CN=#0c03657874");
        EXPECT_EQ(toHex(aki->authorityCertSerialNumber, aki->serialNumberLength),
                  toHex(cert->certificate->tbsCertificate.serialNumber.data,
                        cert->certificate->tbsCertificate.serialNumber.length));
    });
    roundTrip(byOid["551d0e"], ctx, [](void *r) { EXPECT_EQ(static_cast<ASN1_OctetString *>(r)->length, 20u); });
    // OCSPSigning has no code and reads as 0, so that one cannot be written
    // back: the other purposes are, in order.
    {
        void *record = nullptr;
        ASSERT_EQ(qelPKIDecodeExtKeyUsage(&record, byOid["551d25"], ctx), 0);
        auto *eku = static_cast<QELPKIExtKeyUsage *>(record);
        ASSERT_EQ(eku->count, 6);
        EXPECT_EQ(std::vector<int32_t>(eku->purposes, eku->purposes + 6), (std::vector<int32_t>{1, 2, 3, 4, 5, 0}));
        releaseDecoded("551d25", record, ctx);
    }
    roundTrip(byOid["551d20"], ctx, [&](void *r) {
        auto *p = static_cast<QELPKICertificatePolicies *>(r);
        ASSERT_EQ(p->count, 2);
        EXPECT_EQ(toHex(p->items[0]->policyIdentifier, p->items[0]->policyIdentifierLength), "2a0304");
        ASSERT_EQ(p->items[0]->qualifierCount, 2);
        EXPECT_EQ(p->items[0]->qualifiers[0]->kind, 0);
        EXPECT_STREQ(static_cast<char *>(p->items[0]->qualifiers[0]->value), "http://cps.example/");
        ASSERT_EQ(p->items[0]->qualifiers[1]->kind, 1);
        auto *notice = static_cast<QELPKIUserNotice *>(p->items[0]->qualifiers[1]->value);
        EXPECT_STREQ(notice->explicitText, "Notice text");
        ASSERT_NE(notice->noticeRef, nullptr);
        EXPECT_STREQ(notice->noticeRef->organization, "Org Name");
        ASSERT_EQ(notice->noticeRef->numberCount, 3);
        EXPECT_EQ(*notice->noticeRef->noticeNumbers[2], 300);
        EXPECT_EQ(p->items[1]->qualifierCount, 0);
        EXPECT_EQ(p->items[1]->qualifiers, nullptr);
    });
    roundTrip(byOid["551d21"], ctx, [](void *r) {
        auto *m = static_cast<QELPKIPolicyMappings *>(r);
        ASSERT_EQ(m->count, 2);
        EXPECT_EQ(toHex(m->items[1]->issuerDomainPolicy, m->items[1]->issuerDomainPolicyLength), "2a0305");
        EXPECT_EQ(toHex(m->items[1]->subjectDomainPolicy, m->items[1]->subjectDomainPolicyLength), "2d0608");
    });
    roundTrip(byOid["551d24"], ctx, [](void *r) {
        EXPECT_EQ(static_cast<QELPKIPolicyConstraints *>(r)->requireExplicitPolicy, 1);
        EXPECT_EQ(static_cast<QELPKIPolicyConstraints *>(r)->inhibitPolicyMapping, 2);
    });
    roundTrip(byOid["551d1e"], ctx, [&](void *r) {
        auto *nc = static_cast<QELPKINameConstraints *>(r);
        ASSERT_NE(nc->permittedSubtrees, nullptr);
        ASSERT_EQ(nc->permittedSubtrees->count, 2);
        EXPECT_EQ(generalName(nc->permittedSubtrees->bases[0], ctx), "2:.example.com");
        EXPECT_EQ(generalName(nc->permittedSubtrees->bases[1], ctx), "5:c0000200ffffff00");
        ASSERT_NE(nc->excludedSubtrees, nullptr);
        EXPECT_EQ(generalName(nc->excludedSubtrees->bases[0], ctx), "1:bad.example");
    });
    roundTrip(byOid["551d1f"], ctx, [&](void *r) {
        auto *c = static_cast<QELPKICRLDistributionPoints *>(r);
        ASSERT_EQ(c->count, 2);
        ASSERT_NE(c->items[0]->distributionPoint, nullptr);
        EXPECT_EQ(c->items[0]->distributionPoint->kind, 0);
        EXPECT_EQ(generalNames(static_cast<QELPKIGeneralNames *>(c->items[0]->distributionPoint->value), ctx),
                  "4:http://crl.example/a.crl");
        EXPECT_EQ(c->items[0]->reasons, 0x20 | 0x04 | 0x01);
        EXPECT_EQ(generalNames(c->items[0]->cRLIssuer, ctx), "3:O=#0c034f7267,CN=#0c0a43524c20497373756572");
        EXPECT_EQ(c->items[1]->reasons, 0);
        EXPECT_EQ(c->items[1]->cRLIssuer, nullptr);
    });
    roundTrip(byOid["2b06010505070101"], ctx, [&](void *r) {
        auto *a = static_cast<QELPKIAuthorityInfoAccess *>(r);
        ASSERT_EQ(a->count, 2);
        EXPECT_EQ(toHex(a->items[0]->accessMethod, a->items[0]->accessMethodLength), "2b06010505073001");
        EXPECT_EQ(generalName(a->items[0]->accessLocation, ctx), "4:http://ocsp.example/");
        EXPECT_EQ(toHex(a->items[1]->accessMethod, a->items[1]->accessMethodLength), "2b06010505073002");
    });
    roundTrip(byOid["551d1c"], ctx, [&](void *r) {
        auto *idp = static_cast<QELPKIIssuingDistributionPoint *>(r);
        EXPECT_EQ(idp->onlyContainsUserCerts, 1);
        EXPECT_EQ(idp->onlyContainsCACerts, 0);
        EXPECT_EQ(idp->indirectCRL, 1);
        EXPECT_EQ(idp->onlySomeReasons, 0x20);
        ASSERT_NE(idp->distributionPoint, nullptr);
        EXPECT_EQ(generalNames(static_cast<QELPKIGeneralNames *>(idp->distributionPoint->value), ctx),
                  "4:http://crl.example/idp.crl");
    });

    // Decoding by OID finds the same and reports the criticality.
    void *record = nullptr;
    int32_t critical = -1;
    const std::uint8_t ku[] = {0x55, 0x1D, 0x0F};
    ASSERT_EQ(qelPKIExtensionDecode(&record, &critical, ku, 3, exts, ctx), 0);
    EXPECT_EQ(critical, 1);
    ctx.get()->allocator->free(ctx.get()->allocator, record);
    const std::uint8_t certIssuer[] = {0x55, 0x1D, 0x1D};
    EXPECT_EQ(qelPKIExtensionDecode(&record, &critical, certIssuer, 3, exts, ctx), -22);
    const std::uint8_t pkup[] = {0x55, 0x1D, 0x10};
    EXPECT_EQ(qelPKIExtensionDecode(&record, &critical, pkup, 3, exts, ctx), -11);
    qelPKICertificateFree(cert, ctx);
}

TEST(PKIExtension, OpenSSLCRLExtensionsDecodeAndReencodeIdentically)
{
#if QEL_HAVE_OPENSSL
    Context ctx;
    auto fromOpenSSL = [&](int nid, void *value, int critical) {
        X509_EXTENSION *x = X509V3_EXT_i2d(nid, critical, value);
        EXPECT_NE(x, nullptr);
        const ASN1_OBJECT *obj = X509_EXTENSION_get_object(x);
        const ASN1_OCTET_STRING *v = X509_EXTENSION_get_data(x);
        ASN1_Extension *e = asn1New_Extension(ctx.codec());
        unsigned char *oidDer = nullptr;
        const int n = i2d_ASN1_OBJECT(obj, &oidDer);
        EXPECT_EQ(asn1SetOctetString(ctx.codec(), &e->extnID, oidDer + 2, static_cast<std::uint64_t>(n - 2)), 0);
        EXPECT_EQ(asn1SetOctetString(ctx.codec(), &e->extnValue, v->data, static_cast<std::uint64_t>(v->length)), 0);
        if (critical) {
            e->critical = asn1New_Boolean(ctx.codec());
            EXPECT_EQ(asn1SetBoolean(ctx.codec(), e->critical, 1), 0);
        }
        OPENSSL_free(oidDer);
        X509_EXTENSION_free(x);
        return e;
    };
    ASN1_INTEGER *number = ASN1_INTEGER_new();
    ASN1_INTEGER_set(number, 4660);
    ASN1_Extension *e = fromOpenSSL(NID_crl_number, number, 0);
    roundTrip(e, ctx, [](void *r) { EXPECT_EQ(*static_cast<int32_t *>(r), 4660); });
    asn1Free_Extension(ctx.codec(), e);
    ASN1_INTEGER_set(number, 200);
    e = fromOpenSSL(NID_delta_crl, number, 1);
    roundTrip(e, ctx, [](void *r) { EXPECT_EQ(*static_cast<int32_t *>(r), 200); });
    asn1Free_Extension(ctx.codec(), e);
    ASN1_INTEGER_free(number);

    // The reason code is an ENUMERATED, written as OpenSSL writes it.
    for (long reason : {1L, 6L, 0L}) {
        ASN1_ENUMERATED *en = ASN1_ENUMERATED_new();
        ASN1_ENUMERATED_set(en, reason);
        e = fromOpenSSL(NID_crl_reason, en, 0);
        EXPECT_EQ(e->extnValue.data[0], 0x0A);
        if (reason != 0) // a value of 0 cannot travel in the pointer-sized argument of the table's encoder
            roundTrip(e, ctx, [&](void *r) { EXPECT_EQ(*static_cast<int32_t *>(r), reason); });
        asn1Free_Extension(ctx.codec(), e);
        ASN1_ENUMERATED_free(en);
    }

    // Hold instructions under 1.2.840.10040.2, as OpenSSL writes them.
    const std::pair<int, std::intptr_t> holds[] = {{NID_hold_instruction_none, 0},
                                                   {NID_hold_instruction_call_issuer, 1},
                                                   {NID_hold_instruction_reject, 2}};
    for (const auto &[nid, code] : holds) {
        e = fromOpenSSL(NID_hold_instruction_code, OBJ_nid2obj(nid), 0);
        void *result = reinterpret_cast<void *>(99);
        ASSERT_EQ(qelPKIDecodeHoldInstructionCode(&result, e, ctx), 0);
        EXPECT_EQ(reinterpret_cast<std::intptr_t>(result), code);
        asn1Free_Extension(ctx.codec(), e);
    }

    ASN1_GENERALIZEDTIME *when = ASN1_GENERALIZEDTIME_new();
    ASN1_GENERALIZEDTIME_set_string(when, "20240229120000Z");
    e = fromOpenSSL(NID_invalidity_date, when, 0);
    {
        void *result = nullptr;
        ASSERT_EQ(qelPKIDecodeInvalidityDate(&result, e, ctx), 0);
        EXPECT_EQ(reinterpret_cast<std::intptr_t>(result), 1709208000);
        ASN1_Extensions *list = nullptr;
        ASSERT_EQ(qelPKIExtensionsNew(&list, ctx), 0);
        ASSERT_EQ(qelPKIEncodeInvalidityDate(list, result, -1, ctx), 0);
        EXPECT_EQ(toHex(list->elements[0]->extnValue.data, list->elements[0]->extnValue.length),
                  toHex(e->extnValue.data, e->extnValue.length));
        qelPKIExtensionsFree(list, ctx);
    }
    asn1Free_Extension(ctx.codec(), e);

    PKEY_USAGE_PERIOD *period = PKEY_USAGE_PERIOD_new();
    period->notBefore = ASN1_GENERALIZEDTIME_new();
    ASN1_GENERALIZEDTIME_set_string(period->notBefore, "20500101000000Z");
    period->notAfter = when;
    e = fromOpenSSL(NID_private_key_usage_period, period, 0);
    roundTrip(e, ctx, [](void *r) {
        EXPECT_EQ(static_cast<QELPKIPrivateKeyUsagePeriod *>(r)->notBefore, 2524608000);
        EXPECT_EQ(static_cast<QELPKIPrivateKeyUsagePeriod *>(r)->notAfter, 1709208000);
    });
    asn1Free_Extension(ctx.codec(), e);
    PKEY_USAGE_PERIOD_free(period);
#else
    GTEST_SKIP() << "no libcrypto";
#endif
}

TEST(PKIExtension, EncodersAndTheirEdges)
{
    Context ctx;
    ASN1_Extensions *list = nullptr;
    ASSERT_EQ(qelPKIExtensionsNew(&list, ctx), 0);
    auto last = [&] { return list->elements[list->count - 1]; };
    auto lastValue = [&] { return toHex(last()->extnValue.data, last()->extnValue.length); };

    // Named-bit BIT STRINGs in their minimal DER form.
    const std::pair<std::uint32_t, const char *> usages[] = {
        {0x05, "030205a0"},     {0, "030100"},           {0x80000000, "030500000000" "01"},
        {0x01, "03020780"},     {0x100, "0303070080"},   {0x20, "03020204"},
    };
    for (const auto &[bits, hexValue] : usages) {
        QELPKIKeyUsage ku{bits};
        ASSERT_EQ(qelPKIEncodeKeyUsage(list, &ku, -1, ctx), 0);
        EXPECT_EQ(lastValue(), hexValue) << bits;
        EXPECT_NE(last()->critical, nullptr);
        void *r = nullptr;
        ASSERT_EQ(qelPKIDecodeKeyUsage(&r, last(), ctx), 0);
        EXPECT_EQ(static_cast<QELPKIKeyUsage *>(r)->bits, bits);
        ctx.get()->allocator->free(ctx.get()->allocator, r);
    }
    // Reason flags likewise.
    QELPKIGeneralName uri{const_cast<char *>("u"), 1, 4};
    QELPKIGeneralName *items[] = {&uri};
    QELPKIGeneralNames names{items, 1};
    QELPKIDistributionPointName dpn{0, &names};
    for (const auto &[reasons, hexValue] : std::vector<std::pair<int32_t, const char *>>{
             {0x20, "30 0d 30 0b a0 05 a0 03 86 01 75 81 02 06 40"},
             {0x40, "30 0d 30 0b a0 05 a0 03 86 01 75 81 02 07 80"},
             {0x7f, "30 0d 30 0b a0 05 a0 03 86 01 75 81 02 01 fe"},
             {0x01, "30 0d 30 0b a0 05 a0 03 86 01 75 81 02 01 02"}}) {
        QELPKIDistributionPoint point{&dpn, reasons, nullptr};
        QELPKIDistributionPoint *pts[] = {&point};
        QELPKICRLDistributionPoints cdp{1, pts};
        ASSERT_EQ(qelPKIEncodeCRLDistributionPoints(list, &cdp, 0, ctx), 0);
        EXPECT_EQ(lastValue(), toHex(hex(hexValue)));
        void *r = nullptr;
        ASSERT_EQ(qelPKIDecodeCRLDistributionPoints(&r, last(), ctx), 0);
        EXPECT_EQ(static_cast<QELPKICRLDistributionPoints *>(r)->items[0]->reasons, reasons);
        qelPKICRLDistributionPointsFree(static_cast<QELPKICRLDistributionPoints *>(r), ctx);
    }
    // A reasons BIT STRING with unused bits set and with aACompromise.
    {
        ASN1_Extension *e = asn1New_Extension(ctx.codec());
        const Bytes v = hex("30 0e 30 0c a0 05 a0 03 86 01 75 81 03 07 80 80");
        ASSERT_EQ(asn1SetOctetString(ctx.codec(), &e->extnValue, v.data(), v.size()), 0);
        void *r = nullptr;
        ASSERT_EQ(qelPKIDecodeCRLDistributionPoints(&r, e, ctx), 0);
        EXPECT_EQ(static_cast<QELPKICRLDistributionPoints *>(r)->items[0]->reasons, 0x40);
        qelPKICRLDistributionPointsFree(static_cast<QELPKICRLDistributionPoints *>(r), ctx);
        asn1Free_Extension(ctx.codec(), e);
    }
    QELPKIIssuingDistributionPoint idp{nullptr, 0, 1, 0, 0};
    ASSERT_EQ(qelPKIEncodeIssuingDistributionPoint(list, &idp, 0, ctx), 0);
    EXPECT_EQ(lastValue(), "30038201ff");
    EXPECT_NE(last()->critical, nullptr);

    QELPKIBasicConstraints bc{1, -1};
    ASSERT_EQ(qelPKIEncodeBasicConstraints(list, &bc, -1, ctx), 0);
    EXPECT_EQ(lastValue(), "30030101ff");
    EXPECT_NE(last()->critical, nullptr);
    bc = {0, 5};
    ASSERT_EQ(qelPKIEncodeBasicConstraints(list, &bc, 0, ctx), 0);
    EXPECT_EQ(lastValue(), "3000");
    bc = {2, 0};
    const std::int64_t before = list->count;
    EXPECT_EQ(qelPKIEncodeBasicConstraints(list, &bc, 0, ctx), -1);

    int32_t purposes[] = {1, 5};
    QELPKIExtKeyUsage eku{2, purposes};
    ASSERT_EQ(qelPKIEncodeExtKeyUsage(list, &eku, -1, ctx), 0);
    EXPECT_EQ(lastValue(), "301406082b0601050507030106082b06010505070308");
    EXPECT_NE(last()->critical, nullptr);
    int32_t bad[] = {6};
    eku = {1, bad};
    EXPECT_EQ(qelPKIEncodeExtKeyUsage(list, &eku, 0, ctx), -21);
    EXPECT_EQ(list->count, before + 1);

    QELPKIPrivateKeyUsagePeriod period{0, 0};
    EXPECT_EQ(qelPKIEncodePrivateKeyUsagePeriod(list, &period, 0, ctx), -27);
    period = {0, 2524608000};
    ASSERT_EQ(qelPKIEncodePrivateKeyUsagePeriod(list, &period, 0, ctx), 0);
    EXPECT_EQ(lastValue(), "3011810f32303530303130313030303030305a");
    QELPKIPolicyConstraints pc{-1, -1};
    EXPECT_EQ(qelPKIEncodePolicyConstraints(list, &pc, 0, ctx), -21);

    // CRL reason: ENUMERATED written, INTEGER still read.
    ASSERT_EQ(qelPKIEncodeCRLReasonCode(list, reinterpret_cast<void *>(1), -1, ctx), 0);
    EXPECT_EQ(lastValue(), "0a0101");
    EXPECT_EQ(last()->critical, nullptr);
    {
        ASN1_Extension *e = asn1New_Extension(ctx.codec());
        const std::uint8_t reasonOid[] = {0x55, 0x1D, 0x15};
        const Bytes v = hex("020101");
        ASSERT_EQ(asn1SetOctetString(ctx.codec(), &e->extnID, reasonOid, 3), 0);
        ASSERT_EQ(asn1SetOctetString(ctx.codec(), &e->extnValue, v.data(), v.size()), 0);
        void *r = nullptr;
        ASSERT_EQ(qelPKIDecodeCRLReasonCode(&r, e, ctx), 0);
        EXPECT_EQ(*static_cast<int32_t *>(r), 1);
        ctx.get()->allocator->free(ctx.get()->allocator, r);
        // ENUMERATED is not a CRL number.
        const std::uint8_t numberOid[] = {0x55, 0x1D, 0x14};
        const Bytes en = hex("0a0101");
        ASSERT_EQ(asn1SetOctetString(ctx.codec(), &e->extnID, numberOid, 3), 0);
        ASSERT_EQ(asn1SetOctetString(ctx.codec(), &e->extnValue, en.data(), en.size()), 0);
        EXPECT_EQ(qelPKIDecodeCRLNumber(&r, e, ctx), -7);
        const Bytes longer = hex("02050100000000");
        ASSERT_EQ(asn1SetOctetString(ctx.codec(), &e->extnValue, longer.data(), longer.size()), 0);
        EXPECT_EQ(qelPKIDecodeCRLNumber(&r, e, ctx), -1);
        asn1Free_Extension(ctx.codec(), e);
    }
    ASSERT_EQ(qelPKIEncodeHoldInstructionCode(list, reinterpret_cast<void *>(2), 0, ctx), 0);
    EXPECT_EQ(lastValue(), "0607528648ce380203");
    void *hold = nullptr;
    ASSERT_EQ(qelPKIDecodeHoldInstructionCode(&hold, last(), ctx), 0);
    EXPECT_EQ(reinterpret_cast<std::intptr_t>(hold), 2);
    EXPECT_EQ(qelPKIEncodeHoldInstructionCode(list, reinterpret_cast<void *>(3), 0, ctx), -21);

    // The table's entry points.
    const std::uint8_t bcOid[] = {0x55, 0x1D, 0x13};
    bc = {1, 0};
    EXPECT_EQ(qelPKIExtensionEncode(list, bcOid, 3, 2, &bc, ctx), -1);
    const std::uint8_t certIssuer[] = {0x55, 0x1D, 0x1D};
    EXPECT_EQ(qelPKIExtensionEncode(list, certIssuer, 3, 0, &bc, ctx), -22);
    const std::uint8_t reasonOid[] = {0x55, 0x1D, 0x15};
    EXPECT_EQ(qelPKIExtensionEncode(list, reasonOid, 3, 0, nullptr, ctx), -1);

    // Alternative names: a list of usable items only.
    QELPKIGeneralName dns{const_cast<char *>("abc"), 3, 2};
    QELPKIGeneralName *one[] = {&dns};
    QELPKIGeneralNames san{one, 1};
    ASSERT_EQ(qelPKIEncodeSubjectAltName(list, &san, -1, ctx), 0);
    EXPECT_EQ(lastValue(), "30058203616263");
    EXPECT_EQ(last()->critical, nullptr);
    QELPKIGeneralNames empty{one, 0};
    EXPECT_EQ(qelPKIEncodeSubjectAltName(list, &empty, 0, ctx), -1);
    QELPKIGeneralName blank{const_cast<char *>(""), 0, 1};
    QELPKIGeneralName *blanks[] = {&blank};
    QELPKIGeneralNames withBlank{blanks, 1};
    EXPECT_EQ(qelPKIEncodeIssuerAltName(list, &withBlank, 0, ctx), -1);

    // Copies keep criticality, a present FALSE included.
    ASSERT_EQ(qelPKIExtensionAppend(list, certIssuer, 3, 0, reinterpret_cast<const std::uint8_t *>("\x30\x00"), 2, ctx),
              0);
    last()->critical = asn1New_Boolean(ctx.codec());
    ASSERT_EQ(asn1SetBoolean(ctx.codec(), last()->critical, 0), 0);
    ASN1_Extensions *copy = nullptr;
    ASSERT_EQ(qelPKIExtensionsCopy(&copy, list, ctx), 0);
    ASSERT_EQ(copy->count, list->count);
    for (std::int64_t i = 0; i < list->count; ++i) {
        EXPECT_EQ(copy->elements[i]->critical != nullptr, list->elements[i]->critical != nullptr);
        EXPECT_EQ(toHex(copy->elements[i]->extnValue.data, copy->elements[i]->extnValue.length),
                  toHex(list->elements[i]->extnValue.data, list->elements[i]->extnValue.length));
    }
    ASSERT_NE(copy->elements[copy->count - 1]->critical, nullptr);
    EXPECT_EQ(copy->elements[copy->count - 1]->critical->value, 0);
    qelPKIExtensionsFree(copy, ctx);
    qelPKIExtensionsFree(list, ctx);
}

TEST(PKIExtension, UnderstoodExtensionsDecideCriticality)
{
    Context ctx;
    ASN1_Extensions *list = nullptr;
    ASSERT_EQ(qelPKIExtensionsNew(&list, ctx), 0);
    QELPKIBasicConstraints bc{1, -1};
    ASSERT_EQ(qelPKIEncodeBasicConstraints(list, &bc, 1, ctx), 0);
    int32_t purposes[] = {1};
    QELPKIExtKeyUsage eku{1, purposes};
    ASSERT_EQ(qelPKIEncodeExtKeyUsage(list, &eku, 0, ctx), 0);
    EXPECT_EQ(qelPKIExtensionsCheck(list, nullptr, ctx), 0);
    QELPKIKeyUsage ku{0x20};
    ASSERT_EQ(qelPKIEncodeKeyUsage(list, &ku, 1, ctx), 0);
    EXPECT_EQ(qelPKIExtensionsCheck(list, nullptr, ctx), -9);
    const std::uint8_t kuOid[] = {0x55, 0x1D, 0x0F};
    ASSERT_EQ(qelPKIExtensionRegister(kuOid, 3, nullptr, ctx), 0);
    EXPECT_EQ(qelPKIExtensionsCheck(list, nullptr, ctx), 0);
    ASSERT_EQ(qelPKIExtensionRegister(kuOid, 3, [](ASN1_Extension *, void *, QELPKIContext *) { return 1; }, ctx), 0);
    EXPECT_EQ(qelPKIExtensionsCheck(list, nullptr, ctx), -7);
    // Decoding by OID takes the first of two.
    ASSERT_EQ(qelPKIEncodeKeyUsage(list, &ku, 0, ctx), 0);
    void *r = nullptr;
    int32_t critical = -1;
    ASSERT_EQ(qelPKIExtensionDecode(&r, &critical, kuOid, 3, list, ctx), 0);
    EXPECT_EQ(critical, 1);
    ctx.get()->allocator->free(ctx.get()->allocator, r);
    ASN1_Extensions *none = nullptr;
    ASSERT_EQ(qelPKIExtensionsNew(&none, ctx), 0);
    EXPECT_EQ(qelPKIExtensionDecode(&r, &critical, kuOid, 3, none, ctx), -11);
    EXPECT_EQ(qelPKIExtensionsCheck(none, nullptr, ctx), 0);
    qelPKIExtensionsFree(none, ctx);
    qelPKIExtensionsFree(list, ctx);
}

TEST(PKIExtension, PoliciesAttributesAndGeneralNames)
{
    Context ctx;
    ASN1_Extensions *list = nullptr;
    ASSERT_EQ(qelPKIExtensionsNew(&list, ctx), 0);
    auto last = [&] { return list->elements[list->count - 1]; };

    // A user notice whose texts are IA5String, VisibleString, BMPString and
    // UTF8String decodes, whichever choice each text takes.
    const Bytes unotice = tlv(0x30, tlv(0x30, tlv(0x16, hex("4f7267")) +
                                              tlv(0x30, hex("020101") + hex("020102") + hex("0202012c"))) +
                                        tlv(0x1e, hex("0061000000")));
    const Bytes fixed = tlv(0x30, tlv(0x30, hex("06032a0304") +
                                                tlv(0x30, tlv(0x30, hex("06082b06010505070202") + unotice))));
    ASN1_Extension *e = asn1New_Extension(ctx.codec());
    ASSERT_EQ(asn1SetOctetString(ctx.codec(), &e->extnValue, fixed.data(), fixed.size()), 0);
    void *r = nullptr;
    ASSERT_EQ(qelPKIDecodeCertificatePolicies(&r, e, ctx), 0);
    auto *p = static_cast<QELPKICertificatePolicies *>(r);
    auto *notice = static_cast<QELPKIUserNotice *>(p->items[0]->qualifiers[0]->value);
    EXPECT_STREQ(notice->noticeRef->organization, "Org");
    EXPECT_EQ(notice->noticeRef->numberCount, 3);
    EXPECT_EQ(toHex(reinterpret_cast<std::uint8_t *>(notice->explicitText), 6), "006100000000");
    qelPKICertificatePoliciesFree(p, ctx);
    asn1Free_Extension(ctx.codec(), e);

    // Written back: CPS as IA5String, the notice texts as VisibleString.
    char cps[] = "abc";
    QELPKIPolicyQualifier q0{0, cps};
    int32_t n1 = 7;
    int32_t *numbers[] = {&n1};
    char org[] = "O";
    char text[] = "T";
    QELPKINoticeReference ref{org, 1, numbers};
    QELPKIUserNotice un{&ref, text};
    QELPKIPolicyQualifier q1{1, &un};
    QELPKIPolicyQualifier *qs[] = {&q0, &q1};
    std::uint8_t pid[] = {0x2A, 0x03, 0x04};
    QELPKIPolicyInformation info{pid, 3, 2, qs};
    QELPKIPolicyInformation *infos[] = {&info};
    QELPKICertificatePolicies cp{1, infos};
    ASSERT_EQ(qelPKIEncodeCertificatePolicies(list, &cp, -1, ctx), 0);
    EXPECT_NE(last()->critical, nullptr);
    const Bytes expected =
        tlv(0x30, tlv(0x30, hex("06032a0304") +
                                tlv(0x30, tlv(0x30, hex("06082b06010505070201") + tlv(0x16, hex("616263"))) +
                                              tlv(0x30, hex("06082b06010505070202") +
                                                            tlv(0x30, tlv(0x30, hex("1a014f") + hex("3003020107")) +
                                                                          hex("1a0154"))))));
    EXPECT_EQ(toHex(last()->extnValue.data, last()->extnValue.length), toHex(expected));
    QELPKIPolicyQualifier q2{2, cps};
    QELPKIPolicyQualifier *badQs[] = {&q2};
    QELPKIPolicyInformation badInfo{pid, 3, 1, badQs};
    QELPKIPolicyInformation *badInfos[] = {&badInfo};
    QELPKICertificatePolicies badCp{1, badInfos};
    EXPECT_EQ(qelPKIEncodeCertificatePolicies(list, &badCp, 0, ctx), -21);

    // Subject directory attributes: values written in DER order.
    std::uint8_t type[] = {0x55, 0x04, 0x03};
    std::uint8_t v1[] = {0x04, 0x01, 0x01}, v0[] = {0x04, 0x01, 0x00};
    std::uint8_t *values[] = {v1, v0};
    std::uint64_t lengths[] = {3, 3};
    QELPKIAttribute attr{type, 3, 2, values, lengths};
    QELPKIAttribute *attrs[] = {&attr};
    QELPKISubjectDirectoryAttributes sda{1, attrs};
    ASSERT_EQ(qelPKIEncodeSubjectDirectoryAttributes(list, &sda, 1, ctx), 0);
    EXPECT_EQ(last()->critical, nullptr);
    EXPECT_EQ(toHex(last()->extnValue.data, last()->extnValue.length), "300f300d06035504033106040100040101");
    ASSERT_EQ(qelPKIDecodeSubjectDirectoryAttributes(&r, last(), ctx), 0);
    auto *decoded = static_cast<QELPKISubjectDirectoryAttributes *>(r);
    ASSERT_EQ(decoded->items[0]->valueCount, 2);
    EXPECT_EQ(toHex(decoded->items[0]->values[0], decoded->items[0]->valueLengths[0]), "040100");
    qelPKISubjectDirectoryAttributesFree(decoded, ctx);

    // General names: otherName is refused, a directory name is a copy.
    const Bytes other = hex("30 0b a0 09 06 03 2a 03 04 a0 02 05 00");
    ASN1_GeneralNames *gn = nullptr;
    std::int32_t err = 0;
    ASSERT_EQ(asn1Unpack_GeneralNames(ctx.codec(), &gn, other.data(), other.size(), &err), other.size());
    QELPKIGeneralNames *names = nullptr;
    EXPECT_EQ(qelPKIGeneralNamesFromASN1(&names, gn, ctx), -21);
    qelPKIGeneralNamesFree(names, ctx);
    asn1Free_GeneralNames(ctx.codec(), gn);

    ASN1_GeneralName *a = asn1New_GeneralName(ctx.codec());
    ASN1_GeneralName *b = asn1New_GeneralName(ctx.codec());
    ASN1_Name *dn = nullptr;
    ASSERT_EQ(qelPKINameNew(&dn, ctx), 0);
    ASSERT_EQ(qelPKINameFromText(dn, "CN=a", ctx), 0);
    QELPKIGeneralName dirName{dn, 0, 3};
    ASSERT_EQ(qelPKIGeneralNameToASN1(a, &dirName, ctx), 0);
    ASSERT_EQ(qelPKINameFree(dn, ctx), 0); // the PKIX record holds its own copy
    ASN1_Name *dn2 = nullptr;
    ASSERT_EQ(qelPKINameNew(&dn2, ctx), 0);
    const Bytes cnA = hex("13024120");
    const std::uint8_t cnOid[] = {0x55, 0x04, 0x03};
    ASSERT_EQ(qelPKINameAddAttribute(dn2, cnOid, 3, cnA.data(), cnA.size(), ctx), 0);
    QELPKIGeneralName dirName2{dn2, 0, 3};
    ASSERT_EQ(qelPKIGeneralNameToASN1(b, &dirName2, ctx), 0);
    EXPECT_EQ(qelPKIGeneralNameCompare(a, b, ctx), 1);
    ASSERT_EQ(qelPKINameFree(dn2, ctx), 0);
    asn1Free_GeneralName(ctx.codec(), b);
    b = asn1New_GeneralName(ctx.codec());
    QELPKIGeneralName email{const_cast<char *>("a"), 1, 1}, host{const_cast<char *>("a"), 1, 2};
    asn1Free_GeneralName(ctx.codec(), a);
    a = asn1New_GeneralName(ctx.codec());
    ASSERT_EQ(qelPKIGeneralNameToASN1(a, &email, ctx), 0);
    ASSERT_EQ(qelPKIGeneralNameToASN1(b, &host, ctx), 0);
    EXPECT_EQ(qelPKIGeneralNameCompare(a, b, ctx), 0);
    a->identifier = b->identifier = 0xA3;
    EXPECT_EQ(qelPKIGeneralNameCompare(a, b, ctx), -29);
    a->identifier = b->identifier = 0x82;
    asn1Free_GeneralName(ctx.codec(), a);
    asn1Free_GeneralName(ctx.codec(), b);
    QELPKIGeneralName wrong{const_cast<char *>("a"), 1, 0};
    a = asn1New_GeneralName(ctx.codec());
    EXPECT_EQ(qelPKIGeneralNameToASN1(a, &wrong, ctx), -21);
    asn1Free_GeneralName(ctx.codec(), a);

    // A relative-name distribution point goes through the name text.
    char rdnText[] = "CN=crl+OU=x";
    QELPKIDistributionPointName rel{1, rdnText};
    QELPKIDistributionPoint point{&rel, 0, nullptr};
    QELPKIDistributionPoint *pts[] = {&point};
    QELPKICRLDistributionPoints cdp{1, pts};
    ASSERT_EQ(qelPKIEncodeCRLDistributionPoints(list, &cdp, 0, ctx), 0);
    ASSERT_EQ(qelPKIDecodeCRLDistributionPoints(&r, last(), ctx), 0);
    auto *points = static_cast<QELPKICRLDistributionPoints *>(r);
    EXPECT_EQ(points->items[0]->distributionPoint->kind, 1);
    // DER puts the shorter pair of the set first.
    EXPECT_STREQ(static_cast<char *>(points->items[0]->distributionPoint->value), "OU=x+CN=crl");
    qelPKICRLDistributionPointsFree(points, ctx);
    qelPKIExtensionsFree(list, ctx);
}

// Running out of memory at any allocation leaves no record, appends nothing
// and leaks nothing, in every decoder and encoder and in the name text
// conversions.
TEST(PKIExtension, EveryFailedAllocationReleasesEverything)
{
    if (!havePeers())
        GTEST_SKIP() << "no OpenSSL";
    const Bytes der = opensslCertificate({std::begin(kExtensions), std::end(kExtensions)});
    Context ctx;
    asn1test::TestAllocator &alloc = ctx.allocator();
    QELPKICertificate *cert = nullptr;
    ASSERT_EQ(qelPKICertificateDecode(&cert, der.data(), der.size(), ctx), 0);
    ASN1_Extensions *exts = cert->certificate->tbsCertificate.extensions;
    for (std::int64_t i = 0; i < exts->count; ++i) {
        ASN1_Extension *e = exts->elements[i];
        const std::string oid = toHex(e->extnID.data, e->extnID.length);
        SCOPED_TRACE(oid);
        const QELX509ExtensionCodec *row = rowFor(e);
        ASSERT_NE(row, nullptr);
        const std::size_t liveBefore = alloc.live.size();
        void *record = nullptr;
        for (long k = 0;; ++k) {
            alloc.failAt = alloc.calls + k;
            record = reinterpret_cast<void *>(1);
            const int32_t status = row->decode(&record, e, ctx);
            alloc.failAt = -1;
            if (status == 0)
                break;
            EXPECT_EQ(record, nullptr);
            EXPECT_EQ(alloc.live.size(), liveBefore) << "decode, failing allocation " << k;
            ASSERT_LT(k, 500);
        }
        if (oid == "551d25")
            static_cast<QELPKIExtKeyUsage *>(record)->count -= 1; // OCSPSigning reads as 0, which has no row
        ASN1_Extensions *list = nullptr;
        ASSERT_EQ(qelPKIExtensionsNew(&list, ctx), 0);
        const std::size_t listed = alloc.live.size();
        for (long k = 0;; ++k) {
            alloc.failAt = alloc.calls + k;
            const int32_t status = row->encode(list, record, 0, ctx);
            alloc.failAt = -1;
            if (status == 0)
                break;
            EXPECT_EQ(list->count, 0);
            EXPECT_EQ(alloc.live.size(), listed) << "encode, failing allocation " << k;
            ASSERT_LT(k, 500);
        }
        EXPECT_EQ(list->count, 1);
        qelPKIExtensionsFree(list, ctx);
        releaseDecoded(oid, record, ctx);
    }
    qelPKICertificateFree(cert, ctx);

    const char *text = "CN=a+OU=b,O=org\\,inc,1.2.3.4=#0403616263,emailAddress=x@y.example";
    for (long k = 0;; ++k) {
        ASN1_Name *name = nullptr;
        alloc.failAt = alloc.calls + k;
        int32_t status = qelPKINameNew(&name, ctx);
        if (status == 0)
            status = qelPKINameFromText(name, text, ctx);
        char *out = nullptr;
        if (status == 0)
            status = qelPKINameToText(&out, name, ctx);
        ASN1_Name *copy = nullptr;
        if (status == 0)
            status = qelPKINameCopy(&copy, name, ctx);
        alloc.failAt = -1;
        if (name != nullptr) {
            EXPECT_EQ(qelPKINameFree(name, ctx), 0);
        }
        if (copy != nullptr) {
            EXPECT_EQ(qelPKINameFree(copy, ctx), 0);
        }
        ctx.get()->allocator->free(ctx.get()->allocator, out);
        if (status == 0)
            break;
        EXPECT_EQ(status, -3) << k;
        ASSERT_LT(k, 500);
    }
}
