// SDK time internals: calendar arithmetic and the text forms (no guard).
#pragma once

#include "qelTimeDate.h"

#include <cstdint>
#include <ctime>

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
