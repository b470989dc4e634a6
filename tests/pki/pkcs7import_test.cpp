// The PKCS #7 certificate import on what OpenSSL writes: a bare certificate
// and CRL, a degenerate SignedData, a signed message, an enveloped reply
// the database's key cannot open, and input of none of the forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pki_peer_fixture.h"
#include "qelKeyDBChange.h"
#include "qelKeyIter.h"
#include "qelKeyIOImportInternal.h"
#include "qelKeySet.h"
#include "qelPKIEnrolMessageInternal.h"
#include "qelPKIPKCS7ImportInternal.h"
#include "qelRandomPoolInternal.h"
#include "qelX509KeysInternal.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

pkitest::Workdir &dir()
{
    static pkitest::Workdir d;
    static const bool made = [] {
        return pkitest::makeCAFiles(d, "/CN=EE") &&
               d.sh("openssl crl2pkcs7 -in crl.pem -certfile ca.pem -certfile ee.pem -outform DER -out degen.der && "
                    "echo hello > m.txt && "
                    "openssl smime -sign -nodetach -binary -in m.txt -signer ee.pem -inkey ee.key -outform DER "
                    "-out signed.der && "
                    "openssl smime -encrypt -des3 -binary -in degen.der -outform DER -out env.der ee.pem && "
                    "openssl smime -sign -nodetach -binary -in env.der -signer ca.pem -inkey ca.key -outform DER "
                    "-out reply.der && "
                    // A key the database will hold: its MD5 key hash starts with a set bit, so an
                    // INTEGER transactionID of it carries a sign octet.
                    "for i in $(seq 1 40); do "
                    "openssl req -x509 -newkey rsa:1024 -nodes -sha1 -keyout r.key -out r.pem -days 5 -subj /CN=R && "
                    "openssl x509 -in r.pem -pubkey -noout | openssl pkey -pubin -outform DER | "
                    "openssl dgst -md5 -binary > r.md5 && "
                    "case $(od -An -tx1 -N1 r.md5 | tr -d ' ') in [89a-f]*) break;; esac; done && "
                    "openssl x509 -in r.pem -outform DER -out r.der && "
                    "openssl pkcs8 -topk8 -nocrypt -in r.key -outform DER -out r.p8 && "
                    "openssl smime -encrypt -des3 -binary -in degen.der -outform DER -out envR.der r.pem && "
                    "openssl smime -sign -md sha1 -nodetach -binary -in m.txt -signer r.pem -inkey r.key "
                    "-outform DER -out signedR.der") == 0;
    }();
    EXPECT_TRUE(made);
    return d;
}

bool contains(const Bytes &hay, const Bytes &needle)
{
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

class PKCS7ImportTest : public pkitest::PeerContextTest {
protected:
    void SetUp() override
    {
        PeerContextTest::SetUp();
        qelRandomPoolSetSeeded();
    }
    void TearDown() override
    {
        for (QELKeyDB *db : made)
            EXPECT_EQ(qelKeyDBRelease(db), QELError_NoErr);
        PeerContextTest::TearDown();
    }
    // R's certificate as a database, and R's private key as another.
    void openR(QELKeyDB *&certDB, QELKeyDB *&keyDB)
    {
        const Bytes cert = dir().read("r.der"), p8 = dir().read("r.p8");
        ASSERT_EQ(qelX509ImportCertificate(cert.data(), cert.size(), ctx, nullptr, &certDB), QELError_NoErr);
        made.push_back(certDB);
        ASSERT_EQ(qelX509ImportPrivateKeyInfo(p8.data(), p8.size(), ctx, certDB, &keyDB), QELError_NoErr);
        made.push_back(keyDB);
    }
    std::vector<QELKeyDB *> made;
    QELStatus import(const Bytes &der, QELKeyDB *db, QELPKCS7ImportResult &r, Bytes &certs, Bytes &crls)
    {
        const QELStatus s = qelCertImportPKCS7(ctx, der.data(), der.size(), db, nullptr, &r);
        certs.assign(r.certificates, r.certificates + r.certificatesLength);
        crls.assign(r.crls, r.crls + r.crlsLength);
        for (std::uint8_t *block : {r.certificates, r.crls})
            if (block != nullptr) {
                EXPECT_EQ(qelMemFree(block), QELError_NoErr);
            }
        return s;
    }
};

TEST_F(PKCS7ImportTest, BareObjectsAndDegenerateSignedData)
{
    const Bytes ca = dir().read("ca.der"), ee = dir().read("ee.der"), crl = dir().read("crl.der");
    QELPKCS7ImportResult r{};
    Bytes certs, crls;
    ASSERT_EQ(import(ee, nullptr, r, certs, crls), QELError_NoErr);
    EXPECT_EQ(certs.size(), ee.size() + 4);
    EXPECT_TRUE(contains(certs, ee));
    EXPECT_TRUE(crls.empty());
    EXPECT_EQ(r.isSigned, 0);
    ASSERT_EQ(import(crl, nullptr, r, certs, crls), QELError_NoErr);
    EXPECT_TRUE(certs.empty());
    EXPECT_TRUE(contains(crls, crl));
    EXPECT_EQ(crls[0], 0x31);
    ASSERT_EQ(import(dir().read("degen.der"), nullptr, r, certs, crls), QELError_NoErr);
    EXPECT_TRUE(contains(certs, ca) && contains(certs, ee));
    EXPECT_EQ(certs.size(), 4 + ca.size() + ee.size());
    EXPECT_TRUE(contains(crls, crl));
    EXPECT_EQ(r.isSigned, 0);
}

TEST_F(PKCS7ImportTest, SignedMessagesAndEnvelopes)
{
    QELPKCS7ImportResult r{};
    Bytes certs, crls;
    ASSERT_EQ(import(dir().read("signed.der"), nullptr, r, certs, crls), QELError_NoErr);
    EXPECT_EQ(r.isSigned, 1);
    EXPECT_TRUE(contains(certs, dir().read("ee.der")));
    // A signed reply around an envelope: without a database no key opens it,
    // and with one whose first key is not the recipient's it stays shut too.
    EXPECT_EQ(import(dir().read("reply.der"), nullptr, r, certs, crls), QELError_PKIEnvelopeNotOpened);
    EXPECT_EQ(r.certificates, nullptr);
    QELKeyDB *db = openOwned(keystest::readFile(keystest::dataPath("keyedit_secret.gpg")));
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(import(dir().read("reply.der"), db, r, certs, crls), QELError_PKIEnvelopeNotOpened);
    EXPECT_TRUE(certs.empty());
}

TEST_F(PKCS7ImportTest, EnvelopeOpensWithTheDatabaseKey)
{
    QELKeyDB *certDB = nullptr, *keyDB = nullptr;
    openR(certDB, keyDB);
    // OpenSSL enveloped a degenerate SignedData for R; R's key is the
    // database's first.
    const Bytes env = dir().read("envR.der");
    QELPKCS7ImportResult r{};
    Bytes certs, crls;
    ASSERT_EQ(import(env, keyDB, r, certs, crls), QELError_NoErr);
    EXPECT_EQ(r.decryptionKey, pkitest::firstKey(keyDB));
    EXPECT_TRUE(contains(certs, dir().read("ca.der")) && contains(certs, dir().read("ee.der")));
    EXPECT_TRUE(contains(crls, dir().read("crl.der")));
    EXPECT_EQ(r.isSigned, 0);
    // One changed octet of the last cipher block: the padding check fails.
    Bytes broken = env;
    broken[broken.size() - 3] ^= 0x40;
    EXPECT_EQ(import(broken, keyDB, r, certs, crls), QELError_PKIEnvelopeNotOpened);
    EXPECT_TRUE(certs.empty() && crls.empty());
}

TEST_F(PKCS7ImportTest, TransactionIDChoosesTheDecryptionKey)
{
    QELKeyDB *certDB = nullptr, *keyDB = nullptr;
    openR(certDB, keyDB);
    // A ring whose first key is Alice's, with R's key added behind it.
    QELKeyDB *ring = openOwned(keystest::readFile(keystest::dataPath("keyedit_secret.gpg")));
    ASSERT_NE(ring, nullptr);
    QELKeySet *added = nullptr;
    ASSERT_EQ(qelKeyDBAddKeySet(qelKeyDBGetRootSet(keyDB), ring, &added), QELError_NoErr);
    EXPECT_EQ(qelKeySetRelease(added), QELError_NoErr);
    QELKeyObject *alice = pkitest::firstKey(ring);
    const Bytes env = dir().read("envR.der"), id = dir().read("r.md5");
    ASSERT_EQ(id.size(), 16u);
    ASSERT_GE(id[0], 0x80);
    QELPKCS7ImportResult r{};
    Bytes certs, crls;
    // A reply around the envelope, signed by Alice; its transactionID is R's
    // key hash, written as an INTEGER (with its sign octet) or as hex digits.
    for (std::int32_t kind : {10010, 10013}) {
        SCOPED_TRACE(kind);
        QELOptionList *options = nullptr;
        ASSERT_EQ(qelOptionListBuildPublic(ctx, &options, qelOptionPassphrase(ctx, "alice-pass"),
                                           qelOptionLastOption(ctx)),
                  QELError_NoErr);
        std::uint8_t *message = nullptr;
        std::uint64_t length = 0;
        ASSERT_EQ(qelPKIBuildEnrolMessage(ctx, env.data(), env.size(), id.data(), id.size(), nullptr, alice, options,
                                          kind, &message, &length),
                  QELError_NoErr);
        const Bytes reply(message, message + length);
        EXPECT_EQ(qelMemFree(message), QELError_NoErr);
        ASSERT_EQ(import(reply, ring, r, certs, crls), QELError_NoErr);
        EXPECT_NE(r.decryptionKey, nullptr);
        EXPECT_NE(r.decryptionKey, alice);
        EXPECT_EQ(r.isSigned, 1);
        EXPECT_TRUE(contains(certs, dir().read("ee.der")));
        // Without the transaction's key the first key is tried, and fails.
        ASSERT_EQ(import(reply, nullptr, r, certs, crls), QELError_PKIEnvelopeNotOpened);
    }
    // No transactionID: Alice's key is tried, which cannot open it.
    EXPECT_EQ(import(dir().read("reply.der"), ring, r, certs, crls), QELError_PKIEnvelopeNotOpened);
}

TEST_F(PKCS7ImportTest, SignerFoundByIssuerAndSerial)
{
    QELKeyDB *certDB = nullptr, *keyDB = nullptr;
    openR(certDB, keyDB);
    const Bytes signedR = dir().read("signedR.der");
    QELPKCS7ImportResult r{};
    Bytes certs, crls;
    ASSERT_EQ(import(signedR, certDB, r, certs, crls), QELError_NoErr);
    EXPECT_EQ(r.isSigned, 1);
    EXPECT_EQ(r.signerKey, pkitest::firstKey(certDB));
    // Whether the certificate comes back depends on the key export writing
    // X.509; when it does, the signature checks out.
    asn1test::TestAllocator alloc;
    ASN1Context codec{0, &alloc.base};
    ASN1_Certificate *certificate = nullptr;
    const QELStatus exported = qelPKIGetKeyCertificate(ctx, pkitest::firstKey(certDB), &codec, &certificate);
    if (certificate != nullptr)
        asn1Free_Certificate(&codec, certificate);
    EXPECT_EQ(r.signerFound, exported == 0 ? 1 : 0);
    EXPECT_EQ(r.signatureValid, exported == 0 ? 1 : 0);
    if (exported == 0) {
        // A changed signed octet: found, but not valid.
        Bytes tampered = signedR;
        const std::string hex = pkitest::toHex(signedR.data(), signedR.size());
        const std::size_t at = hex.find(pkitest::toHex(reinterpret_cast<const std::uint8_t *>("hello"), 5));
        ASSERT_NE(at, std::string::npos);
        tampered[at / 2] ^= 1;
        ASSERT_EQ(import(tampered, certDB, r, certs, crls), QELError_NoErr);
        EXPECT_EQ(r.signerFound, 1);
        EXPECT_EQ(r.signatureValid, 0);
    }
    // A database without R's certificate: no signer key; none without a database.
    ASSERT_EQ(import(signedR, keyDB, r, certs, crls), QELError_NoErr);
    EXPECT_EQ(r.signerKey, nullptr);
    ASSERT_EQ(import(signedR, nullptr, r, certs, crls), QELError_NoErr);
    EXPECT_EQ(r.isSigned, 1);
    EXPECT_EQ(r.signerKey, nullptr);
    EXPECT_EQ(r.signerFound, 0);
}

TEST_F(PKCS7ImportTest, InputOfNoneOfTheForms)
{
    QELPKCS7ImportResult r{};
    Bytes certs, crls;
    EXPECT_EQ(import({0x30, 0x03, 0x02, 0x01, 0x05}, nullptr, r, certs, crls), QELError_PKIDecodeFailed);
    // ContentInfo of type encryptedData.
    const Bytes encrypted = {0x30, 0x0F, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x06,
                             0xA0, 0x02, 0x30, 0x00};
    EXPECT_EQ(import(encrypted, nullptr, r, certs, crls), QELError_PKIDecodeFailed);
    // A content type of ten octets whose first nine match signedData.
    Bytes ten(encrypted.begin() + 4, encrypted.begin() + 13);
    ten[8] = 0x02;
    ten.push_back(0x01);
    const ASN1_ObjectIdentifier tenOID{ten.size(), ten.data()};
    EXPECT_EQ(qelPKIContentTypeClass(&tenOID), -1);
    ten.pop_back();
    const ASN1_ObjectIdentifier nine{ten.size(), ten.data()};
    EXPECT_EQ(qelPKIContentTypeClass(&nine), QELPKIContent_SignedData);
}

} // namespace
