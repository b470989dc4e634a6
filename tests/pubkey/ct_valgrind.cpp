// Constant-time check of the secret-key operations under Valgrind's memcheck
// (the method of ctgrind): RSA-CRT signing and decryption, DSA signing and
// ElGamal decryption. The secret values of the keys are marked undefined,
// so that every branch and every memory index that depends on them is
// reported as a use of uninitialised data. The library hands over what
// becomes public (a signature, a verdict, a length) through its
// declassification hook, which marks it defined again. Run as
// `valgrind --error-exitcode=N ct_valgrind`: any report fails it. The
// portable code is taken (Valgrind does not run AVX-512).
#include "qelAlgorithms.h"
#include "qelContextInternal.h"
#include "qelHashInternal.h"
#include "qelPkAlgInternal.h"
#include "qelRandomContextInternal.h"
#include "qelSDK.h"
#include "qelTestEnv.h"
#include "qelTestHooks.h"

#include <valgrind/memcheck.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// A deterministic source: the secrets under test come from the keys, not
// from here.
struct Counter {
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
};
void counterAdd(void *, const void *, std::uint32_t) {}
QELStatus counterGet(void *s, void *buffer, std::uint32_t length, std::uint32_t)
{
    auto *c = static_cast<Counter *>(s);
    auto *p = static_cast<std::uint8_t *>(buffer);
    for (std::uint32_t i = 0; i < length; ++i) {
        c->state = c->state * 6364136223846793005ull + 1442695040888963407ull;
        p[i] = (std::uint8_t)(c->state >> 56);
    }
    return QELError_NoErr;
}
Counter gCounter;
const QELRandomDescriptor kSource{"ct", counterAdd, counterGet, nullptr};
QELRandomContext gRandom{nullptr, &kSource, &gCounter, nullptr};

void declassify(const void *data, std::size_t length) { VALGRIND_MAKE_MEM_DEFINED(data, length); }

// Marks the secret values (and what is derived from them) of a key.
void markSecrets(QELSecretKeyObject *key, bool undefined)
{
    QELPkSecretRecord *rec = qelPkSecretRecord(key);
    auto mark = [&](QELBigNum &n) {
        if (n.words == nullptr)
            return;
        const std::size_t bytes = std::size_t(n.allocated) * sizeof(std::uint32_t);
        if (undefined)
            VALGRIND_MAKE_MEM_UNDEFINED(n.words, bytes);
        else
            VALGRIND_MAKE_MEM_DEFINED(n.words, bytes);
    };
    for (std::uint32_t i = 0; i < rec->secretCount; ++i)
        mark(rec->value[rec->publicCount + i]);
    for (QELBigNum &n : rec->derived)
        mark(n);
}

int failures = 0;
void expect(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "ct_valgrind: %s\n", what);
        ++failures;
    }
}

QELSecretKeyObject *generate(QELContext *context, std::uint8_t algorithm, std::uint32_t bits)
{
    QELStatus status = 0;
    QELSecretKeyObject *key = qelPkAlgGenerateKey(context, qelPkAlgFind(algorithm), bits, 0, 1, 0, &gRandom, nullptr,
                                                  nullptr, nullptr, nullptr, 0, 1, &status);
    expect(key != nullptr && status == 0, "key generation");
    return key;
}

void signAndVerify(QELSecretKeyObject *key, const char *name)
{
    const QELHashDescriptor *sha256 = qelHashDescriptorFind(QELHashAlgorithm_SHA256);
    std::uint8_t digest[32];
    for (int i = 0; i < 32; ++i)
        digest[i] = (std::uint8_t)(i * 7 + 1);
    std::vector<std::uint8_t> signature(1024);
    std::size_t length = 0;
    markSecrets(key, true);
    const QELStatus s = key->sign(key, sha256, digest, sizeof digest, signature.data(), &length, &gRandom,
                                  QELPkFormat_RFC4880);
    markSecrets(key, false);
    expect(s == 0, name);
    QELPublicKeyObject *pub = key->publicObject(key);
    expect(pub != nullptr && pub->verify(pub, signature.data(), length, sha256, digest, sizeof digest,
                                         QELPkFormat_RFC4880) == 1,
           name);
    if (pub)
        static_cast<void>(pub->destroy(pub));
}

void encryptAndDecrypt(QELSecretKeyObject *key, const char *name)
{
    std::uint8_t sessionKey[17];
    for (int i = 0; i < 17; ++i)
        sessionKey[i] = (std::uint8_t)(0xA0 + i);
    QELPublicKeyObject *pub = key->publicObject(key);
    std::vector<std::uint8_t> ciphertext(2048), plain(1024);
    std::size_t length = 0, plainLength = 0;
    expect(pub != nullptr && pub->encrypt(pub, sessionKey, sizeof sessionKey, ciphertext.data(), &length, &gRandom,
                                          QELPkFormat_RFC4880) == 0,
           name);
    markSecrets(key, true);
    const QELStatus s = key->decrypt(key, ciphertext.data(), length, plain.data(), &plainLength, nullptr, 0,
                                     QELPkFormat_RFC4880);
    markSecrets(key, false);
    // The plaintext is the caller's secret; the test looks at it.
    VALGRIND_MAKE_MEM_DEFINED(plain.data(), plain.size());
    expect(s == 0 && plainLength == sizeof sessionKey && std::memcmp(plain.data(), sessionKey, plainLength) == 0,
           name);
    if (pub)
        static_cast<void>(pub->destroy(pub));
}

} // namespace

int main()
{
    qelTestForcePortableCrypto(true);
    qelCTSetDeclassifyForTesting(declassify);
    qeltest::TempDir home("qelct");
    home.becomeHome();
    if (qelSDKInit(qeltest::kSDKTestFlags) != 0)
        return 2;
    QELContext *context = nullptr;
    if (qelContextNew(QELSDKVersion, &context) != 0)
        return 2;
    QELSecretKeyObject *rsa = generate(context, QELPublicKeyAlgorithm_RSA, 1024);
    QELSecretKeyObject *dsa = generate(context, QELPublicKeyAlgorithm_DSA, 1024);
    QELSecretKeyObject *elg = generate(context, QELPublicKeyAlgorithm_ElGamal, 1536);
    if (rsa) {
        signAndVerify(rsa, "RSA-CRT signing");
        encryptAndDecrypt(rsa, "RSA-CRT decryption");
    }
    if (dsa)
        signAndVerify(dsa, "DSA signing");
    if (elg)
        encryptAndDecrypt(elg, "ElGamal decryption");
    for (QELSecretKeyObject *k : {rsa, dsa, elg})
        if (k)
            static_cast<void>(k->destroy(k));
    static_cast<void>(qelContextFree(context));
    static_cast<void>(qelSDKCleanup());
    return failures == 0 ? 0 : 1;
}
