// The packets of the service protocol and the exchange against a hostile
// service: every way a reply can go wrong gives its status, leaves the
// application running (no SIGPIPE) and never lets the next call read the
// rest of an old reply.
#include "qelMemoryInternal.h"
#include "qelRPCCallsInternal.h"
#include "qelRPCClientInternal.h"
#include "qelRPCDispatchInternal.h"
#include "qelSDKInternal.h"
#include "qelTestEnv.h"
#include "qelTestHooks.h"
#include "qelTestService.h"

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <cstring>
#include <functional>

namespace {

using qeltest::Packet;
using qeltest::ServiceAction;
using qeltest::TestService;

// The SDK is up (packets come from its global manager) without a service;
// each test connects to a test service of its own.
auto *const g_env = qeltest::addHomeEnvironment("qelrpctransport", qeltest::HomeEnvironment::SDK::Up);

Packet bytesOf(const QELRPCPacket &p)
{
    return Packet(p.data, p.data + p.length);
}

// A reply record over bytes of our own (header included), read from 8.
struct Reply {
    explicit Reply(const Packet &bytes)
    {
        packet.data = static_cast<std::uint8_t *>(qelMemAlloc(qelMemMgrGetGlobal(), bytes.size() + 1, 0));
        std::memcpy(packet.data, bytes.data(), bytes.size());
        packet.capacity = std::int32_t(bytes.size());
        packet.length = 8;
    }
    ~Reply() { qelRPCPacketRelease(&packet); }
    QELRPCPacket packet{};
};

TEST(RPCPacket, NewRequestIsItsHeader)
{
    QELRPCPacket p{};
    ASSERT_EQ(qelRPCPacketNew(&p, 7, 0x0102030405060708ull), QELError_NoErr);
    Packet expected;
    TestService::put32(expected, 7);
    TestService::put64(expected, 0x0102030405060708ull);
    TestService::put32(expected, 0);
    EXPECT_EQ(bytesOf(p), expected);
    EXPECT_EQ(p.capacity, 128);
    qelRPCPacketRelease(&p);
    EXPECT_EQ(qelRPCPacketNew(nullptr, 1, 0), QELError_BadParams);
    EXPECT_EQ(qelRPCPacketNewSecure(nullptr, 1, 0), QELError_BadParams);
}

TEST(RPCPacket, ItemsAreWordsAndStringsArePadded)
{
    QELRPCPacket p{};
    ASSERT_EQ(qelRPCPacketNew(&p, 1, 0), QELError_NoErr);
    ASSERT_EQ(qelRPCPacketAppendByte(&p, 0x1FF), QELError_NoErr); // low eight bits only
    ASSERT_EQ(qelRPCPacketAppendBuffer(&p, nullptr, 10), QELError_NoErr); // a null string is empty
    ASSERT_EQ(qelRPCPacketAppendBuffer(&p, "abcde", 5), QELError_NoErr);  // 4 + 8
    ASSERT_EQ(qelRPCPacketAppendBuffer(&p, "abcd", 4), QELError_NoErr);   // 4 + 4
    ASSERT_EQ(qelRPCPacketAppendInt(&p, -2), QELError_NoErr);
    Packet expected(p.data, p.data + 16);
    TestService::put32(expected, 0xFF);
    TestService::put32(expected, 0);
    TestService::putString(expected, "abcde", 5);
    TestService::putString(expected, "abcd", 4);
    TestService::put32(expected, 0xFFFFFFFEu);
    EXPECT_EQ(bytesOf(p), expected);
    EXPECT_EQ(p.length, 16 + 4 + 4 + 12 + 8 + 4);
    qelRPCPacketRelease(&p);
}

TEST(RPCPacket, GrowsInStepsOf8192AndNotAtExactFit)
{
    QELRPCPacket p{};
    ASSERT_EQ(qelRPCPacketNew(&p, 1, 0), QELError_NoErr);
    const std::array<std::uint8_t, 100> filler{};
    ASSERT_EQ(qelRPCPacketAppendBuffer(&p, filler.data(), 100), QELError_NoErr); // 16 + 104 = 120
    ASSERT_EQ(qelRPCPacketAppendU32(&p, 1), QELError_NoErr);                    // 124
    ASSERT_EQ(qelRPCPacketAppendU32(&p, 2), QELError_NoErr);                    // exactly 128
    EXPECT_EQ(p.capacity, 128);
    ASSERT_EQ(qelRPCPacketAppendU64(&p, 3), QELError_NoErr);
    EXPECT_EQ(p.capacity, 8192);
    qelRPCPacketRelease(&p);

    ASSERT_EQ(qelRPCPacketNew(&p, 1, 0), QELError_NoErr);
    p.length = 100;
    ASSERT_EQ(qelRPCPacketReserve(&p, 16384 - 100), QELError_NoErr);
    EXPECT_EQ(p.capacity, 24576);
    qelRPCPacketRelease(&p);
}

TEST(RPCPacket, SizesDoNotWrapIn32Bits)
{
    QELRPCPacket p{};
    ASSERT_EQ(qelRPCPacketNew(&p, 1, 0), QELError_NoErr);
    // A string of 2^32 + 4 bytes would wrap a 32-bit length to 4.
    static const std::uint8_t byte = 0;
    EXPECT_EQ(qelRPCPacketAppendBuffer(&p, &byte, (std::uint64_t{1} << 32) + 4), QELError_OutOfMemory);
    EXPECT_EQ(qelRPCPacketReserve(&p, ~std::uint64_t{0} - 8), QELError_OutOfMemory);
    EXPECT_EQ(p.length, 16);
    EXPECT_EQ(p.capacity, 128);
    qelRPCPacketRelease(&p);
}

TEST(RPCReply, ReadersStopAtTheBytesReceived)
{
    Packet items;
    TestService::put32(items, 2);         // a boolean of value 2
    TestService::put32(items, 1);         // true
    TestService::putString(items, "xyz", 3);
    TestService::put32(items, 100);       // a string announcing more than arrived
    items.push_back('q');
    Reply r(TestService::reply(0, items));
    EXPECT_FALSE(qelRPCReplyReadBool(&r.packet));
    EXPECT_TRUE(qelRPCReplyReadBool(&r.packet));
    const std::uint8_t *data = nullptr;
    std::uint64_t length = 0;
    ASSERT_EQ(qelRPCReplyPeekBuffer(&r.packet, &data, &length), QELError_NoErr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(data), length), "xyz");
    const std::int32_t mark = r.packet.length;
    EXPECT_EQ(qelRPCReplyPeekBuffer(&r.packet, &data, &length), QELError_ServiceReplyTruncated);
    EXPECT_EQ(data, nullptr);
    void *block = reinterpret_cast<void *>(1);
    r.packet.length = mark;
    EXPECT_EQ(qelRPCReplyReadBuffer(&r.packet, &block, &length), QELError_ServiceReplyFieldTruncated);
    EXPECT_EQ(block, nullptr);
    r.packet.length = mark;
    EXPECT_EQ(qelRPCReplyReadSecureBuffer(&r.packet, &block, &length), QELError_ServiceReplyDataTruncated);
    EXPECT_EQ(block, nullptr);
    // Fixed-size items past the end read as nothing.
    r.packet.length = r.packet.capacity - 2;
    EXPECT_EQ(qelRPCReplyReadU64(&r.packet), 0u);
    EXPECT_EQ(qelRPCReplyReadU32(nullptr), 0u);
    EXPECT_EQ(qelRPCReplyReadBuffer(nullptr, &block, &length), QELError_BadParams);
}

TEST(RPCReply, HeaderBoundsAreChecked)
{
    struct Row {
        std::uint32_t length;
        QELStatus expected;
    };
    for (const Row &row : {Row{7, QELError_BadPacketFormat}, Row{8, QELError_NoErr},
                           Row{QELRPCMaxPacketSize, QELError_NoErr}, Row{QELRPCMaxPacketSize + 1, QELError_BadPacketFormat},
                           Row{0xFFFFFFFFu, QELError_BadPacketFormat}}) {
        Packet header;
        TestService::put32(header, std::uint32_t(-5));
        TestService::put32(header, row.length);
        std::int32_t status = 0;
        std::uint32_t length = 0;
        EXPECT_EQ(qelRPCReplyHeaderCheck(header.data(), &status, &length), row.expected) << row.length;
        if (row.expected == QELError_NoErr) {
            EXPECT_EQ(status, -5);
            EXPECT_EQ(length, row.length);
        }
    }
}

class RPCHostileService : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A broken pipe must not end the test process: the default action.
        previous_ = std::signal(SIGPIPE, SIG_DFL);
        qelRPCResetForTesting();
    }
    void TearDown() override
    {
        service_.reset();
        qelRPCResetForTesting();
        qelRPCSetSocketPathForTesting(nullptr);
        qelRPCSetReplyTimeoutForTesting(-1);
        qelRPCFailReplyAllocForTesting(0);
        std::signal(SIGPIPE, previous_);
    }
    void start(TestService::Script script)
    {
        service_ = std::make_unique<TestService>(g_env->dir() + "/hostile");
        service_->setScript([script](std::uint32_t call, const Packet &request) {
            return call == 0 ? ServiceAction{} : script(call, request);
        });
        qelRPCSetSocketPathForTesting(service_->path().c_str());
        ASSERT_EQ(qelRPCConnect(1), QELError_NoErr);
    }
    // Call 63 (three counts) through the marshaller.
    static QELStatus counts(std::array<QELRPCItem, 3> &out) { return qelRPCCall(QELRPCCall_PassCacheGetCounts, {}, out); }

    std::unique_ptr<TestService> service_;
    void (*previous_)(int) = nullptr;
};

Packet header(std::int32_t status, std::uint32_t length)
{
    Packet p;
    TestService::put32(p, std::uint32_t(status));
    TestService::put32(p, length);
    return p;
}

Packet threeCounts(std::uint32_t a, std::uint32_t b, std::uint32_t c)
{
    Packet items;
    TestService::put32(items, a);
    TestService::put32(items, b);
    TestService::put32(items, c);
    return TestService::reply(0, items);
}

TEST_F(RPCHostileService, EveryBrokenReplyGivesItsStatusAndEndsTheConnection)
{
    using Kind = ServiceAction::Kind;
    struct Row {
        const char *name;
        ServiceAction action;
        QELStatus expected;
        bool timeout;
    };
    Packet midReply = header(0, 100);
    midReply.resize(28, 0);
    Packet twice = threeCounts(1, 2, 3);
    const Packet second = threeCounts(4, 5, 6);
    twice.insert(twice.end(), second.begin(), second.end());
    const Row rows[] = {
        {"short header", {Kind::SendClose, Packet{1, 2, 3, 4}}, QELError_ReadFailed, false},
        {"huge length", {Kind::Send, header(0, 0xFFFFFFF0u)}, QELError_BadPacketFormat, false},
        {"length under 8", {Kind::Send, header(0, 4)}, QELError_BadPacketFormat, false},
        {"closes mid-reply", {Kind::SendClose, midReply}, QELError_ReadFailed, false},
        {"never answers", {Kind::Silent, {}}, QELError_Unavailable, true},
        {"reply out of step", {Kind::Send, twice}, QELError_BadPacketFormat, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        start([&](std::uint32_t, const Packet &) { return row.action; });
        qelRPCSetReplyTimeoutForTesting(row.timeout ? 0 : -1);
        std::array<QELRPCItem, 3> out{};
        EXPECT_EQ(counts(out), row.expected);
        EXPECT_EQ(out[0].value, 0u);
        // The connection is closed: no later call reads what is left.
        EXPECT_EQ(counts(out), QELError_NotInitialized);
        qelRPCSetReplyTimeoutForTesting(-1);
        service_.reset();
        qelRPCResetForTesting();
    }
}

TEST_F(RPCHostileService, NegativeStringLengthIsRefusedAndEndsTheConnection)
{
    start([](std::uint32_t, const Packet &) {
        Packet items;
        TestService::put32(items, 0x80000001u);
        items.resize(12, 0);
        return ServiceAction{ServiceAction::Kind::Send, TestService::reply(0, items)};
    });
    std::array<QELRPCItem, 1> in{qelRPCValue(1)}, out{};
    EXPECT_EQ(qelRPCCall(QELRPCCall_KeyObjRawPacket, in, out), QELError_ServiceReplyFieldTruncated);
    EXPECT_EQ(out[0].block, nullptr);
    std::array<QELRPCItem, 3> counts3{};
    EXPECT_EQ(counts(counts3), QELError_NotInitialized);
}

TEST_F(RPCHostileService, ShortItemsAreTruncatedAndTheStreamStaysInStep)
{
    int n = 0;
    start([&](std::uint32_t, const Packet &) {
        Packet items;
        TestService::put32(items, 9);
        return ServiceAction{ServiceAction::Kind::Send, ++n == 1 ? TestService::reply(0, items) : threeCounts(7, 8, 9)};
    });
    std::array<QELRPCItem, 3> out{};
    EXPECT_EQ(counts(out), QELError_ServiceReplyTruncated);
    EXPECT_EQ(out[0].value, 9u); // read before the reader failed
    out = {};
    ASSERT_EQ(counts(out), QELError_NoErr);
    EXPECT_EQ(out[2].value, 9u);
}

TEST_F(RPCHostileService, AStatusReplyReadsNoItems)
{
    start([](std::uint32_t, const Packet &) {
        Packet items;
        TestService::put32(items, 1);
        TestService::put32(items, 2);
        TestService::put32(items, 3);
        return ServiceAction{ServiceAction::Kind::Send, TestService::reply(QELError_BadPassphrase, items)};
    });
    std::array<QELRPCItem, 3> out{};
    EXPECT_EQ(counts(out), QELError_BadPassphrase);
    EXPECT_EQ(out[0].value, 0u);
    EXPECT_EQ(counts(out), QELError_BadPassphrase); // still in step
}

TEST_F(RPCHostileService, OutOfMemoryForTheReplyKeepsTheStreamInStep)
{
    int n = 0;
    start([&](std::uint32_t, const Packet &) {
        ++n;
        return ServiceAction{ServiceAction::Kind::Send, threeCounts(n, n, n)};
    });
    qelRPCFailReplyAllocForTesting(1);
    std::array<QELRPCItem, 3> out{};
    EXPECT_EQ(counts(out), QELError_OutOfMemory);
    ASSERT_EQ(counts(out), QELError_NoErr);
    EXPECT_EQ(out[0].value, 2u); // the second reply, not the rest of the first
}

TEST_F(RPCHostileService, AServiceThatWentAwayGivesAWriteErrorNotASignal)
{
    start([](std::uint32_t, const Packet &) {
        return ServiceAction{ServiceAction::Kind::SendClose, threeCounts(1, 1, 1)};
    });
    std::array<QELRPCItem, 3> out{};
    ASSERT_EQ(counts(out), QELError_NoErr);
    // The service has closed its end: writing the next request would raise
    // SIGPIPE, whose default action ends the process.
    service_.reset();
    const QELStatus s = counts(out);
    EXPECT_TRUE(s == QELError_WriteFailed || s == QELError_ReadFailed) << s;
    EXPECT_EQ(counts(out), QELError_NotInitialized);
}

TEST_F(RPCHostileService, MarshallingFailureSendsNothing)
{
    start([](std::uint32_t, const Packet &) { return ServiceAction{}; });
    // A null file specification cannot be exported: nothing reaches the
    // service and the connection stays usable.
    std::array<QELRPCItem, 1> in{};
    EXPECT_EQ(qelRPCCall(QELRPCCall_RandomSeedFileSet, in, {}), QELError_BadParams);
    EXPECT_EQ(service_->calls(), std::vector<std::uint32_t>{0});
}

} // namespace

namespace {

TEST_F(RPCHostileService, TextsLongerThanTheirFieldsAreCut)
{
    start([](std::uint32_t, const Packet &) {
        Packet items;
        TestService::put32(items, 7); // first field
        TestService::put32(items, 1); // flag
        for (std::uint32_t v : {11u, 12u, 13u, 14u})
            TestService::put32(items, v);
        const std::string longText(100, 'L');
        TestService::putString(items, longText.data(), std::uint32_t(longText.size()));
        TestService::putString(items, "ab\0cd", 5); // bytes behind a NUL become NULs
        TestService::putString(items, longText.data(), 40);
        TestService::put32(items, 16);
        TestService::put32(items, 15);
        return ServiceAction{ServiceAction::Kind::Send, TestService::reply(0, items)};
    });
    std::uint8_t record[96 + 16];
    std::memset(record, 0xEE, sizeof record);
    std::memset(record, 0, 4);
    ASSERT_EQ(qelTokenGetInfoDispatch(nullptr, 0, record), QELError_NoErr);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(record + 4), 32), std::string(32, 'L'));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(record + 36), 5), std::string("ab\0\0\0", 5));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(record + 52), 16), std::string(16, 'L'));
    EXPECT_EQ(record[68], 1);
    std::uint32_t fifth = 0, sixth = 0;
    std::memcpy(&fifth, record + 88, 4);
    std::memcpy(&sixth, record + 92, 4);
    EXPECT_EQ(fifth, 15u);
    EXPECT_EQ(sixth, 16u);
    for (std::size_t i = 96; i < sizeof record; ++i)
        EXPECT_EQ(record[i], 0xEE) << "written past the record at " << i;
}

TEST(RPCLocalBranch, AConfigurationStringLongerThanItsBufferIsRefused)
{
    const std::string tooLong(256, 'c');
    const std::string fits(255, 'c');
    qelRPCSetServingThreadForTesting(true);
    EXPECT_EQ(qelTokenSetConfigStringDispatch(tooLong.c_str()), QELError_BadParams);
    EXPECT_EQ(qelTokenSetConfigStringDispatch(fits.c_str()), QELError_NoErr);
    EXPECT_EQ(qelTokenSetConfigStringDispatch(fits.c_str()), QELError_NoErr); // the same again
    EXPECT_EQ(qelTokenSetConfigStringDispatch(nullptr), QELError_NoErr);       // emptied
    qelRPCSetServingThreadForTesting(false);
}

} // namespace
