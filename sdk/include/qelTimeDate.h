/* SDK time: an unsigned 32-bit count of seconds since 1970-01-01 00:00:00
 * UTC, with conversions to and from the platform's time, calendar dates and
 * text. Every year divisible by 4 counts as a leap year. Each operation passes
 * the API entry guard; a refused call returns 0 (or null) and writes nothing. */
#ifndef QEL_TIME_DATE_H
#define QEL_TIME_DATE_H

#include <stdint.h>
#include <time.h>

#include "qelErrors.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t QELTime;

QEL_API QELTime qelTimeDateNow(void);
/* Computed in 64 bits and kept within the QELTime range (0 to 0xFFFFFFFF). */
QEL_API QELTime qelTimeDateNowPlusHours(int32_t hours);
QEL_API QELTime qelTimeDateFromPlatform(int64_t platformTime);
QEL_API int64_t qelTimeDateToPlatform(QELTime time);
QEL_API QELTime qelTimeDateFromDate(int32_t year, int32_t month, int32_t day);
QEL_API QELTime qelTimeDateFromCalendar(int32_t year, int32_t month, int32_t day, int32_t hour,
                                        int32_t minute, int32_t second);
QEL_API void qelTimeDateToCalendar(QELTime time, int16_t *outYear, int16_t *outMonth, int16_t *outDay,
                                   int16_t *outHour, int16_t *outMinute, int16_t *outSecond);
QEL_API void qelTimeDateToDate(QELTime time, int16_t *outYear, int16_t *outMonth, int16_t *outDay);
/* The platform's localtime/ctime of the time: static storage of the platform. */
QEL_API struct tm *qelTimeDateToLocalTm(const QELTime *time);
QEL_API char *qelTimeDateToText(const QELTime *time);

#ifdef __cplusplus
}
#endif

#endif
