// Key rings in and out: reading a ring into a database, the packets the key
// code wraps around bodies, and the public form of a key packet.
#pragma once

#include "qelErrors.h"

#include <cstddef>
#include <cstdint>

struct QELFileObject;
struct QELKeyDB;
struct QELKeyObject;

// Reads a key ring into the database; with trusted set, trust packets after
// an object restore its computed state. Framing that breaks after the first
// key, a short body and a body over the packet cap are refused with their
// status: a database is never opened from part of a ring.
QELStatus qelKeyRingRead(QELKeyDB *db, QELFileObject *file, bool trusted);
void qelKeyRingFinishKey(QELKeyObject *key);
QELKeyObject *qelKeyDBAddPacketBody(QELKeyDB *db, QELKeyObject *parent, std::uint8_t first,
                                    const std::uint8_t *body, std::size_t length);
QELKeyObject *qelKeyDBAddSignatureBody(QELKeyDB *db, QELKeyObject *parent,
                                       const std::uint8_t *body, std::size_t length);
QELKeyObject *qelKeyDBAddUserIDBody(QELKeyDB *db, QELKeyObject *parent,
                                    const std::uint8_t *body, std::size_t length);
QELKeyObject *qelKeyDBAddCRLBody(QELKeyDB *db, QELKeyObject *parent, const std::uint8_t *body,
                                 std::size_t length);
QELKeyObject *qelKeyDBAddUserAttribute(QELKeyDB *db, QELKeyObject *parent, std::uint8_t type,
                                       const std::uint8_t *data, std::size_t length);
// A new context block with the key's packet in public form; the caller frees
// it with qelContextMemFree.
std::uint8_t *qelKeyObjPublicPacket(QELKeyObject *key, std::size_t *outLength);
