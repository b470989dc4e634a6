// Certificates and CRLs issued by keys of the key database, judged by
// OpenSSL: a self-signed CA (RSA and DSA), an end entity from a request made
// with `openssl req`, and CRLs that do and do not revoke it all pass
// `openssl verify` (with -crl_check); a request whose signature is broken is
// refused; validity past 2038, 2050 and 2106 is written as GeneralizedTime
// where it must be and reads back as given; and the toolkit's verify
// callback checks a signature with a certificate's key.
#include "pki_peer_fixture.h"

#include "qelCertAttributeInternal.h"
#include "qelClientKeyDB.h"
#include "qelEnumeratedSet.h"
#include "qelKeyDB.h"
#include "qelKeySet.h"
#include "qelPKIIssueInternal.h"
#include "qelPKISDKInternal.h"
#include "qelRandomPoolInternal.h"
#include "qelX509KeysInternal.h"

#include <cstring>

namespace {

using namespace keystest;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t k2040 = 2208988800u; // 2040-01-01T00:00:00Z
constexpr std::uint32_t k2049 = 2524521600u; // 2049-12-31T00:00:00Z
constexpr std::uint32_t k2050 = 2524608000u; // 2050-01-01T00:00:00Z

QELCertAttribute text(std::int32_t id, const char *value)
{
    return QELCertAttribute{id, std::strlen(value), reinterpret_cast<const std::uint8_t *>(value), 0};
}

Bytes carried(QELKeyObject *sig)
{
    std::size_t n = 0;
    const std::uint8_t *p = qelKeyObjSigX509Data(sig, &n);
    return p != nullptr ? Bytes(p, p + n) : Bytes{};
}

class Issue : public pkitest::PeerKeyDBTest {
protected:
    void SetUp() override
    {
        PeerKeyDBTest::SetUp();
        if (!goOn())
            return;
        rsa = keyWithUserID(db, "revoker@example.org");
        dsa = keyWithUserID(db, "main@example.org");
        ASSERT_NE(rsa, nullptr);
        ASSERT_NE(dsa, nullptr);
    }
    // A self-signed certificate of the key; its signature object.
    QELKeyObject *selfSigned(QELKeyObject *key, const char *cn, std::uint32_t start = 0, std::int32_t days = 30,
                             QELStatus expect = QELError_NoErr)
    {
        // basicConstraints cA TRUE, critical, passed through as DER.
        static constexpr std::uint8_t kCA[] = {0x30, 0x0F, 0x06, 0x03, 0x55, 0x1D, 0x13, 0x01, 0x01, 0xFF,
                                               0x04, 0x05, 0x30, 0x03, 0x01, 0x01, 0xFF};
        QELCertAttribute attrs[] = {text(QELCertAttr_CommonName, cn), text(QELCertAttr_Organization, "Issue Test"),
                                    QELCertAttribute{QELCertAttr_Extension, sizeof kCA, kCA, 0}};
        QELKeyObject *sig = nullptr;
        EXPECT_EQ(qelCreateSelfSignedX509Certificate(key, &sig, qelOptionKind69(ctx, attrs, 3),
                                                     qelOptionPassphrase(ctx, ""), qelOptionValidityDays(ctx, days),
                                                     start != 0 ? qelOptionCreationTime(ctx, start) : qelOptionNull(ctx),
                                                     qelOptionLastOption(ctx)),
                  expect);
        return sig;
    }
    QELKeyObject *fromRequest(QELKeyObject *caSig, const Bytes &request, QELStatus *status)
    {
        QELCertAttribute attrs[] = {text(QELCertAttr_DNSName, "ee.example.org")};
        QELKeyObject *sig = nullptr;
        *status = qelCreateX509CertificateFromRequest(
            caSig, &sig, qelOptionInputBuffer(ctx, request.data(), request.size()), qelOptionKind69(ctx, attrs, 1),
            qelOptionPassphrase(ctx, ""), qelOptionValidityDays(ctx, 10), qelOptionLastOption(ctx));
        return sig;
    }
    // The DER of the first CRL object the database holds with this issuer.
    static Bytes crlOf(QELKeyDB *where, std::size_t skip = 0)
    {
        for (QELKeyObject *k : liveKeys(where))
            for (QELKeyObject *c = k->firstChild; c; c = c->next)
                for (QELKeyObject *o : {c, c->firstChild}) {
                    for (; o != nullptr; o = o->next) {
                        if (!qelKeyObjIsLive(o) || qelKeyObjType(o) != QELObjectType_CRL)
                            continue;
                        if (skip-- != 0)
                            continue;
                        const auto body = qelKeyObjPacketBody(o);
                        if (body.size() > 2 && body[1] == 1)
                            return Bytes(body.begin() + 2, body.end());
                    }
                    if (o == nullptr && c->firstChild == nullptr)
                        break;
                }
        return {};
    }
    QELKeyObject *rsa = nullptr;
    QELKeyObject *dsa = nullptr;
    pkitest::Workdir dir;
};

TEST_F(Issue, SelfSignedCAEndEntityFromRequestAndCRLsPassOpenSSLVerify)
{
    QELKeyObject *caSig = selfSigned(rsa, "Issue Test CA");
    ASSERT_NE(caSig, nullptr);
    const Bytes ca = carried(caSig);
    ASSERT_FALSE(ca.empty());
    dir.write("ca.der", ca);
    ASSERT_EQ(dir.sh("openssl x509 -inform DER -in ca.der -out ca.pem"), 0);
    // Self-signed: the issuer is the subject, and the signature hangs on
    // the key's own user ID.
    EXPECT_EQ(pkitest::run("openssl x509 -in " + (dir / "ca.pem") + " -noout -subject -issuer -nameopt compat"),
              "subject=/O=Issue Test/CN=Issue Test CA\nissuer=/O=Issue Test/CN=Issue Test CA\n");
    EXPECT_EQ(qelKeyObjTopKey(caSig), rsa);
    EXPECT_EQ(dir.sh("openssl verify -CAfile ca.pem ca.pem"), 0);
    // Version 3, a positive 16-octet serial number, MD5 with RSA and a
    // validity of exactly 30 days.
    const std::string text = pkitest::run("openssl x509 -in " + (dir / "ca.pem") + " -noout -text");
    EXPECT_NE(text.find("Version: 3 (0x2)"), std::string::npos) << text;
    EXPECT_NE(text.find("Signature Algorithm: md5WithRSAEncryption"), std::string::npos) << text;
    EXPECT_EQ(qelSigExpiration(caSig) - qelSigCreation(caSig), 30u * 86400u);
    const std::string serial = pkitest::run("openssl x509 -in " + (dir / "ca.pem") + " -noout -serial");
    EXPECT_EQ(serial.size(), std::string("serial=\n").size() + 32) << serial;

    // An end entity from a request OpenSSL made.
    ASSERT_EQ(dir.sh("openssl req -new -newkey rsa:1024 -nodes -keyout ee.key -sha1 -subj '/CN=End Entity/O=Peer' "
                     "-outform DER -out ee.req"),
              0);
    QELStatus s = 0;
    QELKeyObject *eeSig = fromRequest(caSig, dir.read("ee.req"), &s);
    ASSERT_EQ(s, QELError_NoErr);
    ASSERT_NE(eeSig, nullptr);
    dir.write("ee.der", carried(eeSig));
    ASSERT_EQ(dir.sh("openssl x509 -inform DER -in ee.der -out ee.pem"), 0);
    EXPECT_EQ(pkitest::run("cd " + (dir / "") + " && openssl verify -CAfile ca.pem ee.pem 2>&1"), "ee.pem: OK\n");
    EXPECT_EQ(pkitest::run("openssl x509 -in " + (dir / "ee.pem") + " -noout -subject -issuer -nameopt compat"),
              "subject=/CN=End Entity/O=Peer\nissuer=/O=Issue Test/CN=Issue Test CA\n");
    EXPECT_EQ(pkitest::run("openssl x509 -in " + (dir / "ee.pem") + " -noout -pubkey"),
              pkitest::run("openssl pkey -in " + (dir / "ee.key") + " -pubout"));
    EXPECT_NE(pkitest::run("openssl x509 -in " + (dir / "ee.pem") + " -noout -ext subjectAltName")
                  .find("DNS:ee.example.org"),
              std::string::npos);

    // A CRL over a set without the end entity: not revoked.
    QELKeySet *none = nullptr;
    ASSERT_EQ(qelEnumeratedSetNewEmpty(db, &none), QELError_NoErr);
    ASSERT_EQ(qelCreateX509CRL(caSig, none, qelOptionPassphrase(ctx, ""), qelOptionValidityDays(ctx, 7),
                               qelOptionLastOption(ctx)),
              QELError_NoErr);
    EXPECT_EQ(qelKeySetRelease(none), QELError_NoErr);
    Bytes crl = crlOf(db);
    ASSERT_FALSE(crl.empty());
    dir.write("empty.der", crl);
    ASSERT_EQ(dir.sh("openssl crl -inform DER -in empty.der -out empty.pem"), 0);
    EXPECT_EQ(pkitest::run("cd " + (dir / "") + " && openssl verify -crl_check -CRLfile empty.pem -CAfile ca.pem "
                           "ee.pem 2>&1"),
              "ee.pem: OK\n");
    const std::string emptyText = pkitest::run("openssl crl -in " + (dir / "empty.pem") + " -noout -text");
    EXPECT_NE(emptyText.find("No Revoked Certificates."), std::string::npos) << emptyText;

    // A CRL over a set of the end entity and a certificate of another CA:
    // it lists the end entity alone, and OpenSSL then refuses it.
    QELKeyObject *other = selfSigned(dsa, "Other CA");
    ASSERT_NE(other, nullptr);
    QELKeySet *two = nullptr;
    ASSERT_EQ(qelEnumeratedSetNewEmpty(db, &two), QELError_NoErr);
    ASSERT_EQ(qelKeySetAddObject(eeSig, two), QELError_NoErr);
    ASSERT_EQ(qelKeySetAddObject(other, two), QELError_NoErr);
    ASSERT_EQ(qelCreateX509CRL(caSig, two, qelOptionPassphrase(ctx, ""), qelOptionLastOption(ctx)), QELError_NoErr);
    EXPECT_EQ(qelKeySetRelease(two), QELError_NoErr);
    crl = crlOf(db, 1);
    ASSERT_FALSE(crl.empty());
    dir.write("revoked.der", crl);
    ASSERT_EQ(dir.sh("openssl crl -inform DER -in revoked.der -out revoked.pem"), 0);
    const std::string listing = pkitest::run("openssl crl -in " + (dir / "revoked.pem") + " -noout -text");
    const std::string eeSerial = pkitest::run("openssl x509 -in " + (dir / "ee.pem") + " -noout -serial");
    ASSERT_GT(eeSerial.size(), 8u);
    EXPECT_NE(listing.find("Serial Number: " + eeSerial.substr(7, eeSerial.size() - 8)), std::string::npos)
        << listing;
    EXPECT_EQ(listing.find("Serial Number: " + serial.substr(7, serial.size() - 8)), std::string::npos) << listing;
    const std::string otherSerial = [&] {
        dir.write("other.der", carried(other));
        return pkitest::run("openssl x509 -inform DER -in " + (dir / "other.der") + " -noout -serial");
    }();
    EXPECT_EQ(listing.find("Serial Number: " + otherSerial.substr(7, otherSerial.size() - 8)), std::string::npos);
    EXPECT_EQ(listing.find("Serial Number: ", listing.find("Serial Number: ") + 1), std::string::npos) << listing;
    EXPECT_NE(listing.find("Version 2"), std::string::npos);
    const std::string verdict = pkitest::run("cd " + (dir / "") +
                                             " && openssl verify -crl_check -CRLfile revoked.pem -CAfile ca.pem "
                                             "ee.pem 2>&1");
    EXPECT_NE(verdict.find("certificate revoked"), std::string::npos) << verdict;
}

TEST_F(Issue, DSASelfSignedCertificateVerifies)
{
    QELKeyObject *sig = selfSigned(dsa, "DSA CA");
    ASSERT_NE(sig, nullptr);
    dir.write("dsa.der", carried(sig));
    ASSERT_EQ(dir.sh("openssl x509 -inform DER -in dsa.der -out dsa.pem"), 0);
    EXPECT_EQ(pkitest::run("cd " + (dir / "") + " && openssl verify -CAfile dsa.pem dsa.pem 2>&1"), "dsa.pem: OK\n");
    EXPECT_NE(pkitest::run("openssl x509 -in " + (dir / "dsa.pem") + " -noout -text").find("dsaWithSHA1"),
              std::string::npos);
}

TEST_F(Issue, RequestWithBrokenSignatureIsRefused)
{
    QELKeyObject *caSig = selfSigned(rsa, "Refusing CA");
    ASSERT_NE(caSig, nullptr);
    ASSERT_EQ(dir.sh("openssl req -new -newkey rsa:1024 -nodes -keyout k.pem -sha1 -subj /CN=Forged -outform DER "
                     "-out r.der"),
              0);
    Bytes request = dir.read("r.der");
    ASSERT_GT(request.size(), 20u);
    EXPECT_EQ(qelX509VerifyRequest(ctx, request.data(), request.size()), QELError_NoErr);
    const std::size_t keysBefore = liveKeys(db).size();
    request[request.size() - 5] ^= 0x01; // inside the signature
    QELStatus s = 0;
    EXPECT_EQ(fromRequest(caSig, request, &s), nullptr);
    EXPECT_EQ(s, QELError_BadCertificateSignature);
    EXPECT_EQ(liveKeys(db).size(), keysBefore) << "nothing of a refused request is stored";
    // A subject changed after signing is refused the same way.
    request = dir.read("r.der");
    const std::string forged = "Forger";
    const auto at = std::search(request.begin(), request.end(), forged.begin(), forged.begin() + 5);
    ASSERT_NE(at, request.end());
    at[0] = 'f';
    EXPECT_EQ(fromRequest(caSig, request, &s), nullptr);
    EXPECT_EQ(s, QELError_BadCertificateSignature);
}

TEST_F(Issue, TimesPast2038And2050RoundTrip)
{
    struct Case {
        std::uint32_t start;
        std::int32_t days;
        const char *notBefore; // as `openssl x509 -startdate` gives it
        const char *notAfter;
        std::uint8_t tags[2];
    };
    // 2040 + 100 years runs past the 32-bit calendar's end in 2106: the
    // certificate says 2139, its signature expires with the calendar.
    const Case cases[] = {
        {k2040, 36525, "Jan  1 00:00:00 2040 GMT", "Jan  1 00:00:00 2140 GMT", {0x17, 0x18}},
        {k2049, 1, "Dec 31 00:00:00 2049 GMT", "Jan  1 00:00:00 2050 GMT", {0x17, 0x18}},
        {k2050, 30, "Jan  1 00:00:00 2050 GMT", "Jan 31 00:00:00 2050 GMT", {0x18, 0x18}},
    };
    for (const Case &c : cases) {
        QELKeyObject *sig = selfSigned(rsa, "Far Future", c.start, c.days);
        ASSERT_NE(sig, nullptr);
        const Bytes der = carried(sig);
        dir.write("t.der", der);
        EXPECT_EQ(pkitest::run("openssl x509 -inform DER -in " + (dir / "t.der") + " -noout -startdate -enddate"),
                  std::string("notBefore=") + c.notBefore + "\nnotAfter=" + c.notAfter + "\n");
        // The identifiers as written.
        QELX509TBSParts parts{};
        const std::uint8_t *tbs = nullptr, *alg = nullptr, *bits = nullptr;
        std::size_t tbsN = 0, algN = 0, bitsN = 0;
        ASSERT_EQ(qelX509SplitSigned(der.data(), der.size(), &tbs, &tbsN, &alg, &algN, &bits, &bitsN),
                  QELError_NoErr);
        ASSERT_EQ(qelX509SplitTBSCertificate(tbs, tbsN, &parts), QELError_NoErr);
        const std::uint8_t *validity = parts.part[3];
        ASSERT_NE(validity, nullptr);
        EXPECT_EQ(validity[2], c.tags[0]);
        EXPECT_EQ(validity[2 + 2 + validity[3]], c.tags[1]);
        // The key database reads the start back as given.
        EXPECT_EQ(qelSigCreation(sig), c.start);
        const std::uint64_t end = std::min<std::uint64_t>(std::uint64_t(c.start) + std::uint64_t(c.days) * 86400,
                                                          0xFFFFFFFFu);
        EXPECT_EQ(qelSigExpiration(sig) - qelSigCreation(sig), end - c.start);
    }
}

TEST_F(Issue, VerifyCallbackChecksWithTheCertificatesKey)
{
    QELKeyObject *caSig = selfSigned(rsa, "Callback CA");
    ASSERT_NE(caSig, nullptr);
    const Bytes ca = carried(caSig);
    pkitest::Context toolkit;
    QELPKICertificate *issuer = nullptr;
    ASSERT_EQ(qelPKICertificateDecode(&issuer, ca.data(), ca.size(), toolkit), 0);
    const std::uint8_t *tbs = nullptr, *alg = nullptr, *bits = nullptr;
    std::size_t tbsN = 0, algN = 0, bitsN = 0;
    ASSERT_EQ(qelX509SplitSigned(ca.data(), ca.size(), &tbs, &tbsN, &alg, &algN, &bits, &bitsN), QELError_NoErr);
    const std::uint8_t *signature = nullptr;
    std::size_t signatureN = 0;
    ASSERT_EQ(qelX509BitStringContents(bits, bitsN, &signature, &signatureN), QELError_NoErr);
    static constexpr std::uint8_t kMD5WithRSA[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x04};
    QELPKICallbackData data{nullptr, ctx, nullptr};
    EXPECT_EQ(qelPKISDKVerifyWithCertificate(tbs, tbsN, kMD5WithRSA, sizeof kMD5WithRSA, nullptr, 0, signature,
                                             signatureN, nullptr, 0, issuer, &data, toolkit),
              0);
    Bytes changed(tbs, tbs + tbsN);
    changed[changed.size() / 2] ^= 0x40;
    EXPECT_EQ(qelPKISDKVerifyWithCertificate(changed.data(), changed.size(), kMD5WithRSA, sizeof kMD5WithRSA, nullptr,
                                             0, signature, signatureN, nullptr, 0, issuer, &data, toolkit),
              -1);
    EXPECT_EQ(qelPKISDKVerifyWithCertificate(tbs, tbsN, kMD5WithRSA, sizeof kMD5WithRSA, nullptr, 0, signature,
                                             signatureN, nullptr, 0, nullptr, &data, toolkit),
              -1);
    qelPKICertificateFree(issuer, toolkit);
}

} // namespace
