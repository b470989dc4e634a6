// Key filters inside the SDK: the record, its construction without the API
// entry check, and the escapes of the query writers.
#pragma once

#include "qelKeyFilter.h"

#include <cstddef>
#include <cstdint>
#include <string>

struct QELKeyObject;

inline constexpr std::uint32_t QELKeyFilterMagic = 0x46494C54; // "FILT"

struct QELKeyFilter {
    std::uint32_t magic;
    QELContext *context;
    std::int32_t refCount;
    std::int32_t criterion;
    std::int32_t kind;
    std::uint8_t ownLevel;
    QELKeyObject *cachedKey;     // last key evaluated, and its result
    std::uint8_t cachedResult;
    union {
        QELKeyFilter *operand;   // NOT, AND, OR
        std::int32_t property;   // property kinds
    } first;
    union {
        std::int32_t number;
        QELTime time;
        std::uint8_t truth;
    } value;
    union {
        QELKeyFilter *operand;   // AND, OR
        std::uint8_t *data;      // data kinds: the filter's own copy
    } second;
    std::uint64_t dataLength;
};

[[nodiscard]] QELStatus qelKeyFilterNew(QELContext *context, std::int32_t kind, std::int32_t criterion,
                                        QELKeyFilter **outFilter);
bool qelKeyFilterIsValid(const QELKeyFilter *filter);
// Whether an object of a key database passes the filter (an unreadable
// property does not); no entry check. The result for a key is cached for the
// questions about its descendants that follow.
bool qelKeyFilterMatch(QELKeyFilter *filter, QELKeyObject *object);
// Forgets the cached key of the filter and its operands; a filtered set calls
// it before each pass so that a result never outlives the objects it was
// computed on.
void qelKeyFilterClearCache(QELKeyFilter *filter);
// The kind of a property filter for a property number and a value kind
// (0 data, 1 number, 2 time, 3 boolean).
std::int32_t qelKeyFilterKindFor(std::int32_t property, int valueKind);

// RFC 4515 escape of a filter value: '*', '(', ')', '\' and NUL become a
// backslash and two hex digits.
std::string qelLDAPEscape(const std::uint8_t *value, std::size_t length);
// Letters and digits as they are, '-' as it is, a blank as '+', any other
// byte as '%' and two upper-case hex digits.
std::string qelURLEscape(const std::uint8_t *value, std::size_t length);
