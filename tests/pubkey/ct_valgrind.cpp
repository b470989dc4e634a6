// Constant-time check of the secret-key operations under Valgrind's memcheck
// (the method of ctgrind): RSA-CRT signing and decryption (PKCS #1 and
// OAEP), DSA signing, ElGamal decryption, the unlock of stored secret keys
// and the part of RSA key generation that follows the prime search. The secret values of the
// keys are marked undefined, so that every branch and every memory index
// that depends on them is reported as a use of uninitialised data. At
// unlock the library tells the check where decrypted key material comes
// into being (its classification hook, which marks it undefined there: the
// passphrase itself is not marked, as a table-driven cipher would index by
// it); key generation does the same with the primes once found. The
// library hands over what becomes public (a signature, a verdict, a length)
// through its declassification hook, which marks it defined again. Run as
// `valgrind --error-exitcode=N ct_valgrind`: any report fails it. The
// portable code is taken (Valgrind does not run AVX-512). Handing the secret
// numbers out (getSecretParameters), the RSA integers of the PKCS #8 export
// and the writing of unprotected material are watched as well.
#include "qelAlgorithms.h"
#include "qelContextInternal.h"
#include "qelHashInternal.h"
#include "qelPkAlgInternal.h"
#include "qelRandomContextInternal.h"
#include "qelSDK.h"
#include "qelTestEnv.h"
#include "qelTestHooks.h"
#include "qelX509KeysInternal.h"

#include <valgrind/memcheck.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
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
void classify(const void *data, std::size_t length) { VALGRIND_MAKE_MEM_UNDEFINED(data, length); }

// The same source with its output marked secret: RSA's blinding factor is
// as secret as the key it hides.
QELStatus secretGet(void *s, void *buffer, std::uint32_t length, std::uint32_t flags)
{
    const QELStatus status = counterGet(s, buffer, length, flags);
    classify(buffer, length);
    return status;
}
Counter gSecretCounter;
const QELRandomDescriptor kSecretSource{"ct-secret", counterAdd, secretGet, nullptr};

// RSA draws its blinding from the key's context: for one operation that
// context's source is the secret one.
struct SecretContextSource {
    explicit SecretContextSource(QELContext *context)
        : random(qelContextGetRandomContext(context)), saved(*random)
    {
        random->descriptor = &kSecretSource;
        random->state = &gSecretCounter;
    }
    ~SecretContextSource() { *random = saved; }
    SecretContextSource(const SecretContextSource &) = delete;
    SecretContextSource &operator=(const SecretContextSource &) = delete;
    QELRandomContext *random;
    QELRandomContext saved;
};

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

// The stored material holds the secret values in the clear for an
// unprotected key: defined again once the check is over.
void materialDefined(QELSecretKeyObject *key)
{
    QELPkSecretRecord *rec = qelPkSecretRecord(key);
    if (rec->material)
        VALGRIND_MAKE_MEM_DEFINED(rec->material, rec->capacity);
}

// With `secretPrimes`, the generation is watched from the end of the prime
// search on (the primes are classified there): d, u, n and the stored form.
QELSecretKeyObject *generate(QELContext *context, std::uint8_t algorithm, std::uint32_t bits,
                             bool secretPrimes = false)
{
    QELStatus status = 0;
    if (secretPrimes)
        qelCTSetClassifyForTesting(classify);
    QELSecretKeyObject *key = qelPkAlgGenerateKey(context, qelPkAlgFind(algorithm), bits, 0, 1, 0, &gRandom, nullptr,
                                                  nullptr, nullptr, nullptr, 0, 1, &status);
    qelCTSetClassifyForTesting(nullptr);
    expect(key != nullptr && status == 0, "key generation");
    if (key) {
        markSecrets(key, false);
        materialDefined(key);
    }
    return key;
}

// Unlocks with the decrypted material classified as it comes out of the
// cipher: reading it into numbers, the checksum or SHA-1 check and the
// consistency checks must branch on nothing but their verdicts.
void unlockWatched(QELSecretKeyObject *key, const void *passphrase, std::size_t length, std::int32_t want,
                   const char *name)
{
    qelCTSetClassifyForTesting(classify);
    const std::int32_t got = key->unlock(key, passphrase, length, 0);
    qelCTSetClassifyForTesting(nullptr);
    markSecrets(key, false);
    if (got != want)
        std::fprintf(stderr, "ct_valgrind: unlock gave %d, not %d\n", got, want);
    expect(got == want, name);
}

// An unprotected key: its secret magnitudes are undefined in the stored
// material while it is unlocked again (their bit counts, the public length
// of each, stay defined).
void unlockClearWatched(QELSecretKeyObject *key, const char *name)
{
    QELPkSecretRecord *rec = qelPkSecretRecord(key);
    static_cast<void>(key->lock(key));
    const std::int32_t publicLength = qelPkAlgPublicDataLength(key->algorithm, rec->material, rec->length);
    expect(publicLength > 0 && rec->material[publicLength] == 0, name);
    if (publicLength <= 0)
        return;
    std::size_t pos = std::size_t(publicLength) + 1;
    for (std::uint32_t i = 0; i < rec->secretCount && pos + 2 <= rec->length; ++i) {
        const std::size_t octets = ((std::size_t(rec->material[pos]) << 8 | rec->material[pos + 1]) + 7) / 8;
        VALGRIND_MAKE_MEM_UNDEFINED(rec->material + pos + 2, octets);
        pos += 2 + octets;
    }
    const std::int32_t got = key->unlock(key, nullptr, 0, 0);
    markSecrets(key, false);
    materialDefined(key);
    expect(got == 1, name);
}

// The keys GnuPG exported (SHA-1 integrity form), as the unit tests use them.
struct GpgKey {
    std::uint8_t algorithm;
    std::string passphrase;
    std::vector<std::uint8_t> material;
};

std::vector<std::uint8_t> fromHex(const std::string &hex)
{
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back((std::uint8_t)std::stoul(hex.substr(i, 2), nullptr, 16));
    return out;
}

std::vector<GpgKey> loadGpgKeys()
{
    std::vector<GpgKey> keys;
    std::ifstream in(std::string(QEL_SOURCE_DIR) + "/tests/pubkey/data/gpg_keys.txt");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string kind, pass, pub, sec;
        int algorithm = 0;
        f >> kind;
        if (kind != "key")
            continue;
        f >> algorithm >> pass >> pub >> sec;
        for (char &c : pass)
            if (c == '_')
                c = ' ';
        keys.push_back({(std::uint8_t)algorithm, pass, fromHex(sec)});
    }
    return keys;
}

void unlockGpgKeys(QELContext *context)
{
    const std::vector<GpgKey> keys = loadGpgKeys();
    expect(keys.size() >= 3, "GnuPG key fixture");
    bool seen[256] = {};
    for (const GpgKey &k : keys) {
        if (seen[k.algorithm])
            continue;   // one key of each algorithm
        seen[k.algorithm] = true;
        QELStatus status = 0;
        QELSecretKeyObject *key =
            qelSecretKeyObjectFromData(context, k.algorithm, k.material.data(), k.material.size(), 0, nullptr, &status);
        expect(key != nullptr, "GnuPG key");
        if (key == nullptr)
            continue;
        unlockWatched(key, k.passphrase.data(), k.passphrase.size(), 1, "unlock, SHA-1 form");
        static_cast<void>(key->destroy(key));
    }
}

// The material written again unprotected with the secrets undefined: each
// MPI's bit count (its header shows it) is all that may be looked at.
void unprotectWatched(QELSecretKeyObject *key, const char *name)
{
    markSecrets(key, true);
    const QELStatus s = key->changeProtection(key, nullptr, &gRandom, nullptr, 0, 0, nullptr, 0, 0);
    markSecrets(key, false);
    materialDefined(key);
    expect(s == 0, name);
}

void unlockOwnKeys(QELSecretKeyObject *key, const char *checksumName, const char *clearName)
{
    static const char kPass[] = "ct pass phrase";
    // Protected again with the two-octet checksum (a salted specifier keeps
    // the string-to-key cheap under Valgrind), then unlocked.
    expect(key->changeProtection(key, nullptr, &gRandom, nullptr, 0, 0, kPass, sizeof kPass - 1, 1) == 0,
           checksumName);
    static_cast<void>(key->lock(key));
    unlockWatched(key, "wrong", 5, 0, checksumName);
    unlockWatched(key, kPass, sizeof kPass - 1, 1, checksumName);
    // Unprotected: written and read again in the clear.
    unprotectWatched(key, clearName);
    unlockClearWatched(key, clearName);
}

void signAndVerify(QELSecretKeyObject *key, const char *name, bool secretBlinding = false)
{
    const QELHashDescriptor *sha256 = qelHashDescriptorFind(QELHashAlgorithm_SHA256);
    std::uint8_t digest[32];
    for (int i = 0; i < 32; ++i)
        digest[i] = (std::uint8_t)(i * 7 + 1);
    std::vector<std::uint8_t> signature(1024);
    std::size_t length = 0;
    markSecrets(key, true);
    QELStatus s = 0;
    {
        std::optional<SecretContextSource> blinding;
        if (secretBlinding)
            blinding.emplace(key->context);
        s = key->sign(key, sha256, digest, sizeof digest, signature.data(), &length, &gRandom, QELPkFormat_RFC4880);
    }
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

// OAEP: the input carries its header (label hash, mask hash, label length,
// label) before the message, and before the ciphertext when decrypting.
void oaepEncryptAndDecrypt(QELSecretKeyObject *key, const char *name)
{
    const std::uint8_t header[] = {QELHashAlgorithm_SHA256, QELHashAlgorithm_SHA256, 0, 0, 0, 2, 'c', 't'};
    std::vector<std::uint8_t> input(header, header + sizeof header);
    for (int i = 0; i < 20; ++i)
        input.push_back((std::uint8_t)(0x30 + i));
    QELPublicKeyObject *pub = key->publicObject(key);
    std::vector<std::uint8_t> ciphertext(1024), plain(1024);
    std::size_t length = 0, plainLength = 0;
    expect(pub != nullptr && pub->encrypt(pub, input.data(), input.size(), ciphertext.data(), &length, &gRandom,
                                          QELPkFormat_OAEP) == 0,
           name);
    std::vector<std::uint8_t> esk(header, header + sizeof header);
    esk.insert(esk.end(), ciphertext.begin(), ciphertext.begin() + (std::ptrdiff_t)length);
    markSecrets(key, true);
    const QELStatus s = key->decrypt(key, esk.data(), esk.size(), plain.data(), &plainLength, nullptr, 0,
                                     QELPkFormat_OAEP);
    markSecrets(key, false);
    VALGRIND_MAKE_MEM_DEFINED(plain.data(), plain.size());
    expect(s == 0 && plainLength == 20 && std::memcmp(plain.data(), input.data() + sizeof header, 20) == 0, name);
    if (pub)
        static_cast<void>(pub->destroy(pub));
}

// A number begun in the context's manager and freed at the end.
struct Number {
    QELBigNum n{};
    Number(QELContext *context, bool secure) { qelBigNumBegin(&n, qelContextGetMemoryMgr(context), secure ? 1 : 0); }
    Number(const Number &) = delete;
    Number &operator=(const Number &) = delete;
    ~Number() { QELBigNumOps.qelBigNumFree(&n); }
};

void numberDefined(const QELBigNum &n)
{
    if (n.words != nullptr)
        VALGRIND_MAKE_MEM_DEFINED(n.words, std::size_t(n.allocated) * sizeof(std::uint32_t));
}

// DER INTEGER contents of a non-negative number: its significant octets, a
// zero octet before a set top bit, "00" for zero.
std::vector<std::uint8_t> integerContents(const QELBigNum &n)
{
    std::vector<std::uint8_t> bytes(4 * std::size_t(n.used));
    QELBigNumOps.qelBigNumToBytesBE(&n, bytes.data(), 0, (std::uint32_t)bytes.size());
    std::vector<std::uint8_t> out(std::find_if(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b != 0; }),
                                  bytes.end());
    if (out.empty() || (out[0] & 0x80) != 0)
        out.insert(out.begin(), 0);
    return out;
}

// The secret numbers handed out, and the RSAPrivateKey integers of the
// PKCS #8 export (d reduced modulo each prime less one among them), with the
// key's secrets undefined: copies keep the public word counts, the
// reductions are the constant-time ones, and only each integer's length is
// handed over. The results are then checked against the plain arithmetic
// (division on public copies).
void exportWatched(QELContext *context, QELSecretKeyObject *key, const char *name)
{
    QELPkSecretRecord *rec = qelPkSecretRecord(key);
    Number d(context, true), p(context, true), q(context, true), u(context, true);
    QELBigNum *const out[] = {&d.n, &p.n, &q.n, &u.n};
    QELX509RSAIntegers integers;
    markSecrets(key, true);
    const QELStatus handed = key->getSecretParameters(key, out);
    const QELStatus computed = qelX509RSAPrivateKeyIntegers(key, &integers);
    markSecrets(key, false);
    expect(handed == 0 && computed == 0, name);
    if (handed != 0 || computed != 0)
        return;
    // The values are the caller's secrets; the test looks at them.
    for (QELBigNum *n : out)
        numberDefined(*n);
    for (const auto &c : integers.contents)
        VALGRIND_MAKE_MEM_DEFINED(c.get(), c.size());
    const auto &o = QELBigNumOps;
    for (std::uint32_t i = 0; i < 4; ++i)
        expect(o.qelBigNumCompare(out[i], &rec->value[rec->publicCount + i]) == 0, name);
    Number pd(context, false), pp(context, false), pq(context, false), less(context, false), dp(context, false),
        dq(context, false);
    expect(o.qelBigNumCopy(&pd.n, &d.n) == 0 && o.qelBigNumCopy(&pp.n, &p.n) == 0 && o.qelBigNumCopy(&pq.n, &q.n) == 0,
           name);
    expect(o.qelBigNumCopy(&less.n, &pq.n) == 0 && o.qelBigNumSubtractWord(&less.n, 1) == 0 &&
               o.qelBigNumMod(&dp.n, &pd.n, &less.n) == 0,
           name);
    expect(o.qelBigNumCopy(&less.n, &pp.n) == 0 && o.qelBigNumSubtractWord(&less.n, 1) == 0 &&
               o.qelBigNumMod(&dq.n, &pd.n, &less.n) == 0,
           name);
    const QELBigNum *const want[] = {&rec->value[0], &rec->value[1], &pd.n, &pq.n, &pp.n, &dp.n, &dq.n, &u.n};
    for (std::size_t i = 0; i < std::size(want); ++i) {
        const std::vector<std::uint8_t> expected = integerContents(*want[i]);
        const auto &c = integers.contents[i];
        expect(c.size() == expected.size() && std::equal(expected.begin(), expected.end(), c.get()), name);
    }
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
    QELSecretKeyObject *rsa = generate(context, QELPublicKeyAlgorithm_RSA, 1024, true);
    QELSecretKeyObject *dsa = generate(context, QELPublicKeyAlgorithm_DSA, 1024);
    QELSecretKeyObject *elg = generate(context, QELPublicKeyAlgorithm_ElGamal, 1536);
    if (rsa) {
        exportWatched(context, rsa, "RSA secret numbers and PKCS #8 integers");
        signAndVerify(rsa, "RSA-CRT signing, its blinding from a secret source", true);
        encryptAndDecrypt(rsa, "RSA-CRT decryption");
        oaepEncryptAndDecrypt(rsa, "RSA-CRT decryption, OAEP");
    }
    if (dsa)
        signAndVerify(dsa, "DSA signing");
    if (elg)
        encryptAndDecrypt(elg, "ElGamal decryption");
    unlockGpgKeys(context);
    if (rsa)
        unlockOwnKeys(rsa, "RSA unlock, checksum form", "RSA unlock, in the clear");
    if (dsa)
        unlockOwnKeys(dsa, "DSA unlock, checksum form", "DSA unlock, in the clear");
    if (elg)
        unlockOwnKeys(elg, "ElGamal unlock, checksum form", "ElGamal unlock, in the clear");
    // The keys work after all that.
    if (rsa) {
        exportWatched(context, rsa, "RSA secret numbers and PKCS #8 integers after unlock");
        signAndVerify(rsa, "RSA-CRT signing after unlock, fresh blinding", true);
    }
    if (dsa)
        signAndVerify(dsa, "DSA signing after unlock");
    if (elg)
        encryptAndDecrypt(elg, "ElGamal decryption after unlock");
    for (QELSecretKeyObject *k : {rsa, dsa, elg})
        if (k)
            static_cast<void>(k->destroy(k));
    static_cast<void>(qelContextFree(context));
    static_cast<void>(qelSDKCleanup());
    return failures == 0 ? 0 : 1;
}
