#include "qelTimeDateInternal.h"

#include "qelFIPSInternal.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::int32_t daysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
// Months of a year that starts on 1 March.
constexpr std::uint32_t marchMonthLengths[12] = {31, 30, 31, 30, 31, 31, 30, 31, 30, 31, 31, 29};

bool refused() { return qelAPIGate("qelTimeDate", __LINE__) != 0; }

std::atomic<bool> offsetKnown{false};
std::atomic<std::int64_t> cachedOffset{0};

struct Breakdown {
    std::int16_t year, month, day, hour, minute, second;
};

Breakdown breakdown(QELTime s)
{
    Breakdown b{};
    qelTimeDateYMDFromDays(s / 86400, &b.year, &b.month, &b.day);
    const std::uint32_t q = s % 86400;
    b.hour = static_cast<std::int16_t>(q / 3600);
    b.minute = static_cast<std::int16_t>((q / 60) % 60);
    b.second = static_cast<std::int16_t>(q % 60);
    return b;
}

QELTime fromDaysAndSeconds(std::int64_t days, std::int64_t seconds)
{
    return static_cast<QELTime>(static_cast<std::uint64_t>(days * 86400 + seconds));
}

} // namespace

std::int64_t qelTimeDateEpochOffset()
{
    if (offsetKnown.load(std::memory_order_acquire))
        return cachedOffset.load(std::memory_order_relaxed);
    std::tm local{};
    local.tm_mday = 3;
    local.tm_mon = 0;
    local.tm_year = 70;
    local.tm_isdst = 0;
    std::int64_t offset = static_cast<std::int64_t>(std::mktime(&local)) - 172800;
    const std::time_t probe = 10000000;
    std::tm utc{};
    if (gmtime_r(&probe, &utc) != nullptr)
        offset += 10000000 - static_cast<std::int64_t>(std::mktime(&utc));
    cachedOffset.store(offset, std::memory_order_relaxed);
    offsetKnown.store(true, std::memory_order_release);
    return offset;
}

std::int32_t qelTimeDateDaysFromYMD(std::int32_t year, std::int32_t month, std::int32_t day)
{
    std::int64_t y = year;
    std::int64_t m = month;
    // The month table has twelve entries: carry other months into the years.
    if (m < 1 || m > 12) {
        const std::int64_t m0 = m - 1;
        std::int64_t carry = m0 / 12;
        std::int64_t rest = m0 % 12;
        if (rest < 0) {
            rest += 12;
            --carry;
        }
        y += carry;
        m = rest + 1;
    }
    std::int64_t c = ((y - 1968) / 4) * 1461 + (y % 4) * 365;
    if (y % 4 != 0 || m > 2)
        c += 1;
    return static_cast<std::int32_t>(c + daysBeforeMonth[m - 1] + day - 732);
}

void qelTimeDateYMDFromDays(std::uint32_t days, std::int16_t *outYear, std::int16_t *outMonth,
                            std::int16_t *outDay)
{
    const std::uint64_t t = static_cast<std::uint64_t>(days) + 671;
    std::uint64_t y = 4 * (t / 1461);
    std::uint64_t r = t % 1461;
    if (r > 729) {
        y += 2;
        r -= 730;
    }
    if (r > 364) {
        y += 1;
        r -= 365;
    }
    int k = 0;
    while (k < 11 && r >= marchMonthLengths[k]) {
        r -= marchMonthLengths[k];
        ++k;
    }
    int month = k + 3;
    if (k >= 10) {
        month = k - 9;
        y += 1;
    }
    if (outYear != nullptr)
        *outYear = static_cast<std::int16_t>(y + 1968);
    if (outMonth != nullptr)
        *outMonth = static_cast<std::int16_t>(month);
    if (outDay != nullptr)
        *outDay = static_cast<std::int16_t>(r + 1);
}

QELTime qelTimeDateFromPlatform(std::int64_t platformTime)
{
    if (refused())
        return 0;
    return static_cast<QELTime>(static_cast<std::uint64_t>(platformTime - qelTimeDateEpochOffset()));
}

std::int64_t qelTimeDateToPlatform(QELTime time)
{
    if (refused())
        return 0;
    return static_cast<std::int64_t>(time) + qelTimeDateEpochOffset();
}

QELTime qelTimeDateNow()
{
    if (refused())
        return 0;
    return qelTimeDateFromPlatform(static_cast<std::int64_t>(std::time(nullptr)));
}

QELTime qelTimeDateNowPlusHours(std::int32_t hours)
{
    const std::int64_t t = static_cast<std::int64_t>(qelTimeDateNow()) +
                           static_cast<std::int64_t>(hours) * 3600;
    if (t < 0)
        return 0;
    if (t > static_cast<std::int64_t>(UINT32_MAX))
        return UINT32_MAX;
    return static_cast<QELTime>(t);
}

QELTime qelTimeDateFromDate(std::int32_t year, std::int32_t month, std::int32_t day)
{
    if (refused())
        return 0;
    return fromDaysAndSeconds(qelTimeDateDaysFromYMD(year, month, day), 0);
}

QELTime qelTimeDateFromCalendar(std::int32_t year, std::int32_t month, std::int32_t day,
                                std::int32_t hour, std::int32_t minute, std::int32_t second)
{
    if (refused())
        return 0;
    return fromDaysAndSeconds(qelTimeDateDaysFromYMD(year, month, day),
                              static_cast<std::int64_t>(hour) * 3600 +
                                  static_cast<std::int64_t>(minute) * 60 + second);
}

void qelTimeDateToCalendar(QELTime time, std::int16_t *outYear, std::int16_t *outMonth,
                           std::int16_t *outDay, std::int16_t *outHour, std::int16_t *outMinute,
                           std::int16_t *outSecond)
{
    if (refused())
        return;
    const Breakdown b = breakdown(time);
    if (outYear != nullptr)
        *outYear = b.year;
    if (outMonth != nullptr)
        *outMonth = b.month;
    if (outDay != nullptr)
        *outDay = b.day;
    if (outHour != nullptr)
        *outHour = b.hour;
    if (outMinute != nullptr)
        *outMinute = b.minute;
    if (outSecond != nullptr)
        *outSecond = b.second;
}

void qelTimeDateToDate(QELTime time, std::int16_t *outYear, std::int16_t *outMonth,
                       std::int16_t *outDay)
{
    if (refused())
        return;
    qelTimeDateYMDFromDays(time / 86400, outYear, outMonth, outDay);
}

std::tm *qelTimeDateToLocalTm(const QELTime *time)
{
    if (time == nullptr || refused())
        return nullptr;
    const std::time_t t = static_cast<std::time_t>(qelTimeDateToPlatform(*time));
    return std::localtime(&t);
}

char *qelTimeDateToText(const QELTime *time)
{
    if (time == nullptr || refused())
        return nullptr;
    const std::time_t t = static_cast<std::time_t>(qelTimeDateToPlatform(*time));
    return std::ctime(&t);
}

int qelTimeDateFormatASN1(QELTime time, char *out)
{
    const Breakdown b = breakdown(time);
    char text[32];
    int n;
    if (b.year <= 2049)
        n = std::snprintf(text, sizeof text, "%02d%02d%02d%02d%02d%02dZ", b.year % 100, b.month,
                          b.day, b.hour, b.minute, b.second);
    else
        n = std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02dZ", b.year, b.month, b.day,
                          b.hour, b.minute, b.second);
    std::memcpy(out, text, static_cast<std::size_t>(n) + 1);
    return n;
}

int qelTimeDateFormatDate(QELTime time, char *out)
{
    if (time == 0) {
        std::memcpy(out, "          ", 11);
        return 10;
    }
    const Breakdown b = breakdown(time);
    char text[32];
    std::snprintf(text, sizeof text, "%4d-%02d-%02d", b.year, b.month, b.day);
    std::memcpy(out, text, 11);
    return 10;
}

int qelTimeDateFormatDateTime(QELTime time, char *out)
{
    qelTimeDateFormatDate(time, out);
    const std::uint32_t minutes = (time / 60) % 1440;
    char text[32];
    std::snprintf(text, sizeof text, " %02u:%02u GMT", minutes / 60, minutes % 60);
    std::memcpy(out + 10, text, 11);
    return 20;
}
