// The token key layer driven through a device table of the test's own, with
// an OpenSSL RSA key behind it, so that every forwarding path runs; the
// pass-phrase envelope; the token stubs.
#include "pktest_util.h"

#include "qelTestEnv.h"
#include "qelTokenInternal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#ifdef QEL_HAVE_OPENSSL
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

namespace {

using namespace pktest;

// A device: a software RSA key, a PIN, and a record of what it was asked.
struct SoftDevice {
    QELTokenDevice table{};
    EVP_PKEY *key = nullptr;
    std::string pin = "1234";
    std::string lastLogin;
    std::string lastOldPIN, lastNewPIN;
    int logOuts = 0;
    QELStatus failWith = 0;   // the next decrypt or sign fails with this

    static SoftDevice *of(QELTokenDevice *t) { return reinterpret_cast<SoftDevice *>(t); }
    static QELStatus logOut(QELTokenDevice *t)
    {
        ++of(t)->logOuts;
        return 0;
    }
    static QELStatus logIn(QELTokenDevice *t, const void *pin, std::size_t n, std::uint8_t)
    {
        of(t)->lastLogin.assign(static_cast<const char *>(pin), n);
        return of(t)->lastLogin == of(t)->pin ? 0 : -1;
    }
    static std::int32_t decrypt(QELTokenDevice *t, const std::uint8_t *, const std::uint8_t *in, std::size_t length,
                                std::uint8_t *out, std::size_t outSize)
    {
        if (of(t)->failWith)
            return std::exchange(of(t)->failWith, 0);
        EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(of(t)->key, nullptr);
        EVP_PKEY_decrypt_init(ctx);
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
        Bytes copy(in, in + length);
        std::size_t len = outSize;
        const int ok = EVP_PKEY_decrypt(ctx, out, &len, copy.data(), copy.size());
        EVP_PKEY_CTX_free(ctx);
        return ok == 1 ? std::int32_t(len) : -1;
    }
    static QELStatus sign(QELTokenDevice *t, const std::uint8_t *, const std::uint8_t *in, std::size_t length,
                          std::uint8_t *out, std::size_t outSize)
    {
        if (of(t)->failWith)
            return std::exchange(of(t)->failWith, 0);
        EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(of(t)->key, nullptr);
        EVP_PKEY_sign_init(ctx);
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
        std::size_t len = outSize;
        const int ok = EVP_PKEY_sign(ctx, out, &len, in, length);
        EVP_PKEY_CTX_free(ctx);
        return ok == 1 && len == outSize ? 0 : -1;
    }
    static QELStatus changePIN(QELTokenDevice *t, const void *o, std::size_t on, const void *n, std::size_t nn,
                               std::uint8_t)
    {
        of(t)->lastOldPIN.assign(static_cast<const char *>(o), on);
        of(t)->lastNewPIN.assign(static_cast<const char *>(n), nn);
        return of(t)->lastOldPIN == of(t)->pin ? 0 : -7;
    }
    SoftDevice()
    {
        table.logOut = logOut;
        table.logIn = logIn;
        table.decrypt = decrypt;
        table.sign = sign;
        table.changePIN = changePIN;
        EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
        EVP_PKEY_keygen_init(ctx);
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, 1024);
        EVP_PKEY_keygen(ctx, &key);
        EVP_PKEY_CTX_free(ctx);
    }
    ~SoftDevice() { EVP_PKEY_free(key); }
    Bytes publicMaterial() const
    {
        BIGNUM *n = nullptr, *e = nullptr;
        EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n);
        EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e);
        Bytes out = cat({mpi(bnBytes(n)), mpi(bnBytes(e))});
        BN_free(n);
        BN_free(e);
        return out;
    }
};
static_assert(offsetof(QELTokenDevice, logOut) == 2 * 8 && offsetof(QELTokenDevice, changePIN) == 16 * 8);

class TokenTest : public qeltest::SDKSuite {
protected:
    static void SetUpTestSuite()
    {
        SDKSuite::SetUpTestSuite();
        device = new SoftDevice;
    }
    static void TearDownTestSuite()
    {
        delete device;
        SDKSuite::TearDownTestSuite();
    }
    SecretKey make()
    {
        const Bytes m = device->publicMaterial();
        QELStatus status = -1;
        SecretKey key(qelSecretKeyObjectFromData(context, 1, m.data(), m.size(), 0, &device->table, &status),
                      destroySecret);
        EXPECT_EQ(status, 0);
        return key;
    }
    static SoftDevice *device;
    TestRandom random;
};
SoftDevice *TokenTest::device = nullptr;

Bytes envelope(QELSecretKeyObject *key, const std::string &phrase)
{
    Bytes out(QELTokenEnvelopeSize);
    EXPECT_EQ(key->deriveProtectionKey(key, nullptr, phrase.data(), phrase.size(), out.data()), 0);
    return out;
}

TEST_F(TokenTest, EnvelopeAndUnlock)
{
    SecretKey key = make();
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->token, 1);
    EXPECT_EQ(key->algorithm, 1);
    EXPECT_EQ(key->isLocked(key.get()), 1u);
    const Bytes abc = envelope(key.get(), "abc");
    EXPECT_EQ(qeltest::toHex(abc.data(), 8), "12132044" "03fc58b4");
    const Bytes hundred = envelope(key.get(), std::string(100, 'x'));
    EXPECT_EQ(hundred[4], 75);

    // The PIN in an envelope; a wrong magic or a length octet that claims
    // more than was given does not unlock.
    const Bytes pin = envelope(key.get(), "1234");
    Bytes badMagic = pin;
    badMagic[0] ^= 1;
    EXPECT_EQ(key->unlock(key.get(), badMagic.data(), badMagic.size(), 1), 0);
    EXPECT_EQ(key->unlock(key.get(), pin.data(), 8, 1), 0);   // 4 + 1 + 4 needs 9
    EXPECT_EQ(key->unlock(key.get(), "4321", 4, 0), 0);
    EXPECT_EQ(key->unlock(key.get(), pin.data(), 9, 1), 1);
    EXPECT_EQ(device->lastLogin, "1234");
    EXPECT_EQ(key->isLocked(key.get()), 0u);
    const int before = device->logOuts;
    EXPECT_EQ(key->lock(key.get()), 0);
    EXPECT_EQ(device->logOuts, before + 1);
    EXPECT_EQ(key->isLocked(key.get()), 1u);

    std::uint32_t cipher = 9;
    std::uint64_t size = 0;
    EXPECT_EQ(key->protectionCipher(key.get(), &cipher, &size), 0);
    EXPECT_EQ(cipher, 0u);
    EXPECT_EQ(size, 80u);
    std::uint32_t type = 0;
    EXPECT_EQ(key->protectionS2KType(key.get(), &type), QELError_AlgorithmCannotDoThis);
    EXPECT_EQ(key->secretDataLength(key.get()), 0u);
    EXPECT_EQ(key->getSecretParameters(key.get(), nullptr), QELError_AlgorithmCannotDoThis);

    // Changing the PIN: an old envelope with a wrong magic is refused.
    EXPECT_EQ(key->changeProtection(key.get(), nullptr, &random, badMagic.data(), badMagic.size(), 1, "9", 1, 0),
              QELError_BadPassphrase);
    EXPECT_EQ(key->changeProtection(key.get(), nullptr, &random, pin.data(), pin.size(), 1, "5678", 4, 0), 0);
    EXPECT_EQ(device->lastOldPIN, "1234");
    EXPECT_EQ(device->lastNewPIN, "5678");
    EXPECT_EQ(key->changeProtection(key.get(), nullptr, &random, "0000", 4, 0, "1", 1, 0), -7);
}

TEST_F(TokenTest, DecryptAndSignForwardToTheDevice)
{
    SecretKey key = make();
    ASSERT_NE(key, nullptr);
    PublicKey pub(key->publicObject(key.get()), destroyPublic);
    ASSERT_NE(pub, nullptr);
    EXPECT_EQ(key->maxEncryptedSize(key.get(), 1), 130);
    EXPECT_EQ(key->maxEncryptedSize(key.get(), 4), 128);
    EXPECT_EQ(key->maxEncryptedSize(key.get(), 5), 0);
    EXPECT_EQ(key->maxPlaintextSize(key.get()), 128);

    // Locked: decrypt unlocks with its pass phrase, sign does not.
    const Bytes sessionKey = qeltest::fromHex("09" "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff");
    std::uint8_t c[200];
    std::size_t clen = 0;
    ASSERT_EQ(pub->encrypt(pub.get(), sessionKey.data(), sessionKey.size(), c, &clen, &random, 1), 0);
    std::uint8_t out[130];
    std::size_t olen = 0;
    EXPECT_EQ(key->decrypt(key.get(), c, clen, out, &olen, "nope", 4, 1), QELError_KeyLocked);
    const Bytes digest(20, 0x3C);
    std::uint8_t sig[130];
    std::size_t slen = 0;
    EXPECT_EQ(key->sign(key.get(), qelHashDescriptorFind(2), digest.data(), 20, sig, &slen, &random, 2),
              QELError_KeyLocked);
    ASSERT_EQ(key->decrypt(key.get(), c, clen, out, &olen, device->pin.data(), device->pin.size(), 1), 0);
    EXPECT_EQ(Bytes(out, out + olen), sessionKey);
    EXPECT_EQ(key->decrypt(key.get(), c, 1, out, &olen, nullptr, 0, 1), QELError_MalformedESK);

    for (std::int32_t format : {1, 2, 3, 4}) {
        ASSERT_EQ(key->sign(key.get(), qelHashDescriptorFind(2), digest.data(), 20, sig, &slen, &random, format), 0)
            << format;
        EXPECT_EQ(pub->verify(pub.get(), sig, slen, qelHashDescriptorFind(2), digest.data(), 20, format), 1) << format;
    }
    // The token has gone: its status comes back.
    device->failWith = QELError_TokenNotAvailable;
    EXPECT_EQ(key->sign(key.get(), qelHashDescriptorFind(2), digest.data(), 20, sig, &slen, &random, 2),
              QELError_TokenNotAvailable);
    device->failWith = QELError_TokenNotAvailable;
    EXPECT_EQ(key->decrypt(key.get(), c, clen, out, &olen, nullptr, 0, 1), QELError_TokenNotAvailable);
    const Bytes big(200, 1);
    EXPECT_EQ(key->sign(key.get(), nullptr, big.data(), big.size(), sig, &slen, &random, 4), QELError_DataTooLarge);
}

TEST_F(TokenTest, ShortMaterialAndStubs)
{
    QELStatus status = 0;
    const Bytes shortMaterial{0x00, 0x08, 0xFF, 0x00};
    EXPECT_EQ(qelTokenSecretKeyObjectNew(context, shortMaterial.data(), shortMaterial.size(), 0, &device->table,
                                         &status),
              nullptr);
    EXPECT_EQ(status, QELError_BadAlgorithmData);
    const Bytes noTail = cat({mpi({0xC1, 0x01}), Bytes{0x00, 0x02}});
    EXPECT_EQ(qelTokenSecretKeyObjectNew(context, noTail.data(), noTail.size(), 0, &device->table, &status), nullptr);
    EXPECT_EQ(status, QELError_BadAlgorithmData);

    EXPECT_EQ(qelTokenGenerateKey(context, 1, 1024, 0, 0, nullptr, nullptr, &device->table, nullptr, 0, 1), nullptr);
    EXPECT_EQ(qelTokenGenerateKeyEx(context, 1, 1024, &status), nullptr);
    EXPECT_EQ(status, QELError_AlgorithmCannotDoThis);
    EXPECT_EQ(qelTokenCopyKey(context, nullptr, 0), QELError_AlgorithmCannotDoThis);
    EXPECT_EQ(qelTokenDeleteKeyByID(context, nullptr, 0), QELError_AlgorithmCannotDoThis);
    EXPECT_EQ(qelTokenFindByKeyID(nullptr), nullptr);
    EXPECT_EQ(qelTokenGetByIndex(0), nullptr);
    EXPECT_EQ(qelTokenCount(), 0u);
    EXPECT_EQ(qelTokenSubmitSecret(context, 0, "x"), 0);
    EXPECT_EQ(qelTokenSetSecret(context, 0, "x"), 0);
    EXPECT_EQ(qelTokenReplaceSecret(context, 0, "x"), 0);
    EXPECT_EQ(qelTokenNotifyKeyChange(), 0);
    EXPECT_EQ(qelTokenSyncKeys(context, nullptr, 1), 0);
    EXPECT_EQ(qelTokenIdle(), 0);
    EXPECT_EQ(qelTokenReleaseAll(), 0);
    EXPECT_EQ(qelTokenFreeData(nullptr), 0);
    std::uint8_t info[QELTokenInfoSize];
    std::memset(info, 0xAB, sizeof info);
    EXPECT_EQ(qelTokenGetInfo(0, info), 0);
    EXPECT_EQ(info[0] | info[95], 0);
    EXPECT_EQ(qelTokenKeyCommand(context, nullptr, 1), QELError_AlgorithmCannotDoThis);
    // Generation with a token handle asks the token layer, which makes nothing.
    EXPECT_EQ(qelPkAlgKeyGenEntropyNeeded(qelPkAlgFind(1), 2048, 0, 0, &device->table), 0u);
}

} // namespace
#endif
