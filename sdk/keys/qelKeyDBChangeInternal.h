// Key database changes inside the SDK: removing, copying and adding objects,
// the object-ID arrays of the service protocol, and the local side of change
// tracking for databases mirrored from the SDK service.
#pragma once

#include "qelKeyDBChange.h"

#include <cstddef>
#include <cstdint>

// Marks the object and its live descendants deleted. A key's last user ID
// cannot go (QELError_BadParams), nor a user ID's last unrevoked
// self-certification (QELError_LastSelfCertification).
[[nodiscard]] QELStatus qelKeyDBRemoveObject(QELKeyDB *db, QELKeyObject *object);
[[nodiscard]] QELStatus qelKeyDBRemoveObjectLocal(QELKeyDB *db, QELKeyObject *object);
// Copies an object of another database with its ancestors; identical objects
// already there are found (and revived) rather than duplicated.
[[nodiscard]] QELStatus qelKeyDBCopyObject(QELKeyDB *db, QELKeyObject *object, QELKeyObject **outCopy);
[[nodiscard]] QELStatus qelKeyDBCopyObjectLocal(QELKeyDB *db, QELKeyObject *object, QELKeyObject **outCopy);
[[nodiscard]] QELStatus qelKeyDBAddKeySetLocal(QELKeySet *set, QELKeyDB *db, QELKeySet **outSet);

// True when the set holds every live descendant of every key it holds (a
// null set counts as true).
bool qelKeySetWholeKeys(QELKeySet *set);
// The IDs of the set's keys (a local database: sorted by key ID) in a new
// block of the context; a null set gives null and 0.
[[nodiscard]] QELStatus qelKeySetToObjectIDs(QELKeySet *set, std::uint64_t **outArray, std::size_t *outBytes);
[[nodiscard]] QELStatus qelKeySetToObjectIDsAndRelease(QELKeySet *set, std::uint64_t **outArray,
                                                       std::size_t *outBytes);
// An enumerated set of the objects the IDs name (the array stays the
// caller's); IDs that name no live object of the database are passed over.
[[nodiscard]] QELStatus qelKeySetBuildFromObjectIDs(QELKeyDB *db, const std::uint64_t *array, std::size_t bytes,
                                                    QELKeySet **outSet);
// The same, then the array (a block of the database's context) is freed.
[[nodiscard]] QELStatus qelKeySetFromObjectIDs(QELKeyDB *db, std::uint64_t *array, std::size_t bytes,
                                               QELKeySet **outSet);
void qelKeySetMarkNotLoadedAndRelease(QELKeySet *set);
[[nodiscard]] QELStatus qelKeyDBRefetchAll(QELKeyDB *db);

// Change notifications of the SDK service.
void qelKeyDBNoteRemoteChange();
void qelKeyDBApplyRemoteChanges();
// Service side: each client of a database has a record of its pending
// changes, made when the client comes to the database (a second add for the
// same client does nothing) and freed with the database. Taking hands the
// serving client's (the context's current client's) pending sets over and
// starts new ones; noting adds to the sets of every other client. Without
// records both do nothing.
[[nodiscard]] QELStatus qelKeyDBAddClientRecord(QELKeyDB *db, void *client);
void qelKeyDBFreeClientRecords(QELKeyDB *db);
[[nodiscard]] QELStatus qelKeyDBTakeClientChanges(QELKeyDB *db, QELKeySet *changedKeys, QELKeySet *refetch);
[[nodiscard]] QELStatus qelKeyDBNoteChangeForOtherClients(QELKeySet *refetchSet, QELKeyObject *refetchObject,
                                                          QELKeySet *changedSet, QELKeyObject *changedKey);
