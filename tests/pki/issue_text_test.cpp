// The checked UTF-8 to UTF-16 conversion: text that is not UTF-8 is an
// error, never "no units" as an empty text gives.
#include <gtest/gtest.h>

#include "pki_test_util.h"
#include "qelErrors.h"
#include "qelPKIConvertInternal.h"

namespace {

TEST(UTF8ToUTF16Checked, InvalidTextIsAnErrorAndEmptyTextIsNot)
{
    struct Row {
        const char *utf8;
        std::int32_t status;
        std::uint64_t units;
    };
    const Row rows[] = {
        {"", 0, 0},
        {"6162", 0, 2},
        {"f09f9880", 0, 2},             // one character outside the BMP
        {"c3", QELError_BadParams, 0},  // cut short
        {"6180", QELError_BadParams, 0}, // a continuation octet alone
        {"eda080", QELError_BadParams, 0},
        {"610062", 0, 1},               // a zero octet ends the text
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.utf8);
        const auto in = pkitest::hex(row.utf8);
        std::uint64_t units = 99, read = 99;
        EXPECT_EQ(qelUTF8ToUTF16Checked(in.data(), in.size(), nullptr, 0, &units, &read), row.status);
        EXPECT_EQ(units, row.units);
        std::uint16_t out[4] = {1, 1, 1, 1};
        EXPECT_EQ(qelUTF8ToUTF16Checked(in.data(), in.size(), out, 4, &units, nullptr), row.status);
        if (row.status == 0) {
            EXPECT_EQ(out[units], 0);
        }
    }
    const auto smile = pkitest::hex("f09f9880");
    std::uint16_t out[2] = {};
    std::uint64_t units = 0;
    EXPECT_EQ(qelUTF8ToUTF16Checked(smile.data(), smile.size(), out, 2, &units, nullptr), QELError_BufferTooSmall);
    std::uint16_t room[3] = {};
    ASSERT_EQ(qelUTF8ToUTF16Checked(smile.data(), smile.size(), room, 3, &units, nullptr), 0);
    EXPECT_EQ(room[0], 0xD83D);
    EXPECT_EQ(room[1], 0xDE00);
}

} // namespace
