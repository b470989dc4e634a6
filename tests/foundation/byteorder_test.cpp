#include "qelByteOrderInternal.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

TEST(ByteOrder, ReadsEitherOrder)
{
    const unsigned char b[] = {0x12, 0x34};
    EXPECT_EQ(qelReadUInt16(1, b), 0x3412u);
    EXPECT_EQ(qelReadUInt16(0, b), 0x1234u);
    EXPECT_EQ(qelReadUInt16LE(b), 0x3412u);
}

TEST(ByteOrder, Writes64BitBothOrders)
{
    std::array<unsigned char, 9> buf{};
    qelWriteUInt64(0x0102030405060708ull, 0, buf.data() + 1); // unaligned on purpose
    EXPECT_EQ(buf, (std::array<unsigned char, 9>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
    qelWriteUInt64LE(0x0102030405060708ull, buf.data() + 1);
    EXPECT_EQ(buf, (std::array<unsigned char, 9>{0, 8, 7, 6, 5, 4, 3, 2, 1}));
}

TEST(ByteOrder, RoundTripsEveryWidth)
{
    unsigned char b[8];
    for (int le : {0, 1}) {
        qelWriteUInt16(0xBEEF, le, b);
        EXPECT_EQ(qelReadUInt16(le, b), 0xBEEFu);
        qelWriteUInt32(0xDEADBEEFu, le, b);
        EXPECT_EQ(qelReadUInt32(le, b), 0xDEADBEEFu);
        qelWriteUInt64(0xFEEDFACECAFEBEEFull, le, b);
        EXPECT_EQ(qelReadUInt64(le, b), 0xFEEDFACECAFEBEEFull);
    }
}
