// Key databases inside the SDK: the record, the openers, commit and the
// housekeeping entry points.
#pragma once

#include "qelAVLTreeInternal.h"
#include "qelKeyDB.h"
#include "qelKeyRingFilesInternal.h"
#include "qelMemPoolInternal.h"

#include <cstdint>
#include <cstdio>

struct QELFileObject;
struct QELFileSpec;
struct QELKeyObject;
// An open-addressing table of key IDs (qelKeyObj.cpp), one block each.
struct QELKeyIDIndex;

inline constexpr std::uint32_t QELKeyDBMagic = 0x4B594442; // "KYDB"

struct QELKeyDB {
    std::uint32_t magic;
    QELKeyDB *next;                  // context's list of open databases
    QELFileObject *publicFile;
    QELFileObject *secretFile;
    QELFileSpec *publicSpec;
    QELFileSpec *secretSpec;
    std::FILE *publicStream;
    std::FILE *secretStream;
    std::uint8_t writable;
    std::uint8_t changed;
    std::uint8_t keepAlive;
    std::uint32_t keepAliveDeadline;
    std::uint32_t openFlags;
    std::int32_t refCount;
    QELContext *context;
    QELKeySet *rootSet;
    QELKeySet *sets;
    QELMemPool objectPool;
    QELMemPool pool2;
    QELKeyObject *copyCache[4];
    QELKeyObject *firstKey;
    QELKeyObject *lastKey;
    QELKeyIDIndex *idIndex;          // eight ID bytes -> first key with them
    QELKeyIDIndex *shortIDIndex;     // low four ID bytes -> first key with them
    QELMemPool trustPool;
    void *trustFree[2];
    QELMemPool pool4;
    QELStatus lastError;
    std::uint64_t serviceRef;
    QELAVLTree *objectIDMap;
    void *changeRecords;
    // What each ring was when this database last read or wrote it.
    QELRingIdentity publicRing;
    QELRingIdentity secretRing;
    // Key sets (but the root set), lists, iterators and operation contexts
    // made on the database: each holds the record, which outlives the close
    // of the database until the last of them goes.
    std::int32_t holds;
    // Closed: the keys are gone, the record stays for the holders, which
    // answer QELError_NoKeyDB.
    std::uint8_t closed;
    // The last release's commit failed and the database was kept open.
    std::uint8_t releaseFailed;
};

// Internal operations.
QELStatus qelKeyDBInit(QELContext *context, QELKeyDB *db);
QELStatus qelKeyDBNewInMemoryLocal(QELContext *context, QELKeyDB **outDB);
QELKeyDB *qelKeyDBReadBuffer(QELContext *context, const void *bytes, std::size_t length,
                             QELStatus *outStatus);
QELKeyDB *qelKeyDBOpenRingFiles(QELContext *context, const QELFileSpec *publicSpec,
                                const QELFileSpec *secretSpec, std::uint32_t flags,
                                QELStatus *outStatus);
QELStatus qelKeyDBSetKeepAliveLocal(QELKeyDB *db, std::uint32_t seconds);
QELStatus qelKeyDBReleaseLocal(QELKeyDB *db);
// A release by the SDK itself, which has nobody to report to: a database
// whose commit fails is left unreferenced with its edits, for the
// housekeeping pass to commit and close.
void qelKeyDBReleaseQuietly(QELKeyDB *db);
QELStatus qelKeyDBFlush(QELKeyDB *db);
QELStatus qelKeyDBCommitLocal(QELKeyDB *db, QELKeySet *changed);
QELStatus qelKeyDBCloseUnreferencedLocal(QELContext *context);
void qelKeyDBCloseExpired(QELContext *context);
// A key list whose re-sort fails keeps the failure and answers it until a
// later re-sort succeeds.
void qelKeyDBMarkChanged(QELKeyDB *db, bool refreshLists);
// A reference taken inside the SDK (an option holding the database).
void qelKeyDBAddRefInternal(QELKeyDB *db);
// Holds on the record (see QELKeyDB::holds).
void qelKeyDBHold(QELKeyDB *db);
void qelKeyDBUnhold(QELKeyDB *db);
// True while the database is open: its keys may be used.
bool qelKeyDBIsOpen(const QELKeyDB *db);
// The context is going: its databases leave the ring registry and let their
// rings go.
void qelKeyDBContextGone(QELContext *context);

QELKeyDB *qelKeyDBNext(QELKeyDB *db);
bool qelKeyDBIsValid(const void *db);
QELKeySet *qelKeyDBRootSet(QELKeyDB *db);
bool qelKeyDBIsRemote(const QELKeyDB *db);
bool qelKeyDBIsChanged(const QELKeyDB *db);
bool qelKeyDBHasPublicRing(const QELKeyDB *db);
QELStatus qelKeyDBGetLastError(const QELKeyDB *db);
void qelKeyDBSetLastError(QELKeyDB *db, QELStatus status);
QELContext *qelKeyDBContext(const QELKeyDB *db);
