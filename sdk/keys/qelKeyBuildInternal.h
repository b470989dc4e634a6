// Key objects from packets: the builders, merging and the key-tree rebuild.
#pragma once

#include "qelKeyObjInternal.h"

#include <cstddef>
#include <cstdint>

// ---- nodes from packets ----------------------------------------------------------------------
QELKeyObject *qelKeyObjAlloc(QELKeyDB *db, std::size_t infoSize);
void qelKeyObjLinkChild(QELKeyObject *node, QELKeyObject *parent);
bool qelKeyObjSamePacket(QELKeyObject *node, const std::uint8_t *packet, std::size_t length);
QELKeyObject *qelKeyObjFindChildPacket(QELKeyObject *parent, const std::uint8_t *packet,
                                       std::size_t length);
// The node for a packet (header included) under parent (null for a key);
// the status is written only when memory runs out.
QELKeyObject *qelKeyDBAddPacket(const std::uint8_t *packet, std::size_t length, QELKeyDB *db,
                                QELKeyObject *parent, bool versionMarking, QELStatus *outStatus);
// The builders by kind (tags 2; 5, 6, 7, 14; 13, 17; 60; any other), each
// with the same contract as qelKeyDBAddPacket.
QELKeyObject *qelKeyDBAddSignaturePacket(int tag, const std::uint8_t *packet, std::size_t length, QELKeyDB *db,
                                         QELKeyObject *parent, QELStatus *outStatus);
QELKeyObject *qelKeyDBAddKeyPacket(int tag, const std::uint8_t *packet, std::size_t length, QELKeyDB *db,
                                   QELKeyObject *parent, bool versionMarking, QELStatus *outStatus);
QELKeyObject *qelKeyDBAddUserIDPacket(int tag, const std::uint8_t *packet, std::size_t length, QELKeyDB *db,
                                      QELKeyObject *parent, QELStatus *outStatus);
QELKeyObject *qelKeyDBAddCRLPacket(int tag, const std::uint8_t *packet, std::size_t length, QELKeyDB *db,
                                   QELKeyObject *parent, QELStatus *outStatus);
QELKeyObject *qelKeyDBAddOtherPacket(int tag, const std::uint8_t *packet, std::size_t length, QELKeyDB *db,
                                     QELKeyObject *parent, QELStatus *outStatus);
bool qelKeyPacketSamePublic(const std::uint8_t *publicPacket, std::size_t publicLength,
                            const std::uint8_t *secretPacket, std::size_t secretLength,
                            bool *outVersion2);
QELStatus qelKeySigX509IDs(QELKeyDB *db, const std::uint8_t *packet, std::size_t length,
                           bool *outHasDistPoint, std::uint8_t outIssuer[8],
                           std::uint8_t outSubject[8]);
void qelKeyObjMergeState(QELKeyObject *source, QELKeyObject *target);
// Rebuilds nodes from the service's flattened key tree; the array holds
// `words` 64-bit words (its byte length / 8) and is never read past them.
QELStatus qelKeyDBMergeKeyTree(QELKeyDB *db, QELKeyObject *parent, const std::uint64_t *array,
                               std::size_t words, std::uint32_t count, bool allNew,
                               bool refresh);
// Appends a key to the database's top-level list / unlinks it again.
void qelKeyDBAppendKey(QELKeyDB *db, QELKeyObject *key);
void qelKeyDBUnlinkKey(QELKeyDB *db, QELKeyObject *key);

