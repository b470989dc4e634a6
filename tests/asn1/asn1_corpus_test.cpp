// The OpenSSL-made corpus (tests/asn1/data, see make_corpus.sh): every DER
// file decodes and re-encodes byte for byte through every module that reads
// it, down to the extension values, bags and keys inside; BER forms (pyasn1
// CER, OpenSSL streaming CMS) decode to records that encode to the DER form.
#include "asn1_test_util.h"

#include <algorithm>
#include <functional>
#include <memory>

#include "asn1Enrol.h"
#include "asn1Key.h"
#include "asn1PKCS12.h"
#include "asn1PKCS7.h"
#include "asn1PKCS8.h"
#include "asn1PKIX.h"
#include "asn1KeyInternal.h"

using namespace asn1test;

namespace {

template <typename R>
struct Ops {
    std::uint64_t (*unpack)(ASN1Context *, R **, const std::uint8_t *, std::uint64_t, std::int32_t *);
    std::uint64_t (*pack)(ASN1Context *, std::uint8_t *, std::uint64_t, R *, std::int32_t *);
    std::uint64_t (*size)(ASN1Context *, R *, std::int32_t);
    void (*release)(ASN1Context *, R *);
};
#define OPS(P, T)                                                                                          \
    Ops<std::remove_reference_t<decltype(*P##New_##T(nullptr))>>{P##Unpack_##T, P##Pack_##T, P##Sizeof_##T,   \
                                                                 P##Free_##T}
#define OPS_BYTES(T) Ops<ASN1_OctetString>{asn1Unpack_##T, asn1Pack_##T, asn1Sizeof_OctetString, asn1Free_OctetString}

template <typename R>
using Held = std::unique_ptr<R, std::function<void(R *)>>;

ASN1Context gCtx = defaultContext();

template <typename R>
Bytes pack(const Ops<R> &ops, R *record)
{
    Bytes out(ops.size(&gCtx, record, 1));
    std::int32_t err = 0;
    const std::uint64_t n = ops.pack(&gCtx, out.data(), out.size(), record, &err);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(n, out.size());
    return out;
}

// Decodes bytes, checks that the whole input was taken and that encoding
// the record gives the same octets back; returns the record.
template <typename R>
Held<R> roundTrip(const Ops<R> &ops, const Bytes &bytes, const char *what)
{
    SCOPED_TRACE(what);
    R *raw = nullptr;
    std::int32_t err = 0;
    const std::uint64_t n = ops.unpack(&gCtx, &raw, bytes.data(), bytes.size(), &err);
    Held<R> record(raw, [release = ops.release](R *r) { release(&gCtx, r); });
    EXPECT_EQ(err, 0);
    EXPECT_EQ(n, bytes.size());
    if (record == nullptr)
        return record;
    EXPECT_EQ(pack(ops, record.get()), bytes);
    return record;
}

Bytes bytesOf(const ASN1_OctetString &s)
{
    return Bytes(s.data, s.data + s.length);
}

bool oidIs(const ASN1_ObjectIdentifier &oid, const char *hexContent)
{
    return bytesOf(oid) == hex(hexContent);
}

// The contents of the OCTET STRING held whole in an ANY.
Bytes octetsInAny(const ASN1_Any &any)
{
    ASN1_OctetString *os = nullptr;
    std::int32_t err = 0;
    asn1Unpack_OctetString(&gCtx, &os, any.data, any.length, &err);
    EXPECT_EQ(err, 0);
    Bytes out = os != nullptr ? bytesOf(*os) : Bytes{};
    asn1Free_OctetString(&gCtx, os);
    return out;
}

int checkExtension(const ASN1_Extension &ext)
{
    const Bytes v = bytesOf(ext.extnValue);
    struct Known {
        const char *oid;
        std::function<void(const Bytes &)> check;
    };
    static const std::vector<Known> known = {
        {"551D13", [](const Bytes &b) { roundTrip(OPS(asn1, BasicConstraints), b, "basicConstraints");
                                        roundTrip(OPS(asn1Key, BasicConstraints), b, "key basicConstraints"); }},
        {"551D11", [](const Bytes &b) { roundTrip(OPS(asn1, GeneralNames), b, "subjectAltName"); }},
        {"551D12", [](const Bytes &b) { roundTrip(OPS(asn1, GeneralNames), b, "issuerAltName");
                                        roundTrip(OPS(asn1Key, GeneralNames), b, "key issuerAltName"); }},
        {"551D23", [](const Bytes &b) { roundTrip(OPS(asn1, AuthorityKeyIdentifier), b, "authorityKeyIdentifier"); }},
        {"551D25", [](const Bytes &b) { roundTrip(OPS(asn1, ExtKeyUsageSyntax), b, "extKeyUsage"); }},
        {"551D24", [](const Bytes &b) { roundTrip(OPS(asn1, PolicyConstraints), b, "policyConstraints"); }},
        {"551D21", [](const Bytes &b) { roundTrip(OPS(asn1, PolicyMappings), b, "policyMappings"); }},
        {"551D1E", [](const Bytes &b) { roundTrip(OPS(asn1, NameConstraints), b, "nameConstraints"); }},
        {"551D1F", [](const Bytes &b) { roundTrip(OPS(asn1, CRLDistributionPoints), b, "crlDistributionPoints");
                                        roundTrip(OPS(asn1Key, CRLDistributionPoints), b, "key crlDistributionPoints"); }},
        {"551D1C", [](const Bytes &b) { roundTrip(OPS(asn1, IssuingDistributionPoint), b, "issuingDistributionPoint");
                                        roundTrip(OPS(asn1Key, IssuingDistributionPoint), b, "key issuingDistributionPoint"); }},
        {"2B06010505070101", [](const Bytes &b) { roundTrip(OPS(asn1, AuthorityInfoAccessSyntax), b, "authorityInfoAccess"); }},
        {"551D0E", [](const Bytes &b) { roundTrip(OPS(asn1, OctetString), b, "subjectKeyIdentifier"); }},
        {"551D0F", [](const Bytes &b) { roundTrip(OPS(asn1, BitString), b, "keyUsage"); }},
        {"551D36", [](const Bytes &b) { roundTrip(Ops<ASN1_Integer>{asn1Unpack_Integer, asn1Pack_Integer, asn1Sizeof_Integer, asn1Free_OctetString}, b, "inhibitAnyPolicy"); }},
        {"551D14", [](const Bytes &b) { roundTrip(Ops<ASN1_Integer>{asn1Unpack_Integer, asn1Pack_Integer, asn1Sizeof_Integer, asn1Free_OctetString}, b, "cRLNumber"); }},
        {"551D18", [](const Bytes &b) { roundTrip(OPS_BYTES(GeneralizedTime), b, "invalidityDate"); }},
        {"551D17", [](const Bytes &b) { roundTrip(OPS_BYTES(ObjectIdentifier), b, "holdInstructionCode"); }},
        {"6086480186F842010D", [](const Bytes &b) { roundTrip(OPS_BYTES(IA5String), b, "nsComment"); }},
        {"551D20", [](const Bytes &b) {
             auto policies = roundTrip(OPS(asn1, CertificatePolicies), b, "certificatePolicies");
             for (std::int64_t i = 0; policies && i < policies->count; ++i) {
                 ASN1_PolicyQualifiers *q = policies->elements[i]->policyQualifiers;
                 for (std::int64_t j = 0; q != nullptr && j < q->count; ++j)
                     if (oidIs(q->elements[j]->policyQualifierId, "2B06010505070202"))
                         roundTrip(OPS(asn1, UserNotice), bytesOf(q->elements[j]->qualifier), "userNotice");
             }
         }},
    };
    for (const Known &k : known) {
        if (oidIs(ext.extnID, k.oid)) {
            k.check(v);
            return 1;
        }
    }
    return 0;
}

int checkExtensions(const ASN1_Extensions *exts)
{
    int recognised = 0;
    for (std::int64_t i = 0; exts != nullptr && i < exts->count; ++i)
        recognised += checkExtension(*exts->elements[i]);
    return recognised;
}

void checkName(ASN1_Name &name)
{
    ASSERT_EQ(name.identifier, 0x30);
    auto *rdns = static_cast<ASN1_RDNSequence *>(name.alternative);
    for (std::int64_t i = 0; i < rdns->count; ++i)
        for (std::int64_t j = 0; j < rdns->elements[i]->count; ++j)
            roundTrip(OPS(asn1Key, DirectoryString), bytesOf(rdns->elements[i]->elements[j]->value), "name value");
}

const char *const kCertificates[] = {"cert_rsa_v3_ca.der", "cert_rsa_v1.der", "cert_dsa_v3_gentime.der",
                                     "cert_rsa_utf8.der", "cert_rsa_bmp.der", "cert_rsa_bigext.der"};

} // namespace

TEST(Asn1Corpus, CertificatesRoundTripThroughBothModules)
{
    int extensionsSeen = 0;
    for (const char *file : kCertificates) {
        SCOPED_TRACE(file);
        const Bytes der = fixture(file);
        ASSERT_FALSE(der.empty());
        auto cert = roundTrip(OPS(asn1, Certificate), der, "pkix");
        auto keyCert = roundTrip(OPS(asn1Key, Certificate), der, "key");
        ASSERT_TRUE(cert && keyCert);
        checkName(cert->tbsCertificate.issuer);
        checkName(cert->tbsCertificate.subject);
        extensionsSeen += checkExtensions(cert->tbsCertificate.extensions);

        // The signed part as received, and its loose decode.
        auto signedPart = roundTrip(OPS(asn1, Signed), der, "signed");
        auto keySigned = roundTrip(OPS(asn1Key, Signed), der, "key signed");
        Bytes tbs = pack(OPS(asn1, TBSCertificate), &cert->tbsCertificate);
        EXPECT_EQ(bytesOf(signedPart->toBeSigned), tbs);
        roundTrip(OPS(asn1Key, RawTBSCertificate), bytesOf(keySigned->toBeSigned), "raw tbs");
    }
    EXPECT_GE(extensionsSeen, 25);

    // Version 1: no version, no extensions; version 3 keeps its [0].
    auto v1 = roundTrip(OPS(asn1, Certificate), fixture("cert_rsa_v1.der"), "v1");
    EXPECT_EQ(v1->tbsCertificate.version, nullptr);
    EXPECT_EQ(v1->tbsCertificate.extensions, nullptr);
    auto gen = roundTrip(OPS(asn1Key, Certificate), fixture("cert_dsa_v3_gentime.der"), "gentime");
    EXPECT_EQ(gen->tbsCertificate.validity.notBefore.identifier, 0x17);
    EXPECT_EQ(gen->tbsCertificate.validity.notAfter.identifier, 0x18);
}

// The key-side module runs the PKIX, PKCS #7 and PKCS #8 descriptors for
// every type they share, so one certificate cannot decode in one module and
// fail in the other; only the types the key side deliberately narrows keep
// descriptors of their own.
TEST(Asn1Corpus, KeySideSharesTheDescriptorsOfTheOtherModules)
{
    using namespace qel::asn1;
    EXPECT_EQ(&descKey_Certificate, &descPKIX_Certificate);
    EXPECT_EQ(&descKey_Signed, &descPKIX_Signed);
    EXPECT_EQ(&descKey_Name, &descPKIX_Name);
    EXPECT_EQ(&descKey_CertificateList, &descPKIX_CertificateList);
    EXPECT_EQ(&descKey_ContentInfo, &descPKCS7_ContentInfo);
    EXPECT_EQ(&descKey_SignerInfo, &descPKCS7_SignerInfo);
    EXPECT_EQ(&descKey_PrivateKeyInfo, &descPKCS8_PrivateKeyInfo);
    EXPECT_NE(&descKey_DirectoryString, &descPKIX_DirectoryString);
    EXPECT_NE(&descKey_GeneralName, &descPKIX_GeneralName);
    EXPECT_NE(&descKey_SignedData, &descPKCS7_SignedData);

    for (const char *file : kCertificates) {
        SCOPED_TRACE(file);
        const Bytes der = fixture(file);
        auto cert = roundTrip(OPS(asn1, Certificate), der, "pkix");
        auto keyCert = roundTrip(OPS(asn1Key, Certificate), der, "key");
        ASSERT_TRUE(cert && keyCert);
        // Same records: the PKIX encoder writes the key-side record unchanged.
        EXPECT_EQ(pack(OPS(asn1, Certificate), reinterpret_cast<ASN1_Certificate *>(keyCert.get())), der);
        auto signedPart = roundTrip(OPS(asn1, Signed), der, "pkix signed");
        auto keySigned = roundTrip(OPS(asn1Key, Signed), der, "key signed");
        EXPECT_EQ(bytesOf(signedPart->toBeSigned), bytesOf(keySigned->toBeSigned));
        EXPECT_EQ(Bytes(signedPart->signatureValue.data, signedPart->signatureValue.data + signedPart->signatureValue.length),
                  Bytes(keySigned->signature.data, keySigned->signature.data + keySigned->signature.length));
        EXPECT_EQ(bytesOf(signedPart->signatureAlgorithm.algorithm), bytesOf(keySigned->algorithm.algorithm));
    }

    // Where the Parts differ each module keeps its own: the key side reads an
    // IA5String DirectoryString and refuses an ediPartyName GeneralName.
    const Bytes ia5 = {0x16, 0x01, 0x61};
    roundTrip(OPS(asn1Key, DirectoryString), ia5, "key ia5");
    ASN1_DirectoryString *ds = nullptr;
    std::int32_t err = 0;
    EXPECT_EQ(asn1Unpack_DirectoryString(&gCtx, &ds, ia5.data(), ia5.size(), &err), 0u);
    EXPECT_NE(err, 0);
    const Bytes edi = {0x30, 0x07, 0xA5, 0x05, 0xA1, 0x03, 0x0C, 0x01, 0x61};
    roundTrip(OPS(asn1, GeneralNames), edi, "pkix edi");
    ASN1Key_GeneralNames *gn = nullptr;
    err = 0;
    EXPECT_EQ(asn1KeyUnpack_GeneralNames(&gCtx, &gn, edi.data(), edi.size(), &err), 0u);
    EXPECT_EQ(err, -50);
}

TEST(Asn1Corpus, RevocationListsAndRequests)
{
    auto crl = roundTrip(OPS(asn1, CertificateList), fixture("crl_many_reasons.der"), "crl");
    roundTrip(OPS(asn1Key, CertificateList), fixture("crl_many_reasons.der"), "key crl");
    ASSERT_TRUE(crl && crl->tbsCertList.revokedCertificates);
    EXPECT_EQ(crl->tbsCertList.revokedCertificates->count, 300);
    int entryExtensions = 0;
    for (std::int64_t i = 0; i < crl->tbsCertList.revokedCertificates->count; ++i)
        entryExtensions += checkExtensions(crl->tbsCertList.revokedCertificates->elements[i]->crlEntryExtensions);
    EXPECT_GE(entryExtensions, 30);
    EXPECT_EQ(checkExtensions(crl->tbsCertList.crlExtensions), 3);

    auto empty = roundTrip(OPS(asn1, CertificateList), fixture("crl_empty.der"), "empty crl");
    EXPECT_EQ(empty->tbsCertList.revokedCertificates, nullptr);
    EXPECT_NE(empty->tbsCertList.crlExtensions, nullptr);

    auto csr = roundTrip(OPS(asn1, CertificationRequest), fixture("csr_attributes.der"), "csr");
    roundTrip(OPS(asn1Key, CertificationRequest), fixture("csr_attributes.der"), "key csr");
    EXPECT_EQ(csr->certificationRequestInfo.attributes.count, 3);
}

// The encodings of a SET OF's elements, in DER order.
template <typename List, typename ElementOps>
std::vector<Bytes> sortedElements(List *list, const ElementOps &ops)
{
    std::vector<Bytes> out;
    for (std::int64_t i = 0; list != nullptr && i < list->count; ++i)
        out.push_back(pack(ops, list->elements[i]));
    std::sort(out.begin(), out.end());
    return out;
}

// OpenSSL writes the certificates of PKCS#7 in the order given, not in
// DER's: the re-encoding has the same size and the same elements, sorted,
// and is itself stable.
template <typename R, typename CertOps, typename CrlOps>
void signedDataRoundTrip(const Ops<R> &ops, const Bytes &in, const CertOps &certOps, const CrlOps &crlOps)
{
    R *first = nullptr, *second = nullptr;
    std::int32_t err = 0;
    ASSERT_EQ(ops.unpack(&gCtx, &first, in.data(), in.size(), &err), in.size());
    const Bytes packed = pack(ops, first);
    EXPECT_EQ(packed.size(), in.size());
    ASSERT_EQ(ops.unpack(&gCtx, &second, packed.data(), packed.size(), &err), packed.size());
    EXPECT_EQ(pack(ops, second), packed);
    EXPECT_EQ(sortedElements(first->certificates, certOps), sortedElements(second->certificates, certOps));
    EXPECT_EQ(sortedElements(first->crls, crlOps), sortedElements(second->crls, crlOps));
    for (std::int64_t i = 0; second->certificates != nullptr && i + 1 < second->certificates->count; ++i)
        EXPECT_LE(pack(certOps, second->certificates->elements[i]), pack(certOps, second->certificates->elements[i + 1]));
    ops.release(&gCtx, first);
    ops.release(&gCtx, second);
}

TEST(Asn1Corpus, Pkcs7SignedDataAndBundles)
{
    for (const char *file : {"p7_certs.der", "p7_certs_crl.der", "p7_signed.der", "cms_signed_stream_der.der"}) {
        SCOPED_TRACE(file);
        auto ci = roundTrip(OPS(asn1, ContentInfo), fixture(file), "content info");
        roundTrip(OPS(asn1Key, ContentInfo), fixture(file), "key content info");
        ASSERT_TRUE(ci && ci->content);
        const Bytes inner = bytesOf(*ci->content);
        signedDataRoundTrip(OPS(asn1, SignedData), inner, OPS(asn1, ExtendedCertificateOrCertificate),
                            OPS(asn1, CertificateList));
        signedDataRoundTrip(OPS(asn1Key, SignedData), inner, OPS(asn1Key, Certificate), OPS(asn1Key, CertificateList));
        ASN1_SignedData *sd = nullptr;
        std::int32_t err = 0;
        ASSERT_EQ(asn1Unpack_SignedData(&gCtx, &sd, inner.data(), inner.size(), &err), inner.size());
        ASSERT_NE(sd->certificates, nullptr);
        EXPECT_GE(sd->certificates->count, 1);
        EXPECT_EQ(sd->certificates->elements[0]->identifier, 0x30);
        for (std::int64_t i = 0; i < sd->signerInfos.count; ++i)
            roundTrip(OPS(asn1, SignerInfo), pack(OPS(asn1, SignerInfo), sd->signerInfos.elements[i]), "signer info");
        asn1Free_SignedData(&gCtx, sd);
    }
    auto withCrl = roundTrip(OPS(asn1, ContentInfo), fixture("p7_certs_crl.der"), "crl bundle");
    ASN1_SignedData *sd = nullptr;
    std::int32_t err = 0;
    asn1Unpack_SignedData(&gCtx, &sd, withCrl->content->data, withCrl->content->length, &err);
    ASSERT_NE(sd, nullptr);
    ASSERT_NE(sd->crls, nullptr);
    EXPECT_EQ(sd->crls->count, 1);
    asn1Free_SignedData(&gCtx, sd);
}

TEST(Asn1Corpus, Pkcs8KeysAndRsaKeyMaterial)
{
    auto pki = roundTrip(OPS(asn1, PrivateKeyInfo), fixture("p8_plain.der"), "pkcs8");
    auto keyPki = roundTrip(OPS(asn1Key, PrivateKeyInfo), fixture("p8_plain.der"), "key pkcs8");
    ASSERT_TRUE(pki);
    EXPECT_EQ(pki->attributes, nullptr);
    auto rsa = roundTrip(OPS(asn1Key, RSAPrivateKey), bytesOf(pki->privateKey), "rsa in pkcs8");
    EXPECT_EQ(pack(OPS(asn1Key, RSAPrivateKey), rsa.get()), fixture("rsa_private.der"));

    for (const char *file : {"p8_encrypted_v1.der", "p8_encrypted_v2.der"}) {
        auto epki = roundTrip(OPS(asn1, EncryptedPrivateKeyInfo), fixture(file), file);
        ASSERT_TRUE(epki && epki->encryptionAlgorithm.parameters);
    }
    auto v1 = roundTrip(OPS(asn1, EncryptedPrivateKeyInfo), fixture("p8_encrypted_v1.der"), "pbe");
    roundTrip(OPS(asn1, PKCS12PbeParams), bytesOf(*v1->encryptionAlgorithm.parameters), "pbe params");
}

TEST(Asn1Corpus, Pkcs12LegacyAndDefault)
{
    for (const char *file : {"p12_legacy.der", "p12_default.der"}) {
        SCOPED_TRACE(file);
        auto pfx = roundTrip(OPS(asn1, PFX), fixture(file), "pfx");
        ASSERT_TRUE(pfx && pfx->authSafe.content && pfx->macData);
        auto safe = roundTrip(OPS(asn1, AuthenticatedSafe), octetsInAny(*pfx->authSafe.content), "auth safe");
        int bags = 0;
        for (std::int64_t i = 0; i < safe->count; ++i) {
            ASN1_ContentInfo *ci = safe->elements[i];
            ASSERT_NE(ci->content, nullptr);
            if (oidIs(ci->contentType, "2A864886F70D010706")) { // encryptedData
                auto ed = roundTrip(OPS(asn1, EncryptedData), bytesOf(*ci->content), "encrypted data");
                EXPECT_NE(ed->encryptedContentInfo.encryptedContent, nullptr);
                continue;
            }
            auto contents = roundTrip(OPS(asn1, SafeContents), octetsInAny(*ci->content), "safe contents");
            for (std::int64_t j = 0; j < contents->count; ++j, ++bags) {
                ASN1_SafeBag *bag = contents->elements[j];
                if (oidIs(bag->bagId, "2A864886F70D010C0A0103"))
                    roundTrip(OPS(asn1, CertBag), bytesOf(bag->bagValue), "cert bag");
                if (oidIs(bag->bagId, "2A864886F70D010C0A0102"))
                    roundTrip(OPS(asn1, EncryptedPrivateKeyInfo), bytesOf(bag->bagValue), "shrouded key");
                EXPECT_NE(bag->bagAttributes, nullptr);
            }
        }
        EXPECT_GE(bags, 1);
    }
}

// BER: indefinite lengths everywhere (pyasn1's CER output, OpenSSL's
// streaming CMS) and constructed strings decode to records that encode to
// the DER form; only what an ANY holds keeps its BER octets, and those
// normalise to the DER octets.
TEST(Asn1Corpus, BerInputDecodesToTheRecordsOfItsDerForm)
{
    struct Case {
        const char *ber, *der;
        std::function<Bytes(const Bytes &, std::int32_t &)> decodeAndPack;
    };
    const Case cases[] = {
        {"cert_rsa_v3_ca_indef.ber", "cert_rsa_v3_ca.der", [](const Bytes &in, std::int32_t &err) {
             ASN1_Certificate *r = nullptr;
             EXPECT_EQ(asn1Unpack_Certificate(&gCtx, &r, in.data(), in.size(), &err), in.size());
             Bytes out = r ? pack(OPS(asn1, Certificate), r) : Bytes{};
             asn1Free_Certificate(&gCtx, r);
             return out;
         }},
        {"cert_rsa_bigext_indef.ber", "cert_rsa_bigext.der", [](const Bytes &in, std::int32_t &err) {
             ASN1Key_Certificate *r = nullptr;
             EXPECT_EQ(asn1KeyUnpack_Certificate(&gCtx, &r, in.data(), in.size(), &err), in.size());
             Bytes out = r ? pack(OPS(asn1Key, Certificate), r) : Bytes{};
             asn1KeyFree_Certificate(&gCtx, r);
             return out;
         }},
        {"crl_many_reasons_indef.ber", "crl_many_reasons.der", [](const Bytes &in, std::int32_t &err) {
             ASN1Key_CertificateList *r = nullptr;
             EXPECT_EQ(asn1KeyUnpack_CertificateList(&gCtx, &r, in.data(), in.size(), &err), in.size());
             Bytes out = r ? pack(OPS(asn1Key, CertificateList), r) : Bytes{};
             asn1KeyFree_CertificateList(&gCtx, r);
             return out;
         }},
        {"csr_attributes_indef.ber", "csr_attributes.der", [](const Bytes &in, std::int32_t &err) {
             ASN1_CertificationRequest *r = nullptr;
             EXPECT_EQ(asn1Unpack_CertificationRequest(&gCtx, &r, in.data(), in.size(), &err), in.size());
             Bytes out = r ? pack(OPS(asn1, CertificationRequest), r) : Bytes{};
             asn1Free_CertificationRequest(&gCtx, r);
             return out;
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ber);
        const Bytes ber = fixture(c.ber), der = fixture(c.der);
        ASSERT_NE(ber, der);
        std::int32_t err = 0;
        const Bytes packed = c.decodeAndPack(ber, err);
        ASSERT_EQ(err, 0);
        // Only what an ANY holds keeps its BER octets, and those normalise to
        // the DER ones.
        EXPECT_EQ(Normaliser::run(packed), der);
    }
    {
        const Bytes ber = fixture("cms_signed_stream.ber"), der = fixture("cms_signed_stream_der.der");
        ASN1_ContentInfo *ci = nullptr;
        std::int32_t err = 0;
        EXPECT_EQ(asn1Unpack_ContentInfo(&gCtx, &ci, ber.data(), ber.size(), &err), ber.size());
        ASSERT_EQ(err, 0);
        EXPECT_EQ(Normaliser::run(pack(OPS(asn1, ContentInfo), ci)), der);
        ASN1_SignedData *sd = nullptr;
        EXPECT_EQ(asn1Unpack_SignedData(&gCtx, &sd, ci->content->data, ci->content->length, &err),
                  ci->content->length);
        ASSERT_EQ(err, 0);
        auto derCi = roundTrip(OPS(asn1, ContentInfo), der, "cms der");
        EXPECT_EQ(Normaliser::run(pack(OPS(asn1, SignedData), sd)), bytesOf(*derCi->content));
        asn1Free_SignedData(&gCtx, sd);
        asn1Free_ContentInfo(&gCtx, ci);
    }
    // pyasn1's CER output closes EXPLICIT tags of definite length with
    // end-of-contents octets: not BER, refused.
    const Bytes broken = fixture("cert_rsa_v3_ca_pyasn1_cer.ber");
    ASN1_Certificate *cert = nullptr;
    std::int32_t err = 0;
    EXPECT_EQ(asn1Unpack_Certificate(&gCtx, &cert, broken.data(), broken.size(), &err), 0u);
    EXPECT_NE(err, 0);
    EXPECT_EQ(cert, nullptr);
}

// Every proper prefix of a certificate is refused with a status and
// returns no record.
TEST(Asn1Corpus, TruncationAtEveryPositionIsRefused)
{
    const Bytes der = fixture("cert_rsa_v3_ca.der");
    for (std::size_t n = 0; n < der.size(); ++n) {
        ASN1_Certificate *cert = nullptr;
        ASN1Key_Certificate *keyCert = nullptr;
        std::int32_t err = 0, keyErr = 0;
        const Bytes prefix(der.begin(), der.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_EQ(asn1Unpack_Certificate(&gCtx, &cert, prefix.data(), prefix.size(), &err), 0u);
        EXPECT_EQ(asn1KeyUnpack_Certificate(&gCtx, &keyCert, prefix.data(), prefix.size(), &keyErr), 0u);
        EXPECT_NE(err, 0) << n;
        EXPECT_NE(keyErr, 0) << n;
        EXPECT_EQ(cert, nullptr);
        EXPECT_EQ(keyCert, nullptr);
    }
}

// Memory that runs out at any allocation fails the decode cleanly and
// leaves nothing allocated.
TEST(Asn1Corpus, AllocationFailureAtEveryPointReleasesEverything)
{
    const Bytes der = fixture("cert_rsa_v3_ca.der");
    TestAllocator counter;
    ASN1Context ctx{0, &counter.base};
    ASN1_Certificate *cert = nullptr;
    std::int32_t err = 0;
    ASSERT_EQ(asn1Unpack_Certificate(&ctx, &cert, der.data(), der.size(), &err), der.size());
    const long total = counter.calls;
    asn1Free_Certificate(&ctx, cert);
    ASSERT_TRUE(counter.live.empty());
    for (long i = 0; i < total; ++i) {
        TestAllocator failing;
        failing.failAt = i;
        ASN1Context fctx{0, &failing.base};
        cert = nullptr;
        err = 0;
        EXPECT_EQ(asn1Unpack_Certificate(&fctx, &cert, der.data(), der.size(), &err), 0u);
        EXPECT_TRUE(err == ASN1Error_OutOfMemory || err == ASN1Error_NullOutput) << i << " " << err;
        EXPECT_EQ(cert, nullptr);
        EXPECT_TRUE(failing.live.empty()) << i;
    }
}

// Key material is wiped before it goes back to the allocator; other
// records are released as they are.
TEST(Asn1Corpus, KeyMaterialIsWipedBeforeRelease)
{
    struct Case {
        const char *file;
        bool sensitive;
        std::function<void(ASN1Context *, const Bytes &)> run;
    };
    const std::vector<Case> cases = {
        {"rsa_private.der", true, [](ASN1Context *ctx, const Bytes &b) {
             ASN1Key_RSAPrivateKey *k = nullptr;
             std::int32_t err = 0;
             asn1KeyUnpack_RSAPrivateKey(ctx, &k, b.data(), b.size(), &err);
             ASSERT_EQ(err, 0);
             asn1KeyFree_RSAPrivateKey(ctx, k);
         }},
        {"p8_plain.der", true, [](ASN1Context *ctx, const Bytes &b) {
             ASN1_PrivateKeyInfo *k = nullptr;
             std::int32_t err = 0;
             asn1Unpack_PrivateKeyInfo(ctx, &k, b.data(), b.size(), &err);
             ASSERT_EQ(err, 0);
             asn1Free_PrivateKeyInfo(ctx, k);
         }},
        {"cert_rsa_v1.der", false, [](ASN1Context *ctx, const Bytes &b) {
             ASN1_Certificate *c = nullptr;
             std::int32_t err = 0;
             asn1Unpack_Certificate(ctx, &c, b.data(), b.size(), &err);
             ASSERT_EQ(err, 0);
             asn1Free_Certificate(ctx, c);
         }},
    };
    for (const Case &c : cases) {
        TestAllocator checker;
        checker.requireWiped = true;
        ASN1Context ctx{0, &checker.base};
        c.run(&ctx, fixture(c.file));
        EXPECT_EQ(checker.sawUnwiped, !c.sensitive) << c.file;
        EXPECT_TRUE(checker.live.empty());
    }
}
