// Enrolment messages: the kinds, the SCEP attributes as they are written,
// the temporary certificate's subject, and messages OpenSSL opens (cms
// -verify for the signed layer, cms -decrypt for an envelope made for a key
// whose private half OpenSSL holds).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pki_peer_fixture.h"
#include "pki_ring_fixture.h"
#include "qelKeyIter.h"
#include "qelKeyMan.h"
#include "qelPKIEnrolMessageInternal.h"
#include "qelX509KeysInternal.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using pkitest::toHex;

const std::string kTransactionIDType = "060a6086480186f845010907";
const std::string kMessageTypeType = "060a6086480186f845010902";
const std::string kSenderNonceType = "060a6086480186f845010905";

class EnrolMessageTest : public pkitest::RingTest {
protected:
    void SetUp() override
    {
        pkitest::RingTest::SetUp();
        if (HasFatalFailure() || IsSkipped())
            return;
        alice = keys[0];
        bob = keys[1];
    }
    QELOptionList *passphrase(const char *text)
    {
        QELOptionList *options = nullptr;
        EXPECT_EQ(qelOptionListBuildPublic(ctx, &options, qelOptionPassphrase(ctx, text), qelOptionLastOption(ctx)),
                  QELError_NoErr);
        return options;
    }
    QELStatus message(const Bytes &content, const Bytes &id, QELKeyObject *recipient, QELKeyObject *signer,
                      const char *pass, std::int32_t kind, Bytes &out)
    {
        std::uint8_t *data = nullptr;
        std::uint64_t length = 0;
        const QELStatus s = qelPKIBuildEnrolMessage(ctx, content.data(), content.size(), id.empty() ? nullptr : id.data(),
                                                    id.size(), recipient, signer,
                                                    pass != nullptr ? passphrase(pass) : nullptr, kind, &data, &length);
        out.assign(data, data + length);
        if (data != nullptr) {
            EXPECT_EQ(qelMemFree(data), QELError_NoErr);
        }
        if (s != 0) {
            EXPECT_EQ(data, nullptr);
            EXPECT_EQ(length, 0u);
        }
        return s;
    }
    QELKeyObject *alice = nullptr, *bob = nullptr;
};

bool hasHex(const Bytes &der, const std::string &hex) { return toHex(der.data(), der.size()).find(hex) != std::string::npos; }

TEST_F(EnrolMessageTest, KindsPassThroughAndRefusals)
{
    const Bytes content = {1, 2, 3, 0x30};
    Bytes out;
    ASSERT_EQ(message(content, {}, nullptr, alice, "alice-pass", 10001, out), QELError_NoErr);
    EXPECT_EQ(out, content);
    for (std::int32_t kind : {10009, 10030, 10006, 9999, 10016})
        EXPECT_EQ(message(content, {}, nullptr, alice, "alice-pass", kind, out), QELError_UnknownPKIMessageKind)
            << kind;
    // Neither recipient nor signer: nothing to do, nothing written.
    EXPECT_EQ(message(content, {}, nullptr, nullptr, nullptr, 10000, out), QELError_NoErr);
    EXPECT_TRUE(out.empty());
    // A wrong passphrase; a content that is no request for a request kind.
    EXPECT_EQ(message(content, {}, nullptr, alice, "wrong", 10010, out), QELError_PKIOperationFailed);
    EXPECT_EQ(message(content, {}, nullptr, alice, "alice-pass", 10000, out), QELError_PKIOperationFailed);
}

TEST_F(EnrolMessageTest, AttributesAsTheKindWritesThem)
{
    const Bytes content = {'q', 'u', 'e', 'r', 'y'};
    const Bytes id = {0x01, 0xAB};
    struct Row {
        std::int32_t kind;
        std::string messageType, transactionID;
    } rows[] = {
        {10013, "13023230", "130430314142"},
        {10010, "020114", "020201ab"},
        {10014, "13023230", "020201ab"},
        {10020, "020116", "020201ab"},
        {10023, "13023232", "130430314142"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.kind);
        Bytes out;
        ASSERT_EQ(message(content, id, nullptr, alice, "alice-pass", row.kind, out), QELError_NoErr);
        EXPECT_TRUE(hasHex(out, kMessageTypeType + "31" + toHex(std::vector<std::uint8_t>{std::uint8_t(
                                                                  row.messageType.size() / 2)}.data(), 1) +
                                    row.messageType));
        EXPECT_TRUE(hasHex(out, kTransactionIDType + "31" +
                                    toHex(std::vector<std::uint8_t>{std::uint8_t(row.transactionID.size() / 2)}.data(),
                                          1) +
                                    row.transactionID));
        EXPECT_TRUE(hasHex(out, kSenderNonceType + "3112" + "0410"));
    }
    // A top bit set: the INTEGER gets a leading zero octet.
    Bytes out;
    ASSERT_EQ(message(content, {0x80, 0x01}, nullptr, alice, "alice-pass", 10010, out), QELError_NoErr);
    EXPECT_TRUE(hasHex(out, kTransactionIDType + "3105" + "0203008001"));
}

class EnrolMessagePeerTest : public EnrolMessageTest {
protected:
    void SetUp() override
    {
        EnrolMessageTest::SetUp();
        if (!pkitest::havePeers())
            GTEST_SKIP() << "no OpenSSL";
    }
    // The content OpenSSL finds after checking the signature with the
    // certificate the message carries.
    std::string verified(const Bytes &message)
    {
        dir.write("msg.der", message);
        if (dir.sh("openssl cms -verify -noverify -inform DER -in msg.der -binary -out content.bin") != 0)
            return "<not verified>";
        const Bytes content = dir.read("content.bin");
        return std::string(content.begin(), content.end());
    }
    std::string signerSubject(const Bytes &message)
    {
        dir.write("msg.der", message);
        return pkitest::run("openssl pkcs7 -inform DER -in " + (dir / "msg.der") +
                            " -print_certs -noout 2>/dev/null | sed -n 's/^subject=//p'");
    }
    pkitest::Workdir dir;
};

TEST_F(EnrolMessagePeerTest, SignedByRSAAndDSAKeysOpensInOpenSSL)
{
    const std::string text = "GetCertInitial body";
    const Bytes content(text.begin(), text.end());
    Bytes out;
    ASSERT_EQ(message(content, {7}, nullptr, alice, "alice-pass", 10010, out), QELError_NoErr);
    EXPECT_EQ(verified(out), text);
    ASSERT_EQ(message(content, {7}, nullptr, bob, "bob-pass", 10024, out), QELError_NoErr);
    EXPECT_EQ(verified(out), text);
    // A changed content octet: OpenSSL refuses it.
    Bytes tampered = out;
    const std::string hex = toHex(out.data(), out.size());
    const std::size_t at = hex.find(toHex(content.data(), content.size()));
    ASSERT_NE(at, std::string::npos);
    tampered[at / 2] ^= 1;
    EXPECT_EQ(verified(tampered), "<not verified>");
}

TEST_F(EnrolMessagePeerTest, SubjectFromTheUserIDName)
{
    char name[256] = {};
    std::size_t n = 0;
    ASSERT_EQ(qelKeyGetPrimaryUserIDName(alice, name, sizeof name - 1, &n), QELError_NoErr);
    std::string expected(name, n);
    expected = expected.substr(0, expected.find(" <"));
    Bytes out;
    ASSERT_EQ(message({'x'}, {}, nullptr, alice, "alice-pass", 10020, out), QELError_NoErr);
    EXPECT_EQ(signerSubject(out), "CN = " + expected + "\n");
}

TEST_F(EnrolMessagePeerTest, RequestSubjectAndDefaultTransactionID)
{
    ASSERT_EQ(dir.sh("openssl req -new -newkey rsa:1024 -nodes -keyout r.key -subj '/O=Acme/CN=Ann, Lee' -outform DER "
                     "-out r.der"),
              0);
    const Bytes request = dir.read("r.der");
    Bytes first, second;
    ASSERT_EQ(message(request, {}, nullptr, alice, "alice-pass", 10000, first), QELError_NoErr);
    EXPECT_EQ(verified(first), std::string(request.begin(), request.end()));
    EXPECT_EQ(signerSubject(first), "O = Acme, CN = \"Ann, Lee\"\n");
    // No transaction ID given: the MD5 digest of the temporary certificate's
    // SubjectPublicKeyInfo, the same for every message of the key.
    dir.write("msg.der", first);
    const std::string md5 = pkitest::run(
        "cd " + (dir / "") + " && openssl pkcs7 -inform DER -in msg.der -print_certs | openssl x509 -pubkey -noout | "
        "openssl pkey -pubin -outform DER | openssl dgst -md5 -r | cut -c1-32 | tr -d '\\n'");
    ASSERT_EQ(md5.size(), 32u);
    const bool topBit = std::stoi(md5.substr(0, 1), nullptr, 16) >= 8;
    EXPECT_TRUE(hasHex(first, kTransactionIDType + (topBit ? "3113021100" : "31120210") + md5)) << md5;
    ASSERT_EQ(message(request, {}, nullptr, alice, "alice-pass", 10003, second), QELError_NoErr);
    std::string upper;
    for (char c : md5)
        upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(hasHex(second, kTransactionIDType + "31221320" + toHex(reinterpret_cast<const std::uint8_t *>(upper.data()),
                                                                        upper.size())));
    // Two messages differ in their nonce and certificate serial.
    Bytes again;
    ASSERT_EQ(message(request, {}, nullptr, alice, "alice-pass", 10000, again), QELError_NoErr);
    auto nonce = [](const Bytes &m) {
        const std::string hex = toHex(m.data(), m.size());
        const std::size_t at = hex.find(kSenderNonceType);
        return at == std::string::npos ? std::string() : hex.substr(at, 24 + 8 + 32);
    };
    EXPECT_FALSE(nonce(first).empty());
    EXPECT_NE(nonce(first), nonce(again));
    dir.write("a.der", first);
    dir.write("b.der", again);
    EXPECT_NE(pkitest::run("cd " + (dir / "") + " && openssl pkcs7 -inform DER -print_certs -in a.der | openssl x509 "
                                                 "-serial -noout"),
              pkitest::run("cd " + (dir / "") + " && openssl pkcs7 -inform DER -print_certs -in b.der | openssl x509 "
                                                 "-serial -noout"));
}

TEST_F(EnrolMessagePeerTest, RequestEnvelopedForTheCA)
{
    // The CA: a key OpenSSL holds, known here through its certificate.
    ASSERT_EQ(dir.sh("openssl req -x509 -newkey rsa:1024 -nodes -sha1 -keyout ca.key -subj /CN=CA -days 2 -out ca.pem && "
                     "openssl x509 -in ca.pem -outform DER -out ca.der && "
                     "openssl req -new -newkey rsa:1024 -nodes -keyout r.key -subj /CN=Req -outform DER -out r.der"),
              0);
    const Bytes caDER = dir.read("ca.der"), request = dir.read("r.der");
    QELKeyDB *caDB = nullptr;
    ASSERT_EQ(qelX509ImportCertificate(caDER.data(), caDER.size(), ctx, nullptr, &caDB), QELError_NoErr);
    QELKeyObject *caKey = pkitest::firstKey(caDB);
    ASSERT_NE(caKey, nullptr);
    Bytes out;
    const QELStatus s = message(request, {}, caKey, alice, "alice-pass", 10000, out);
    if (s == QELError_FeatureNotAvailable) {
        EXPECT_EQ(qelKeyDBRelease(caDB), QELError_NoErr);
        GTEST_SKIP() << "the key export writes no certificates yet";
    }
    ASSERT_EQ(s, QELError_NoErr);
    // Signed by the requester around an envelope only the CA opens.
    const std::string inner = verified(out);
    dir.write("inner.der", Bytes(inner.begin(), inner.end()));
    ASSERT_EQ(dir.sh("openssl cms -decrypt -provider legacy -provider default -inform DER -in inner.der "
                     "-recip ca.pem -inkey ca.key -binary -out plain.der"),
              0);
    EXPECT_EQ(dir.read("plain.der"), request);
    // Without a signer the envelope is the whole message.
    ASSERT_EQ(message(request, {}, caKey, nullptr, nullptr, 10000, out), QELError_NoErr);
    ASSERT_FALSE(out.empty());
    EXPECT_TRUE(hasHex(out, "06092a864886f70d010703"));
    EXPECT_EQ(qelKeyDBRelease(caDB), QELError_NoErr);
}

TEST_F(EnrolMessagePeerTest, EnvelopedDataOpensWithTheRecipientsKey)
{
    // The recipient: a key OpenSSL made, known here through its certificate.
    ASSERT_EQ(dir.sh("openssl req -x509 -newkey rsa:1024 -nodes -sha1 -keyout ca.key -subj /CN=CA -days 2 -outform DER "
                     "-out ca.der"),
              0);
    const Bytes caDER = dir.read("ca.der");
    QELKeyDB *caDB = nullptr;
    ASSERT_EQ(qelX509ImportCertificate(caDER.data(), caDER.size(), ctx, nullptr, &caDB), QELError_NoErr);
    QELKeyObject *caKey = pkitest::firstKey(caDB);
    ASSERT_NE(caKey, nullptr);

    asn1test::TestAllocator alloc;
    ASN1Context codec{0, &alloc.base};
    ASN1_Certificate *certificate = nullptr;
    std::int32_t err = 0;
    ASSERT_EQ(asn1Unpack_Certificate(&codec, &certificate, caDER.data(), caDER.size(), &err), caDER.size());
    QELPKICallbackData data{nullptr, ctx, nullptr};
    const std::string text = "to the CA only";
    for (const char *cipher : {"1.3.14.3.2.7", "1.2.840.113549.3.7"}) {
        SCOPED_TRACE(cipher);
        QELPKIRecipient recipient{certificate, caKey, nullptr, nullptr, 0};
        QELPKIRecipientNode node{&recipient, nullptr};
        std::uint8_t *out = nullptr;
        std::uint64_t length = 0;
        ASSERT_EQ(qelPKIBuildEnvelopedData(&out, &length, reinterpret_cast<const std::uint8_t *>(text.data()),
                                           text.size(), 0, "1.2.840.113549.1.7.1", cipher, &node,
                                           qelPKISDKEncryptContent, &data, &codec),
                  0);
        EXPECT_EQ(recipient.encryptedKey, nullptr);
        dir.write("env.der", out, length);
        alloc.base.free(&alloc.base, out);
        ASSERT_EQ(dir.sh("openssl cms -decrypt -provider legacy -provider default -inform DER -in env.der "
                         "-recip ca.der -inkey ca.key -binary -out plain.bin"),
                  0);
        const Bytes plain = dir.read("plain.bin");
        EXPECT_EQ(std::string(plain.begin(), plain.end()), text);
        // Bare: the EnvelopedData alone, version 0.
        ASSERT_EQ(qelPKIBuildEnvelopedData(&out, &length, reinterpret_cast<const std::uint8_t *>(text.data()),
                                           text.size(), 1, "1.2.840.113549.1.7.1", cipher, &node,
                                           qelPKISDKEncryptContent, &data, &codec),
                  0);
        ASSERT_GT(length, 6u);
        EXPECT_EQ(toHex(out, 6).substr(0, 4) + toHex(out + 3, 3), "3081020100"); // 30 81 L, version 0
        alloc.base.free(&alloc.base, out);
    }
    // A cipher the callback does not know: its failure comes back, nothing out.
    QELPKIRecipient recipient{certificate, caKey, nullptr, nullptr, 0};
    QELPKIRecipientNode node{&recipient, nullptr};
    std::uint8_t *out = nullptr;
    std::uint64_t length = 0;
    EXPECT_NE(qelPKIBuildEnvelopedData(&out, &length, reinterpret_cast<const std::uint8_t *>(text.data()), text.size(),
                                       0, "1.2.840.113549.1.7.1", "2.16.840.1.101.3.4.1.2", &node,
                                       qelPKISDKEncryptContent, &data, &codec),
              0);
    EXPECT_EQ(out, nullptr);
    asn1Free_Certificate(&codec, certificate);
    EXPECT_TRUE(alloc.live.empty());
    EXPECT_EQ(qelKeyDBRelease(caDB), QELError_NoErr);
}

} // namespace
