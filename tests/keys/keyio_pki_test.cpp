// The X.509 forms of key import and export, each round-tripped through
// qelExportKeys / qelImportKeys and read by OpenSSL: a key's certificate as
// DER and PEM, certificates and CRLs bare, as PEM and inside PKCS #7, and
// PKCS #12 files both ways.
#include "keyio_fixture.h"

#include "../pki/pki_peer_fixture.h"
#include "qelCertAttributeInternal.h"
#include "qelClientKeyDB.h"
#include "qelKeyDB.h"
#include "qelMemory.h"
#include "qelRandomPoolInternal.h"

#include <cstring>

namespace {

using namespace keystest;
using namespace keyiotest;

constexpr std::int32_t kCertificate = 10000, kPEM = 10006, kPKCS12 = 10013;

class KeyIOPKI : public pkitest::PeerKeyDBTest {
protected:
    void SetUp() override
    {
        PeerKeyDBTest::SetUp();
        if (!goOn())
            return;
        key = keyWithUserID(db, "revoker@example.org");
        ASSERT_NE(key, nullptr);
        static constexpr std::uint8_t kCN[] = {'K', 'e', 'y', ' ', 'I', 'O'};
        const QELCertAttribute cn{QELCertAttr_CommonName, sizeof kCN, kCN, 0};
        ASSERT_EQ(qelCreateSelfSignedX509Certificate(key, &sig, qelOptionKind69(ctx, &cn, 1),
                                                     qelOptionPassphrase(ctx, ""), qelOptionLastOption(ctx)),
                  QELError_NoErr);
        std::size_t n = 0;
        const std::uint8_t *p = qelKeyObjSigX509Data(sig, &n);
        ASSERT_NE(p, nullptr);
        cert.assign(p, p + n);
        dir.write("cert.der", cert);
        ASSERT_EQ(dir.sh("openssl x509 -inform DER -in cert.der -out cert.pem"), 0);
    }
    void TearDown() override
    {
        for (QELKeyDB *d : dbs_)
            EXPECT_EQ(qelKeyDBRelease(d), QELError_NoErr);
        PeerKeyDBTest::TearDown();
    }
    // The export of the key in format 10000 into a new buffer.
    Bytes exportKey(QELOptionList *extra, QELStatus expect = QELError_NoErr, std::int32_t format = kCertificate)
    {
        void *out = nullptr;
        std::uint64_t size = 0;
        EXPECT_EQ(qelExportKeys(ctx, qelOptionKeyObject71(ctx, key), qelOptionInt66(ctx, format),
                                qelOptionOutputAllocatedBuffer(ctx, &out, 1 << 20, &size), extra,
                                qelOptionLastOption(ctx)),
                  expect);
        Bytes b(static_cast<std::uint8_t *>(out), static_cast<std::uint8_t *>(out) + size);
        if (out != nullptr) {
            EXPECT_EQ(qelMemFree(out), 0);
        }
        return b;
    }
    QELKeyDB *import(const Bytes &in, std::int32_t format, QELOptionList *extra, QELStatus *status = nullptr)
    {
        QELKeyDB *out = nullptr;
        const QELStatus s = qelImportKeys(ctx, &out, qelOptionInputBuffer(ctx, in.data(), in.size()),
                                          qelOptionInputFormat(ctx, format), extra, qelOptionLastOption(ctx));
        if (status != nullptr) {
            *status = s;
        } else {
            EXPECT_EQ(s, QELError_NoErr);
        }
        if (out != nullptr)
            dbs_.push_back(out);
        return out;
    }
    // The certificates the database carries, as received.
    static std::vector<Bytes> certificates(QELKeyDB *where)
    {
        std::vector<Bytes> out;
        for (QELKeyObject *k : liveKeys(where))
            for (QELKeyObject *c = k->firstChild; c; c = c->next)
                for (QELKeyObject *g = c->firstChild; g; g = g->next)
                    if (qelKeyObjIsLiveSignature(g) && qelKeyObjSigIsX509(g)) {
                        std::size_t n = 0;
                        const std::uint8_t *p = qelKeyObjSigX509Data(g, &n);
                        out.emplace_back(p, p + n);
                    }
        return out;
    }
    // The public numbers of the database's first key, as OpenSSL prints
    // the modulus.
    std::string modulusOf(const std::string &pemKeyFile)
    {
        return pkitest::run("openssl rsa -in " + (dir / pemKeyFile) + " -noout -modulus 2>/dev/null");
    }
    QELKeyObject *key = nullptr;
    QELKeyObject *sig = nullptr;
    Bytes cert;
    pkitest::Workdir dir;
    std::vector<QELKeyDB *> dbs_;
};

TEST_F(KeyIOPKI, CertificateExportsAsDERAndPEMAndImportsBack)
{
    EXPECT_EQ(exportKey(qelOptionNull(ctx)), cert);
    const Bytes pem = exportKey(qelOptionArmorOutput(ctx, 1));
    EXPECT_EQ(text(pem), qeltest::readFile(dir / "cert.pem")) << "what openssl x509 writes";

    for (auto [input, format] : {std::pair{cert, kCertificate}, std::pair{pem, kPEM}}) {
        QELKeyDB *back = import(input, format, qelOptionNull(ctx));
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(liveKeys(back).size(), 1u);
        EXPECT_EQ(certificates(back), std::vector<Bytes>{cert});
    }
    // Not a certificate at all.
    const Bytes junk{0x30, 0x03, 0x02, 0x01, 0x05};
    QELStatus s = 0;
    EXPECT_EQ(import(junk, kCertificate, qelOptionNull(ctx), &s), nullptr);
    EXPECT_NE(s, QELError_NoErr);
}

TEST_F(KeyIOPKI, PKCS7CertificatesImport)
{
    ASSERT_EQ(dir.sh("openssl crl2pkcs7 -nocrl -certfile cert.pem -outform DER -out c.p7b && "
                     "openssl crl2pkcs7 -nocrl -certfile cert.pem -out c.p7.pem"),
              0);
    for (auto [name, format] : {std::pair{"c.p7b", kCertificate}, std::pair{"c.p7.pem", kPEM}}) {
        QELKeyDB *back = import(dir.read(name), format, qelOptionNull(ctx));
        ASSERT_NE(back, nullptr) << name;
        EXPECT_EQ(certificates(back), std::vector<Bytes>{cert}) << name;
    }
}

TEST_F(KeyIOPKI, CRLImportsIntoTheIssuersDatabase)
{
    ASSERT_EQ(qelCreateX509CRL(sig, qelKeyDBGetRootSet(db), qelOptionPassphrase(ctx, ""), qelOptionLastOption(ctx)),
              QELError_NoErr);
    Bytes crl;
    for (QELKeyObject *k : liveKeys(db))
        for (QELKeyObject *c = k->firstChild; c && crl.empty(); c = c->next)
            for (QELKeyObject *o = c; o && crl.empty(); o = o == c ? c->firstChild : o->next)
                if (qelKeyObjIsLive(o) && qelKeyObjType(o) == QELObjectType_CRL) {
                    const auto body = qelKeyObjPacketBody(o);
                    crl.assign(body.begin() + 2, body.end());
                }
    ASSERT_FALSE(crl.empty());
    dir.write("crl.der", crl);
    ASSERT_EQ(dir.sh("openssl crl -inform DER -in crl.der -CAfile cert.pem -noout"), 0) << "OpenSSL checks it";
    QELKeyDB *certs = import(cert, kCertificate, qelOptionNull(ctx));
    ASSERT_NE(certs, nullptr);
    QELKeyDB *back = import(crl, kCertificate, qelOptionTargetKeyDB(ctx, certs));
    ASSERT_NE(back, nullptr);
    std::size_t crls = 0;
    for (QELKeyObject *k : liveKeys(back))
        for (QELKeyObject *c = k->firstChild; c; c = c->next) {
            crls += qelKeyObjIsLive(c) && qelKeyObjType(c) == QELObjectType_CRL;
            for (QELKeyObject *g = c->firstChild; g; g = g->next)
                crls += qelKeyObjIsLive(g) && qelKeyObjType(g) == QELObjectType_CRL;
        }
    EXPECT_EQ(crls, 1u);
    // With no certificate of its issuer at hand there is nothing to hang
    // it on.
    QELKeyDB *empty = nullptr;
    ASSERT_EQ(qelKeyDBNewInMemory(ctx, &empty), QELError_NoErr);
    dbs_.push_back(empty);
    QELStatus s = 0;
    EXPECT_EQ(import(crl, kCertificate, qelOptionTargetKeyDB(ctx, empty), &s), nullptr);
    EXPECT_EQ(s, QELError_CertificateNotFound);
}

TEST_F(KeyIOPKI, PKCS12BothWays)
{
    // Ours: OpenSSL opens it with the password and finds our key and
    // certificate.
    const Bytes pfx = exportKey(qelOptionListBuild(ctx, false, qelOptionExportPrivateKeys(ctx, 1),
                                                   qelOptionPassphrase(ctx, "p12 pass"), qelOptionLastOption(ctx)));
    ASSERT_FALSE(pfx.empty());
    dir.write("ours.p12", pfx);
    ASSERT_EQ(dir.sh("openssl pkcs12 -in ours.p12 -passin 'pass:p12 pass' -nodes -nocerts -out ours.key"), 0);
    ASSERT_EQ(dir.sh("openssl pkcs12 -in ours.p12 -passin 'pass:p12 pass' -nokeys -clcerts -out ours.crt"), 0);
    EXPECT_EQ(dir.sh("openssl x509 -in ours.crt -outform DER -out ours.der"), 0);
    EXPECT_EQ(dir.read("ours.der"), cert);
    const std::string ourModulus = modulusOf("ours.key");
    EXPECT_EQ(ourModulus, pkitest::run("openssl x509 -in " + (dir / "cert.pem") + " -noout -modulus"));
    EXPECT_NE(pkitest::run("openssl pkcs12 -in " + (dir / "ours.p12") + " -passin 'pass:p12 pass' -nodes 2>/dev/null")
                  .find("friendlyName: Revoker Rsa <revoker@example.org>"),
              std::string::npos);
    EXPECT_NE(dir.sh("openssl pkcs12 -in ours.p12 -passin pass:wrong -info -noout"), 0);

    // Back through our import: the key (secret, under the password) and
    // the certificate.
    QELKeyDB *back = import(pfx, kPKCS12, qelOptionPassphrase(ctx, "p12 pass"));
    ASSERT_NE(back, nullptr);
    ASSERT_EQ(liveKeys(back).size(), 1u);
    EXPECT_TRUE(qelKeyObjIsSecret(liveKeys(back).front()));
    EXPECT_EQ(certificates(back), std::vector<Bytes>{cert});
    QELStatus s = 0;
    EXPECT_EQ(import(pfx, kPKCS12, qelOptionPassphrase(ctx, "not it"), &s), nullptr);
    EXPECT_NE(s, QELError_NoErr);

    // OpenSSL's, with its defaults (PBES2, SHA-256 MAC): the same key.
    ASSERT_EQ(dir.sh("openssl pkcs12 -export -in cert.pem -inkey ours.key -passout pass:theirs -out theirs.p12"), 0);
    QELKeyDB *theirs = import(dir.read("theirs.p12"), kPKCS12, qelOptionPassphrase(ctx, "theirs"));
    ASSERT_NE(theirs, nullptr);
    ASSERT_EQ(liveKeys(theirs).size(), 1u);
    EXPECT_TRUE(qelKeyObjIsSecret(liveKeys(theirs).front()));
    EXPECT_EQ(certificates(theirs), std::vector<Bytes>{cert});
}

TEST_F(KeyIOPKI, RequestsForACertificationAuthority)
{
    // A PKCS #10 request OpenSSL verifies, carrying the key and the subject.
    static constexpr std::uint8_t kCN[] = {'R', 'e', 'q', 'u', 'e', 's', 't', 'e', 'r'};
    const QELCertAttribute cn{QELCertAttr_CommonName, sizeof kCN, kCN, 0};
    const Bytes request = exportKey(qelOptionListBuild(ctx, false, qelOptionKind69(ctx, &cn, 1),
                                                       qelOptionPassphrase(ctx, ""), qelOptionArmorOutput(ctx, 1),
                                                       qelOptionLastOption(ctx)),
                                    QELError_NoErr, 11000);
    ASSERT_FALSE(request.empty());
    EXPECT_EQ(text(request).rfind("-----BEGIN CERTIFICATE REQUEST-----\n", 0), 0u) << text(request);
    dir.write("req.pem", request);
    const std::string verified = pkitest::run("openssl req -in " + (dir / "req.pem") + " -verify -noout -subject 2>&1");
    EXPECT_NE(verified.find("verify OK"), std::string::npos) << verified;
    EXPECT_NE(verified.find("CN = Requester"), std::string::npos) << verified;
    EXPECT_EQ(pkitest::run("openssl req -in " + (dir / "req.pem") + " -noout -pubkey"),
              pkitest::run("openssl x509 -in " + (dir / "cert.pem") + " -noout -pubkey"));
    // The request issues here too, from the CA's certificate.
    QELKeyObject *issued = nullptr;
    ASSERT_EQ(dir.sh("openssl req -in req.pem -outform DER -out req.der"), 0);
    const Bytes der = dir.read("req.der");
    EXPECT_EQ(qelCreateX509CertificateFromRequest(sig, &issued, qelOptionInputBuffer(ctx, der.data(), der.size()),
                                                  qelOptionKind69(ctx, &cn, 1), qelOptionPassphrase(ctx, ""),
                                                  qelOptionLastOption(ctx)),
              QELError_NoErr);
    EXPECT_NE(issued, nullptr);

    // 11010 to 11019: an empty SEQUENCE.
    EXPECT_EQ(exportKey(qelOptionNull(ctx), QELError_NoErr, 11010), (Bytes{0x30, 0x00}));
    // From 11020: the GetCRL request naming the key's certificate's issuer.
    const Bytes getCRL = exportKey(qelOptionNull(ctx), QELError_NoErr, 11020);
    ASSERT_FALSE(getCRL.empty());
    dir.write("getcrl.der", getCRL);
    const std::string parsed = pkitest::run("openssl asn1parse -inform DER -in " + (dir / "getcrl.der") + " 2>&1");
    EXPECT_NE(parsed.find(":Key IO"), std::string::npos) << parsed;
}

} // namespace
