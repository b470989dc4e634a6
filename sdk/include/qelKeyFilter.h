/* Key filters: reference-counted predicates over key-database objects. A
   property filter compares one numbered property (qelKeyProperty.h) with a
   value under a match criterion; NOT, AND and OR combine filters. Filters can
   also be written out as key-server queries. */
#ifndef QEL_KEYFILTER_H
#define QEL_KEYFILTER_H

#include <stddef.h>
#include <stdint.h>

#include "qelContext.h"
#include "qelErrors.h"
#include "qelKeyProperty.h"
#include "qelTimeDate.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QELKeyFilter QELKeyFilter;

enum QELMatchCriterion {
    QELMatchCriterion_Equal = 1,
    QELMatchCriterion_GreaterOrEqual = 2,
    QELMatchCriterion_LessOrEqual = 3,
    QELMatchCriterion_Contains = 4
};

enum QELKeyFilterType {
    QELKeyFilterType_Not = 25,
    QELKeyFilterType_And = 26,
    QELKeyFilterType_Or = 27,
    QELKeyFilterType_KeyData = 50,
    QELKeyFilterType_KeyNumber = 51,
    QELKeyFilterType_KeyTime = 52,
    QELKeyFilterType_KeyBool = 53,
    QELKeyFilterType_UserIDData = 54,
    QELKeyFilterType_UserIDNumber = 55,
    QELKeyFilterType_UserIDTime = 56,
    QELKeyFilterType_UserIDBool = 57,
    QELKeyFilterType_SigData = 58,
    QELKeyFilterType_SigNumber = 59,
    QELKeyFilterType_SigTime = 60,
    QELKeyFilterType_SigBool = 61,
    QELKeyFilterType_SubKeyData = 62,
    QELKeyFilterType_SubKeyNumber = 63,
    QELKeyFilterType_SubKeyTime = 64,
    QELKeyFilterType_SubKeyBool = 65
};

QEL_MUST_CHECK QEL_API QELStatus qelKeyFilterNewBoolProperty(QELContext *context, int32_t property, uint8_t value,
                                                             QELKeyFilter **outFilter);
QEL_MUST_CHECK QEL_API QELStatus qelKeyFilterNewNumberProperty(QELContext *context, int32_t property, int32_t value,
                                                               int32_t criterion, QELKeyFilter **outFilter);
QEL_MUST_CHECK QEL_API QELStatus qelKeyFilterNewTimeProperty(QELContext *context, int32_t property, QELTime time,
                                                             int32_t criterion, QELKeyFilter **outFilter);
QEL_MUST_CHECK QEL_API QELStatus qelKeyFilterNewDataProperty(QELContext *context, int32_t property, const void *data,
                                                             size_t length, int32_t criterion, QELKeyFilter **outFilter);
/* The combiners take over the caller's reference to each operand, on
   failure too (after the API entry check). */
QEL_MUST_CHECK QEL_API QELStatus qelKeyFilterNot(QELKeyFilter *filter, QELKeyFilter **outFilter);
QEL_MUST_CHECK QEL_API QELStatus qelKeyFilterAnd(QELKeyFilter *a, QELKeyFilter *b, QELKeyFilter **outFilter);
QEL_MUST_CHECK QEL_API QELStatus qelKeyFilterOr(QELKeyFilter *a, QELKeyFilter *b, QELKeyFilter **outFilter);
QEL_MUST_CHECK QEL_API QELStatus qelKeyFilterAddRef(QELKeyFilter *filter);
QEL_MUST_CHECK QEL_API QELStatus qelKeyFilterRelease(QELKeyFilter *filter);
QEL_MUST_CHECK QEL_API QELStatus qelKeyFilterSetOwnLevel(QELKeyFilter *filter, uint8_t ownLevel);
/* Query texts: a NUL-terminated block of the context's memory manager that
   the caller frees with qelMemFree; null on failure. */
QEL_MUST_CHECK QEL_API QELStatus qelKeyFilterToLDAPQuery(QELKeyFilter *filter, char **outText);
QEL_MUST_CHECK QEL_API QELStatus qelKeyFilterToDirectoryQuery(QELKeyFilter *filter, char **outText);
QEL_MUST_CHECK QEL_API QELStatus qelKeyFilterToHTTPQuery(QELKeyFilter *filter, char **outText);
QEL_MUST_CHECK QEL_API QELStatus qelKeyFilterToHexQuery(QELKeyFilter *filter, char **outText);

#ifdef __cplusplus
}
#endif

#endif
