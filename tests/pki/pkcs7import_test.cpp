// The PKCS #7 certificate import on what OpenSSL writes: a bare certificate
// and CRL, a degenerate SignedData, a signed message, an enveloped reply
// the database's key cannot open, and input of none of the forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../keys/keys_fixture.h"
#include "pki_test_util.h"
#include "qelPKIPKCS7ImportInternal.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

pkitest::Workdir &dir()
{
    static pkitest::Workdir d;
    static const bool made = [] {
        return d.sh("openssl req -x509 -newkey rsa:1024 -nodes -keyout ca.key -out ca.pem -days 30 -subj /CN=CA && "
                    "openssl req -newkey rsa:1024 -nodes -keyout ee.key -out ee.csr -subj /CN=EE && "
                    "openssl x509 -req -in ee.csr -CA ca.pem -CAkey ca.key -set_serial 5 -days 5 -out ee.pem && "
                    "openssl x509 -in ca.pem -outform DER -out ca.der && "
                    "openssl x509 -in ee.pem -outform DER -out ee.der && "
                    "mkdir -p db && touch db/index && echo 01 > db/crlnumber && "
                    "printf '[ca]\\ndefault_ca=c\\n[c]\\ndatabase=db/index\\ncrlnumber=db/crlnumber\\ndefault_md="
                    "sha256\\ndefault_crl_days=7\\n' > ca.cnf && "
                    "openssl ca -config ca.cnf -gencrl -keyfile ca.key -cert ca.pem -out crl.pem && "
                    "openssl crl -in crl.pem -outform DER -out crl.der && "
                    "openssl crl2pkcs7 -in crl.pem -certfile ca.pem -certfile ee.pem -outform DER -out degen.der && "
                    "echo hello > m.txt && "
                    "openssl smime -sign -nodetach -binary -in m.txt -signer ee.pem -inkey ee.key -outform DER "
                    "-out signed.der && "
                    "openssl smime -encrypt -des3 -binary -in degen.der -outform DER -out env.der ee.pem && "
                    "openssl smime -sign -nodetach -binary -in env.der -signer ca.pem -inkey ca.key -outform DER "
                    "-out reply.der") == 0;
    }();
    EXPECT_TRUE(made);
    return d;
}

bool contains(const Bytes &hay, const Bytes &needle)
{
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

class PKCS7ImportTest : public keystest::ContextTest {
protected:
    void SetUp() override
    {
        keystest::ContextTest::SetUp();
        if (!pkitest::havePeers())
            GTEST_SKIP() << "no OpenSSL";
    }
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
