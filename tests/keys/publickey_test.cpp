// Public-key and private-key contexts over keys of a GnuPG-made ring:
// signatures and ciphertexts made by OpenSSL are verified and decrypted,
// and our signatures are verified by OpenSSL; the capability and format
// rules of the contexts.
#include "keys_fixture.h"

#include "qelClientEncode.h"
#include "qelHash.h"
#include "qelOptionList.h"
#include "qelPkAlg.h"
#include "qelPublicKey.h"
#include "qelTestHex.h"

#include <cstring>
#include <fstream>

#ifdef QEL_HAVE_OPENSSL
#include <openssl/evp.h>
#include <openssl/pem.h>
#endif

using namespace keystest;
using qeltest::Bytes;
using qeltest::fromHex;

namespace {

struct Vector {
    std::string kind, keyID;
    Bytes message, value;
};

std::vector<Vector> vectors()
{
    std::vector<Vector> out;
    std::ifstream in(std::string(QEL_SOURCE_DIR) + "/tests/pubkey/data/publickey_vectors.txt");
    for (std::string kind, id, m, v; in >> kind >> id >> m >> v;)
        out.push_back({kind, id, fromHex(m), fromHex(v)});
    return out;
}

Bytes sha256(QELContext *ctx, const Bytes &m)
{
    QELHashContext *h = nullptr;
    EXPECT_EQ(qelHashNew(ctx, 8, &h), QELError_NoErr);
    EXPECT_EQ(qelHashUpdate(h, m.data(), m.size()), QELError_NoErr);
    Bytes d(32);
    EXPECT_EQ(qelHashFinal(h, d.data()), QELError_NoErr);
    EXPECT_EQ(qelHashFree(h), QELError_NoErr);
    return d;
}

QELHashContext *hashOf(QELContext *ctx, const Bytes &m)
{
    QELHashContext *h = nullptr;
    EXPECT_EQ(qelHashNew(ctx, 8, &h), QELError_NoErr);
    EXPECT_EQ(qelHashUpdate(h, m.data(), m.size()), QELError_NoErr);
    return h;
}

class PublicKeyContexts : public ContextTest {
protected:
    void SetUp() override
    {
        ContextTest::SetUp();
        db = openOwned(readFile(dataPath("keyuse_secret.gpg")));
        ASSERT_NE(db, nullptr);
        signer = keyOrSubKeyByID(db, "A339E8FA7AA93E51");
        recipient = keyOrSubKeyByID(db, "985BD734B9C12A29");
        dsaAlone = keyOrSubKeyByID(db, "BA7F6E56EDDBA748");
        ASSERT_TRUE(signer && recipient && dsaAlone);
    }
    QELPrivateKeyContext *privateContext(QELKeyObject *key, std::uint32_t format)
    {
        QELPrivateKeyContext *c = nullptr;
        EXPECT_EQ(qelPrivateKeyContextNew(key, format, &c, qelOptionLastOption(ctx)), QELError_NoErr);
        return c;
    }
    QELKeyDB *db = nullptr;
    QELKeyObject *signer = nullptr, *recipient = nullptr, *dsaAlone = nullptr;
};

} // namespace

TEST_F(PublicKeyContexts, OpenSSLSignaturesAndCiphertexts)
{
    QELPublicKeyContext *pub = nullptr;
    ASSERT_EQ(qelPublicKeyContextNew(signer, QELPkFormat_Raw, &pub), QELError_NoErr);
    QELPrivateKeyContext *priv = privateContext(recipient, QELPkFormat_Raw);
    ASSERT_NE(priv, nullptr);
    // DER DigestInfo of SHA-256 (RFC 8017).
    const Bytes prefix = fromHex("3031300d060960864801650304020105000420");
    int sigs = 0, encs = 0;
    for (const Vector &v : vectors()) {
        if (v.kind == "sig") {
            ++sigs;
            EXPECT_EQ(qelPublicKeyVerifyHash(pub, hashOf(ctx, v.message), v.value.data(), v.value.size()),
                      QELError_NoErr);
            Bytes info = prefix;
            Bytes digest = sha256(ctx, v.message);
            info.insert(info.end(), digest.begin(), digest.end());
            EXPECT_EQ(qelPublicKeyVerify(pub, info.data(), info.size(), v.value.data(), v.value.size()),
                      QELError_NoErr);
            Bytes bad = v.value;
            bad[bad.size() / 2] ^= 0x10;
            EXPECT_EQ(qelPublicKeyVerifyHash(pub, hashOf(ctx, v.message), bad.data(), bad.size()),
                      QELError_BadSignature);
            // A signature longer than the modulus: the key layer's error is
            // a bad signature too.
            bad.resize(bad.size() + 8, 0xFF);
            EXPECT_EQ(qelPublicKeyVerify(pub, info.data(), info.size(), bad.data(), bad.size()),
                      QELError_BadSignature);
        } else {
            ++encs;
            std::uint8_t out[256];
            std::uint64_t length = 0;
            ASSERT_EQ(qelPrivateKeyDecrypt(priv, v.value.data(), v.value.size(), out, &length), QELError_NoErr);
            EXPECT_EQ(Bytes(out, out + length), v.message);
        }
    }
    EXPECT_EQ(sigs, 3);
    EXPECT_EQ(encs, 3);
    EXPECT_EQ(qelPrivateKeyContextFree(priv), QELError_NoErr);
    EXPECT_EQ(qelPublicKeyContextFree(pub), QELError_NoErr);
}

#ifdef QEL_HAVE_OPENSSL
TEST_F(PublicKeyContexts, OpenSSLVerifiesOurSignatures)
{
    QELPrivateKeyContext *priv = privateContext(signer, QELPkFormat_Raw);
    ASSERT_NE(priv, nullptr);
    std::uint64_t plain = 0, cipher = 0, sigMax = 0;
    ASSERT_EQ(qelPrivateKeyContextGetSizes(priv, &plain, &cipher, &sigMax), QELError_NoErr);
    ASSERT_EQ(sigMax, 128u);
    std::FILE *f = std::fopen((std::string(QEL_SOURCE_DIR) + "/tests/pubkey/data/publickey_A339E8FA7AA93E51.pem").c_str(), "r");
    ASSERT_NE(f, nullptr);
    EVP_PKEY *key = PEM_read_PUBKEY(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    ASSERT_NE(key, nullptr);
    for (const char *text : {"x", "abc", "a longer message to be signed by the private-key context"}) {
        Bytes m(text, text + std::strlen(text));
        std::uint8_t sig[128];
        std::uint64_t length = 0;
        ASSERT_EQ(qelPrivateKeySignHash(priv, hashOf(ctx, m), sig, &length), QELError_NoErr);
        ASSERT_EQ(length, 128u);
        EVP_MD_CTX *md = EVP_MD_CTX_new();
        ASSERT_EQ(EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, key), 1);
        EXPECT_EQ(EVP_DigestVerify(md, sig, length, m.data(), m.size()), 1) << text;
        EVP_MD_CTX_free(md);
    }
    EVP_PKEY_free(key);
    EXPECT_EQ(qelPrivateKeyContextFree(priv), QELError_NoErr);
}
#endif

TEST_F(PublicKeyContexts, RoundTripsThroughTheChosenParts)
{
    // The key's public context encrypts to its encryption subkey; the
    // subkey's private context decrypts.
    QELPublicKeyContext *pub = nullptr;
    ASSERT_EQ(qelPublicKeyContextNew(signer, QELPkFormat_RFC4880, &pub), QELError_NoErr);
    QELPrivateKeyContext *priv = privateContext(recipient, QELPkFormat_RFC4880);
    ASSERT_NE(priv, nullptr);
    std::uint64_t plain = 0, cipher = 0, sigMax = 0;
    ASSERT_EQ(qelPublicKeyContextGetSizes(pub, &plain, &cipher, &sigMax), QELError_NoErr);
    EXPECT_GT(cipher, 128u);
    const Bytes session = fromHex("0900112233445566778899aabbccddeeff00112233445566778899aabbccddeeff");
    std::vector<std::uint8_t> enc(cipher), dec(plain + 2);
    std::uint64_t encLength = 0, decLength = 0;
    ASSERT_EQ(qelPublicKeyEncrypt(pub, session.data(), session.size(), enc.data(), &encLength), QELError_NoErr);
    ASSERT_EQ(qelPrivateKeyDecrypt(priv, enc.data(), encLength, dec.data(), &decLength), QELError_NoErr);
    EXPECT_EQ(Bytes(dec.begin(), dec.begin() + decLength), session);
    // Format 1 signs and verifies hashes but refuses bare digests.
    QELPrivateKeyContext *signing = privateContext(signer, QELPkFormat_RFC4880);
    ASSERT_NE(signing, nullptr);
    Bytes m = {1, 2, 3};
    std::uint8_t sig[300];
    std::uint64_t sigLength = 0;
    ASSERT_EQ(qelPrivateKeySignHash(signing, hashOf(ctx, m), sig, &sigLength), QELError_NoErr);
    EXPECT_EQ(qelPublicKeyVerifyHash(pub, hashOf(ctx, m), sig, sigLength), QELError_NoErr);
    Bytes d = sha256(ctx, m);
    EXPECT_EQ(qelPrivateKeySign(signing, d.data(), d.size(), sig, &sigLength), QELError_BadParams);
    EXPECT_EQ(qelPublicKeyVerify(pub, d.data(), d.size(), sig, sigLength), QELError_BadParams);
    for (QELPrivateKeyContext *c : {priv, signing})
        EXPECT_EQ(qelPrivateKeyContextFree(c), QELError_NoErr);
    EXPECT_EQ(qelPublicKeyContextFree(pub), QELError_NoErr);
}

TEST_F(PublicKeyContexts, CapabilitiesFormatsAndHandles)
{
    // DSA alone signs but cannot encrypt or decrypt.
    QELPublicKeyContext *pub = nullptr;
    ASSERT_EQ(qelPublicKeyContextNew(dsaAlone, QELPkFormat_Raw, &pub), QELError_NoErr);
    QELPrivateKeyContext *priv = privateContext(dsaAlone, QELPkFormat_Raw);
    ASSERT_NE(priv, nullptr);
    std::uint8_t data[16] = {1}, out[512];
    std::uint64_t length = 7;
    EXPECT_EQ(qelPublicKeyEncrypt(pub, data, sizeof data, out, &length), QELError_FeatureNotAvailable);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(qelPrivateKeyDecrypt(priv, data, sizeof data, out, &length), QELError_FeatureNotAvailable);
    // A DSA signature over a hash verifies; a flipped bit does not.
    Bytes m = {9, 9, 9};
    ASSERT_EQ(qelPrivateKeySignHash(priv, hashOf(ctx, m), out, &length), QELError_NoErr);
    EXPECT_EQ(qelPublicKeyVerifyHash(pub, hashOf(ctx, m), out, length), QELError_NoErr);
    out[length - 1] ^= 1;
    EXPECT_EQ(qelPublicKeyVerifyHash(pub, hashOf(ctx, m), out, length), QELError_BadSignature);
    // Bad arguments.
    QELPublicKeyContext *none = reinterpret_cast<QELPublicKeyContext *>(1);
    EXPECT_EQ(qelPublicKeyContextNew(dsaAlone, 6, &none), QELError_BadParams);
    EXPECT_EQ(none, nullptr);
    QELKeyObject *uid = liveChildren(dsaAlone, QELObjectType_UserID).front();
    EXPECT_EQ(qelPublicKeyContextNew(uid, QELPkFormat_Raw, &none), QELError_BadParams);
    EXPECT_EQ(qelPublicKeyEncrypt(pub, data, 0, out, &length), QELError_BadParams);
    EXPECT_EQ(qelPublicKeyContextFree(reinterpret_cast<QELPublicKeyContext *>(priv)), QELError_BadParams);
    // Only the three passphrase options are taken.
    QELPrivateKeyContext *refused = nullptr;
    EXPECT_EQ(qelPrivateKeyContextNew(dsaAlone, QELPkFormat_Raw, &refused, qelOptionArmorOutput(ctx, 1),
                                      qelOptionLastOption(ctx)),
              QELError_BadParams);
    EXPECT_EQ(refused, nullptr);
    // A passphrase the key does not take is refused, and no context made.
    QELPrivateKeyContext *withPass = reinterpret_cast<QELPrivateKeyContext *>(1);
    EXPECT_EQ(qelPrivateKeyContextNew(dsaAlone, QELPkFormat_Raw, &withPass, qelOptionPassphrase(ctx, "unused"),
                                      qelOptionCachePassphrase(ctx, 0, 0), qelOptionLastOption(ctx)),
              QELError_BadPassphrase);
    EXPECT_EQ(withPass, nullptr);
    EXPECT_EQ(qelPrivateKeyContextFree(priv), QELError_NoErr);
    EXPECT_EQ(qelPublicKeyContextFree(pub), QELError_NoErr);
}
