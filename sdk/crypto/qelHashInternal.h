// Hash internals: descriptors (one static table row per algorithm), the hash
// context record and hash lists (several running hashes fed with the same
// data).
#pragma once

#include <cstddef>
#include <cstdint>

#include "qelHash.h"

struct QELHashDescriptor {
    const char *name;
    std::int32_t algorithm;
    const std::uint8_t *digestInfoPrefix;   // DER DigestInfo header (PKCS #1)
    std::uint64_t prefixLength;
    std::uint64_t digestSize;
    std::uint64_t blockSize;
    std::uint64_t stateSize;                // bytes of the algorithm's state record
    std::uint64_t wordSize;                 // 4 or 8
    void (*init)(void *state);
    void (*update)(void *state, const void *data, std::uint64_t length);
    const std::uint8_t *(*final)(void *state);   // the digest, inside the state
};

// Shared with the symmetric-cipher object; the descriptor tells them apart.
constexpr std::uint32_t QELHashContextMagic = 0xABBADABA;

struct QELHashContext {
    std::uint32_t magic;
    const QELHashDescriptor *descriptor;
    QELMemoryMgr *memoryMgr;
    void *state;                            // null once wiped
};

// A guarded block of 16 + 32 x count bytes: this header, then count
// QELHashContext records inline (reach them with qelHashListGet).
struct QELHashList {
    std::int32_t count;
    QELMemoryMgr *memoryMgr;
};

// Descriptors in lookup order; count through the out-parameter (may be null).
const QELHashDescriptor *qelHashDescriptorTable(std::size_t *outCount);
const QELHashDescriptor *qelHashDescriptorFind(std::int32_t algorithm);
const QELHashDescriptor *qelHashDescriptorFindByName(const char *name, std::size_t length);
[[nodiscard]] QELStatus qelHashCreate(QELMemoryMgr *mgr, std::int32_t algorithm, QELHashContext **outHash);
QELHashContext *qelHashCreateForDescriptor(QELMemoryMgr *mgr, const QELHashDescriptor *descriptor);
[[nodiscard]] QELStatus qelHashInit(QELHashContext *hash, QELMemoryMgr *mgr, std::int32_t algorithm);
QELHashContext *qelHashDuplicate(const QELHashContext *hash);
const QELHashDescriptor *qelHashGetDescriptor(const QELHashContext *hash);
[[nodiscard]] QELStatus qelHashGetBlockSize(const QELHashContext *hash, std::uint64_t *outSize);
// Finishes and returns the digest inside the state; no checks.
const std::uint8_t *qelHashFinalPointer(QELHashContext *hash);
void qelHashCopyState(const QELHashContext *source, QELHashContext *target);
void qelHashWipeState(QELHashContext *hash);
// True for a live hash context (magic, known descriptor, state present).
bool qelHashIsValid(const QELHashContext *hash);

[[nodiscard]] QELStatus qelHashListCreate(QELMemoryMgr *mgr, const std::uint8_t *algorithms,
                            QELHashList **outList, std::int32_t count);
std::int32_t qelHashListCount(const QELHashList *list);
QELHashContext *qelHashListGet(QELHashList *list, std::int32_t index);
QELHashContext *qelHashListFind(QELHashList *list, const QELHashDescriptor *descriptor);
void qelHashListFree(QELHashList *list);
