// Packet headers, key IDs, and hostile rings: each malformed input gives its
// status and opens nothing.
#include "keys_fixture.h"

#include "qelFileObjectInternal.h"
#include "qelKeyIOInternal.h"
#include "qelKeyPacketInternal.h"

#include <cstring>
#include <memory>

using namespace keystest;

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(PacketHeaderTest, SizesAndWrittenHeaders)
{
    struct Case { std::uint8_t first; std::uint64_t n; Bytes header; };
    const Case cases[] = {
        {0xC2, 191, {0xC2, 191}},
        {0xC2, 192, {0xC2, 0xC0, 0x00}},
        {0xC2, 200, {0xC2, 0xC0, 0x08}},
        {0xC2, 8383, {0xC2, 0xDF, 0xFF}},
        {0xC2, 8384, {0xC2, 0xFF, 0x00, 0x00, 0x20, 0xC0}},
        {0x99, 300, {0x99, 0x01, 0x2C}},
        {0x98, 300, {0x99, 0x01, 0x2C}},
        {0x98, 70000, {0x9A, 0x00, 0x01, 0x11, 0x70}},
        {0x88, 5, {0x88, 5}},
    };
    for (const Case &c : cases) {
        std::uint8_t out[6] = {};
        std::size_t n = qelPacketWriteHeader(out, c.first, c.n);
        EXPECT_EQ(Bytes(out, out + n), c.header) << int(c.first) << " " << c.n;
        EXPECT_EQ(qelPacketHeaderSizeFor(c.first, c.n), c.header.size());
        EXPECT_EQ(qelPacketHeaderSize(out, n), c.header.size());
    }
    EXPECT_EQ(qelPacketHeaderSizeFor(0x9B, 10), 0u);
}

struct ReadResult {
    int tag;
    std::uint64_t total, first;
    Bytes body;
};

ReadResult readOne(QELContext *ctx, const Bytes &input)
{
    QELFileObject *f = qelFileObjOpenMemory(ctx, input.data(), input.size());
    ReadResult r{};
    r.tag = qelPacketReadHeader(f, &r.total, &r.first, nullptr, QELPacketMaxBody, qelPacketInputEnd(f));
    if (r.tag > 0) {
        r.body.resize(r.total);
        r.body.resize(qelPacketReadBody(r.body.data(), r.total, r.first, f));
    }
    static_cast<void>(f->close(f));
    return r;
}

class PacketReadTest : public ContextTest {};

TEST_F(PacketReadTest, PartialLengthsAreJoined)
{
    Bytes input = {0xC6, 0xE9}; // 512
    for (int i = 0; i < 512; ++i) input.push_back(std::uint8_t(i));
    input.push_back(0xE8); // 256
    for (int i = 0; i < 256; ++i) input.push_back(std::uint8_t(i + 1));
    input.push_back(10);
    for (int i = 0; i < 10; ++i) input.push_back(0xAA);
    ReadResult r = readOne(ctx, input);
    EXPECT_EQ(r.tag, 0xC6);
    EXPECT_EQ(r.total, 778u);
    EXPECT_EQ(r.first, 512u);
    ASSERT_EQ(r.body.size(), 778u);
    EXPECT_EQ(r.body[512], 1);
    EXPECT_EQ(r.body[777], 0xAA);
}

TEST_F(PacketReadTest, HostileHeadersAreRefusedBeforeAnythingIsRead)
{
    struct Case { const char *what; Bytes input; int status; };
    Bytes wrap = {0xC6};
    for (int i = 0; i < 40; ++i) wrap.push_back(0xFE); // 1 GiB chunks, far past the input
    const Case cases[] = {
        {"empty", {}, 0},
        {"not a tag", {0x3F, 0x01}, QELError_BadPacketFormat},
        {"indeterminate old length", {0x9B, 0x00}, QELError_BadPacketFormat},
        {"ends in a two-octet length", {0xC6, 0xC5}, QELError_EOF},
        {"length past the end", {0x99, 0x10, 0x00, 0x04, 0x01}, QELError_BadPacketFormat},
        {"five-octet length past the end", {0xC6, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 1}, QELError_PacketTooLarge},
        {"partial chunks past the end", wrap, QELError_PacketTooLarge},
        {"length over the cap", {0xC6, 0xFF, 0x01, 0x00, 0x00, 0x01}, QELError_PacketTooLarge},
    };
    for (const Case &c : cases)
        EXPECT_EQ(readOne(ctx, c.input).tag, c.status) << c.what;
}

// A minimal RSA version-4 public key packet with a given modulus byte.
Bytes rsaKey(std::uint8_t low)
{
    Bytes body = {4, 0x5F, 0, 0, 0, 1, 0x00, 0x41, 0x01, 0, 0, 0, 0, 0, 0, 0, low, 0x00, 0x02, 0x03};
    Bytes p;
    p.push_back(0x99);
    p.push_back(0x00);
    p.push_back(std::uint8_t(body.size()));
    for (std::uint8_t b : body)
        p.push_back(b);
    return p;
}

Bytes userID(const char *text)
{
    Bytes p;
    p.push_back(0xB4);
    p.push_back(std::uint8_t(std::strlen(text)));
    for (const char *c = text; *c; ++c)
        p.push_back(std::uint8_t(*c));
    return p;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        for (std::uint8_t b : p)
            out.push_back(b);
    return out;
}

TEST_F(PacketReadTest, HostileRingsGiveTheirStatusAndNoDatabase)
{
    Bytes ring = readFile(dataPath("public.gpg"));
    ASSERT_GT(ring.size(), 1000u);
    // The ring's second key begins where its first key's last packet ends;
    // find the second key packet header (0x99 old-format public key).
    std::size_t second = 0;
    for (std::size_t i = 1; i + 1 < ring.size(); ++i)
        if (ring[i] == 0x98 || ring[i] == 0x99) {
            QELKeyDB *probe = openBuffer(Bytes(ring.begin(), ring.begin() + i));
            if (probe && liveKeys(probe).size() == 1) second = i;
            if (probe) static_cast<void>(qelKeyDBRelease(probe));
            if (second) break;
        }
    ASSERT_GT(second, 0u);
    Bytes brokenSecond = ring;
    brokenSecond[second] = 0x3F;
    Bytes truncated(ring.begin(), ring.end() - 7);
    Bytes trailingGarbage = ring;
    trailingGarbage.push_back(0x01);
    Bytes pastEnd = concat({rsaKey(0x03), userID("a"), {0xB4, 0x40, 'x'}});
    struct Case { const char *what; Bytes input; QELStatus status; };
    const Case cases[] = {
        {"broken second key", brokenSecond, QELError_BadPacketFormat},
        {"truncated last packet", truncated, QELError_BadPacketFormat},
        {"garbage after the last key", trailingGarbage, QELError_BadPacketFormat},
        {"user ID past the end", pastEnd, QELError_BadPacketFormat},
    };
    for (const Case &c : cases) {
        QELStatus s = 0;
        EXPECT_EQ(openBuffer(c.input, &s), nullptr) << c.what;
        EXPECT_EQ(s, c.status) << c.what;
    }
    EXPECT_EQ(qelContextGetKeyDBList(ctx), nullptr);
}

// A CRL packet's distribution point carries its own length: it must lie
// inside the body, whatever the outer header says.
TEST_F(PacketReadTest, CRLDistributionPointLengthMustFitTheBody)
{
    auto crl = [](Bytes body) {
        Bytes p = {0xFC, std::uint8_t(body.size())}; // new-format tag 60
        p.insert(p.end(), body.begin(), body.end());
        return p;
    };
    const Bytes der = {0x30, 0x00};
    struct Case { const char *what; Bytes packet; bool fits; std::size_t pointLength; };
    const Case cases[] = {
        {"point fits", crl({4, 2, 0, 0, 0, 3, 'a', 'b', 'c', 0x30, 0x00}), true, 3},
        {"empty point", crl({4, 2, 0, 0, 0, 0, 0x30, 0x00}), true, 0},
        {"point one past the body", crl({4, 2, 0, 0, 0, 6, 'a', 'b', 'c', 0x30, 0x00}), false, 0},
        {"point length wraps", crl({4, 2, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 0x30, 0x00}), false, 0},
        {"length cut short", crl({4, 2, 0, 0}), false, 0},
    };
    for (const Case &c : cases) {
        const std::uint8_t *point = nullptr;
        std::size_t pointLength = 99;
        QELStatus s = qelCRLPacketParse(ctx, c.packet.data(), c.packet.size(), nullptr, nullptr, nullptr,
                                        nullptr, &point, &pointLength);
        if (!c.fits) {
            EXPECT_EQ(s, QELError_BadPacketFormat) << c.what;
            EXPECT_EQ(point, nullptr) << c.what;
            continue;
        }
        // Framing accepted; what the DER says is the certificate toolkit's.
        EXPECT_NE(s, QELError_BadPacketFormat) << c.what;
        EXPECT_EQ(pointLength, c.pointLength) << c.what;
        std::size_t derLength = 0;
        const std::uint8_t *d = qelCRLPacketDER(c.packet.data(), c.packet.size(), &derLength);
        ASSERT_NE(d, nullptr) << c.what;
        EXPECT_EQ(Bytes(d, d + derLength), der) << c.what;
    }
}

TEST_F(PacketReadTest, RingsStartAtTheirFirstKeyAndEmptyRingsAreEmpty)
{
    QELStatus s = -1;
    QELKeyDB *empty = openBuffer({}, &s);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(s, 0);
    EXPECT_EQ(liveKeys(empty).size(), 0u);
    EXPECT_EQ(qelKeyDBRelease(empty), 0);
    Bytes marker = {0xA8, 0x03, 'P', 'G', 'P'};
    QELKeyDB *db = openBuffer(concat({marker, rsaKey(0x03), userID("Alice")}), &s);
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(liveKeys(db).size(), 1u);
    EXPECT_EQ(liveChildren(liveKeys(db)[0], QELObjectType_UserID).size(), 1u);
    EXPECT_EQ(qelKeyDBRelease(db), 0);
}

TEST_F(PacketReadTest, KeyPacketChecks)
{
    QELKeyPacketInfo info;
    EXPECT_EQ(qelKeyPacketParse(ctx, rsaKey(0x03).data(), rsaKey(0x03).size(), &info, false), 0);
    EXPECT_EQ(info.bits, 65);
    EXPECT_EQ(qelKeyPacketParse(ctx, rsaKey(0x02).data(), rsaKey(0x02).size(), &info, false), QELError_BadMPIOddness);
    Bytes evenE = rsaKey(0x03);
    evenE.back() = 0x02;
    EXPECT_EQ(qelKeyPacketParse(ctx, evenE.data(), evenE.size(), &info, false), QELError_BadMPIOddness2);
    Bytes trailing = rsaKey(0x03);
    trailing.push_back(0);
    trailing[2]++;
    EXPECT_EQ(qelKeyPacketParse(ctx, trailing.data(), trailing.size(), &info, false), QELError_KeyPacketTrailingData);
    Bytes badBits = rsaKey(0x03);
    badBits[10] = 0x40; // first MPI's top bit is not where its count says
    EXPECT_EQ(qelKeyPacketParse(ctx, badBits.data(), badBits.size(), &info, false), QELError_BadMPIBitCount);
    Bytes v5 = rsaKey(0x03);
    v5[3] = 5;
    EXPECT_EQ(qelKeyPacketParse(ctx, v5.data(), v5.size(), &info, false), QELError_UnknownKeyPacketVersion);
}

// Version 3 bodies whose hashed length is short: the key ID lies at octets 7
// to 14 whatever h says, so a body that ends before them is too short, never
// read past (each body is its own allocation, so ASan sees any overread).
TEST(SigPacketV3Test, ShortHashedLengthsNeverReadPastTheBody)
{
    struct Case {
        std::uint8_t h;
        std::size_t size;
        QELStatus want;
    };
    const Case cases[] = {
        {0, 10, QELError_SigPacketTooShort}, // holds h + 10 octets but not the key ID
        {0, 14, QELError_SigPacketTooShort},
        {3, 14, QELError_SigPacketTooShort},
        {4, 15, QELError_SigPacketTooShort}, // key ID inside, hash algorithm not
        {5, 14, QELError_SigPacketTooShort},
    };
    for (const Case &c : cases) {
        auto body = std::make_unique<std::uint8_t[]>(c.size);
        std::memset(body.get(), 0x11, c.size);
        body[0] = 3;
        body[1] = c.h;
        QELSigPacketInfo info;
        EXPECT_EQ(qelSigPacketParse(body.get(), c.size, true, QELSigWant_All, &info), c.want)
            << "h " << int(c.h) << " size " << c.size;
    }
}

TEST_F(PacketReadTest, CyclicOrOverlongKeyTreesAreRefused)
{
    QELKeyDB *db = nullptr;
    ASSERT_EQ(qelKeyDBNewInMemoryLocal(ctx, &db), 0);
    // key 1 -> child 2 (user ID) -> child 1 again.
    const std::uint64_t cyclic[] = {1, QELKeyObjFlag_Key, 1, 2, QELKeyObjFlag_UserID, 1, 1, QELKeyObjFlag_Key, 0};
    EXPECT_EQ(qelKeyDBMergeKeyTree(db, nullptr, cyclic, std::size(cyclic), 1, false, false), QELError_BadPacketFormat);
    // A child count past the array's end.
    const std::uint64_t overlong[] = {7, QELKeyObjFlag_Key, 1000000};
    EXPECT_EQ(qelKeyDBMergeKeyTree(db, nullptr, overlong, std::size(overlong), 1, false, false), QELError_BadPacketFormat);
    // Deeper than key, child, grandchild.
    const std::uint64_t deep[] = {8, QELKeyObjFlag_Key, 1, 9, QELKeyObjFlag_UserID, 1, 10, QELKeyObjFlag_UserID, 1,
                                  11, QELKeyObjFlag_UserID, 0};
    EXPECT_EQ(qelKeyDBMergeKeyTree(db, nullptr, deep, std::size(deep), 1, false, false), QELError_BadPacketFormat);
    // A well-formed tree installs its nodes.
    const std::uint64_t good[] = {20, QELKeyObjFlag_Key, 1, 21, QELKeyObjFlag_UserID, 0};
    EXPECT_EQ(qelKeyDBMergeKeyTree(db, nullptr, good, std::size(good), 1, false, false), 0);
    EXPECT_EQ(qelKeyDBRelease(db), 0);
}

TEST(KeyIDTest, TextCompareAndFormat)
{
    QELKeyID a{}, b{}, c{};
    ASSERT_EQ(qelKeyIDFromText("0xAABBCCDD", 1, &a), 0);
    ASSERT_EQ(qelKeyIDFromText("aabbccdd", 1, &b), 0);
    EXPECT_EQ(qelKeyIDCompare(a, b), 0);
    EXPECT_EQ(qelKeyIDFromText("0XAABBCCDD", 1, &c), QELError_BadParams);
    EXPECT_EQ(qelKeyIDFromText("AABBCCD", 1, &c), QELError_BadParams);
    EXPECT_EQ(c.valid, 0);

    QELKeyID full{};
    ASSERT_EQ(qelKeyIDFromText("11223344AABBCCDD", 1, &full), 0);
    EXPECT_EQ(qelKeyIDCompare(a, full), 0);
    QELKeyID other17 = full;
    other17.algorithm = 17;
    EXPECT_EQ(qelKeyIDCompare(full, other17), -1);
    EXPECT_EQ(qelKeyIDCompare(other17, full), 1);
    QELKeyID any = full;
    any.algorithm = 255;
    EXPECT_EQ(qelKeyIDCompare(any, other17), 0);
    QELKeyID differentShort{};
    ASSERT_EQ(qelKeyIDFromText("00000001", 1, &differentShort), 0);
    EXPECT_EQ(qelKeyIDCompare(full, differentShort), 1);
    EXPECT_EQ(qelKeyIDCompare(differentShort, full), -1);
    EXPECT_EQ(qelKeyIDCompare(QELKeyID{}, full), 0);

    char text[QELKeyIDTextSize];
    ASSERT_EQ(qelKeyIDFormat(full, QELKeyIDFormat_Short, text), 0);
    EXPECT_STREQ(text, "0xAABBCCDD");
    ASSERT_EQ(qelKeyIDFormat(full, QELKeyIDFormat_Full, text), 0);
    EXPECT_STREQ(text, "0x11223344AABBCCDD");
    EXPECT_EQ(qelKeyIDFormat(full, 3, text), QELError_BadParams);
    std::uint32_t alg = 0;
    EXPECT_EQ(qelKeyIDGetAlgorithm(other17, &alg), 0);
    EXPECT_EQ(alg, 17u);
}

} // namespace
