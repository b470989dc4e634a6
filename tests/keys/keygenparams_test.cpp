#include "qelContextInternal.h"
#include "qelKeyGenParamsInternal.h"
#include "qelSettingsInternal.h"
#include "qelTestEnv.h"
#include "qelTestMemory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct ParamsDeleter {
    void operator()(QELKeyGenParams *p) const { qelKeyGenParamsFree(p); }
};
using Params = std::unique_ptr<QELKeyGenParams, ParamsDeleter>;

std::vector<std::uint8_t> bytesOf(const std::string &s) { return {s.begin(), s.end()}; }

class KeyGenParamsTest : public qeltest::SDKSuite {
protected:
    Params fresh() { return Params(qelKeyGenParamsNew(qelContextGetSettings(context))); }

    // The flat form as a vector; the block goes back to the context.
    std::vector<std::uint8_t> flatten(const QELKeyGenParams *p)
    {
        std::uint8_t *flat = nullptr;
        std::uint64_t length = 0;
        EXPECT_EQ(qelKeyGenParamsFlatten(p, &flat, &length), QELError_NoErr);
        std::vector<std::uint8_t> out(flat, flat + length);
        EXPECT_EQ(qelContextMemFree(context, flat), QELError_NoErr);
        return out;
    }

    static std::string str(const std::uint8_t *bytes, std::uint64_t length)
    {
        return bytes ? std::string(reinterpret_cast<const char *>(bytes), length) : std::string();
    }

    // Every field and string of the two records agrees.
    static void expectSame(const QELKeyGenParams *a, const QELKeyGenParams *b)
    {
        EXPECT_EQ(qelKeyGenParamsVersion(a), qelKeyGenParamsVersion(b));
        EXPECT_EQ(qelKeyGenParamsCreation(a), qelKeyGenParamsCreation(b));
        EXPECT_EQ(qelKeyGenParamsValidityDays(a), qelKeyGenParamsValidityDays(b));
        EXPECT_EQ(qelKeyGenParamsAlgorithm(a), qelKeyGenParamsAlgorithm(b));
        std::uint8_t pa = 9, pb = 8;
        EXPECT_EQ(qelKeyGenParamsKeyFlags(a, &pa), qelKeyGenParamsKeyFlags(b, &pb));
        EXPECT_EQ(pa, pb);
        EXPECT_EQ(qelKeyGenParamsKeyServerPrefs(a, &pa), qelKeyGenParamsKeyServerPrefs(b, &pb));
        EXPECT_EQ(pa, pb);
        using Getter = const std::uint8_t *(*)(const QELKeyGenParams *, std::uint64_t *);
        for (Getter get : {Getter(qelKeyGenParamsKeyServer), Getter(qelKeyGenParamsPrefSymmetric),
                           Getter(qelKeyGenParamsPrefCompression)}) {
            std::uint64_t la = 0, lb = 0;
            const std::uint8_t *sa = get(a, &la);
            const std::uint8_t *sb = get(b, &lb);
            EXPECT_EQ(str(sa, la), str(sb, lb));
            EXPECT_EQ(sa == nullptr, sb == nullptr);
            if (sa != nullptr) {
                EXPECT_NE(sa, sb) << "strings must be copies";
            }
        }
    }

    Params full()
    {
        Params p = fresh();
        EXPECT_EQ(qelKeyGenParamsSetVersion(p.get(), 4), QELError_NoErr);
        EXPECT_EQ(qelKeyGenParamsSetCreation(p.get(), 0x5F000000u), QELError_NoErr);
        EXPECT_EQ(qelKeyGenParamsSetValidityDays(p.get(), 365), QELError_NoErr);
        EXPECT_EQ(qelKeyGenParamsSetAlgorithm(p.get(), 17), QELError_NoErr);
        EXPECT_EQ(qelKeyGenParamsSetKeyFlags(p.get(), 0x03), QELError_NoErr);
        EXPECT_EQ(qelKeyGenParamsSetKeyServerPrefs(p.get(), 0x80), QELError_NoErr);
        const auto server = bytesOf("hkp://keys.example.org");
        const std::uint8_t sym[] = {9, 8, 7, 3};
        const std::uint8_t zip[] = {2, 1};
        EXPECT_EQ(qelKeyGenParamsSetKeyServer(p.get(), server.data(), server.size()), QELError_NoErr);
        EXPECT_EQ(qelKeyGenParamsSetPrefSymmetric(p.get(), sym, sizeof sym), QELError_NoErr);
        EXPECT_EQ(qelKeyGenParamsSetPrefCompression(p.get(), zip, sizeof zip), QELError_NoErr);
        return p;
    }

    Params unflatten(const std::vector<std::uint8_t> &flat, QELStatus *status)
    {
        return Params(qelKeyGenParamsUnflatten(context, flat.data(), flat.size(), status));
    }
};

TEST_F(KeyGenParamsTest, FreshRecordHasTheDefaultsAndA44OctetFlatForm)
{
    const QELTime before = qelTimeDateNow();
    Params p = fresh();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(qelKeyGenParamsVersion(p.get()), 3);
    EXPECT_GE(qelKeyGenParamsCreation(p.get()), before);
    EXPECT_LE(qelKeyGenParamsCreation(p.get()), qelTimeDateNow());
    EXPECT_EQ(qelKeyGenParamsValidityDays(p.get()), 0);
    std::uint8_t present = 7;
    EXPECT_EQ(qelKeyGenParamsKeyFlags(p.get(), &present), 0u);
    EXPECT_EQ(present, 0);
    EXPECT_EQ(qelKeyGenParamsKeyServerPrefs(p.get(), &present), 0u);
    EXPECT_EQ(present, 0);
    std::uint64_t length = 5;
    EXPECT_EQ(qelKeyGenParamsKeyServer(p.get(), &length), nullptr);
    EXPECT_EQ(length, 0u);

    const std::vector<std::uint8_t> flat = flatten(p.get());
    ASSERT_EQ(flat.size(), 44u);
    std::uint32_t words[11];
    std::memcpy(words, flat.data(), sizeof words);
    EXPECT_EQ(words[0], 3u);
    EXPECT_EQ(words[1], qelKeyGenParamsCreation(p.get()));
    for (int i = 2; i < 11; ++i)
        EXPECT_EQ(words[i], 0u) << "word " << i;
}

TEST_F(KeyGenParamsTest, CreationTimeFollowsTheTimeOffsetSetting)
{
    QELSettings *settings = nullptr;
    ASSERT_EQ(qelSettingsCopy(qelContextGetSettings(context), &settings), QELError_NoErr);
    ASSERT_EQ(qelSettingsSetInt(settings, QELSetting_TimeOffsetHours, 2, QELSettingPriority_Job),
              QELError_NoErr);
    const QELTime before = qelTimeDateNow();
    Params p(qelKeyGenParamsNew(settings));
    qelSettingsFree(settings);
    ASSERT_NE(p, nullptr);
    EXPECT_GE(qelKeyGenParamsCreation(p.get()), before + 7200);
    EXPECT_LE(qelKeyGenParamsCreation(p.get()), qelTimeDateNow() + 7200);
}

TEST_F(KeyGenParamsTest, SettersKeepEarlierValuesOnRefusalOrEmptyInput)
{
    Params p = full();
    EXPECT_EQ(qelKeyGenParamsSetVersion(p.get(), 5), QELError_UnknownSignatureVersion);
    EXPECT_EQ(qelKeyGenParamsSetVersion(p.get(), 1), QELError_UnknownSignatureVersion);
    EXPECT_EQ(qelKeyGenParamsVersion(p.get()), 4);
    const std::uint8_t none[] = {0};
    EXPECT_EQ(qelKeyGenParamsSetPrefSymmetric(p.get(), none, 0), QELError_NoErr);
    EXPECT_EQ(qelKeyGenParamsSetPrefSymmetric(p.get(), nullptr, 3), QELError_NoErr);
    std::uint64_t length = 0;
    const std::uint8_t *sym = qelKeyGenParamsPrefSymmetric(p.get(), &length);
    EXPECT_EQ(str(sym, length), std::string("\x09\x08\x07\x03", 4));
    // A second store replaces the first.
    const std::uint8_t aes[] = {7};
    EXPECT_EQ(qelKeyGenParamsSetPrefSymmetric(p.get(), aes, 1), QELError_NoErr);
    sym = qelKeyGenParamsPrefSymmetric(p.get(), &length);
    EXPECT_EQ(str(sym, length), std::string("\x07", 1));
}

TEST_F(KeyGenParamsTest, FlattenUnflattenAndCopyRoundTrip)
{
    Params p = full();
    const std::vector<std::uint8_t> flat = flatten(p.get());
    const std::string server = "hkp://keys.example.org";
    ASSERT_EQ(flat.size(), 44u + server.size() + 4 + 2);
    EXPECT_EQ(std::string(flat.begin() + 44, flat.begin() + 44 + server.size()), server);

    QELStatus status = 1;
    Params back = unflatten(flat, &status);
    ASSERT_EQ(status, QELError_NoErr);
    ASSERT_NE(back, nullptr);
    expectSame(p.get(), back.get());

    Params copy(qelKeyGenParamsCopy(p.get()));
    ASSERT_NE(copy, nullptr);
    expectSame(p.get(), copy.get());
    // Only the string in the middle: the offsets of the others follow.
    Params partial = fresh();
    const std::uint8_t zip[] = {1};
    ASSERT_EQ(qelKeyGenParamsSetPrefCompression(partial.get(), zip, 1), QELError_NoErr);
    Params partialBack = unflatten(flatten(partial.get()), &status);
    ASSERT_NE(partialBack, nullptr);
    expectSame(partial.get(), partialBack.get());
}

// Flat forms from outside are checked in full before anything is read.
TEST_F(KeyGenParamsTest, UnflattenRefusesInconsistentFlatForms)
{
    const std::vector<std::uint8_t> good = flatten(full().get());
    auto withWord = [&](int index, std::uint32_t value) {
        std::vector<std::uint8_t> f = good;
        std::memcpy(f.data() + 4 * index, &value, 4);
        return f;
    };
    struct Case {
        const char *what;
        std::vector<std::uint8_t> flat;
        QELStatus expected;
    };
    const Case cases[] = {
        {"empty", {}, QELError_TruncatedPacket},
        {"header cut short", std::vector<std::uint8_t>(good.begin(), good.begin() + 43),
         QELError_TruncatedPacket},
        {"string cut short", std::vector<std::uint8_t>(good.begin(), good.end() - 1),
         QELError_TruncatedPacket},
        {"surplus byte", [&] { auto f = good; f.push_back(0); return f; }(), QELError_TruncatedPacket},
        {"length beyond the buffer", withWord(8, 0xFFFFFFF0u), QELError_TruncatedPacket},
        {"lengths that wrap 32 bits", [&] {
             auto f = withWord(8, 0x80000000u);
             std::uint32_t v = 0x80000000u;
             std::memcpy(f.data() + 36, &v, 4);
             return f;
         }(), QELError_TruncatedPacket},
        {"version 5", withWord(0, 5), QELError_UnknownSignatureVersion},
        {"version 1", withWord(0, 1), QELError_UnknownSignatureVersion},
        {"validity above 16 bits", withWord(2, 0x10000), QELError_BadPacketFormat},
        {"algorithm above 8 bits", withWord(3, 0x100), QELError_BadPacketFormat},
        {"present flag 2", withWord(5, 2), QELError_BadPacketFormat},
    };
    for (const Case &c : cases) {
        QELStatus status = 0;
        Params p = unflatten(c.flat, &status);
        EXPECT_EQ(p, nullptr) << c.what;
        EXPECT_EQ(status, c.expected) << c.what;
    }
    QELStatus status = 0;
    EXPECT_EQ(qelKeyGenParamsUnflatten(nullptr, good.data(), good.size(), &status), nullptr);
    EXPECT_EQ(status, QELError_BadParams);
}

// Every allocation failure is reported and leaves nothing behind.
TEST(KeyGenParamsMemory, AllocationFailuresFreeWhatWasMade)
{
    qeltest::TempDir home("qelkgp");
    home.becomeHome();
    ASSERT_EQ(qelSDKInit(qeltest::kSDKTestFlags), QELError_NoErr);
    qeltest::TestHeap heap;
    QELContextParams cp{QELSDKVersion, heap.make()};
    QELContext *context = nullptr;
    ASSERT_EQ(qelContextNewCustom(&cp, &context), QELError_NoErr);
    Params p(qelKeyGenParamsNew(qelContextGetSettings(context)));
    ASSERT_NE(p, nullptr);
    const std::uint8_t sym[] = {9, 3};
    const std::uint8_t zip[] = {2};
    ASSERT_EQ(qelKeyGenParamsSetPrefSymmetric(p.get(), sym, 2), QELError_NoErr);
    ASSERT_EQ(qelKeyGenParamsSetPrefCompression(p.get(), zip, 1), QELError_NoErr);
    std::uint8_t *flat = nullptr;
    std::uint64_t length = 0;
    ASSERT_EQ(qelKeyGenParamsFlatten(p.get(), &flat, &length), QELError_NoErr);

    for (long n = 1; n <= 4; ++n) {
        const long live = heap.live;
        heap.countdown = n;
        QELStatus status = 0;
        Params back(qelKeyGenParamsUnflatten(context, flat, length, &status));
        heap.countdown = 0;
        if (n == 4) {
            EXPECT_NE(back, nullptr);
            continue;
        }
        EXPECT_EQ(back, nullptr) << n;
        EXPECT_EQ(status, QELError_OutOfMemory) << n;
        EXPECT_EQ(heap.live, live) << n;
    }
    heap.countdown = 2;
    EXPECT_EQ(qelKeyGenParamsCopy(p.get()), nullptr);
    heap.countdown = 1;
    EXPECT_EQ(qelKeyGenParamsSetPrefSymmetric(p.get(), sym, 1), QELError_OutOfMemory);
    heap.countdown = 0;
    std::uint64_t symLength = 9;
    EXPECT_EQ(qelKeyGenParamsPrefSymmetric(p.get(), &symLength), nullptr);
    EXPECT_EQ(symLength, 0u);

    EXPECT_EQ(qelContextMemFree(context, flat), QELError_NoErr);
    p.reset();
    static_cast<void>(qelContextFree(context));
    static_cast<void>(qelSDKForceCleanup());
}

} // namespace
