#include "qelTimeDateInternal.h"

#include "qelFIPSInternal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>

namespace {

std::tm utc(std::int64_t t)
{
    const std::time_t tt = static_cast<std::time_t>(t);
    std::tm out{};
    gmtime_r(&tt, &out);
    return out;
}

// 2100-03-01 00:00:00 UTC: from here on every date comes out one day late,
// because the calendar counts 2100 as a leap year.
constexpr std::int64_t march2100 = 4107542400;

} // namespace

TEST(Time, DayNumbers)
{
    EXPECT_EQ(qelTimeDateDaysFromYMD(1970, 1, 1), 0);
    EXPECT_EQ(qelTimeDateDaysFromYMD(1969, 12, 31), -1);
    EXPECT_EQ(qelTimeDateDaysFromYMD(1968, 3, 1), -671);
    EXPECT_EQ(qelTimeDateDaysFromYMD(2000, 3, 1), qelTimeDateDaysFromYMD(2000, 2, 29) + 1);
    std::int16_t y, m, d;
    qelTimeDateYMDFromDays(static_cast<std::uint32_t>(qelTimeDateDaysFromYMD(2000, 2, 29)), &y, &m, &d);
    EXPECT_EQ(y, 2000);
    EXPECT_EQ(m, 2);
    EXPECT_EQ(d, 29);
    // Months outside 1-12 carry into the neighbouring years.
    EXPECT_EQ(qelTimeDateDaysFromYMD(2020, 13, 1), qelTimeDateDaysFromYMD(2021, 1, 1));
    EXPECT_EQ(qelTimeDateDaysFromYMD(2020, 0, 1), qelTimeDateDaysFromYMD(2019, 12, 1));
    EXPECT_EQ(qelTimeDateDaysFromYMD(2020, -11, 1), qelTimeDateDaysFromYMD(2019, 1, 1));
}

TEST(Time, AgreesWithGmtimeUntil2100)
{
    std::mt19937_64 rng(20261210);
    std::uniform_int_distribution<std::int64_t> dist(0, march2100 - 1);
    std::vector<std::int64_t> times = {0, 1, 86399, 86400, 951782400 /* 2000-02-29 */,
                                       951868800 /* 2000-03-01 */, 2147483647, 2147483648,
                                       march2100 - 1};
    for (int i = 0; i < 2000; ++i)
        times.push_back(dist(rng));
    for (std::int64_t t : times) {
        const std::tm g = utc(t);
        std::int16_t y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
        qelTimeDateToCalendar(static_cast<QELTime>(t), &y, &mo, &d, &h, &mi, &s);
        ASSERT_EQ(y, g.tm_year + 1900) << t;
        ASSERT_EQ(mo, g.tm_mon + 1) << t;
        ASSERT_EQ(d, g.tm_mday) << t;
        ASSERT_EQ(h, g.tm_hour) << t;
        ASSERT_EQ(mi, g.tm_min) << t;
        ASSERT_EQ(s, g.tm_sec) << t;
        ASSERT_EQ(qelTimeDateFromCalendar(y, mo, d, h, mi, s), static_cast<QELTime>(t)) << t;
        std::int16_t y2 = 0, mo2 = 0, d2 = 0;
        qelTimeDateToDate(static_cast<QELTime>(t), &y2, &mo2, &d2);
        ASSERT_EQ(y2 * 10000 + mo2 * 100 + d2, y * 10000 + mo * 100 + d);
    }
}

TEST(Time, From2100OnDatesAreOneDayLateBothWays)
{
    // Gregorian 2100-03-01 is shown as 2100-02-29.
    std::int16_t y, m, d;
    qelTimeDateToDate(static_cast<QELTime>(march2100), &y, &m, &d);
    EXPECT_EQ(y * 10000 + m * 100 + d, 21000229);
    EXPECT_EQ(qelTimeDateFromDate(2100, 2, 29), static_cast<QELTime>(march2100));
    const std::int64_t later = 4200000000; // 2103-02-03 in the Gregorian calendar
    const std::tm g = utc(later);
    qelTimeDateToDate(static_cast<QELTime>(later), &y, &m, &d);
    EXPECT_EQ(qelTimeDateFromDate(y, m, d), static_cast<QELTime>(later - later % 86400));
    EXPECT_EQ(qelTimeDateDaysFromYMD(y, m, d), later / 86400);
    EXPECT_NE(d, g.tm_mday);
    // The last representable second.
    std::int16_t h, mi, s;
    qelTimeDateToCalendar(UINT32_MAX, &y, &m, &d, &h, &mi, &s);
    EXPECT_EQ(qelTimeDateFromCalendar(y, m, d, h, mi, s), UINT32_MAX);
}

TEST(Time, CalendarValues)
{
    EXPECT_EQ(qelTimeDateFromCalendar(1970, 1, 2, 0, 0, 1), 86401u);
    EXPECT_EQ(qelTimeDateFromDate(1970, 1, 1), 0u);
    EXPECT_EQ(qelTimeDateFromCalendar(2049, 12, 31, 23, 59, 59), 2524607999u);
    std::int16_t keep = 77;
    qelTimeDateToCalendar(86401, nullptr, nullptr, &keep, nullptr, nullptr, nullptr);
    EXPECT_EQ(keep, 2);
}

TEST(Time, Formats)
{
    struct Case {
        QELTime time;
        std::string asn1;
        std::string date;
        std::string dateTime;
    };
    const Case cases[] = {
        {2524607999u, "491231235959Z", "2049-12-31", "2049-12-31 23:59 GMT"},
        {2524608000u, "20500101000000Z", "2050-01-01", "2050-01-01 00:00 GMT"},
        {0, "700101000000Z", "          ", "           00:00 GMT"},
        {951782400u + 3723, "000229010203Z", "2000-02-29", "2000-02-29 01:02 GMT"},
    };
    for (const Case &c : cases) {
        char out[32];
        EXPECT_EQ(qelTimeDateFormatASN1(c.time, out), static_cast<int>(c.asn1.size()));
        EXPECT_EQ(out, c.asn1);
        EXPECT_EQ(qelTimeDateFormatDate(c.time, out), 10);
        EXPECT_EQ(out, c.date);
        EXPECT_EQ(qelTimeDateFormatDateTime(c.time, out), 20);
        EXPECT_EQ(out, c.dateTime);
    }
}

TEST(Time, PlatformTimeAndNow)
{
    EXPECT_EQ(qelTimeDateEpochOffset(), 0);
    EXPECT_EQ(qelTimeDateFromPlatform(1234567890), 1234567890u);
    EXPECT_EQ(qelTimeDateToPlatform(4000000000u), 4000000000);
    const std::int64_t before = std::time(nullptr);
    const QELTime now = qelTimeDateNow();
    const std::int64_t after = std::time(nullptr);
    EXPECT_GE(now, before);
    EXPECT_LE(now, after);
    const QELTime plus = qelTimeDateNowPlusHours(2);
    EXPECT_GE(plus, before + 7200);
    EXPECT_LE(plus, std::time(nullptr) + 7200);
    // Far offsets stay within the QELTime range instead of wrapping.
    EXPECT_EQ(qelTimeDateNowPlusHours(INT32_MAX), UINT32_MAX);
    EXPECT_EQ(qelTimeDateNowPlusHours(INT32_MIN), 0u);
    const QELTime t = 86400 * 365;
    const std::tm *lt = qelTimeDateToLocalTm(&t);
    ASSERT_NE(lt, nullptr);
    const std::time_t tt = 86400 * 365;
    std::tm expected{};
    localtime_r(&tt, &expected);
    EXPECT_EQ(lt->tm_year, expected.tm_year);
    EXPECT_EQ(lt->tm_yday, expected.tm_yday);
    EXPECT_EQ(lt->tm_hour, expected.tm_hour);
    const char *text = qelTimeDateToText(&t);
    ASSERT_NE(text, nullptr);
    EXPECT_NE(std::string(text).find("197"), std::string::npos);
    EXPECT_EQ(qelTimeDateToText(nullptr), nullptr);
}

namespace {

// Runs in a child process, so that FIPS mode with a latched failure stays
// there. Every check that fails is named on standard error (shown when the
// test fails); the exit code is the number of failures.
[[noreturn]] void checkRefusals()
{
    static_cast<void>(qelFIPSEnable());
    qelFIPSLatchError(QELError_SelfTestFailed);
    std::int16_t y = 7, m = 7, d = 7;
    qelTimeDateToCalendar(86400 * 400, &y, &m, &d, nullptr, nullptr, nullptr);
    const bool calendarUntouched = y == 7 && m == 7 && d == 7;
    qelTimeDateToDate(86400 * 400, &y, &m, &d);
    const bool dateUntouched = y == 7 && m == 7 && d == 7;
    const QELTime t = 1000;
    const struct {
        const char *name;
        bool passed;
    } checks[] = {
        {"qelTimeDateNow gives 0", qelTimeDateNow() == 0},
        {"qelTimeDateFromDate gives 0", qelTimeDateFromDate(2000, 1, 1) == 0},
        {"qelTimeDateFromCalendar gives 0", qelTimeDateFromCalendar(2000, 1, 1, 1, 1, 1) == 0},
        {"qelTimeDateFromPlatform gives 0", qelTimeDateFromPlatform(5000) == 0},
        {"qelTimeDateToPlatform gives 0", qelTimeDateToPlatform(5000) == 0},
        {"qelTimeDateToText gives null", qelTimeDateToText(&t) == nullptr},
        {"qelTimeDateToLocalTm gives null", qelTimeDateToLocalTm(&t) == nullptr},
        {"qelTimeDateToCalendar leaves its outputs", calendarUntouched},
        {"qelTimeDateToDate leaves its outputs", dateUntouched},
    };
    int failed = 0;
    for (const auto &check : checks) {
        if (!check.passed) {
            std::fprintf(stderr, "refusal check failed: %s\n", check.name);
            ++failed;
        }
    }
    std::exit(failed);
}

} // namespace

TEST(TimeDeathTest, RefusedByTheEntryGuard)
{
    EXPECT_EXIT(checkRefusals(), ::testing::ExitedWithCode(0), "");
}
