// DSA key objects against Python's cryptography (signatures it made verify
// here) and OpenSSL (signatures made here verify there) at 1024/160,
// 2048/224, 2048/256 and 3072/256; refusals of forged and malformed
// signatures; generation sizes.
#include "pktest_util.h"

#include "qelAlgorithms.h"
#include "qelPkEncodeInternal.h"
#include "qelTestEnv.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#ifdef QEL_HAVE_OPENSSL
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#endif

namespace {

using namespace pktest;
using qeltest::fromHex;

Bytes hexBytes(const std::string &h) { return fromHex(h.size() % 2 ? "0" + h : h); }

struct Vector {
    unsigned pbits, qbits;
    Bytes p, q, g, y, x;
    int hash;
    Bytes digest, r, s;
};

std::vector<Vector> loadVectors()
{
    std::ifstream in(std::string(QEL_SOURCE_DIR) + "/tests/pubkey/data/dsa_vectors.txt");
    std::vector<Vector> out;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        Vector v;
        std::string p, q, g, y, x, d, r, s;
        f >> v.pbits >> v.qbits >> p >> q >> g >> y >> x >> v.hash >> d >> r >> s;
        v.p = hexBytes(p);
        v.q = hexBytes(q);
        v.g = hexBytes(g);
        v.y = hexBytes(y);
        v.x = hexBytes(x);
        v.digest = hexBytes(d);
        v.r = hexBytes(r);
        v.s = hexBytes(s);
        out.push_back(v);
    }
    return out;
}

// r and s as fixed-size values of m octets.
Bytes fixed(const Bytes &v, std::size_t m)
{
    Bytes out(m - v.size(), 0);
    out.insert(out.end(), v.begin(), v.end());
    return out;
}

class DSATest : public qeltest::SDKSuite {
protected:
    TestRandom random;
};

TEST_F(DSATest, PeerSignaturesVerifyAndOursVerifyThere)
{
    const std::vector<Vector> vectors = loadVectors();
    ASSERT_EQ(vectors.size(), 4u);
    for (const Vector &v : vectors) {
        SCOPED_TRACE(std::to_string(v.pbits) + "/" + std::to_string(v.qbits));
        const std::size_t m = (v.qbits + 7) / 8;
        PublicKey pub = publicFrom(context, 17, cat({mpi(v.p), mpi(v.q), mpi(v.g), mpi(v.y)}));
        ASSERT_NE(pub, nullptr);
        SecretKey sec = secretFrom(context, 17, material({v.p, v.q, v.g, v.y}, {v.x}));
        ASSERT_NE(sec, nullptr);
        EXPECT_EQ(sec->isLocked(sec.get()), 0u);
        const QELHashDescriptor *hash = qelHashDescriptorFind(v.hash);

        // Theirs here, in every layout.
        const Bytes raw = cat({fixed(v.r, m), fixed(v.s, m)});
        const Bytes mpis = cat({mpi(v.r), mpi(v.s)});
        for (std::int32_t format : {2, 4, 101}) {
            EXPECT_EQ(pub->verify(pub.get(), raw.data(), raw.size(), hash, v.digest.data(), v.digest.size(), format),
                      1);
        }
        EXPECT_EQ(pub->verify(pub.get(), mpis.data(), mpis.size(), hash, v.digest.data(), v.digest.size(), 1), 1);
        Bytes other = v.digest;
        other.back() ^= 1;
        EXPECT_EQ(pub->verify(pub.get(), raw.data(), raw.size(), hash, other.data(), other.size(), 2), 0);

        // Ours in DER verify here and, through OpenSSL, there.
        std::uint8_t sig[200];
        std::size_t len = 0;
        ASSERT_LE(sec->maxSignatureSize(sec.get(), 3), (std::int32_t)sizeof sig);
        ASSERT_EQ(sec->sign(sec.get(), hash, v.digest.data(), v.digest.size(), sig, &len, &random, 3), 0);
        EXPECT_LE(len, (std::size_t)sec->maxSignatureSize(sec.get(), 3));
        EXPECT_EQ(pub->verify(pub.get(), sig, len, hash, v.digest.data(), v.digest.size(), 3), 1);
        std::uint8_t sig2[200];
        std::size_t len2 = 0;
        ASSERT_EQ(sec->sign(sec.get(), hash, v.digest.data(), v.digest.size(), sig2, &len2, &random, 2), 0);
        EXPECT_EQ(len2, 2 * m);
        EXPECT_EQ(pub->verify(pub.get(), sig2, len2, hash, v.digest.data(), v.digest.size(), 2), 1);
#ifdef QEL_HAVE_OPENSSL
        BIGNUM *bp = bnFrom(v.p), *bq = bnFrom(v.q), *bg = bnFrom(v.g), *by = bnFrom(v.y);
        OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_P, bp);
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_Q, bq);
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_G, bg);
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PUB_KEY, by);
        OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(bld);
        EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr);
        EVP_PKEY *pkey = nullptr;
        ASSERT_EQ(EVP_PKEY_fromdata_init(ctx), 1);
        ASSERT_EQ(EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_PUBLIC_KEY, params), 1);
        EVP_PKEY_CTX *vctx = EVP_PKEY_CTX_new(pkey, nullptr);
        ASSERT_EQ(EVP_PKEY_verify_init(vctx), 1);
        EXPECT_EQ(EVP_PKEY_verify(vctx, sig, len, v.digest.data(), v.digest.size()), 1);
        EVP_PKEY_CTX_free(vctx);
        EVP_PKEY_free(pkey);
        EVP_PKEY_CTX_free(ctx);
        OSSL_PARAM_free(params);
        OSSL_PARAM_BLD_free(bld);
        for (BIGNUM *b : {bp, bq, bg, by})
            BN_free(b);
#endif
    }
}

// The nonce is hedged: derived from the private key, the digest and fresh
// random octets. A source that gives nothing but zeros still yields
// valid signatures, the same one for the same digest (as RFC 6979) and
// another nonce for another digest; a working source gives a fresh one
// every time.
TEST_F(DSATest, NoncesAreHedgedAgainstABrokenSource)
{
    const std::vector<Vector> vectors = loadVectors();
    ASSERT_FALSE(vectors.empty());
    const Vector &v = vectors.back();
    const std::size_t m = (v.qbits + 7) / 8;
    PublicKey pub = publicFrom(context, 17, cat({mpi(v.p), mpi(v.q), mpi(v.g), mpi(v.y)}));
    SecretKey sec = secretFrom(context, 17, material({v.p, v.q, v.g, v.y}, {v.x}));
    ASSERT_NE(pub, nullptr);
    ASSERT_NE(sec, nullptr);
    const QELHashDescriptor *hash = qelHashDescriptorFind(v.hash);
    struct Zeros {
        static void add(void *, const void *, std::uint32_t) {}
        static QELStatus get(void *, void *buffer, std::uint32_t length, std::uint32_t)
        {
            std::memset(buffer, 0, length);
            return QELError_NoErr;
        }
    };
    const QELRandomDescriptor descriptor{"zeros", Zeros::add, Zeros::get, nullptr};
    QELRandomContext zeros{nullptr, &descriptor, nullptr, nullptr};
    Bytes other = v.digest;
    other.back() ^= 1;
    auto sign = [&](const Bytes &digest, QELRandomContext *source) {
        Bytes sig(2 * m);
        std::size_t len = 0;
        EXPECT_EQ(sec->sign(sec.get(), hash, digest.data(), digest.size(), sig.data(), &len, source, 2), 0);
        EXPECT_EQ(pub->verify(pub.get(), sig.data(), len, hash, digest.data(), digest.size(), 2), 1);
        return sig;
    };
    const Bytes a = sign(v.digest, &zeros), b = sign(v.digest, &zeros), c = sign(other, &zeros);
    EXPECT_EQ(a, b);
    EXPECT_NE(Bytes(a.begin(), a.begin() + m), Bytes(c.begin(), c.begin() + m)); // another r, another k
    const Bytes d = sign(v.digest, &random.context), e = sign(v.digest, &random.context);
    EXPECT_NE(d, e);
    EXPECT_NE(d, a);

    // A source that cannot deliver: no signature, its status instead.
    random.budget = 0;
    Bytes sig(2 * m, 0xAA);
    std::size_t len = 123;
    EXPECT_EQ(sec->sign(sec.get(), hash, v.digest.data(), v.digest.size(), sig.data(), &len, &random.context, 2),
              QELError_OutOfEntropy);
    EXPECT_EQ(sig, Bytes(2 * m, 0xAA));
    QELStatus status = 0;
    EXPECT_EQ(qelPkAlgGenerateKey(context, qelPkAlgFind(17), 1024, 160, 0, 0, &random.context, nullptr, nullptr,
                                  nullptr, nullptr, 0, 1, &status),
              nullptr);
    EXPECT_EQ(status, QELError_OutOfEntropy);
}

TEST_F(DSATest, ForgeriesAndOutOfRangeValuesNeverVerify)
{
    const Vector v = loadVectors().at(0);
    const std::size_t m = 20;
    PublicKey pub = publicFrom(context, 17, cat({mpi(v.p), mpi(v.q), mpi(v.g), mpi(v.y)}));
    ASSERT_NE(pub, nullptr);
    const QELHashDescriptor *sha1 = qelHashDescriptorFind(2);
    qeltest::BigNum qq;
    qq.setBytes(v.q.data(), v.q.size());
    qeltest::BigNum qPlus;
    qPlus.setBytes(v.q.data(), v.q.size());
    ASSERT_EQ(QELBigNumOps.qelBigNumAddWord(&qPlus, 1), 0);
    Bytes qp1(m);
    QELBigNumOps.qelBigNumToBytesBE(&qPlus, qp1.data(), 0, m);
    const Bytes zero(m, 0), one = fixed({1}, m);
    struct Case {
        const char *what;
        Bytes r, s;
    };
    const Case cases[] = {
        {"(1, 0)", one, zero},         {"(0, 1)", zero, one},        {"(0, 0)", zero, zero},
        {"r = q", v.q, fixed(v.s, m)}, {"s = q", fixed(v.r, m), v.q}, {"r = q + 1", qp1, fixed(v.s, m)},
        {"s = q + 1", fixed(v.r, m), qp1},
    };
    for (const Case &c : cases) {
        const Bytes sig = cat({c.r, c.s});
        ASSERT_EQ(sig.size(), 2 * m) << c.what;
        // For this digest and for a digest of zeros alike.
        for (const Bytes &digest : {v.digest, Bytes(20, 0)}) {
            EXPECT_EQ(pub->verify(pub.get(), sig.data(), sig.size(), sha1, digest.data(), 20, 2), 0) << c.what;
        }
    }
    // Malformed framing: short, trailing octets, DER SEQUENCE length off.
    const Bytes raw = cat({fixed(v.r, m), fixed(v.s, m)});
    EXPECT_EQ(pub->verify(pub.get(), raw.data(), raw.size() - 1, sha1, v.digest.data(), 20, 2), QELError_TruncatedPacket);
    const Bytes longer = cat({raw, Bytes{0}});
    EXPECT_EQ(pub->verify(pub.get(), longer.data(), longer.size(), sha1, v.digest.data(), 20, 2),
              QELError_TruncatedPacket);
    Bytes der = cat({Bytes{0x30, 0}, Bytes{0x02, std::uint8_t(v.r.size())}, v.r, Bytes{0x02, std::uint8_t(v.s.size())}, v.s});
    der[1] = std::uint8_t(der.size() - 2);
    EXPECT_EQ(pub->verify(pub.get(), der.data(), der.size(), sha1, v.digest.data(), 20, 3), 1);
    der[1] += 1;
    EXPECT_EQ(pub->verify(pub.get(), der.data(), der.size(), sha1, v.digest.data(), 20, 3), QELError_BadKeyEncoding);
    // A digest shorter than q: no verification, and no signature.
    EXPECT_EQ(pub->verify(pub.get(), raw.data(), raw.size(), sha1, v.digest.data(), 19, 2), 0);
    SecretKey sec = secretFrom(context, 17, material({v.p, v.q, v.g, v.y}, {v.x}));
    std::uint8_t out[64];
    std::size_t len = 5;
    EXPECT_EQ(sec->sign(sec.get(), sha1, v.digest.data(), 19, out, &len, &random, 2), QELError_BadParams);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(sec->maxEncryptedSize(sec.get(), 1), QELError_AlgorithmCannotDoThis);
    EXPECT_EQ(pub->maxPlaintextSize(pub.get()), QELError_AlgorithmCannotDoThis);
    EXPECT_EQ(pub->encrypt(pub.get(), out, 1, out, &len, &random, 1), QELError_AlgorithmCannotDoThis);
    // Two signatures of one digest differ and both verify.
    std::uint8_t a[40], b[40];
    std::size_t la = 0, lb = 0;
    ASSERT_EQ(sec->sign(sec.get(), sha1, v.digest.data(), 20, a, &la, &random, 2), 0);
    ASSERT_EQ(sec->sign(sec.get(), sha1, v.digest.data(), 20, b, &lb, &random, 2), 0);
    EXPECT_NE(Bytes(a, a + la), Bytes(b, b + lb));
    EXPECT_EQ(pub->verify(pub.get(), a, la, sha1, v.digest.data(), 20, 2), 1);
    EXPECT_EQ(pub->verify(pub.get(), b, lb, sha1, v.digest.data(), 20, 2), 1);
}

TEST_F(DSATest, HostileKeyMaterialIsRefused)
{
    const Vector v = loadVectors().at(0);
    Bytes evenP = v.p;
    evenP.back() &= 0xFE;
    Bytes pMinus1 = v.p;
    pMinus1.back() -= 1;   // p is odd, so this only clears bit 0
    const Bytes one{1}, two{2};
    const Bytes full = material({v.p, v.q, v.g, v.y}, {v.x});
    Bytes wrongSum = full;
    wrongSum.back() ^= 1;
    struct Case {
        const char *what;
        Bytes publicMaterial;
        QELStatus publicStatus;
        Bytes secretMaterial;
        QELStatus secretStatus;
    };
    const Case cases[] = {
        {"even p", cat({mpi(evenP), mpi(v.q), mpi(v.g), mpi(v.y)}), QELError_BadKeyEncoding,
         material({evenP, v.q, v.g, v.y}, {v.x}), QELError_BadKeyParameters},
        {"g = 1", cat({mpi(v.p), mpi(v.q), mpi(one), mpi(v.y)}), QELError_BadKeyParameters,
         material({v.p, v.q, one, v.y}, {v.x}), QELError_BadKeyParameters},
        {"y = p - 1 passes, y = p does not", cat({mpi(v.p), mpi(v.q), mpi(v.g), mpi(v.p)}),
         QELError_BadKeyParameters, material({v.p, v.q, v.g, v.p}, {v.x}), QELError_BadKeyParameters},
        {"truncated", Bytes(full.begin(), full.begin() + 100), QELError_BadAlgorithmData,
         Bytes(full.begin(), full.begin() + 100), QELError_BadAlgorithmData},
        {"x >= q", cat({mpi(v.p), mpi(v.q), mpi(v.g), mpi(v.y)}), QELError_NoErr,
         material({v.p, v.q, v.g, v.y}, {v.q}), QELError_NoErr},
        {"x that does not give y", cat({mpi(v.p), mpi(v.q), mpi(v.g), mpi(v.y)}), QELError_NoErr,
         material({v.p, v.q, v.g, v.y}, {two}), QELError_BadKeyParameters},
        {"wrong checksum", cat({mpi(v.p), mpi(v.q), mpi(v.g), mpi(v.y)}), QELError_NoErr, wrongSum, QELError_NoErr},
    };
    for (const Case &c : cases) {
        QELStatus status = 1;
        PublicKey pub = publicFrom(context, 17, c.publicMaterial, &status);
        EXPECT_EQ(status, c.publicStatus) << c.what;
        SecretKey sec = secretFrom(context, 17, c.secretMaterial, &status);
        EXPECT_EQ(status, c.secretStatus) << c.what;
        // Material that is only wrong in its secret part stays locked.
        if (sec != nullptr) {
            EXPECT_EQ(sec->isLocked(sec.get()), 1u) << c.what;
        }
    }
}

#ifdef QEL_HAVE_OPENSSL
// The private value is drawn with 64 bits beyond q's size and then reduced,
// so that it is uniform: with a source of all-one octets it must be
// (2^(qbits + 64) - 1) mod q, as OpenSSL computes it (a draw of q's size
// alone would give 2^qbits - 1 - q).
TEST_F(DSATest, ThePrivateValueIsDrawnWith64ExtraBits)
{
    struct Ones {
        static void add(void *, const void *, std::uint32_t) {}
        static QELStatus get(void *, void *buffer, std::uint32_t length, std::uint32_t)
        {
            std::memset(buffer, 0xFF, length);
            return QELError_NoErr;
        }
    };
    QELRandomDescriptor descriptor{"ones", Ones::add, Ones::get, nullptr};
    QELRandomContext ones{nullptr, &descriptor, nullptr, nullptr};
    QELStatus status = 0;
    SecretKey key(qelPkAlgGenerateKey(context, qelPkAlgFind(17), 1024, 0, 0, 0, &ones, nullptr, nullptr, nullptr,
                                      nullptr, 0, 1, &status),
                  destroySecret);
    ASSERT_NE(key, nullptr) << status;
    PublicKey pub(key->publicObject(key.get()), destroyPublic);
    qeltest::BigNum p, q, g, y, x;
    QELBigNum *values[] = {&p, &q, &g, &y};
    QELBigNum *secret[] = {&x};
    ASSERT_EQ(pub->getParameters(pub.get(), values), 0);
    ASSERT_EQ(key->getSecretParameters(key.get(), secret), 0);
    const unsigned qbits = QELBigNumOps.qelBigNumBitLength(&q);
    ASSERT_EQ(qbits, 160u);
    BIGNUM *want = nullptr, *bq = nullptr;
    BN_CTX *ctx = BN_CTX_new();
    ASSERT_NE(BN_hex2bn(&bq, q.hex().c_str()), 0);
    want = BN_new();
    ASSERT_EQ(BN_set_bit(want, int(qbits + 64)), 1);
    ASSERT_EQ(BN_sub_word(want, 1), 1);
    ASSERT_EQ(BN_mod(want, want, bq, ctx), 1);
    char *hex = BN_bn2hex(want);
    std::string expected(hex), got = x.hex();
    for (std::string *h : {&expected, &got}) {
        for (char &c : *h)
            c = (char)std::tolower((unsigned char)c);
        while (h->size() > 1 && (*h)[0] == '0')
            h->erase(h->begin());
    }
    EXPECT_EQ(got, expected);
    OPENSSL_free(hex);
    BN_free(want);
    BN_free(bq);
    BN_CTX_free(ctx);
}
#endif

TEST_F(DSATest, GenerationSizesAndRoundTrip)
{
    struct Case {
        unsigned bits, qbits;
    };
    QELStatus status = 0;
    // 3073 bits is refused before anything is drawn.
    EXPECT_EQ(qelPkAlgGenerateKey(context, qelPkAlgFind(17), 3073, 0, 0, 0, &random, nullptr, nullptr, nullptr,
                                  nullptr, 0, 1, &status),
              nullptr);
    EXPECT_EQ(status, QELError_KeySizeTooLarge);
    for (Case c : {Case{1024, 160}, Case{1025, 224}}) {
        SecretKey key(qelPkAlgGenerateKey(context, qelPkAlgFind(17), c.bits, 0, 0, 0, &random, nullptr, nullptr,
                                          nullptr, nullptr, 0, 1, &status),
                      destroySecret);
        ASSERT_NE(key, nullptr) << status;
        EXPECT_EQ(key->algorithm, 17);
        PublicKey pub(key->publicObject(key.get()), destroyPublic);
        qeltest::BigNum p, q, g, y;
        QELBigNum *values[] = {&p, &q, &g, &y};
        ASSERT_EQ(pub->getParameters(pub.get(), values), 0);
        EXPECT_EQ(QELBigNumOps.qelBigNumBitLength(&q), c.qbits);
        EXPECT_EQ(QELBigNumOps.qelBigNumBitLength(&p), (c.bits + 63) / 64 * 64);
        // The unprotected material makes an unlocked object whose signatures verify.
        SecretKey again = secretFrom(context, 17, exportSecret(key.get()), &status);
        ASSERT_NE(again, nullptr) << status;
        EXPECT_EQ(again->isLocked(again.get()), 0u);
        const Bytes digest(32, 0x5C);
        std::uint8_t sig[100];
        std::size_t len = 0;
        ASSERT_EQ(again->sign(again.get(), nullptr, digest.data(), 32, sig, &len, &random, 1), 0);
        EXPECT_EQ(pub->verify(pub.get(), sig, len, nullptr, digest.data(), 32, 1), 1);
    }
}

} // namespace
