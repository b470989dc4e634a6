// Loose signature bodies: validation of hostile bodies, field reading across
// versions, one-pass pairing and hash-algorithm lists.
#include "qelContextInternal.h"
#include "qelHashInternal.h"
#include "qelSigItemInternal.h"
#include "qelTestEnv.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

const auto *const gEnv = qeltest::addHomeEnvironment("qelsigitem", qeltest::HomeEnvironment::SDK::Up);

using Bytes = std::vector<std::uint8_t>;

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// An MPI of `bits` bits whose top byte agrees with the count.
Bytes mpi(unsigned bits)
{
    Bytes out{std::uint8_t(bits >> 8), std::uint8_t(bits)};
    for (unsigned i = 0; i < (bits + 7) / 8; ++i)
        out.push_back(0x55);
    if (bits)
        out[2] = std::uint8_t(1u << ((bits - 1) % 8));
    return out;
}

const Bytes kKeyID = {1, 2, 3, 4, 5, 6, 7, 8};

Bytes v3sig(std::uint8_t type, std::uint8_t pk, std::uint8_t hash, const Bytes &mpis)
{
    return cat({{3, 5, type, 0x5F, 0, 0, 1}, kKeyID, {pk, hash, 0xAB, 0xCD}, mpis});
}

// A version 4 body with a creation subpacket, an issuer subpacket and MPIs.
Bytes v4sig(std::uint8_t type, std::uint8_t pk, std::uint8_t hash, const Bytes &mpis, Bytes hashedExtra = {},
            Bytes unhashedExtra = {})
{
    Bytes hashed = cat({{5, 2, 0x5F, 0, 0, 2}, hashedExtra});
    Bytes unhashed = cat({{9, 16}, kKeyID, unhashedExtra});
    return cat({{4, type, pk, hash, std::uint8_t(hashed.size() >> 8), std::uint8_t(hashed.size())},
                hashed,
                {std::uint8_t(unhashed.size() >> 8), std::uint8_t(unhashed.size())},
                unhashed,
                {0xAB, 0xCD},
                mpis});
}

Bytes onePass(std::uint8_t type, std::uint8_t hash, std::uint8_t pk, std::uint8_t last = 1)
{
    return cat({{3, type, hash, pk}, kKeyID, {last}});
}

class SigItem : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(qelContextNew(QELSDKVersion, &context_), QELError_NoErr); }
    void TearDown() override
    {
        qelSigListFree(list_);
        EXPECT_EQ(qelContextFree(context_), QELError_NoErr);
    }
    QELContext *context_ = nullptr;
    QELSigItem *list_ = nullptr;
};

TEST_F(SigItem, ValidationOfWellFormedAndHostileBodies)
{
    const Bytes good4 = v4sig(0x10, 1, 2, mpi(1024));
    struct Case {
        const char *name;
        Bytes body;
        QELStatus expected;
        std::uint8_t algorithm;
    };
    Bytes areaPastBody = good4;
    areaPastBody[5] = 0xF0; // hashed area length far past the body
    Bytes unhashedPastBody = v4sig(0x10, 1, 2, {});
    unhashedPastBody[6 + 6 + 1] = 0x40; // unhashed length too large, no MPIs after
    Bytes mpiPastBody = v4sig(0x10, 1, 2, mpi(1024));
    mpiPastBody.resize(mpiPastBody.size() - 1);
    Bytes v3Short = v3sig(0x10, 1, 2, mpi(1024));
    v3Short.resize(v3Short.size() - 1);
    Bytes v3BadTop = v3sig(0x10, 1, 2, mpi(1020));
    v3BadTop[21] = 0xFF; // a bit above the stated count
    Bytes v4Truncated = good4;
    v4Truncated.resize(7);

    const Case cases[] = {
        {"v4 RSA", good4, QELError_NoErr, 0},
        {"v4 DSA", v4sig(0x13, 17, 2, cat({mpi(160), mpi(159)})), QELError_NoErr, 0},
        {"v3 RSA", v3sig(0x10, 1, 1, mpi(1024)), QELError_NoErr, 1},
        {"v3 DSA", v3sig(0x10, 17, 2, cat({mpi(160), mpi(160)})), QELError_NoErr, 17},
        {"one-pass", onePass(0, 2, 1), QELError_NoErr, 1},
        {"one-pass unknown hash", onePass(0, 77, 17), QELError_UnknownHashAlgorithm, 17},
        {"empty", {}, QELError_TruncatedPacket, 0},
        {"version 5", {5, 0, 1, 2, 0, 0}, QELError_UnknownPacketVersion, 0},
        {"v4 hashed area past body", areaPastBody, QELError_TruncatedPacket, 0},
        {"v4 unhashed area past body", unhashedPastBody, QELError_TruncatedPacket, 0},
        {"v4 MPI past body", mpiPastBody, QELError_TruncatedPacket, 0},
        {"v4 no MPI", v4sig(0x10, 1, 2, {}), QELError_TruncatedPacket, 0},
        {"v4 DSA one MPI", v4sig(0x10, 17, 2, mpi(160)), QELError_BadSignatureMPI, 0},
        {"v4 subpacket past area", v4sig(0x10, 1, 2, mpi(8), {9, 27, 1}), QELError_MalformedSubpacket, 0},
        {"v4 empty subpacket", v4sig(0x10, 1, 2, mpi(8), {0}), QELError_MalformedSubpacket, 0},
        {"v4 two-octet length cut", v4sig(0x10, 1, 2, mpi(8), {}, {0xC5}), QELError_MalformedSubpacket, 0},
        {"v4 five-octet length huge", v4sig(0x10, 1, 2, mpi(8), {0xFF, 0xFF, 0xFF, 0xFF, 0xF0, 27}),
         QELError_MalformedSubpacket, 0},
        {"v4 truncated header", v4Truncated, QELError_TruncatedPacket, 0},
        {"v3 one byte", {3}, QELError_TruncatedPacket, 0},
        {"v3 short of algorithm", {3, 5, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7}, QELError_TruncatedPacket, 0},
        {"v3 RSA MPI one byte short", v3Short, QELError_TruncatedPacket, 1},
        {"v3 RSA top byte above count", v3BadTop, QELError_BadSignatureMPI, 1},
    };
    for (const Case &c : cases) {
        std::uint8_t algorithm = 0xEE;
        EXPECT_EQ(qelSigPacketValidate(c.body.data(), c.body.size(), &algorithm), c.expected) << c.name;
        EXPECT_EQ(algorithm, c.algorithm) << c.name;
        if (c.expected != QELError_NoErr) {
            EXPECT_EQ(qelSigPacketType(c.body.data(), c.body.size()), c.expected) << c.name;
            EXPECT_EQ(qelSigListAddPacket(context_, &list_, QELAnnotation_SignaturePacket, c.body.data(),
                                          c.body.size()),
                      c.expected)
                << c.name;
        }
    }
    EXPECT_EQ(list_, nullptr);
    // Every prefix of a good body is refused, never read past.
    for (std::size_t n = 0; n < good4.size(); ++n)
        EXPECT_NE(qelSigPacketValidate(good4.data(), n, nullptr), QELError_NoErr) << n;
}

TEST_F(SigItem, FieldsAcrossVersions)
{
    const Bytes v4 = v4sig(0x13, 17, 8, cat({mpi(160), mpi(160)}), {2, 27, 3});
    const Bytes v3 = v3sig(0x12, 1, 3, mpi(64));
    const Bytes op = onePass(0x01, 10, 17, 0);
    for (const Bytes *b : {&v4, &v3, &op})
        ASSERT_EQ(qelSigListAddPacket(context_, &list_, QELAnnotation_SignaturePacket, b->data(), b->size()),
                  QELError_NoErr);
    QELSigItem *i4 = list_, *i3 = qelSigListNext(i4), *iop = qelSigListNext(i3);
    ASSERT_NE(iop, nullptr);
    EXPECT_EQ(qelSigListNext(iop), nullptr);
    EXPECT_EQ(qelSigListNext(nullptr), nullptr);
    // Tags: the validated algorithm, 0 for version 4.
    EXPECT_EQ(i4->tag, 0);
    EXPECT_EQ(i3->tag, 1);
    EXPECT_EQ(iop->tag, 17);

    EXPECT_EQ(qelSigItemType(i4), 0x13);
    EXPECT_EQ(qelSigItemType(i3), 0x12);
    EXPECT_EQ(qelSigItemType(iop), 0x01);
    EXPECT_EQ(qelSigItemPublicKeyAlgorithm(i4), 17);
    EXPECT_EQ(qelSigItemPublicKeyAlgorithm(i3), 1);
    EXPECT_EQ(qelSigItemPublicKeyAlgorithm(iop), 17);
    EXPECT_EQ(qelSigPacketVersion(i4), 4);
    EXPECT_EQ(qelSigPacketOnePassLast(op.data(), op.size()), 0);
    EXPECT_EQ(qelSigPacketOnePassLast(v3.data(), v3.size()), 1);

    std::size_t n = 0;
    const std::uint8_t *h = qelSigPacketHashedData(i4, &n);
    EXPECT_EQ(h, qelSigItemBytes(i4));
    EXPECT_EQ(n, 6u + 6u + 3u);
    h = qelSigPacketHashedData(i3, &n);
    EXPECT_EQ(h, qelSigItemBytes(i3) + 2);
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(qelSigPacketHashedData(iop, &n), nullptr);
    EXPECT_EQ(n, 0u);

    ASSERT_NE(qelSigPacketHashDescriptor(i4), nullptr);
    EXPECT_EQ(qelSigPacketHashDescriptor(i4)->algorithm, 8);
    EXPECT_EQ(qelSigPacketHashDescriptor(i3)->algorithm, 3);
    EXPECT_EQ(qelSigPacketHashDescriptor(iop)->algorithm, 10);

    QELSigBodyLayout layout;
    ASSERT_EQ(qelSigPacketLayout(v4.data(), v4.size(), &layout), QELError_NoErr);
    EXPECT_EQ(v4[layout.prefixOffset], 0xAB);
    EXPECT_EQ(layout.mpiOffset, v4.size() - 2 * 22);
    ASSERT_EQ(qelSigPacketLayout(v3.data(), v3.size(), &layout), QELError_NoErr);
    EXPECT_EQ(layout.prefixOffset, 17u);
    EXPECT_EQ(layout.mpiOffset, 19u);
    EXPECT_EQ(qelSigPacketLayout(v3.data(), 18, &layout), QELError_TruncatedPacket);
}

TEST_F(SigItem, SignedBodyReplacesItsOnePassHeaderInPlace)
{
    const Bytes first = onePass(0x00, 2, 1);
    const Bytes second = onePass(0x00, 8, 1);
    const Bytes third = onePass(0x01, 2, 17);
    for (const Bytes *b : {&first, &second, &third})
        ASSERT_EQ(qelSigListAddPacket(context_, &list_, QELAnnotation_SignaturePacket, b->data(), b->size()),
                  QELError_NoErr);

    // A signature matching no header changes nothing.
    const Bytes stray = v4sig(0x00, 1, 3, mpi(64));
    EXPECT_EQ(qelSigListAddPacket(context_, &list_, QELAnnotation_SignedPacketBody, stray.data(), stray.size()),
              QELError_BadSignatureType);
    // One-pass bodies and unknown annotations are refused.
    EXPECT_EQ(qelSigListAddPacket(context_, &list_, QELAnnotation_SignedPacketBody, first.data(), first.size()),
              QELError_BadSignatureType);
    EXPECT_EQ(qelSigListAddPacket(context_, &list_, 9999, first.data(), first.size()), QELError_BadSignatureType);
    // A version 3 body with a hashed block other than 5 octets cannot pair.
    Bytes v3odd = cat({{3, 6, 0, 0, 0, 0, 0, 0}, kKeyID, {1, 8, 0, 0}, mpi(8)});
    EXPECT_EQ(qelSigListAddPacket(context_, &list_, QELAnnotation_SignedPacketBody, v3odd.data(), v3odd.size()),
              QELError_BadSignatureType);

    const Bytes sig2 = v4sig(0x00, 1, 8, mpi(64));
    ASSERT_EQ(qelSigListAddPacket(context_, &list_, QELAnnotation_SignedPacketBody, sig2.data(), sig2.size()),
              QELError_NoErr);
    const Bytes sig3 = v3sig(0x01, 17, 2, cat({mpi(160), mpi(160)}));
    ASSERT_EQ(qelSigListAddPacket(context_, &list_, QELAnnotation_SignedPacketBody, sig3.data(), sig3.size()),
              QELError_NoErr);

    // The order is kept: header, signature, signature.
    QELSigItem *a = list_, *b = qelSigListNext(a), *c = qelSigListNext(b);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(qelSigListNext(c), nullptr);
    EXPECT_TRUE(qelSigPacketIsOnePass(qelSigItemBytes(a), a->length));
    EXPECT_EQ(Bytes(qelSigItemBytes(b), qelSigItemBytes(b) + b->length), sig2);
    EXPECT_EQ(b->tag, 1);
    EXPECT_EQ(Bytes(qelSigItemBytes(c), qelSigItemBytes(c) + c->length), sig3);
    EXPECT_EQ(c->tag, 17);
}

TEST_F(SigItem, HashAlgorithmsInOrderOfFirstUse)
{
    EXPECT_EQ(qelSigListCountHashAlgorithms(nullptr), 0);
    for (std::uint8_t hash : {2, 8, 2})
        ASSERT_EQ(qelSigListAddPacket(context_, &list_, QELAnnotation_SignaturePacket,
                                      v4sig(0, 1, hash, mpi(64)).data(), v4sig(0, 1, hash, mpi(64)).size()),
                  QELError_NoErr);
    EXPECT_EQ(qelSigListCountHashAlgorithms(list_), 2);
    std::uint8_t ids[256] = {};
    ASSERT_EQ(qelSigListHashAlgorithms(list_, ids), 2);
    EXPECT_EQ(ids[0], 2);
    EXPECT_EQ(ids[1], 8);
}

TEST_F(SigItem, ItemsHoldTheirBytesInline)
{
    const Bytes data = {9, 8, 7};
    QELSigItem *item = qelSigItemNew(context_, 42, data.data(), data.size());
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->context, context_);
    EXPECT_EQ(item->tag, 42);
    EXPECT_EQ(Bytes(qelSigItemBytes(item), qelSigItemBytes(item) + item->length), data);
    qelSigItemFree(item);
    qelSigItemFree(nullptr);
    EXPECT_EQ(qelSigItemNew(context_, 0, nullptr, 4), nullptr);
}

} // namespace
