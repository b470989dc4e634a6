// Key sets inside the SDK: the record, its four behaviours and the kinds the
// key code builds on it.
#pragma once

#include "qelKeySet.h"

#include <cstdint>

struct QELKeyList;

inline constexpr std::uint32_t QELKeySetMagic = 0x4B534554; // "KSET"

struct QELKeySetOps {
    bool (*isMember)(QELKeySet *set, QELKeyObject *object);
    bool (*isEmpty)(QELKeySet *set);
    QELStatus (*unite)(QELKeySet *set, QELKeySet *other, QELKeySet **outSet); // may be null
    void (*destroy)(QELKeySet *set, bool forced);
};

struct QELKeySet {
    std::uint32_t magic;
    void *priv;
    std::int32_t refCount;
    QELKeyDB *db;
    QELKeySet *prev;
    QELKeySet *next;
    QELKeyList *lists;
    std::uint8_t flag;
    QELKeySetOps ops;
};

QELStatus qelKeySetNewInternal(QELKeyDB *db, QELKeySet **outSet);
QELKeySet *qelKeyDBNewRootSet(QELKeyDB *db);
QELStatus qelKeySetNewUnion(QELKeySet *a, QELKeySet *b, QELKeySet **outSet);
void qelKeySetReleaseInternal(QELKeySet *set, bool forced);
void qelKeySetAddRefInternal(QELKeySet *set);
bool qelKeySetHas(QELKeyObject *object, QELKeySet *set);
bool qelKeySetIsEmpty(QELKeySet *set);
QELKeyObject *qelKeySetFirstKey(QELKeySet *set);
bool qelKeySetIsValid(const void *set);
// QELError_BadParams for a bad handle, QELError_NoKeyDB when the set's
// database has been closed (the set outlives it until released).
[[nodiscard]] QELStatus qelKeySetCheck(const QELKeySet *set);
QELKeyDB *qelKeySetKeyDB(const QELKeySet *set);
struct QELContext *qelKeySetContext(const QELKeySet *set);
std::uint32_t qelKeySetCountInternal(QELKeySet *set);
// Re-sorts every key list of every set of the database.
void qelKeySetResortLists(QELKeyDB *db);
