// The key-ID index of a key database and the lookups by key ID.
#pragma once

#include "qelKeyObjInternal.h"

#include <cstddef>
#include <cstdint>

// ---- the key-ID index ------------------------------------------------------------------------
// Keys, subkeys, placeholders and X.509 name entries, indexed by their eight
// and their low four ID bytes in two hash tables; keys with equal bytes
// chain in arrival order. Nothing is ever removed; the tables go with the
// database (qelKeyIDIndexFree).
QELStatus qelKeyIDTreeInsert(QELKeyObject *key, QELKeyDB *db);
// Room for that many more keys at once (a reader that knows roughly how
// many are coming); QELError_OutOfMemory leaves the tables as they were.
QELStatus qelKeyIDIndexReserve(QELKeyDB *db, std::size_t keys);
void qelKeyIDIndexFree(QELKeyDB *db);
QELStatus qelKeyDBFindKeyByIDLocal(QELKeyDB *db, const QELKeyID *id, bool includePlaceholders,
                                   bool includeDeleted, QELKeyObject **outKey);
QELStatus qelKeyDBFindKeyByID(QELKeyDB *db, const QELKeyID *id, bool includePlaceholders,
                              bool includeDeleted, QELKeyObject **outKey);
QELKeyObject *qelKeyDBFindKeyByRawID(QELKeyDB *db, std::uint8_t algorithm,
                                     const std::uint8_t idBytes[8]);
QELKeyObject *qelKeyDBFindKeyLinear(QELKeyDB *db, std::uint8_t algorithm,
                                    const std::uint8_t idBytes[8]);

