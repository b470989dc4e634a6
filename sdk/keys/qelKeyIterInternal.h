// Key iterators inside the SDK.
#pragma once

#include "qelKeyIter.h"

#include <cstdint>

struct QELContext;

inline constexpr std::uint32_t QELKeyIterMagic = 0x4B495452; // "KITR"

struct QELKeyIter {
    std::uint32_t magic;
    std::uint8_t overList;
    QELKeyList *list;
    QELKeySet *set;
    QELKeyIter *prev;
    QELKeyIter *next;
    std::int64_t position;
    QELKeyObject *current;
    std::int8_t depth;
    std::uint8_t pastEnd;
};

// The depth-first step; QELError_EndOfIteration at the end.
QELStatus qelKeyIterNextObject(QELKeyIter *iter, QELKeyObject **outObject);
QELContext *qelKeyIterContext(const QELKeyIter *iter);
