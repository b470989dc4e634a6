// Certificates, revocation lists, requests and chains made and checked by the
// toolkit, judged by OpenSSL: what we make must pass `openssl verify`,
// `openssl crl`, `openssl req -verify`, and our chain verdicts must agree
// with OpenSSL's except where we document not checking (basic constraints).
#include <openssl/pem.h>

#include <ctime>

#include "pki_libcrypto_callbacks.h"
#include "pki_test_util.h"
#include "qelPKICRLInternal.h"
#include "qelPKICertificateInternal.h"
#include "qelPKIChainInternal.h"
#include "qelPKIConvertInternal.h"
#include "qelPKIExtensionInternal.h"
#include "qelPKINameInternal.h"
#include "qelPKIRequestInternal.h"
#include "qelTestEnv.h"

namespace {

using pkitest::Bytes;
using pkitest::run;
using qel::pki::release;

const Bytes kSha256RSA{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B};
const Bytes kSha1RSA{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x05};
const Bytes kSha1DSA{0x2A, 0x86, 0x48, 0xCE, 0x38, 0x04, 0x03};
const Bytes kSha256DSA{0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x03, 0x02};
const Bytes kNull{0x05, 0x00};
const Bytes kBasicConstraintsOID{0x55, 0x1D, 0x13};

// A key pair OpenSSL generated, with its SubjectPublicKeyInfo pieces.
struct Key {
    EVP_PKEY *pkey = nullptr;
    std::string pem; // private key file
    Bytes oid, params, bits;
    ~Key() { EVP_PKEY_free(pkey); }
};

qeltest::TempDir &dir()
{
    static qeltest::TempDir d("pkichain");
    return d;
}

std::unique_ptr<Key> makeKey(const std::string &name, bool dsa)
{
    auto key = std::make_unique<Key>();
    key->pem = dir() / (name + ".key");
    const std::string cmd =
        dsa ? "openssl genpkey -genparam -algorithm DSA -pkeyopt dsa_paramgen_bits:1024 -out " + key->pem +
                  ".par 2>/dev/null && openssl genpkey -paramfile " + key->pem + ".par -out " + key->pem
            : "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out " + key->pem + " 2>/dev/null";
    int rc = 0;
    run(cmd, &rc);
    FILE *f = std::fopen(key->pem.c_str(), "r");
    if (rc != 0 || f == nullptr)
        return nullptr;
    key->pkey = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    unsigned char *der = nullptr;
    const int n = i2d_PUBKEY(key->pkey, &der);
    ASN1Context codec{0, &asn1DefaultAllocator};
    ASN1_SubjectPublicKeyInfo *spki = nullptr;
    std::int32_t err = 0;
    asn1Unpack_SubjectPublicKeyInfo(&codec, &spki, der, static_cast<std::uint64_t>(n), &err);
    OPENSSL_free(der);
    if (spki == nullptr)
        return nullptr;
    key->oid.assign(spki->algorithm.algorithm.data, spki->algorithm.algorithm.data + spki->algorithm.algorithm.length);
    if (spki->algorithm.parameters != nullptr)
        key->params.assign(spki->algorithm.parameters->data,
                           spki->algorithm.parameters->data + spki->algorithm.parameters->length);
    key->bits.assign(spki->subjectPublicKey.data, spki->subjectPublicKey.data + spki->subjectPublicKey.length);
    asn1Free_SubjectPublicKeyInfo(&codec, spki);
    return key;
}

struct Keys {
    std::unique_ptr<Key> rsa[5], dsa[3];
};

const Keys &keys()
{
    static const Keys k = [] {
        Keys out;
        for (int i = 0; i < 5; ++i)
            out.rsa[i] = makeKey("rsa" + std::to_string(i), false);
        for (int i = 0; i < 3; ++i)
            out.dsa[i] = makeKey("dsa" + std::to_string(i), true);
        return out;
    }();
    return k;
}

ASN1_Name *name(const std::string &text, QELPKIContext *ctx)
{
    ASN1_Name *n = nullptr;
    EXPECT_EQ(qelPKINameNew(&n, ctx), 0);
    EXPECT_EQ(qelPKINameFromText(n, text.c_str(), ctx), 0);
    return n;
}

struct CertSpec {
    std::string subject, issuer;
    std::uint8_t serial;
    const Key *subjectKey, *signerKey;
    const Bytes *sigOID;
    std::int64_t notBefore, notAfter;
    bool ca = true;
};

// Makes one certificate with the toolkit, signed through libcrypto; its DER.
Bytes makeCert(const CertSpec &s, int *status = nullptr)
{
    pkitest::Context ctx;
    ctx.get()->sign = pkicb::sign;
    ctx.get()->signData = s.signerKey->pkey;
    ASN1_Name *subject = name(s.subject, ctx), *issuer = name(s.issuer, ctx);
    ASN1_Extensions *ext = nullptr;
    if (s.ca) {
        EXPECT_EQ(qelPKIExtensionsNew(&ext, ctx), 0);
        const Bytes bc{0x30, 0x03, 0x01, 0x01, 0xFF};
        EXPECT_EQ(qelPKIExtensionAppend(ext, kBasicConstraintsOID.data(), 3, 1, bc.data(), bc.size(), ctx), 0);
    }
    const bool rsaSig = s.sigOID->size() == 9 && (*s.sigOID)[0] == 0x2A;
    QELPKICertificate *cert = nullptr;
    const int rc = qelPKICertificateCreate(
        &cert, 2, &s.serial, 1, s.sigOID->data(), s.sigOID->size(), rsaSig ? kNull.data() : nullptr,
        rsaSig ? 2 : 0, issuer, s.notBefore, s.notAfter, subject, ext, s.subjectKey->oid.data(),
        s.subjectKey->oid.size(), s.subjectKey->bits.data(), s.subjectKey->bits.size(),
        s.subjectKey->params.empty() ? nullptr : s.subjectKey->params.data(), s.subjectKey->params.size(), ctx);
    if (status != nullptr)
        *status = rc;
    Bytes out;
    if (rc == 0) {
        std::uint8_t *der = nullptr;
        std::uint64_t n = 0;
        EXPECT_EQ(qelPKICertificateEncode(&der, &n, cert, ctx), 0);
        out.assign(der, der + n);
        release(ctx, der);
    }
    qelPKICertificateFree(cert, ctx);
    qelPKIExtensionsFree(ext, ctx);
    EXPECT_EQ(qelPKINameFree(subject, ctx), 0);
    EXPECT_EQ(qelPKINameFree(issuer, ctx), 0);
    return out;
}

std::string pemFile(const std::string &file, const Bytes &der, const char *type = "x509")
{
    const std::string path = dir() / file;
    qeltest::writeFile(path + ".der", std::string(der.begin(), der.end()));
    run(std::string("openssl ") + type + " -inform DER -in " + path + ".der -out " + path + " 2>/dev/null");
    return path;
}

std::string cat(const std::vector<std::string> &files, const std::string &out)
{
    std::string cmd = "cat /dev/null";
    for (const std::string &f : files)
        cmd += " " + f;
    run(cmd + " > " + dir() / out);
    return dir() / out;
}

const std::int64_t kNow = static_cast<std::int64_t>(std::time(nullptr));
const std::int64_t kYear = 365LL * 86400;

class ChainTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!pkitest::havePeers())
            GTEST_SKIP() << "openssl or python3-cryptography missing";
        ASSERT_NE(keys().rsa[4], nullptr);
        ASSERT_NE(keys().dsa[2], nullptr);
    }
};

TEST_F(ChainTest, CertificateFieldsPrintInOpenSSL)
{
    const Key &k = *keys().rsa[0];
    // notAfter in 2051: GeneralizedTime, and the arithmetic does not wrap.
    const std::int64_t y2051 = 2556143999LL; // 2050-12-31 23:59:59 UTC
    const Bytes der = makeCert({"CN=Field Root,O=Qel Test,C=DE", "CN=Field Root,O=Qel Test,C=DE", 0x2A, &k, &k,
                                &kSha256RSA, kNow - 60, y2051});
    ASSERT_FALSE(der.empty());
    const std::string pem = pemFile("field.pem", der);
    const std::string text = run("openssl x509 -noout -text -in " + pem);
    EXPECT_NE(text.find("Serial Number: 42 (0x2a)"), std::string::npos) << text;
    EXPECT_NE(text.find("Issuer: C = DE, O = Qel Test, CN = Field Root"), std::string::npos) << text;
    EXPECT_NE(text.find("Not After : Dec 31 23:59:59 2050 GMT"), std::string::npos) << text;
    EXPECT_NE(text.find("sha256WithRSAEncryption"), std::string::npos);
    EXPECT_NE(text.find("CA:TRUE"), std::string::npos);
    // 2050 is past UTCTime's range: the encoding holds a GeneralizedTime (tag 0x18, 15 digits).
    const Bytes gt{0x18, 0x0F, '2', '0', '5', '0', '1', '2', '3', '1'};
    EXPECT_NE(std::search(der.begin(), der.end(), gt.begin(), gt.end()), der.end());
    int rc = 0;
    run("openssl verify -CAfile " + pem + " " + pem + " >/dev/null 2>&1", &rc);
    EXPECT_EQ(rc, 0);
}

TEST_F(ChainTest, SignFailureAndVersionRules)
{
    pkitest::Context ctx;
    ASN1_Name *n = name("CN=x", ctx);
    const Key &k = *keys().rsa[0];
    QELPKICertificate *cert = nullptr;
    EXPECT_EQ(qelPKICertificateCreate(&cert, 2, k.bits.data(), 1, kSha256RSA.data(), 9, nullptr, 0, n, kNow,
                                      kNow + 10, n, nullptr, k.oid.data(), k.oid.size(), k.bits.data(),
                                      k.bits.size(), nullptr, 0, ctx),
              QELPKIError_InvalidArguments); // no sign callback
    ctx.get()->sign = [](std::uint8_t **, std::uint64_t *, const std::uint8_t *, std::uint64_t,
                         const std::uint8_t *, std::uint64_t, void *, QELPKIContext *) { return 7; };
    EXPECT_EQ(qelPKICertificateCreate(&cert, 2, k.bits.data(), 1, kSha256RSA.data(), 9, nullptr, 0, n, kNow,
                                      kNow + 10, n, nullptr, k.oid.data(), k.oid.size(), k.bits.data(),
                                      k.bits.size(), nullptr, 0, ctx),
              QELPKIError_SignFailed);
    EXPECT_EQ(cert, nullptr);
    ASN1_Extensions *ext = nullptr;
    ASSERT_EQ(qelPKIExtensionsNew(&ext, ctx), 0);
    EXPECT_EQ(qelPKICertificateCreate(&cert, 1, k.bits.data(), 1, kSha256RSA.data(), 9, nullptr, 0, n, kNow,
                                      kNow + 10, n, ext, k.oid.data(), k.oid.size(), k.bits.data(),
                                      k.bits.size(), nullptr, 0, ctx),
              QELPKIError_Extension);
    qelPKIExtensionsFree(ext, ctx);
    EXPECT_EQ(qelPKINameFree(n, ctx), 0);
}

// One row of the chain table: certificates from the leaf up, the roots
// OpenSSL trusts, and both verdicts.
struct ChainRow {
    const char *label;
    std::vector<CertSpec> chain; // leaf first
    bool opensslAccepts;
    int ours;
    bool revokeLeaf = false;
    bool sha1 = false;
};

std::vector<ChainRow> chainRows()
{
    const Keys &k = keys();
    auto rsa = [&](int i) { return k.rsa[i].get(); };
    auto dsa = [&](int i) { return k.dsa[i].get(); };
    const std::int64_t b = kNow - 3600, a = kNow + kYear;
    std::vector<ChainRow> rows;
    // Good chains of depth 1 to 4.
    for (int depth = 1; depth <= 4; ++depth) {
        ChainRow r{"rsa-sha256 depth", {}, true, 0};
        for (int i = 0; i < depth; ++i) {
            const int level = depth - 1 - i; // 0 = root
            const std::string subj = "CN=Level " + std::to_string(level);
            const std::string iss = "CN=Level " + std::to_string(level == 0 ? 0 : level - 1);
            r.chain.push_back({subj, iss, static_cast<std::uint8_t>(level + 1), rsa(level), rsa(level == 0 ? 0 : level - 1),
                               &kSha256RSA, b, a, level != depth - 1 || depth == 1});
        }
        rows.push_back(r);
    }
    rows.push_back({"rsa-sha1",
                    {{"CN=S1 Leaf", "CN=S1 Root", 2, rsa(1), rsa(0), &kSha1RSA, b, a, false},
                     {"CN=S1 Root", "CN=S1 Root", 1, rsa(0), rsa(0), &kSha1RSA, b, a}},
                    true, 0, false, true});
    rows.push_back({"dsa-sha1",
                    {{"CN=D1 Leaf", "CN=D1 Root", 2, dsa(1), dsa(0), &kSha1DSA, b, a, false},
                     {"CN=D1 Root", "CN=D1 Root", 1, dsa(0), dsa(0), &kSha1DSA, b, a}},
                    true, 0, false, true});
    rows.push_back({"dsa-sha256 depth 3",
                    {{"CN=D2 Leaf", "CN=D2 Mid", 3, dsa(2), dsa(1), &kSha256DSA, b, a, false},
                     {"CN=D2 Mid", "CN=D2 Root", 2, dsa(1), dsa(0), &kSha256DSA, b, a},
                     {"CN=D2 Root", "CN=D2 Root", 1, dsa(0), dsa(0), &kSha256DSA, b, a}},
                    true, 0});
    rows.push_back({"mixed rsa root, dsa leaf key",
                    {{"CN=M Leaf", "CN=M Root", 2, dsa(0), rsa(0), &kSha256RSA, b, a, false},
                     {"CN=M Root", "CN=M Root", 1, rsa(0), rsa(0), &kSha256RSA, b, a}},
                    true, 0});
    rows.push_back({"wrong issuer key",
                    {{"CN=W Leaf", "CN=W Root", 2, rsa(2), rsa(3), &kSha256RSA, b, a, false},
                     {"CN=W Root", "CN=W Root", 1, rsa(0), rsa(0), &kSha256RSA, b, a}},
                    false, QELPKIError_InvalidSignature});
    rows.push_back({"expired leaf",
                    {{"CN=E Leaf", "CN=E Root", 2, rsa(2), rsa(0), &kSha256RSA, b - kYear, kNow - 1, false},
                     {"CN=E Root", "CN=E Root", 1, rsa(0), rsa(0), &kSha256RSA, b, a}},
                    false, QELPKIError_InvalidData});
    rows.push_back({"missing issuer",
                    {{"CN=N Leaf", "CN=Nobody", 2, rsa(2), rsa(0), &kSha256RSA, b, a, false},
                     {"CN=N Root", "CN=N Root", 1, rsa(0), rsa(0), &kSha256RSA, b, a}},
                    false, QELPKIError_IssuerMissing});
    rows.push_back({"revoked leaf",
                    {{"CN=R Leaf", "CN=R Root", 2, rsa(2), rsa(0), &kSha256RSA, b, a, false},
                     {"CN=R Root", "CN=R Root", 1, rsa(0), rsa(0), &kSha256RSA, b, a}},
                    false, QELPKIError_Revoked, true});
    // Not checked by design: an intermediate without basicConstraints.
    rows.push_back({"intermediate not a CA (not checked here)",
                    {{"CN=C Leaf", "CN=C Mid", 3, rsa(2), rsa(1), &kSha256RSA, b, a, false},
                     {"CN=C Mid", "CN=C Root", 2, rsa(1), rsa(0), &kSha256RSA, b, a, false},
                     {"CN=C Root", "CN=C Root", 1, rsa(0), rsa(0), &kSha256RSA, b, a}},
                    false, 0});
    // Two certificates issuing each other, neither self-issued, plus an
    // unrelated root for OpenSSL to trust.
    rows.push_back({"cycle",
                    {{"CN=Cycle A", "CN=Cycle B", 2, rsa(1), rsa(2), &kSha256RSA, b, a},
                     {"CN=Cycle B", "CN=Cycle A", 3, rsa(2), rsa(1), &kSha256RSA, b, a},
                     {"CN=Other Root", "CN=Other Root", 1, rsa(0), rsa(0), &kSha256RSA, b, a}},
                    false, QELPKIError_IssuerMissing});
    return rows;
}

TEST_F(ChainTest, VerdictsAgreeWithOpenSSL)
{
    int row = 0;
    for (const ChainRow &r : chainRows()) {
        SCOPED_TRACE(r.label + std::string(" #") + std::to_string(row));
        int calls = 0;
        pkitest::Context ctx;
        ctx.get()->verify = pkicb::verify;
        ctx.get()->userData = &calls;
        std::vector<std::string> pems;
        QELPKICertificate *leaf = nullptr;
        for (std::size_t i = 0; i < r.chain.size(); ++i) {
            const Bytes der = makeCert(r.chain[i]);
            ASSERT_FALSE(der.empty());
            pems.push_back(pemFile("row" + std::to_string(row) + "_" + std::to_string(i) + ".pem", der));
            ASSERT_EQ(qelPKICertificateImport(der.data(), der.size(), ctx), 0);
            if (i == 0)
                leaf = ctx.get()->certificates->certificate;
        }
        std::string crlOption;
        if (r.revokeLeaf) {
            // The root's CRL lists the leaf's serial number.
            pkitest::Context signer;
            signer.get()->sign = pkicb::sign;
            signer.get()->signData = r.chain.back().signerKey->pkey;
            ASN1_Name *issuer = name(r.chain.back().subject, signer);
            ASN1_CertificateList *crl = nullptr;
            ASSERT_EQ(qelPKICRLCreate(&crl, kSha256RSA.data(), 9, kNull.data(), 2, issuer, kNow + 86400, nullptr,
                                      signer),
                      0);
            ASSERT_EQ(qelPKICRLAddEntry(crl, &r.chain[0].serial, 1, kNow - 60, nullptr, signer), 0);
            ASSERT_EQ(qelPKICRLSign(crl, signer), 0);
            std::uint8_t *der = nullptr;
            std::uint64_t n = 0;
            ASSERT_EQ(qelPKICRLEncode(&der, &n, crl, signer), 0);
            const Bytes crlDER(der, der + n);
            release(signer, der);
            qelPKICRLFree(crl, signer);
            EXPECT_EQ(qelPKINameFree(issuer, signer), 0);
            EXPECT_EQ(qelPKIImportCRL(crlDER.data(), crlDER.size(), ctx, 0), 0);
            crlOption = " -crl_check -CRLfile " + pemFile("row" + std::to_string(row) + ".crl", crlDER, "crl");
        }
        const int ours = qelPKICertificateVerifyChain(leaf, 0, ctx);
        EXPECT_EQ(ours, r.ours);
        // OpenSSL trusts the last certificate; the ones between are untrusted.
        std::vector<std::string> middle;
        if (pems.size() > 2)
            middle.assign(pems.begin() + 1, pems.end() - 1);
        std::string cmd = "openssl verify" + std::string(r.sha1 ? " -auth_level 0" : "") + crlOption +
                          " -CAfile " + pems.back();
        if (!middle.empty())
            cmd += " -untrusted " + cat(middle, "row" + std::to_string(row) + "_untrusted.pem");
        int rc = 0;
        const std::string said = run(cmd + " " + pems.front() + " 2>&1", &rc);
        EXPECT_EQ(rc == 0, r.opensslAccepts) << said;
        // Agreement, save the documented gap: basic constraints are not checked.
        if (std::string(r.label).find("not checked") == std::string::npos) {
            EXPECT_EQ(ours == 0, rc == 0) << said;
        }
        ++row;
    }
}

TEST_F(ChainTest, StoreSearchAndCallbackOrder)
{
    const Keys &k = keys();
    const std::int64_t b = kNow - 60, a = kNow + 600;
    const Bytes root = makeCert({"CN=O Root", "CN=O Root", 1, k.rsa[0].get(), k.rsa[0].get(), &kSha256RSA, b, a});
    const Bytes mid = makeCert({"CN=O Mid", "CN=O Root", 2, k.rsa[1].get(), k.rsa[0].get(), &kSha256RSA, b, a});
    const Bytes leaf =
        makeCert({"CN=O Leaf", "CN=O Mid", 3, k.rsa[2].get(), k.rsa[1].get(), &kSha256RSA, b, a, false});
    int calls = 0;
    pkitest::Context ctx;
    ctx.get()->verify = pkicb::verify;
    ctx.get()->userData = &calls;
    for (const Bytes *d : {&root, &mid, &leaf, &leaf})
        ASSERT_EQ(qelPKICertificateImport(d->data(), d->size(), ctx), 0);
    int stored = 0;
    for (auto *n = ctx.get()->certificates; n != nullptr; n = n->next)
        ++stored;
    EXPECT_EQ(stored, 3); // the same DER twice is kept once
    QELPKICertificate *e = ctx.get()->certificates->certificate;
    EXPECT_EQ(qelPKICertificateVerifyChain(e, 0, ctx), 0);
    EXPECT_EQ(calls, 3);
    // Flag 1 wants every issuer's CRL.
    EXPECT_EQ(qelPKICertificateVerifyChain(e, QELPKIVerify_RequireCRL, ctx), QELPKIError_NoIssuerCRL);
    // Without the intermediate the walk stops before any signature check.
    QELPKICertificateNode *midNode = ctx.get()->certificates->next;
    ctx.get()->certificates->next = midNode->next;
    calls = 0;
    EXPECT_EQ(qelPKICertificateVerifyChain(e, 0, ctx), QELPKIError_IssuerMissing);
    EXPECT_EQ(calls, 0);
    qelPKICertificateFree(midNode->certificate, ctx);
    release(ctx, midNode);
}

TEST_F(ChainTest, RevocationListPrintsAndChecksInOpenSSL)
{
    const Key &k = *keys().rsa[0];
    const std::int64_t b = kNow - 60, a = kNow + kYear;
    const Bytes root = makeCert({"CN=L Root", "CN=L Root", 1, &k, &k, &kSha256RSA, b, a});
    const Bytes leaf = makeCert({"CN=L Leaf", "CN=L Root", 9, keys().rsa[1].get(), &k, &kSha256RSA, b, a, false});
    pkitest::Context ctx;
    ctx.get()->sign = pkicb::sign;
    ctx.get()->signData = k.pkey;
    ctx.get()->verify = pkicb::verify;
    ASSERT_EQ(qelPKICertificateImport(root.data(), root.size(), ctx), 0);
    ASN1_Name *issuer = name("CN=L Root", ctx);
    ASN1_CertificateList *crl = nullptr;
    EXPECT_EQ(qelPKICRLCreate(&crl, kSha256RSA.data(), 9, kNull.data(), 2, issuer, kNow - 10, nullptr, ctx),
              QELPKIError_InvalidData);
    ASSERT_EQ(qelPKICRLCreate(&crl, kSha256RSA.data(), 9, kNull.data(), 2, issuer, 0, nullptr, ctx), 0);
    EXPECT_EQ(crl->tbsCertList.version, nullptr);
    // 30 years ahead crosses 2038 and 2050: 64-bit arithmetic, GeneralizedTime.
    ASSERT_EQ(qelPKICRLSetUpdateTimes(crl, 30 * 365, ctx), 0);
    EXPECT_EQ(crl->tbsCertList.nextUpdate->identifier, 0x18);
    EXPECT_EQ(qelPKITimeToSeconds(crl->tbsCertList.nextUpdate) - qelPKITimeToSeconds(&crl->tbsCertList.thisUpdate),
              30LL * 365 * 86400);
    ASSERT_EQ(qelPKICRLSetUpdateTimes(crl, 7, ctx), 0);
    EXPECT_EQ(crl->tbsCertList.nextUpdate->identifier, 0x17);
    const std::uint8_t nine = 9;
    ASSERT_EQ(qelPKICRLAddEntry(crl, &nine, 1, kNow - 30, nullptr, ctx), 0);
    ASSERT_EQ(qelPKICRLSign(crl, ctx), 0);
    std::uint8_t *der = nullptr;
    std::uint64_t n = 0;
    ASSERT_EQ(qelPKICRLEncode(&der, &n, crl, ctx), 0);
    const Bytes crlDER(der, der + n);
    release(ctx, der);
    const std::string crlPem = pemFile("l.crl", crlDER, "crl");
    const std::string text = run("openssl crl -noout -text -in " + crlPem);
    EXPECT_NE(text.find("Issuer: CN = L Root"), std::string::npos) << text;
    EXPECT_NE(text.find("Serial Number: 09"), std::string::npos) << text;
    EXPECT_NE(text.find("Next Update:"), std::string::npos) << text;
    const std::string rootPem = pemFile("l_root.pem", root), leafPem = pemFile("l_leaf.pem", leaf);
    int rc = 0;
    const std::string said =
        run("openssl verify -crl_check -CRLfile " + crlPem + " -CAfile " + rootPem + " " + leafPem + " 2>&1", &rc);
    EXPECT_NE(rc, 0);
    EXPECT_NE(said.find("revoked"), std::string::npos) << said;

    // Kept by the context, newest per issuer, then consulted by the check.
    ASSERT_EQ(qelPKIAddCRL(crl, ctx, 0), 0);
    QELPKICertificate *leafObject = nullptr;
    ASSERT_EQ(qelPKICertificateDecode(&leafObject, leaf.data(), leaf.size(), ctx), 0);
    EXPECT_EQ(qelPKICheckRevocation(ctx, leafObject, 0), QELPKIError_Revoked);
    EXPECT_EQ(qelPKIImportCRL(crlDER.data(), crlDER.size(), ctx, 0), 0); // same age: not kept, freed
    EXPECT_EQ(qelPKIRemoveCRL(issuer, ctx), 0);
    EXPECT_EQ(ctx.get()->revocationLists, nullptr);
    EXPECT_EQ(qelPKICheckRevocation(ctx, leafObject, 0), 0);
    EXPECT_EQ(qelPKICheckRevocation(ctx, leafObject, QELPKIVerify_RequireCRL), QELPKIError_NoIssuerCRL);
    Bytes bad = crlDER;
    bad[bad.size() - 5] ^= 1;
    EXPECT_EQ(qelPKIImportCRL(bad.data(), bad.size(), ctx, 0), QELPKIError_InvalidSignature);
    qelPKICertificateFree(leafObject, ctx);
    EXPECT_EQ(qelPKINameFree(issuer, ctx), 0);
}

TEST_F(ChainTest, RequestPassesOpenSSLReqVerify)
{
    const Key &k = *keys().rsa[3];
    pkitest::Context ctx;
    ctx.get()->sign = pkicb::sign;
    ctx.get()->signData = k.pkey;
    ctx.get()->verify = pkicb::verify;
    ASN1_Name *subject = name("CN=Request,O=Qel Test", ctx);
    ASN1_Attributes *attrs = nullptr;
    ASSERT_EQ(qelPKIAttributesNew(&attrs, ctx), 0);
    ASSERT_EQ(qelPKIAttributesAddSigningTime(attrs, ctx), 0);
    const Bytes challenge{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x07};
    const Bytes secret{0x13, 0x06, 's', 'e', 'c', 'r', 'e', 't'};
    ASSERT_EQ(qelPKIAttributesAdd(attrs, challenge.data(), challenge.size(), secret.data(), secret.size(), ctx), 0);
    ASN1_CertificationRequest *req = nullptr;
    ASSERT_EQ(qelPKIRequestCreate(&req, 0, kSha256RSA.data(), 9, kNull.data(), 2, subject, k.oid.data(),
                                  k.oid.size(), k.bits.data(), k.bits.size(), k.params.data(), k.params.size(),
                                  attrs, ctx),
              0);
    EXPECT_EQ(qelPKIRequestVerify(req, ctx), 0);
    std::uint8_t *der = nullptr;
    std::uint64_t n = 0;
    ASSERT_EQ(qelPKIRequestEncode(&der, &n, req, ctx), 0);
    const Bytes reqDER(der, der + n);
    release(ctx, der);
    const std::string path = pemFile("r.csr", reqDER, "req");
    int rc = 0;
    const std::string said = run("openssl req -verify -noout -text -in " + path + " 2>&1", &rc);
    EXPECT_EQ(rc, 0) << said;
    EXPECT_NE(said.find("challengePassword"), std::string::npos) << said;
    EXPECT_NE(said.find("CN = Request"), std::string::npos) << said;
    std::uint8_t *value = nullptr;
    ASSERT_EQ(qelPKIRequestGetAttribute(&value, &n, req, challenge.data(), challenge.size(), ctx), 0);
    EXPECT_EQ(Bytes(value, value + n), secret);
    release(ctx, value);
    EXPECT_EQ(qelPKIRequestGetAttribute(&value, &n, req, challenge.data(), 8, ctx), QELPKIError_NotFound);
    // Decoding gives the same DER; one flipped signature bit is refused.
    ASN1_CertificationRequest *back = nullptr;
    ASSERT_EQ(qelPKIRequestDecode(&back, reqDER.data(), reqDER.size(), ctx), 0);
    back->signature.data[3] ^= 0x10;
    EXPECT_EQ(qelPKIRequestVerify(back, ctx), QELPKIError_InvalidSignature);
    qelPKIRequestFree(back, ctx);
    qelPKIRequestFree(req, ctx);
    qelPKIAttributesFree(attrs, ctx);
    EXPECT_EQ(qelPKINameFree(subject, ctx), 0);
}

TEST_F(ChainTest, RequestAttributesOutOfMemoryIsAnError)
{
    const Key &k = *keys().rsa[3];
    const Bytes challenge{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x07};
    const Bytes secret{0x13, 0x01, 's'};
    // Fail each allocation in turn: never a signed request without attributes.
    int failures = 0;
    for (int failAt = 0; failAt < 400; ++failAt) {
        pkitest::Context ctx;
        ctx.get()->sign = pkicb::sign;
        ctx.get()->signData = k.pkey;
        ASN1_Name *subject = name("CN=R", ctx);
        ASN1_Attributes *attrs = nullptr;
        ASSERT_EQ(qelPKIAttributesNew(&attrs, ctx), 0);
        ASSERT_EQ(qelPKIAttributesAdd(attrs, challenge.data(), challenge.size(), secret.data(), secret.size(), ctx),
                  0);
        ctx.allocator().failAt = ctx.allocator().calls + failAt;
        ASN1_CertificationRequest *req = nullptr;
        const int rc = qelPKIRequestCreate(&req, 0, kSha256RSA.data(), 9, nullptr, 0, subject, k.oid.data(),
                                           k.oid.size(), k.bits.data(), k.bits.size(), nullptr, 0, attrs, ctx);
        ctx.allocator().failAt = -1;
        if (rc == 0) {
            EXPECT_EQ(req->certificationRequestInfo.attributes.count, 1);
            EXPECT_NE(req->signature.length, 0u);
            qelPKIRequestFree(req, ctx);
            qelPKIAttributesFree(attrs, ctx);
            EXPECT_EQ(qelPKINameFree(subject, ctx), 0);
            break;
        }
        EXPECT_TRUE(rc == QELPKIError_OutOfMemory || rc == QELPKIError_SignFailed) << rc;
        ++failures;
        if (req != nullptr) {
            EXPECT_EQ(req->signature.length, 0u);
        }
        qelPKIRequestFree(req, ctx);
        qelPKIAttributesFree(attrs, ctx);
        EXPECT_EQ(qelPKINameFree(subject, ctx), 0);
    }
    EXPECT_GT(failures, 10);
}

} // namespace
