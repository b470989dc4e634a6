// The toolkit callbacks bound to the SDK, with keys of a GnuPG-made ring:
// digests and signatures checked by OpenSSL, content decryption of blobs
// OpenSSL made (good and bad padding, wrong IV and key lengths, empty
// content), content encryption to two recipients, the signature-OID lookup
// on whole OIDs, and moving certificates out of a SignedData.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "../keys/keys_fixture.h"
#include "asn1PKCS7.h"
#include "pki_test_util.h"
#include "qelClientEncode.h"
#include "qelKeyIter.h"
#include "qelKeyObjInternal.h"
#include "qelPKISDKInternal.h"
#include "qelRandomPoolInternal.h"
#include "qelSeams.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using pkitest::run;
using pkitest::toHex;

using Dir = pkitest::Workdir;

class PKISDKTest : public keystest::ContextTest {
protected:
    void SetUp() override
    {
        keystest::ContextTest::SetUp();
        qelRandomPoolSetSeeded();
        int status = 0;
        run("openssl version >/dev/null 2>&1", &status);
        if (status != 0)
            GTEST_SKIP() << "no OpenSSL";
        db = openOwned(keystest::readFile(keystest::dataPath("keyedit_secret.gpg")));
        ASSERT_NE(db, nullptr);
        QELKeyIter *iter = nullptr;
        ASSERT_EQ(qelKeyIterNewOnDB(db, &iter), QELError_NoErr);
        QELKeyObject *object = nullptr;
        while (qelKeyIterNext(iter, -1, &object) == QELError_NoErr)
            if (qelKeyObjType(object) == QELObjectType_Key || qelKeyObjType(object) == QELObjectType_SubKey)
                keys.push_back(object);
        ASSERT_EQ(qelKeyIterFree(iter), QELError_NoErr);
        // Alice (RSA), her RSA subkey, Bob (DSA), his ElGamal subkey, Carol (RSA), ...
        ASSERT_GE(keys.size(), 5u);
        alice = keys[0];
        aliceSub = keys[1];
        bob = keys[2];
        carol = keys[4];
    }
    // A callback data over the key with its passphrase (null: no options).
    QELPKICallbackData data(QELKeyObject *key, const char *passphrase)
    {
        QELOptionList *options = nullptr;
        if (passphrase != nullptr) {
            EXPECT_EQ(qelOptionListBuildPublic(ctx, &options, qelOptionPassphrase(ctx, passphrase),
                                               qelOptionLastOption(ctx)),
                      QELError_NoErr);
            lists.push_back(options);
        }
        return {options, ctx, key};
    }
    void TearDown() override
    {
        for (QELOptionList *list : lists)
            EXPECT_EQ(qelOptionListFreePublic(list), QELError_NoErr);
        keystest::ContextTest::TearDown();
    }
    // The key's SubjectPublicKeyInfo as a DER file for OpenSSL.
    void writeKey(const Dir &dir, QELKeyObject *key, const std::string &name)
    {
        std::size_t n = 0;
        ASSERT_EQ(qelX509KeyToSubjectPublicKeyInfo(ctx, key, nullptr, &n), QELError_NoErr);
        Bytes spki(n);
        ASSERT_EQ(qelX509KeyToSubjectPublicKeyInfo(ctx, key, spki.data(), &n), QELError_NoErr);
        dir.write(name, spki.data(), n);
    }
    QELKeyDB *db = nullptr;
    std::vector<QELKeyObject *> keys;
    QELKeyObject *alice = nullptr, *aliceSub = nullptr, *bob = nullptr, *carol = nullptr;
    std::vector<QELOptionList *> lists;
    asn1test::TestAllocator alloc;
    ASN1Context codec{0, &alloc.base};
};

TEST_F(PKISDKTest, SignatureOIDsMatchOnlyWhole)
{
    const Bytes sha1RSA = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x05};
    const Bytes md5RSA = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x04};
    const Bytes dsaSHA1 = {0x2A, 0x86, 0x48, 0xCE, 0x38, 0x04, 0x03};
    EXPECT_EQ(qelPKISDKHashFromSigOID(md5RSA.data(), md5RSA.size()), 1);
    EXPECT_EQ(qelPKISDKHashFromSigOID(sha1RSA.data(), sha1RSA.size()), 2);
    EXPECT_EQ(qelPKISDKHashFromSigOID(dsaSHA1.data(), dsaSHA1.size()), 2);
    // A prefix, a longer OID sharing the prefix, and a short one: none match,
    // and nothing past the given octets is read (the copies are exact-size).
    for (std::size_t n = 0; n < sha1RSA.size(); ++n) {
        Bytes cut(sha1RSA.begin(), sha1RSA.begin() + static_cast<long>(n));
        EXPECT_EQ(qelPKISDKHashFromSigOID(cut.empty() ? nullptr : cut.data(), n), 0) << n;
    }
    Bytes longer = sha1RSA;
    longer.push_back(0x01);
    EXPECT_EQ(qelPKISDKHashFromSigOID(longer.data(), longer.size()), 0);
    Bytes dsaLonger = dsaSHA1;
    dsaLonger.push_back(0x07);
    EXPECT_EQ(qelPKISDKHashFromSigOID(dsaLonger.data(), dsaLonger.size()), 0);
}

TEST_F(PKISDKTest, DigestSignAndVerifyAgreeWithOpenSSL)
{
    Dir dir;
    const std::string message = "message to sign";
    const auto *m = reinterpret_cast<const std::uint8_t *>(message.data());
    dir.write("m.bin", m, message.size());
    QELPKICallbackData cb = data(alice, "alice-pass");
    ASN1_OctetString digest{};
    ASSERT_EQ(qelPKISDKDigest(&digest, "1.3.14.3.2.26", m, message.size(), &cb, &codec), 0);
    EXPECT_EQ(toHex(digest.data, digest.length),
              run("openssl dgst -sha1 -r " + (dir / "m.bin") + " | cut -c1-40").substr(0, 40));
    codec.allocator->free(codec.allocator, digest.data);
    EXPECT_EQ(qelPKISDKDigest(&digest, "2.16.840.1.101.3.4.2.1", m, message.size(), &cb, &codec), -2);

    struct Row {
        QELKeyObject *key;
        const char *passphrase;
        const char *file;
    } rows[] = {{alice, "alice-pass", "alice.der"}, {bob, "bob-pass", "bob.der"}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.file);
        writeKey(dir, row.key, row.file);
        QELPKICallbackData k = data(row.key, row.passphrase);
        ASN1_OctetString signature{};
        ASSERT_EQ(qelPKISDKSignData(&signature, "1.3.14.3.2.26", nullptr, nullptr, m, message.size(), &k, &codec), 0);
        dir.write("sig.bin", signature.data, signature.length);
        EXPECT_EQ(dir.sh(std::string("openssl dgst -sha1 -verify ") + row.file +
                         " -keyform DER -signature sig.bin m.bin"),
                  0);
        EXPECT_EQ(qelPKISDKVerifyData(m, message.size(), "1.3.14.3.2.26", nullptr, &signature, nullptr, &k, &codec), 0);
        EXPECT_EQ(qelPKISDKVerifyData(m, message.size() - 1, "1.3.14.3.2.26", nullptr, &signature, nullptr, &k,
                                      &codec),
                  -3);
        codec.allocator->free(codec.allocator, signature.data);
        // A wrong passphrase: the key context cannot be made.
        QELPKICallbackData wrong = data(row.key, "wrong");
        EXPECT_EQ(qelPKISDKSignData(&signature, "1.3.14.3.2.26", nullptr, nullptr, m, message.size(), &wrong, &codec),
                  -4);
    }

    // The toolkit's sign callback: md5WithRSAEncryption over the octets.
    pkitest::Context toolkit;
    const Bytes md5RSA = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x04};
    std::uint8_t *sig = nullptr;
    std::uint64_t sigLength = 0;
    QELPKICallbackData k = data(alice, "alice-pass");
    ASSERT_EQ(qelPKISDKSign(&sig, &sigLength, m, message.size(), md5RSA.data(), md5RSA.size(), &k, toolkit), 0);
    dir.write("sig.bin", sig, sigLength);
    EXPECT_EQ(dir.sh("openssl dgst -md5 -verify alice.der -keyform DER -signature sig.bin m.bin"), 0);
    qel::pki::release(toolkit, sig);
    QELPKICallbackData bare = data(alice, nullptr);
    EXPECT_EQ(qelPKISDKSign(&sig, &sigLength, m, message.size(), md5RSA.data(), md5RSA.size(), &bare, toolkit), -1);
}

TEST_F(PKISDKTest, ContentDecryptionChecksLengthsAndEveryPaddingOctet)
{
    Dir dir;
    writeKey(dir, carol, "carol.der");
    QELPKICallbackData cb = data(carol, "carol-pass");
    const std::string keyHex = "0123456789abcdeffedcba987654321089abcdef01234567";
    const std::string ivHex = "a1a2a3a4a5a6a7a8";
    struct Row {
        const char *name;
        const char *oid;
        std::string keyHex;    // the wrapped content key
        std::string cipherKey; // what OpenSSL encrypts with
        std::string ivParam;   // DER of the parameters
        Bytes plain;           // before encryption, padding included
        int status;
        std::size_t length;
    } rows[] = {
        {"good", "1.2.840.113549.3.7", keyHex, keyHex, "0408" + ivHex, {'a', 'b', 'c', 'd', 'e', 3, 3, 3}, 0, 5},
        {"whole padding block", "1.2.840.113549.3.7", keyHex, keyHex, "0408" + ivHex, {8, 8, 8, 8, 8, 8, 8, 8}, 0, 0},
        {"inner padding octet", "1.2.840.113549.3.7", keyHex, keyHex, "0408" + ivHex, {'a', 'b', 'c', 'd', 'e', 3, 1, 3}, -5, 0},
        {"padding zero", "1.2.840.113549.3.7", keyHex, keyHex, "0408" + ivHex, {1, 2, 3, 4, 5, 6, 7, 0}, -5, 0},
        {"padding nine", "1.2.840.113549.3.7", keyHex, keyHex, "0408" + ivHex, {1, 2, 3, 4, 5, 6, 7, 9}, -5, 0},
        {"short IV", "1.2.840.113549.3.7", keyHex, keyHex, "0407a1a2a3a4a5a6a7", {1, 2, 3, 4, 5, 6, 7, 1}, -5, 0},
        {"short key", "1.2.840.113549.3.7", keyHex.substr(0, 32), keyHex, "0408" + ivHex, {1, 2, 3, 4, 5, 6, 7, 1}, -5, 0},
        {"empty content", "1.2.840.113549.3.7", keyHex, keyHex, "0408" + ivHex, {}, -5, 0},
        {"single DES", "1.3.14.3.2.7", keyHex.substr(0, 16), keyHex.substr(0, 16) + keyHex.substr(0, 16) + keyHex.substr(0, 16),
         "0408" + ivHex, {'x', 7, 7, 7, 7, 7, 7, 7}, 0, 1},
        {"unknown cipher", "2.16.840.1.101.3.4.1.2", keyHex, keyHex, "0408" + ivHex, {1, 2, 3, 4, 5, 6, 7, 1}, -5, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Bytes contentKey;
        for (std::size_t i = 0; i + 1 < row.keyHex.size(); i += 2)
            contentKey.push_back(static_cast<std::uint8_t>(std::stoi(row.keyHex.substr(i, 2), nullptr, 16)));
        dir.write("ck.bin", contentKey.data(), contentKey.size());
        ASSERT_EQ(dir.sh("openssl pkeyutl -encrypt -pubin -inkey carol.der -keyform DER -in ck.bin -out ek.bin"), 0);
        dir.write("plain.bin", row.plain.data(), row.plain.size());
        ASSERT_EQ(dir.sh("openssl enc -des-ede3-cbc -nopad -K " + row.cipherKey + " -iv " + ivHex +
                         " -in plain.bin -out ct.bin"),
                  0);
        Bytes ek = dir.read("ek.bin"), ct = dir.read("ct.bin"), params;
        for (std::size_t i = 0; i + 1 < row.ivParam.size(); i += 2)
            params.push_back(static_cast<std::uint8_t>(std::stoi(row.ivParam.substr(i, 2), nullptr, 16)));
        ASN1_OctetString encryptedKey{ek.size(), ek.data()}, content{ct.size(), ct.data()};
        ASN1_Any parameters{params.size(), params.data()};
        std::uint8_t *out = nullptr;
        std::uint64_t outLength = 0;
        EXPECT_EQ(qelPKISDKDecryptContent(&out, &outLength, row.oid, &parameters, &content, nullptr, &encryptedKey,
                                          nullptr, &cb, &codec),
                  row.status);
        EXPECT_EQ(outLength, row.length);
        if (row.status == 0) {
            EXPECT_EQ(Bytes(out, out + outLength), Bytes(row.plain.begin(), row.plain.begin() + static_cast<long>(row.length)));
        } else {
            EXPECT_EQ(out, nullptr);
        }
        codec.allocator->free(codec.allocator, out);
    }
}

TEST_F(PKISDKTest, ContentEncryptionToTwoRecipients)
{
    Dir dir;
    ASSERT_EQ(dir.sh("openssl req -x509 -newkey rsa:512 -nodes -keyout r.key -subj /CN=R -days 2 -outform DER "
                     "-out r.der"),
              0);
    const Bytes certDER = dir.read("r.der");
    ASN1_Certificate *certificate = nullptr;
    std::int32_t err = 0;
    ASSERT_EQ(asn1Unpack_Certificate(&codec, &certificate, certDER.data(), certDER.size(), &err), certDER.size());
    QELPKIRecipient first{certificate, carol, nullptr, nullptr, 0}, second{certificate, aliceSub, nullptr, nullptr, 0};
    QELPKIRecipientNode tail{&second, nullptr}, head{&first, &tail};
    QELPKICallbackData cb = data(alice, nullptr);
    for (const char *oid : {"1.2.840.113549.3.7", "1.3.14.3.2.7"}) {
        for (std::size_t length : {std::size_t{16}, std::size_t{13}, std::size_t{0}}) {
            SCOPED_TRACE(std::string(oid) + " " + std::to_string(length));
            const Bytes content(length, 0x5A);
            ASN1_OctetString encrypted{};
            ASN1_Any parameters{};
            ASSERT_EQ(qelPKISDKEncryptContent(&encrypted, &parameters, oid, content.data(), length, &head, &cb,
                                              &codec),
                      0);
            EXPECT_EQ(encrypted.length, length - length % 8 + 8);
            EXPECT_EQ(std::string(first.keyEncryptionAlgorithm), "1.2.840.113549.1.1.1");
            // Each recipient opens it with its own key.
            struct Opener {
                QELPKIRecipient *recipient;
                QELPKICallbackData data;
            } openers[] = {{&first, data(carol, "carol-pass")}, {&second, data(aliceSub, "alice-pass")}};
            for (Opener &o : openers) {
                ASN1_OctetString key{o.recipient->encryptedKeyLength, o.recipient->encryptedKey};
                std::uint8_t *out = nullptr;
                std::uint64_t outLength = 0;
                ASSERT_EQ(qelPKISDKDecryptContent(&out, &outLength, oid, &parameters, &encrypted, nullptr, &key,
                                                  nullptr, &o.data, &codec),
                          0);
                EXPECT_EQ(Bytes(out, out + outLength), content);
                codec.allocator->free(codec.allocator, out);
            }
            codec.allocator->free(codec.allocator, encrypted.data);
            codec.allocator->free(codec.allocator, parameters.data);
        }
    }
    for (QELPKIRecipient *r : {&first, &second}) {
        codec.allocator->free(codec.allocator, r->encryptedKey);
        codec.allocator->free(codec.allocator, r->keyEncryptionAlgorithm);
    }
    asn1Free_Certificate(&codec, certificate);
}

TEST_F(PKISDKTest, MovingCertificatesOutOfSignedData)
{
    Dir dir;
    ASSERT_EQ(dir.sh("openssl req -x509 -newkey rsa:512 -nodes -keyout a.key -subj /CN=A -days 2 -out a.pem && "
                     "openssl req -x509 -newkey rsa:512 -nodes -keyout b.key -subj /CN=B -days 2 -out b.pem && "
                     "openssl crl2pkcs7 -nocrl -certfile a.pem -certfile b.pem -outform DER -out p7.der"),
              0);
    const Bytes p7 = dir.read("p7.der");
    ASN1_ContentInfo *info = nullptr;
    std::int32_t err = 0;
    ASSERT_EQ(asn1Unpack_ContentInfo(&codec, &info, p7.data(), p7.size(), &err), p7.size());
    ASN1_SignedData *sd = nullptr;
    ASSERT_EQ(asn1Unpack_SignedData(&codec, &sd, info->content->data, info->content->length, &err),
              info->content->length);
    ASN1_ExtendedCertificatesAndCertificates *list = asn1New_ExtendedCertificatesAndCertificates(&codec);
    ASSERT_EQ(qelPKIMoveSignedDataCertificates(&codec, sd, list), 0);
    EXPECT_EQ(list->count, 2);
    EXPECT_EQ(sd->certificates, nullptr);
    // Nothing to move: the list stays as it is.
    ASSERT_EQ(qelPKIMoveSignedDataCertificates(&codec, sd, list), 0);
    ASSERT_EQ(qelPKIMoveSignedDataCRLs(&codec, sd, list), 0);
    EXPECT_EQ(list->count, 2);
    asn1Free_ExtendedCertificatesAndCertificates(&codec, list);
    asn1Free_SignedData(&codec, sd);
    asn1Free_ContentInfo(&codec, info);
}

} // namespace
