// Secret-key protection and ElGamal against GnuPG: exported secret keys
// (usage 254, S2K 3) unlock here with their pass phrase and with nothing
// else; re-protected material unlocks again; session keys GnuPG encrypted
// to RSA and ElGamal keys decrypt here; ElGamal ciphertexts agree with a
// straightforward computation in GMP both ways.
#include "pktest_util.h"

#include "qelAlgorithms.h"
#include "qelKeyProtectionInternal.h"
#include "qelCFBInternal.h"
#include "qelPkEncodeInternal.h"
#include "qelPrimeInternal.h"
#include "qelSymmetricCipherInternal.h"
#include "qelTestEnv.h"
#include "qelTestMemory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace {

using namespace pktest;
using qeltest::fromHex;

struct GpgKey {
    int alg;
    std::string passphrase;
    Bytes publicMaterial, secretMaterial;
};
struct GpgEsk {
    int alg;
    Bytes ciphertext, sessionKey;
};

void loadGpg(std::vector<GpgKey> &keys, std::vector<GpgEsk> &esks)
{
    std::ifstream in(std::string(QEL_SOURCE_DIR) + "/tests/pubkey/data/gpg_keys.txt");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string kind, a, b, c, d;
        f >> kind;
        if (kind == "key") {
            GpgKey k;
            f >> k.alg >> k.passphrase >> a >> b;
            std::replace(k.passphrase.begin(), k.passphrase.end(), '_', ' ');
            k.publicMaterial = fromHex(a);
            k.secretMaterial = fromHex(b);
            keys.push_back(k);
        } else if (kind == "esk") {
            GpgEsk e;
            f >> e.alg >> a >> b;
            e.ciphertext = fromHex(a);
            e.sessionKey = fromHex(b);
            esks.push_back(e);
        }
    }
}

class KeyProtectionTest : public qeltest::SDKSuite {
protected:
    void SetUp() override { loadGpg(keys, esks); }
    SecretKey unlocked(int alg)
    {
        for (const GpgKey &k : keys)
            if (k.alg == alg) {
                SecretKey key = secretFrom(context, std::uint8_t(alg), k.secretMaterial);
                EXPECT_EQ(key->unlock(key.get(), k.passphrase.data(), k.passphrase.size(), 0), 1);
                return key;
            }
        return SecretKey(nullptr, destroySecret);
    }
    std::vector<GpgKey> keys;
    std::vector<GpgEsk> esks;
    TestRandom random;
};

TEST_F(KeyProtectionTest, GnuPGSecretKeysUnlockWithTheirPassPhraseOnly)
{
    ASSERT_EQ(keys.size(), 4u);
    for (const GpgKey &k : keys) {
        SCOPED_TRACE("algorithm " + std::to_string(k.alg));
        const std::size_t publicLength = k.publicMaterial.size();
        EXPECT_EQ(qelPkAlgPublicDataLength(std::uint8_t(k.alg), k.secretMaterial.data(), k.secretMaterial.size()),
                  std::int32_t(publicLength));
        EXPECT_EQ(k.secretMaterial[publicLength], 254);
        QELStatus status = -1;
        SecretKey key = secretFrom(context, std::uint8_t(k.alg), k.secretMaterial, &status);
        ASSERT_NE(key, nullptr);
        EXPECT_EQ(status, QELError_NoErr);
        EXPECT_EQ(key->isLocked(key.get()), 1u);
        std::uint32_t type = 9;
        EXPECT_EQ(key->protectionS2KType(key.get(), &type), 0);
        EXPECT_EQ(type, 3u);
        std::uint32_t cipher = 0;
        std::uint64_t keySize = 0;
        EXPECT_EQ(key->protectionCipher(key.get(), &cipher, &keySize), 0);
        EXPECT_EQ(keySize, qelCipherDescriptorFind(std::int32_t(cipher))->keySize);

        const std::string wrong = k.passphrase + "!";
        EXPECT_EQ(key->unlock(key.get(), wrong.data(), wrong.size(), 0), 0);
        EXPECT_EQ(key->unlock(key.get(), nullptr, 0, 0), 0);
        EXPECT_EQ(key->isLocked(key.get()), 1u);
        EXPECT_EQ(key->unlock(key.get(), k.passphrase.data(), k.passphrase.size(), 0), 1);
        PublicKey pub(key->publicObject(key.get()), destroyPublic);
        EXPECT_EQ(exportPublic(pub.get()), k.publicMaterial);
        // The derived protection key, given as a raw key, unlocks too; a
        // key of another length does not.
        std::uint8_t raw[33] = {};
        ASSERT_EQ(key->deriveProtectionKey(key.get(), nullptr, k.passphrase.data(), k.passphrase.size(), raw), 0);
        ASSERT_EQ(key->lock(key.get()), 0);
        EXPECT_EQ(key->unlock(key.get(), raw, keySize, 1), 1);
        EXPECT_EQ(key->lock(key.get()), 0);
        for (std::size_t n : {keySize - 1, keySize + 1, std::size_t(33)}) {
            EXPECT_EQ(key->unlock(key.get(), raw, n, 1), 0) << n;
        }
        EXPECT_EQ(key->isLocked(key.get()), 1u);
    }
}

// The SHA-1 integrity value covers the secret value alone: a public value
// changed beside it (y) is still caught, by the consistency check that now
// runs whatever the integrity form.
TEST_F(KeyProtectionTest, PublicValuesBesideAHashedSecretAreChecked)
{
    int checked = 0;
    for (const GpgKey &k : keys) {
        if (k.alg != QELPublicKeyAlgorithm_DSA && k.alg != QELPublicKeyAlgorithm_ElGamal)
            continue;
        SCOPED_TRACE("algorithm " + std::to_string(k.alg));
        ++checked;
        Bytes tampered = k.secretMaterial;
        tampered[k.publicMaterial.size() - 1] ^= 0x02;   // the last octet of y
        SecretKey key = secretFrom(context, std::uint8_t(k.alg), tampered);
        ASSERT_NE(key, nullptr);
        EXPECT_EQ(key->unlock(key.get(), k.passphrase.data(), k.passphrase.size(), 0), QELError_BadKeyParameters);
        EXPECT_EQ(key->isLocked(key.get()), 1u);
        SecretKey good = secretFrom(context, std::uint8_t(k.alg), k.secretMaterial);
        EXPECT_EQ(good->unlock(good.get(), k.passphrase.data(), k.passphrase.size(), 0), 1);
    }
    EXPECT_EQ(checked, 2);
}

TEST_F(KeyProtectionTest, ChangeProtectionRoundTrips)
{
    for (const GpgKey &k : keys) {
        SCOPED_TRACE("algorithm " + std::to_string(k.alg));
        SecretKey key = secretFrom(context, std::uint8_t(k.alg), k.secretMaterial);
        // Locked with a wrong old pass phrase: refused, material unchanged.
        EXPECT_EQ(key->changeProtection(key.get(), nullptr, &random, "nope", 4, 0, "new", 3, 3), QELError_KeyLocked);
        EXPECT_EQ(exportSecret(key.get()), k.secretMaterial);
        const std::string next = "a new pass phrase";
        ASSERT_EQ(key->changeProtection(key.get(), nullptr, &random, k.passphrase.data(), k.passphrase.size(), 0,
                                        next.data(), next.size(), 3),
                  0);
        EXPECT_EQ(key->isLocked(key.get()), 0u);
        const Bytes m = exportSecret(key.get());
        const std::size_t n = k.publicMaterial.size();
        EXPECT_EQ(Bytes(m.begin(), m.begin() + n), k.publicMaterial);
        EXPECT_EQ(m[n], 255);
        EXPECT_EQ(m[n + 1], QELCipherAlgorithm_CAST5);
        EXPECT_EQ(m[n + 2], 3);   // an 11-octet iterated and salted specifier
        SecretKey again = secretFrom(context, std::uint8_t(k.alg), m);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(again->unlock(again.get(), k.passphrase.data(), k.passphrase.size(), 0), 0);
        EXPECT_EQ(again->unlock(again.get(), next.data(), next.size(), 0), 1);
        // Unprotected, the material unlocks at once.
        ASSERT_EQ(again->changeProtection(again.get(), nullptr, &random, nullptr, 0, 0, nullptr, 0, 0), 0);
        const Bytes open = exportSecret(again.get());
        EXPECT_EQ(open[n], 0);
        SecretKey bare = secretFrom(context, std::uint8_t(k.alg), open);
        EXPECT_EQ(bare->isLocked(bare.get()), 0u);
        EXPECT_EQ(bare->unlock(bare.get(), "x", 1, 0), 0);   // a pass phrase does not unlock it
    }
}

TEST_F(KeyProtectionTest, LegacyAndOldFormatRSAProtection)
{
    SecretKey key = unlocked(1);
    ASSERT_NE(key, nullptr);
    const std::string pass = "legacy";
    // String-to-key type 0 on RSA: the usage octet is the cipher id (IDEA).
    ASSERT_EQ(key->changeProtection(key.get(), nullptr, &random, nullptr, 0, 0, pass.data(), pass.size(), 0), 0);
    const Bytes legacy = exportSecret(key.get());
    const std::size_t n = std::size_t(qelPkAlgPublicDataLength(1, legacy.data(), legacy.size()));
    EXPECT_EQ(legacy[n], QELCipherAlgorithm_IDEA);
    SecretKey back = secretFrom(context, 1, legacy);
    EXPECT_EQ(back->unlock(back.get(), pass.data(), pass.size(), 0), 1);
    std::uint32_t type = 7;
    EXPECT_EQ(back->protectionS2KType(back.get(), &type), 0);
    EXPECT_EQ(type, 0u);

    // Version 3 keys: clear bit counts, resynchronised CFB, clear checksum.
    ASSERT_EQ(key->changeProtection(key.get(), nullptr, &random, nullptr, 0, 0, nullptr, 0, 0), 0);
    const Bytes open = exportSecret(key.get());
    SecretKey v3 = secretFrom(context, 1, open, nullptr, 1);
    ASSERT_EQ(v3->isLocked(v3.get()), 0u);
    ASSERT_EQ(v3->changeProtection(v3.get(), nullptr, &random, nullptr, 0, 0, pass.data(), pass.size(), 0), 0);
    const Bytes old = exportSecret(v3.get());
    SecretKey v3back = secretFrom(context, 1, old, nullptr, 1);
    EXPECT_EQ(v3back->unlock(v3back.get(), "other", 5, 0), 0);
    EXPECT_EQ(v3back->unlock(v3back.get(), pass.data(), pass.size(), 0), 1);
    // The bit count of d sits in the clear right after the IV.
    EXPECT_EQ(old[n + 1 + 8], open[n + 1]);
    EXPECT_EQ(old[n + 1 + 8 + 1], open[n + 2]);
    // Read as a version 4 key the same material does not unlock.
    SecretKey asV4 = secretFrom(context, 1, old);
    EXPECT_EQ(asV4->unlock(asV4.get(), pass.data(), pass.size(), 0), 0);
}

TEST_F(KeyProtectionTest, ProtectionHeaderEdges)
{
    QELCFBContext *cfb = reinterpret_cast<QELCFBContext *>(1);
    const std::uint8_t zero[1] = {0};
    EXPECT_EQ(qelKeyProtectionOpen(zero, 1, nullptr, 0, 0, 0, context, &cfb), 1);
    EXPECT_EQ(cfb, nullptr);
    EXPECT_EQ(qelKeyProtectionOpen(zero, 0, nullptr, 0, 0, 0, context, &cfb), QELError_BadAlgorithmData);
    // Legacy CAST5: one octet and the 8-octet IV.
    Bytes legacy(1 + 8 + 4, 0);
    legacy[0] = 3;
    ASSERT_EQ(qelKeyProtectionOpen(legacy.data(), legacy.size(), "pw", 2, 0, 0, context, &cfb), 9);
    ASSERT_NE(cfb, nullptr);
    EXPECT_EQ(qelCFBFree(cfb), 0);
    EXPECT_EQ(qelKeyProtectionOpen(legacy.data(), 8, "pw", 2, 0, 0, context, &cfb), QELError_BadAlgorithmData);
    // 254, CAST5, iterated and salted SHA-1: 2 + 11 + 8.
    Bytes s2k = cat({Bytes{254, 3, 3, 2}, Bytes(8, 0x11), Bytes{0x60}, Bytes(8, 0)});
    ASSERT_EQ(qelKeyProtectionOpen(s2k.data(), s2k.size(), "pw", 2, 0, 0, context, &cfb), 21);
    EXPECT_EQ(qelCFBFree(cfb), 0);
    EXPECT_EQ(qelKeyProtectionOpen(s2k.data(), s2k.size(), "0123456789abcdef", 16, 1, 0, context, &cfb), 21);
    EXPECT_EQ(qelCFBFree(cfb), 0);
    // A raw key of another length than the cipher's: no CFB stream, no read past it.
    const Bytes longKey(33, 0x42);
    EXPECT_EQ(qelKeyProtectionOpen(s2k.data(), s2k.size(), longKey.data(), longKey.size(), 1, 0, context, &cfb),
              QELError_BadPassphrase);
    EXPECT_EQ(cfb, nullptr);
    s2k[1] = 99;
    EXPECT_EQ(qelKeyProtectionOpen(s2k.data(), s2k.size(), "pw", 2, 0, 0, context, &cfb),
              QELError_UnknownCipherAlgorithm);
    s2k[1] = 3;
    s2k[2] = 2;
    EXPECT_EQ(qelKeyProtectionOpen(s2k.data(), s2k.size(), "pw", 2, 0, 0, context, &cfb), QELError_UnknownS2KType);
}

TEST_F(KeyProtectionTest, GnuPGSessionKeysDecryptHere)
{
    ASSERT_EQ(esks.size(), 2u);
    for (const GpgEsk &e : esks) {
        SCOPED_TRACE("algorithm " + std::to_string(e.alg));
        // The encryption subkey of that algorithm: the second RSA key is the subkey.
        SecretKey key(nullptr, destroySecret);
        int seen = 0;
        for (const GpgKey &k : keys) {
            if (k.alg != e.alg || (e.alg == 1 && seen++ == 0))
                continue;
            key = secretFrom(context, std::uint8_t(k.alg), k.secretMaterial);
            break;
        }
        ASSERT_NE(key, nullptr);
        std::uint8_t out[300];
        std::size_t len = 0;
        // Locked: the pass phrase given to decrypt unlocks it.
        EXPECT_EQ(key->decrypt(key.get(), e.ciphertext.data(), e.ciphertext.size(), out, &len, "bad", 3, 1),
                  QELError_KeyLocked);
        const std::string pass = keys[0].passphrase;
        ASSERT_EQ(key->decrypt(key.get(), e.ciphertext.data(), e.ciphertext.size(), out, &len, pass.data(),
                               pass.size(), 1),
                  0);
        EXPECT_EQ(Bytes(out, out + len), e.sessionKey);
    }
}

#ifdef QEL_HAVE_GMP
void toMpz(mpz_t z, const QELBigNum *n)
{
    const std::uint32_t bytes = (QELBigNumOps.qelBigNumBitLength(n) + 7) / 8;
    Bytes b(bytes);
    QELBigNumOps.qelBigNumToBytesBE(n, b.data(), 0, bytes);
    mpz_import(z, b.size(), 1, 1, 0, 0, b.data());
}
Bytes fromMpz(mpz_t z, std::size_t size)
{
    Bytes b(size, 0);
    std::size_t count = 0;
    Bytes tmp((mpz_sizeinbase(z, 2) + 7) / 8 + 1);
    mpz_export(tmp.data(), &count, 1, 1, 0, 0, z);
    std::copy(tmp.begin(), tmp.begin() + count, b.end() - count);
    return b;
}

TEST_F(KeyProtectionTest, ElGamalAgreesWithGMP)
{
    SecretKey key = unlocked(16);
    ASSERT_NE(key, nullptr);
    PublicKey pub(key->publicObject(key.get()), destroyPublic);
    qeltest::BigNum p, g, y, x;
    QELBigNum *pv[] = {&p, &g, &y};
    QELBigNum *sv[] = {&x};
    ASSERT_EQ(pub->getParameters(pub.get(), pv), 0);
    ASSERT_EQ(key->getSecretParameters(key.get(), sv), 0);
    qeltest::Mpz P, G, Y, X, A, B, M, T;
    toMpz(P, &p);
    toMpz(G, &g);
    toMpz(Y, &y);
    toMpz(X, &x);
    const std::size_t k = 256;
    const Bytes message = fromHex("0908070605040302010a");

    // Ours, opened by b (a^x)^-1 mod p in GMP: a type 2 block ending in the message.
    std::uint8_t c[600];
    std::size_t clen = 0;
    ASSERT_EQ(pub->encrypt(pub.get(), message.data(), message.size(), c, &clen, &random, 2), 0);
    ASSERT_EQ(clen, 2 * k);
    mpz_import(A, k, 1, 1, 0, 0, c);
    mpz_import(B, k, 1, 1, 0, 0, c + k);
    mpz_powm(T, A, X, P);
    mpz_invert(T, T, P);
    mpz_mul(M, B, T);
    mpz_mod(M, M, P);
    const Bytes block = fromMpz(M, k);
    EXPECT_EQ(block[0], 0);
    EXPECT_EQ(block[1], 2);
    EXPECT_EQ(Bytes(block.end() - message.size(), block.end()), message);
    EXPECT_EQ(block[k - message.size() - 1], 0);

    // GMP's: a = g^r, b = y^r m for a block made here; ours decrypts it.
    Bytes padded(k, 0x77);
    padded[0] = 0;
    padded[1] = 2;
    padded[k - message.size() - 1] = 0;
    std::copy(message.begin(), message.end(), padded.end() - message.size());
    mpz_import(M, k, 1, 1, 0, 0, padded.data());
    mpz_set_ui(T, 0x1234567u);
    mpz_powm(A, G, T, P);
    mpz_powm(B, Y, T, P);
    mpz_mul(B, B, M);
    mpz_mod(B, B, P);
    const Bytes theirs = cat({fromMpz(A, k), fromMpz(B, k)});
    std::uint8_t out[256];
    std::size_t olen = 0;
    ASSERT_EQ(key->decrypt(key.get(), theirs.data(), theirs.size(), out, &olen, nullptr, 0, 2), 0);
    EXPECT_EQ(Bytes(out, out + olen), message);

    // A message too short to be a session key with its checksum (two
    // octets) is refused in the RFC 4880 layout, and what had been copied
    // of it is wiped.
    {
        Bytes tiny(k, 0x77);
        tiny[0] = 0;
        tiny[1] = 2;
        tiny[k - 3] = 0;
        tiny[k - 2] = 0x42;
        tiny[k - 1] = 0x43;
        mpz_import(M, k, 1, 1, 0, 0, tiny.data());
        mpz_powm(B, Y, T, P);
        mpz_mul(B, B, M);
        mpz_mod(B, B, P);
        const Bytes esk = cat({mpi(fromMpz(A, k)), mpi(fromMpz(B, k))});
        std::memset(out, 0xAA, sizeof out);
        olen = 7;
        EXPECT_EQ(key->decrypt(key.get(), esk.data(), esk.size(), out, &olen, nullptr, 0, 1), QELError_CorruptData);
        EXPECT_EQ(olen, 0u);
        EXPECT_EQ(out[0], 0);
        EXPECT_EQ(out[1], 0);
    }

    // Our DER and RFC 4880 layouts decrypt back.
    for (std::int32_t format : {1, 3}) {
        const Bytes sk = fromHex("0700112233445566778899aabbccddeeff");
        ASSERT_EQ(pub->encrypt(pub.get(), sk.data(), sk.size(), c, &clen, &random, format), 0);
        ASSERT_LE(clen, std::size_t(pub->maxEncryptedSize(pub.get(), format)));
        ASSERT_EQ(key->decrypt(key.get(), c, clen, out, &olen, nullptr, 0, format), 0);
        EXPECT_EQ(Bytes(out, out + olen), sk);
    }
    // A DER SEQUENCE whose length disagrees with the input.
    ASSERT_EQ(pub->encrypt(pub.get(), message.data(), message.size(), c, &clen, &random, 3), 0);
    c[2] ^= 1;
    EXPECT_EQ(key->decrypt(key.get(), c, clen, out, &olen, nullptr, 0, 3), QELError_BadKeyEncoding);

    // a or b outside 1 .. p - 1.
    const Bytes pBytes = fromMpz(P, k), zero(k, 0);
    mpz_set_ui(T, 1);
    const Bytes oneBytes = fromMpz(T, k);
    struct Case {
        const char *what;
        Bytes a, b;
    };
    const Case cases[] = {{"a = 0", zero, oneBytes}, {"b = 0", oneBytes, zero}, {"a = p", pBytes, oneBytes},
                          {"b = p", oneBytes, pBytes}};
    for (const Case &cs : cases) {
        const Bytes in = cat({cs.a, cs.b});
        EXPECT_EQ(key->decrypt(key.get(), in.data(), in.size(), out, &olen, nullptr, 0, 2), QELError_MalformedESK)
            << cs.what;
    }
    const Bytes shortInput(2 * k - 1, 1);
    EXPECT_EQ(key->decrypt(key.get(), shortInput.data(), shortInput.size(), out, &olen, nullptr, 0, 2),
              QELError_MalformedESK);
    // Public values outside 2 .. p - 1 are refused when the object is made.
    const Bytes pMpi = mpi(fromMpz(P, k));
    QELStatus status = 0;
    for (const Bytes &m : {cat({pMpi, mpi({1}), mpi(fromMpz(Y, k))}), cat({pMpi, mpi(fromMpz(G, k)), pMpi})}) {
        EXPECT_EQ(publicFrom(context, 16, m, &status), nullptr);
        EXPECT_EQ(status, QELError_BadKeyParameters);
    }
    // ElGamal has no signatures and no OAEP.
    EXPECT_EQ(key->sign(key.get(), nullptr, out, 20, c, &clen, &random, 2), QELError_AlgorithmCannotDoThis);
    EXPECT_EQ(pub->verify(pub.get(), c, 10, nullptr, out, 20, 2), QELError_AlgorithmCannotDoThis);
    EXPECT_EQ(pub->maxEncryptedSize(pub.get(), 5), 0);
    EXPECT_EQ(pub->maxEncryptedSize(pub.get(), 101), 0);
    EXPECT_EQ(pub->maxSignatureSize(pub.get(), 2), QELError_AlgorithmCannotDoThis);
}
#endif

// Decryption is given no random source: RSA blinds the private operation's
// input and ElGamal its base with the context's. A context source that
// cannot deliver stops the decryption with its status, nothing written.
TEST_F(KeyProtectionTest, DecryptionBlindsWithTheContextsSource)
{
    for (int alg : {QELPublicKeyAlgorithm_RSA, QELPublicKeyAlgorithm_ElGamal}) {
        SCOPED_TRACE("algorithm " + std::to_string(alg));
        SecretKey key = unlocked(alg);   // no blinding kept yet
        ASSERT_NE(key, nullptr);
        PublicKey pub(key->publicObject(key.get()), destroyPublic);
        const Bytes sk = fromHex("0700112233445566778899aabbccddeeff");
        std::uint8_t c[600];
        std::size_t clen = 0;
        ASSERT_EQ(pub->encrypt(pub.get(), sk.data(), sk.size(), c, &clen, &random, 1), 0);
        QELRandomContext *shared = qelContextGetRandomContext(context);
        ASSERT_NE(shared, nullptr);
        const QELRandomContext saved = *shared;
        TestRandom dry;
        dry.budget = 0;
        shared->descriptor = &dry.descriptor;
        shared->state = std::addressof(dry);   // & gives its context
        std::uint8_t out[256];
        std::memset(out, 0xAA, sizeof out);
        std::size_t olen = 7;
        const QELStatus status = key->decrypt(key.get(), c, clen, out, &olen, nullptr, 0, 1);
        *shared = saved;
        EXPECT_EQ(status, QELError_OutOfEntropy);
        EXPECT_EQ(olen, 0u);
        EXPECT_TRUE(std::all_of(out, out + sizeof out, [](std::uint8_t b) { return b == 0xAA; }));
        ASSERT_EQ(key->decrypt(key.get(), c, clen, out, &olen, nullptr, 0, 1), 0);
        EXPECT_EQ(Bytes(out, out + olen), sk);
    }
}

// The secret values, what derives from them and the stored material that
// holds them in the clear live in the secure heap; the material a change of
// protection replaces is returned at once (not with the key), and no block,
// plain or secure, goes back to the heap with a secret value in it.
TEST_F(KeyProtectionTest, SecretsLiveInTheSecureHeapAndLeaveWiped)
{
    qeltest::TestHeap heap;
    std::vector<Bytes> secrets;
    int leaks = 0;
    std::vector<std::size_t> secureFreed;
    heap.onFree = [&](const std::uint8_t *payload, std::size_t length, bool secure) {
        if (secure)
            secureFreed.push_back(length);
        for (const Bytes &v : secrets)
            if (std::search(payload, payload + length, v.begin(), v.end()) != payload + length)
                ++leaks;
    };
    QELContextParams params{QELSDKVersion, heap.make()};
    QELContext *own = nullptr;
    ASSERT_EQ(qelContextNewCustom(&params, &own), 0);
    {
        QELStatus status = 0;
        SecretKey key(qelPkAlgGenerateKey(own, qelPkAlgFind(1), 1024, 0, 1, 0, &random, nullptr, nullptr, nullptr,
                                          nullptr, 0, 1, &status),
                      destroySecret);
        ASSERT_NE(key, nullptr) << status;
        QELPkSecretRecord *rec = qelPkSecretRecord(key.get());
        EXPECT_EQ(qelMemBlockInfo(rec->material) & 2, 2);
        for (std::uint32_t i = 0; i < rec->secretCount; ++i)
            EXPECT_EQ(qelMemBlockInfo(rec->value[rec->publicCount + i].words) & 2, 2) << i;
        EXPECT_EQ(qelMemBlockInfo(rec->derived[0].words) & 2, 2);
        // d, p and q as the clear material holds them.
        for (std::uint32_t i : {0u, 1u, 2u}) {
            const QELBigNum *v = &rec->value[rec->publicCount + i];
            Bytes b((QELBigNumOps.qelBigNumBitLength(v) + 7) / 8);
            QELBigNumOps.qelBigNumToBytesBE(v, b.data(), 0, (std::uint32_t)b.size());
            secrets.push_back(b);
        }
        const Bytes clear = exportSecret(key.get());
        ASSERT_NE(std::search(clear.begin(), clear.end(), secrets[0].begin(), secrets[0].end()), clear.end());
        const std::size_t oldCapacity = rec->capacity;
        secureFreed.clear();
        ASSERT_EQ(key->changeProtection(key.get(), nullptr, &random, nullptr, 0, 0, "new", 3, 3), 0);
        EXPECT_NE(std::find_if(secureFreed.begin(), secureFreed.end(),
                               [&](std::size_t n) { return n >= oldCapacity; }),
                  secureFreed.end())
            << "the replaced material is returned with the change";
        EXPECT_EQ(qelMemBlockInfo(rec->material) & 2, 2);
        EXPECT_EQ(key->lock(key.get()), 0);
        EXPECT_EQ(key->unlock(key.get(), "new", 3, 0), 1);
    }
    static_cast<void>(qelContextFree(own));
    EXPECT_EQ(leaks, 0);
}

TEST_F(KeyProtectionTest, ElGamalGenerationWithTheFixedGroup)
{
    QELStatus status = -1;
    SecretKey key(qelPkAlgGenerateKey(context, qelPkAlgFind(16), 2048, 0, 1, 0, &random, nullptr, nullptr, nullptr,
                                      nullptr, 0, 0, &status),
                  destroySecret);
    ASSERT_NE(key, nullptr) << status;
    const std::uint8_t *fp = nullptr, *fg = nullptr;
    std::uint64_t pl = 0;
    std::uint32_t gl = 0;
    ASSERT_EQ(qelFixedElGamalPrime(2048, &fp, &pl, &fg, &gl), 1);
    PublicKey pub(key->publicObject(key.get()), destroyPublic);
    qeltest::BigNum p, g, y;
    QELBigNum *pv[] = {&p, &g, &y};
    ASSERT_EQ(pub->getParameters(pub.get(), pv), 0);
    EXPECT_EQ(p.hex(), qeltest::toHex(fp, pl));
    SecretKey again = secretFrom(context, 16, exportSecret(key.get()), &status);
    ASSERT_NE(again, nullptr) << status;
    EXPECT_EQ(again->isLocked(again.get()), 0u);
}

} // namespace
