// SDK time: an unsigned 32-bit count of seconds since 1970-01-01 00:00:00
// UTC, with conversions to and from the platform's time, calendar dates and
// text. Every year divisible by 4 counts as a leap year.
#pragma once

#include <cstdint>
#include <ctime>

using QELTime = std::uint32_t;

// Public operations; each passes the API entry guard. A refused call returns
// 0 (or null) and writes nothing.
QELTime qelTimeDateNow();
// Computed in 64 bits and kept within the QELTime range (0 to 0xFFFFFFFF).
QELTime qelTimeDateNowPlusHours(std::int32_t hours);
QELTime qelTimeDateFromPlatform(std::int64_t platformTime);
std::int64_t qelTimeDateToPlatform(QELTime time);
QELTime qelTimeDateFromDate(std::int32_t year, std::int32_t month, std::int32_t day);
QELTime qelTimeDateFromCalendar(std::int32_t year, std::int32_t month, std::int32_t day,
                                std::int32_t hour, std::int32_t minute, std::int32_t second);
void qelTimeDateToCalendar(QELTime time, std::int16_t *outYear, std::int16_t *outMonth,
                           std::int16_t *outDay, std::int16_t *outHour, std::int16_t *outMinute,
                           std::int16_t *outSecond);
void qelTimeDateToDate(QELTime time, std::int16_t *outYear, std::int16_t *outMonth,
                       std::int16_t *outDay);
// The platform's localtime/ctime of the time: static storage of the platform.
std::tm *qelTimeDateToLocalTm(const QELTime *time);
char *qelTimeDateToText(const QELTime *time);

// Internal operations (no guard).
std::int64_t qelTimeDateEpochOffset();
// Months outside 1-12 carry into the neighbouring years.
std::int32_t qelTimeDateDaysFromYMD(std::int32_t year, std::int32_t month, std::int32_t day);
void qelTimeDateYMDFromDays(std::uint32_t days, std::int16_t *outYear, std::int16_t *outMonth,
                            std::int16_t *outDay);
// UTCTime "YYMMDDhhmmssZ" (returns 13) up to 2049, else GeneralizedTime
// "YYYYMMDDhhmmssZ" (returns 15); out needs 16 bytes.
int qelTimeDateFormatASN1(QELTime time, char *out);
// "YYYY-MM-DD", or ten blanks for time 0; out needs 11 bytes; returns 10.
int qelTimeDateFormatDate(QELTime time, char *out);
// The date, then " hh:mm GMT"; out needs 21 bytes; returns 20.
int qelTimeDateFormatDateTime(QELTime time, char *out);
