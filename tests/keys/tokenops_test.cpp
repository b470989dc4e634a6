#include "qelContextInternal.h"
#include "qelKeyManInternal.h"
#include "qelTestEnv.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class TokenOpsTest : public qeltest::SDKSuite {};

TEST_F(TokenOpsTest, WithoutTokensEveryQueryIsEmpty)
{
    std::int32_t count = 7;
    EXPECT_EQ(qelCountTokens(context, &count), QELError_NoErr);
    EXPECT_EQ(count, 0);
    QELTokenInfo info;
    std::memset(&info, 0xAB, sizeof info);
    EXPECT_EQ(qelGetTokenInfo(context, 0, &info), QELError_NoErr);
    EXPECT_EQ(info.data[0], 0);
    EXPECT_EQ(std::memcmp(info.data, info.data + 1, sizeof info.data - 1), 0) << "zero-filled";

    const char pin[] = "123456";
    EXPECT_EQ(qelSubmitTokenSecret(context, 0, pin, 6), QELError_NoErr);
    EXPECT_EQ(qelSetTokenSecret(context, 1, pin, 6), QELError_NoErr);
    EXPECT_EQ(qelReplaceTokenSecret(context, 2, pin, 6, "654321", 6), QELError_NoErr);
    EXPECT_EQ(qelSubmitTokenSecret(context, 0, nullptr, 0), QELError_NoErr);
    EXPECT_EQ(qelTokenSetConfigString("slot=1"), QELError_NoErr);
}

TEST_F(TokenOpsTest, HandlesAndOutputsAreChecked)
{
    std::int32_t count = 7;
    QELTokenInfo info{};
    EXPECT_EQ(qelCountTokens(nullptr, &count), QELError_BadParams);
    EXPECT_EQ(count, 0) << "cleared first";
    EXPECT_EQ(qelCountTokens(context, nullptr), QELError_BadParams);
    EXPECT_EQ(qelGetTokenInfo(nullptr, 0, &info), QELError_BadParams);
    EXPECT_EQ(qelGetTokenInfo(context, 0, nullptr), QELError_BadParams);
    EXPECT_EQ(qelSubmitTokenSecret(nullptr, 0, "x", 1), QELError_BadParams);
    EXPECT_EQ(qelSetTokenSecret(nullptr, 0, "x", 1), QELError_BadParams);
    EXPECT_EQ(qelReplaceTokenSecret(nullptr, 0, "x", 1, "y", 1), QELError_BadParams);
    EXPECT_EQ(qelTokenSetConfigString(nullptr), QELError_NoErr); // empties the stored string
}

// What key export reaches when it stores data on a key's token.
TEST_F(TokenOpsTest, KeyDataOperationsFindNoSecretKey)
{
    void *data = reinterpret_cast<void *>(1);
    std::size_t length = 9;
    EXPECT_EQ(qelTokenPutDataLocal(context, nullptr, "n", 1, "d", 1), QELError_NoSecretKey);
    EXPECT_EQ(qelTokenGetDataLocal(context, nullptr, "n", 1, &data, &length), QELError_NoSecretKey);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(qelTokenPutCertificateLocal(context, nullptr, "n", 1, "\x30\x00", 2, "pin", 3), QELError_NoErr);
}

} // namespace

namespace {

class PropertyCopyTest : public qeltest::SDKSuite {};

TEST_F(PropertyCopyTest, AllocatedCopiesEndInTwoNulBytes)
{
    void *block = reinterpret_cast<void *>(1);
    EXPECT_EQ(qelPropertyDataAlloc(context, "abc", 0, &block), QELError_UnknownProperty);
    EXPECT_EQ(block, nullptr);
    ASSERT_EQ(qelPropertyDataAlloc(context, "abc", 3, &block), QELError_NoErr);
    EXPECT_EQ(std::memcmp(block, "abc\0\0", 5), 0);
    EXPECT_EQ(qelContextMemFree(context, block), QELError_NoErr);
    EXPECT_EQ(qelPropertyDataAlloc(context, "abc", 3, nullptr), QELError_BadParams);
}

TEST_F(PropertyCopyTest, CopiesStopAtTheBufferAndTerminateWhenThereIsRoom)
{
    struct {
        std::size_t size;
        QELStatus status;
        const char *expected; // 6 bytes of the buffer afterwards
    } const cases[] = {
        {6, QELError_NoErr, "abcd\0#"},
        {5, QELError_NoErr, "abcd\0#"},
        {4, QELError_NoErr, "abcd##"},
        {2, QELError_BufferTooSmall, "ab####"},
        {0, QELError_BufferTooSmall, "######"},
    };
    for (const auto &c : cases) {
        char buffer[6];
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(qelPropertyDataCopy("abcd", buffer, 4, c.size), c.status) << c.size;
        EXPECT_EQ(std::memcmp(buffer, c.expected, 6), 0) << c.size;
    }
}

} // namespace
