// Values from self-signatures, primary user IDs, revokers and CRLs.
#pragma once

#include "qelKeyObjInternal.h"

#include <cstddef>
#include <cstdint>

// ---- values from self-signatures -------------------------------------------------------------
// A live certification (type 0x10..0x1F) made by the key.
bool qelSigIsSelfCertBy(QELKeyObject *sig, QELKeyObject *key);
// The newest live, valid, unrevoked certification of a user ID or subkey
// made by the key; the first met wins ties.
QELKeyObject *qelUserIDNewestSelfCert(QELKeyObject *object, QELKeyObject *key);
// Searches one signature's hashed area, advancing the running count.
const std::uint8_t *qelSigNthSubpacket(QELKeyObject *sig, std::uint32_t type, std::uint32_t index,
                                       std::uint32_t *outLength, std::uint8_t *outCritical,
                                       std::uint8_t *outFound, std::uint32_t *outCreation,
                                       std::uint32_t *runningCount, QELKeyObject **outHolder,
                                       QELStatus *outStatus);
// The index-th subpacket of a type among the self-signatures of a key,
// subkey or user ID, non-revocable signatures first; with outCount the
// search runs to the end and counts them all.
const std::uint8_t *qelKeyObjFindSelfSigSubpacket(QELKeyObject *object, std::uint32_t type,
                                                  std::uint32_t index, std::uint32_t *outLength,
                                                  std::uint8_t *outCritical, std::uint8_t *outFound,
                                                  std::uint32_t *outCreation,
                                                  std::uint32_t *outCount, QELStatus *outStatus);

struct QELRegex;
// The compiled regular expression of a signature (hashed subpacket 6),
// compiled on first use and kept in the signature info; null when the
// signature has none or it does not compile.
QELRegex *qelSigRegex(QELKeyObject *sig);
// Frees the expressions qelSigRegex kept; run when the database goes.
void qelKeyDBFreeSigRegexes(QELKeyDB *db);

// ---- primary user IDs ----------------------------------------------------------------------------
// Selector: 0 plain user IDs; n attributes whose first subpacket has type n;
// -1 every user ID (clearing marks only).
QELKeyObject *qelKeyObjPrimaryUserID(QELKeyObject *key, int selector);
void qelKeyObjClearPrimaryMarks(QELKeyObject *key, int selector);
void qelUserIDSetPrimaryMark(QELKeyObject *userID);
void qelKeyMoveUserIDFirst(QELKeyObject *userID, QELKeyObject *key);

// ---- designated revokers -----------------------------------------------------------------------
// The index-th revocation-key entry (subpacket 12) of the key's
// self-signatures: the revoker when the database holds it under the entry's
// fingerprint, else null; the outs describe the entry. QELError_ItemNotFound
// in the status when there is no such entry.
QELKeyObject *qelKeyObjNthRevoker(QELKeyObject *key, std::uint32_t index, std::uint8_t *outAlgorithm,
                                  QELKeyID *outID, std::uint8_t *outClass, std::uint32_t *outCount,
                                  QELStatus *outStatus);
// The same over subpacket 10.
QELKeyObject *qelKeyObjNthSubpacket10Key(QELKeyObject *key, std::uint32_t index,
                                         std::uint8_t *outAlgorithm, QELKeyID *outID,
                                         std::uint8_t *outClass, std::uint32_t *outCount,
                                         QELStatus *outStatus);
bool qelKeyIsDesignatedRevoker(QELKeyObject *key, QELKeyObject *candidate);
bool qelSigIsEffectiveRevocation(QELKeyObject *sig);
bool qelKeyObjRevokedByRevoker(QELKeyObject *object, QELKeyObject **outRevoker,
                               std::uint8_t *outAlgorithm, QELKeyID *outID, QELStatus *outStatus);

// ---- revocation lists under a key ----------------------------------------------------------------
const std::uint8_t *qelCRLDistPoint(QELKeyObject *crl, std::size_t *outLength);
// Valid, not past its next update at `time` (when not 0), and not superseded
// by a newer valid sibling of the same distribution point.
bool qelCRLIsCurrent(QELKeyObject *crl, std::uint32_t time);
QELKeyObject *qelKeyObjNthCurrentCRL(QELKeyObject *key, std::uint32_t index, std::uint32_t *outCount);
QELKeyObject *qelKeyObjEarliestCRL(QELKeyObject *key, bool byNextUpdate);
struct QELMemoryMgr;
// The distinct CRL distribution points that belong to the key as an issuer:
// its current valid lists' points, then those named by certificates it
// signed. One block of concatenated DER items and an array of their lengths,
// both from the manager (freed with qelMemFree); on failure nothing is kept.
[[nodiscard]] QELStatus qelKeyCollectCRLDistributionPoints(QELMemoryMgr *mgr, QELKeyObject *key,
                                                           std::uint32_t *outCount, std::uint8_t **outData,
                                                           std::uint64_t **outLengths);
