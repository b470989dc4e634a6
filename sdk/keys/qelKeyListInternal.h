// Key lists inside the SDK.
#pragma once

#include "qelKeyList.h"

#include <cstdint>

struct QELKeyIter;
struct QELContext;

inline constexpr std::uint32_t QELKeyListMagic = 0x4B4C5354; // "KLST"

struct QELKeyList {
    std::uint32_t magic;
    std::int32_t refCount;
    QELKeySet *set;
    std::int32_t order;
    std::uint8_t reverse;
    QELKeyList *prev;
    QELKeyList *next;
    QELKeyIter *iters;
    std::uint32_t count;
    QELKeyObject **keys;
    // The failure of the last re-sort (0 when the list is current); the
    // list's users answer it and sort again.
    QELStatus resortStatus;
};

QELStatus qelKeyListResort(QELKeyList *list);
void qelKeyListResortAll(QELKeySet *set);
// The set is going away by force: its lists forget it.
void qelKeyListDetachAll(QELKeySet *set);
bool qelKeyListIsValid(const void *list);
// QELError_BadParams for a bad handle, QELError_NoKeyDB when the list's
// database has been closed, the failure of a re-sort that still fails.
[[nodiscard]] QELStatus qelKeyListCheck(QELKeyList *list);
QELContext *qelKeyListContext(const QELKeyList *list);
QELStatus qelKeyListReleaseInternal(QELKeyList *list);
