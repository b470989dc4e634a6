// Key IDs inside the SDK: building, testing and comparing them without the
// API entry guard.
#pragma once

#include "qelKeyID.h"

#include <cstdint>

struct QELKeyObject;

// The algorithm stored in a key ID made from a key: RSA 2 and 3 read as 1.
inline std::uint8_t qelKeyIDNormaliseAlgorithm(std::uint8_t algorithm)
{
    return (algorithm == 2 || algorithm == 3) ? 1 : algorithm;
}

QELStatus qelKeyIDFromBytes(const std::uint8_t *bytes, std::uint32_t algorithm,
                            std::uint32_t length, QELKeyID *outID);
bool qelKeyIDIsValid(const QELKeyID *id);
const std::uint8_t *qelKeyIDAtBytes(const QELKeyID *id);
std::uint8_t qelKeyIDLength(const QELKeyID *id);
int qelKeyIDCompareInternal(const QELKeyID &a, const QELKeyID &b);
bool qelKeyIDEqual(const QELKeyID &a, const QELKeyID &b);
void qelKeyObjGetKeyID(QELKeyObject *key, std::uint8_t *outAlgorithm, QELKeyID *outID);
void qelKeyObjGetShortKeyID(QELKeyObject *key, std::uint8_t *outAlgorithm, QELKeyID *outID);
void qelSigGetSignerKeyID(QELKeyObject *sig, std::uint8_t *outAlgorithm, QELKeyID *outID);
