// Hash descriptors, hash contexts and hash lists.
#include "qelHashInternal.h"

#include <cstring>
#include <iterator>

#include "qelAlgorithms.h"
#include "qelContextInternal.h"
#include "qelFIPSInternal.h"
#include "qelMD2Internal.h"
#include "qelMD5Internal.h"
#include "qelMemoryInternal.h"
#include "qelRIPEMD160Internal.h"
#include "qelSHA1Internal.h"
#include "qelSHA2Internal.h"
#include "qelWipe.h"

namespace {

constexpr char kGateFile[] = "qelHash";

// SHA-1 keeps typed entry points; the descriptor needs the generic shape.
void sha1Init(void *state) { qelSHA1Init(static_cast<QELSHA1State *>(state)); }
void sha1Update(void *state, const void *data, std::uint64_t length)
{
    // SHA-1 counts each call modulo 2^32: feed it in pieces below that.
    const auto *p = static_cast<const std::uint8_t *>(data);
    constexpr std::uint64_t kPiece = std::uint64_t{1} << 30;
    while (length > kPiece) {
        qelSHA1Update(static_cast<QELSHA1State *>(state), p, kPiece);
        p += kPiece;
        length -= kPiece;
    }
    qelSHA1Update(static_cast<QELSHA1State *>(state), p, length);
}
const std::uint8_t *sha1Final(void *state) { return qelSHA1Final(static_cast<QELSHA1State *>(state)); }

constexpr std::uint8_t kPrefixMD5[] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                       0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
constexpr std::uint8_t kPrefixSHA1[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                        0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
constexpr std::uint8_t kPrefixRIPEMD160[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x24,
                                             0x03, 0x02, 0x01, 0x05, 0x00, 0x04, 0x14};
constexpr std::uint8_t kPrefixMD2[] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                       0x86, 0xf7, 0x0d, 0x02, 0x02, 0x05, 0x00, 0x04, 0x10};
constexpr std::uint8_t kPrefixSHA224[] = {0x30, 0x2d, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                          0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                          0x04, 0x05, 0x00, 0x04, 0x1c};
constexpr std::uint8_t kPrefixSHA256[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                          0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                          0x01, 0x05, 0x00, 0x04, 0x20};
constexpr std::uint8_t kPrefixSHA384[] = {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                          0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                          0x02, 0x05, 0x00, 0x04, 0x30};
constexpr std::uint8_t kPrefixSHA512[] = {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                          0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                          0x03, 0x05, 0x00, 0x04, 0x40};

constexpr QELHashDescriptor kDescriptors[] = {
    {"MD5", QELHashAlgorithm_MD5, kPrefixMD5, sizeof kPrefixMD5, 16, 64, sizeof(QELMD5State), 4,
     qelMD5Init, qelMD5Update, qelMD5Final},
    {"SHA1", QELHashAlgorithm_SHA1, kPrefixSHA1, sizeof kPrefixSHA1, 20, 64,
     sizeof(QELSHA1State), 4, sha1Init, sha1Update, sha1Final},
    {"RIPEMD160", QELHashAlgorithm_RIPEMD160, kPrefixRIPEMD160, sizeof kPrefixRIPEMD160, 20, 64,
     sizeof(QELRIPEMD160State), 4, qelRIPEMD160Init, qelRIPEMD160Update, qelRIPEMD160Final},
    {"MD2", QELHashAlgorithm_MD2, kPrefixMD2, sizeof kPrefixMD2, 16, 16, sizeof(QELMD2State), 4,
     qelMD2Init, qelMD2Update, qelMD2Final},
    {"SHA224", QELHashAlgorithm_SHA224, kPrefixSHA224, sizeof kPrefixSHA224, 28, 64,
     sizeof(QELSHA256State), 4, qelSHA224Init, qelSHA256Update, qelSHA224Final},
    {"SHA256", QELHashAlgorithm_SHA256, kPrefixSHA256, sizeof kPrefixSHA256, 32, 64,
     sizeof(QELSHA256State), 4, qelSHA256Init, qelSHA256Update, qelSHA256Final},
    {"SHA384", QELHashAlgorithm_SHA384, kPrefixSHA384, sizeof kPrefixSHA384, 48, 128,
     sizeof(QELSHA512State), 8, qelSHA384Init, qelSHA512Update, qelSHA512Final},
    {"SHA512", QELHashAlgorithm_SHA512, kPrefixSHA512, sizeof kPrefixSHA512, 64, 128,
     sizeof(QELSHA512State), 8, qelSHA512Init, qelSHA512Update, qelSHA512Final},
};

bool isOurDescriptor(const QELHashDescriptor *d)
{
    for (const auto &row : kDescriptors)
        if (d == &row)
            return true;
    return false;
}

constexpr std::size_t kListHeader = 16;
static_assert(sizeof(QELHashContext) == 32);
static_assert(sizeof(QELHashList) <= kListHeader);

QELHashContext *listContexts(QELHashList *list)
{
    return reinterpret_cast<QELHashContext *>(reinterpret_cast<std::uint8_t *>(list) +
                                              kListHeader);
}

// Every call on an existing context: the API gate, then a context of ours.
QELStatus enter(const QELHashContext *hash)
{
    QELStatus gate = qelAPIGate(kGateFile, __LINE__);
    if (gate != 0)
        return gate;
    return qelHashIsValid(hash) ? 0 : QELError_BadParams;
}

} // namespace

// ---- Descriptors ----------------------------------------------------------

const QELHashDescriptor *qelHashDescriptorTable(std::size_t *outCount)
{
    if (outCount != nullptr)
        *outCount = std::size(kDescriptors);
    return kDescriptors;
}

const QELHashDescriptor *qelHashDescriptorFind(std::int32_t algorithm)
{
    for (const auto &row : kDescriptors)
        if (row.algorithm == algorithm)
            return &row;
    return nullptr;
}

const QELHashDescriptor *qelHashDescriptorFindByName(const char *name, std::size_t length)
{
    if (name == nullptr)
        return nullptr;
    for (const auto &row : kDescriptors)
        if (std::strlen(row.name) == length && std::memcmp(row.name, name, length) == 0)
            return &row;
    return nullptr;
}

// ---- Contexts --------------------------------------------------------------

bool qelHashIsValid(const QELHashContext *hash)
{
    // The cipher object carries the same magic: the descriptor must be one of
    // ours before anything is called through it.
    return hash != nullptr && hash->magic == QELHashContextMagic &&
           isOurDescriptor(hash->descriptor) && hash->state != nullptr;
}

QELStatus qelHashInit(QELHashContext *hash, QELMemoryMgr *mgr, std::int32_t algorithm)
{
    const QELHashDescriptor *d = qelHashDescriptorFind(algorithm);
    if (hash == nullptr || d == nullptr)
        return QELError_BadParams;
    hash->magic = QELHashContextMagic;
    hash->memoryMgr = mgr;
    hash->descriptor = d;
    hash->state = qelMemAlloc(mgr, d->stateSize, 0);
    if (hash->state == nullptr)
        return QELError_OutOfMemory;
    d->init(hash->state);
    return 0;
}

QELStatus qelHashCreate(QELMemoryMgr *mgr, std::int32_t algorithm, QELHashContext **outHash)
{
    if (outHash == nullptr)
        return QELError_BadParams;
    *outHash = nullptr;
    if (qelHashDescriptorFind(algorithm) == nullptr)
        return QELError_BadParams;
    auto *hash = static_cast<QELHashContext *>(
        qelMemAlloc(mgr, sizeof(QELHashContext), QELMemFlag_Clear));
    if (hash == nullptr)
        return QELError_OutOfMemory;
    QELStatus status = qelHashInit(hash, mgr, algorithm);
    if (status != 0) {
        std::memset(hash, 0, sizeof *hash);
        static_cast<void>(qelMemFree(hash));
        return status;
    }
    *outHash = hash;
    return 0;
}

QELHashContext *qelHashCreateForDescriptor(QELMemoryMgr *mgr, const QELHashDescriptor *descriptor)
{
    if (descriptor == nullptr)
        return nullptr;
    QELHashContext *hash = nullptr;
    // A failure leaves hash null, which is the answer.
    static_cast<void>(qelHashCreate(mgr, descriptor->algorithm, &hash));
    return hash;
}

QELStatus qelHashNew(QELContext *context, std::int32_t algorithm, QELHashContext **outHash)
{
    if (outHash != nullptr)
        *outHash = nullptr;
    QELStatus gate = qelAPIGate(kGateFile, __LINE__);
    if (gate != 0)
        return gate;
    if (outHash == nullptr || qelHashDescriptorFind(algorithm) == nullptr)
        return QELError_BadParams;
    QELMemoryMgr *mgr = context != nullptr ? qelContextGetMemoryMgr(context) : nullptr;
    if (mgr == nullptr || qelMemMgrIsValid(mgr) != 0)
        return QELError_BadParams;
    return qelHashCreate(mgr, algorithm, outHash);
}

QELStatus qelHashUpdate(QELHashContext *hash, const void *data, std::uint64_t length)
{
    if (QELStatus status = enter(hash); status != 0)
        return status;
    if (data == nullptr)
        return QELError_BadParams;
    if (length != 0)
        hash->descriptor->update(hash->state, data, length);
    return 0;
}

QELStatus qelHashGetSize(const QELHashContext *hash, std::uint64_t *outSize)
{
    if (outSize != nullptr)
        *outSize = 0;
    if (QELStatus status = enter(hash); status != 0)
        return status;
    if (outSize == nullptr)
        return QELError_BadParams;
    *outSize = hash->descriptor->digestSize;
    return 0;
}

QELStatus qelHashFinal(QELHashContext *hash, void *out)
{
    std::uint64_t size = 0;
    QELStatus status = qelHashGetSize(hash, &size);
    if (status != 0)
        return status;
    if (out == nullptr)
        return QELError_BadParams;
    const std::uint8_t *digest = hash->descriptor->final(hash->state);
    std::memcpy(out, digest, size);
    return 0;
}

QELStatus qelHashReset(QELHashContext *hash)
{
    if (QELStatus status = enter(hash); status != 0)
        return status;
    hash->descriptor->init(hash->state);
    return 0;
}

QELStatus qelHashCopy(const QELHashContext *hash, QELHashContext **outCopy)
{
    if (outCopy != nullptr)
        *outCopy = nullptr;
    if (QELStatus status = enter(hash); status != 0)
        return status;
    if (outCopy == nullptr)
        return QELError_BadParams;
    QELHashContext *copy = nullptr;
    QELStatus status = qelHashCreate(hash->memoryMgr, hash->descriptor->algorithm, &copy);
    if (status != 0)
        return status;
    qelHashCopyState(hash, copy);
    *outCopy = copy;
    return 0;
}

QELHashContext *qelHashDuplicate(const QELHashContext *hash)
{
    QELHashContext *copy = nullptr;
    // A failure leaves copy null, which is the answer.
    static_cast<void>(qelHashCopy(hash, &copy));
    return copy;
}

void qelHashWipeState(QELHashContext *hash)
{
    if (!qelHashIsValid(hash))
        return;
    qelSecureWipe(hash->state, hash->descriptor->stateSize);
    static_cast<void>(qelMemFree(hash->state));
    hash->state = nullptr;
}

QELStatus qelHashFree(QELHashContext *hash)
{
    if (QELStatus status = enter(hash); status != 0)
        return status;
    qelHashWipeState(hash);
    std::memset(hash, 0, sizeof *hash);
    static_cast<void>(qelMemFree(hash));
    return 0;
}

const QELHashDescriptor *qelHashGetDescriptor(const QELHashContext *hash)
{
    return qelHashIsValid(hash) ? hash->descriptor : nullptr;
}

QELStatus qelHashGetBlockSize(const QELHashContext *hash, std::uint64_t *outSize)
{
    if (outSize != nullptr)
        *outSize = 0;
    if (!qelHashIsValid(hash) || outSize == nullptr)
        return QELError_BadParams;
    *outSize = hash->descriptor->blockSize;
    return 0;
}

const std::uint8_t *qelHashFinalPointer(QELHashContext *hash)
{
    return hash->descriptor->final(hash->state);
}

void qelHashCopyState(const QELHashContext *source, QELHashContext *target)
{
    if (!qelHashIsValid(source) || !qelHashIsValid(target) ||
        source->descriptor->stateSize != target->descriptor->stateSize)
        return;
    std::memcpy(target->state, source->state, source->descriptor->stateSize);
}

// ---- Lists -----------------------------------------------------------------

QELStatus qelHashListCreate(QELMemoryMgr *mgr, const std::uint8_t *algorithms,
                            QELHashList **outList, std::int32_t count)
{
    if (outList != nullptr)
        *outList = nullptr;
    if (outList == nullptr || algorithms == nullptr || count <= 0)
        return QELError_BadParams;
    std::size_t bytes = kListHeader + sizeof(QELHashContext) * static_cast<std::size_t>(count);
    auto *list = static_cast<QELHashList *>(qelMemAlloc(mgr, bytes, QELMemFlag_Clear));
    if (list == nullptr)
        return QELError_OutOfMemory;
    list->count = 0;
    list->memoryMgr = mgr;
    QELHashContext *contexts = listContexts(list);
    std::int32_t made = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        if (qelHashDescriptorFind(algorithms[i]) == nullptr)
            continue;
        if (qelHashInit(&contexts[made], mgr, algorithms[i]) != 0) {
            for (std::int32_t j = made - 1; j >= 0; --j)
                qelHashWipeState(&contexts[j]);
            static_cast<void>(qelMemFree(list));
            return QELError_OutOfMemory;
        }
        ++made;
    }
    list->count = made;
    *outList = list;
    return 0;
}

std::int32_t qelHashListCount(const QELHashList *list)
{
    return list != nullptr ? list->count : 0;
}

QELHashContext *qelHashListGet(QELHashList *list, std::int32_t index)
{
    if (list == nullptr || index < 0 || index >= list->count)
        return nullptr;
    return &listContexts(list)[index];
}

QELHashContext *qelHashListFind(QELHashList *list, const QELHashDescriptor *descriptor)
{
    if (list == nullptr || descriptor == nullptr)
        return nullptr;
    for (std::int32_t i = 0; i < list->count; ++i) {
        QELHashContext *c = &listContexts(list)[i];
        if (c->descriptor == descriptor)
            return c;
    }
    return nullptr;
}

void qelHashListFree(QELHashList *list)
{
    if (list == nullptr)
        return;
    QELHashContext *contexts = listContexts(list);
    for (std::int32_t i = list->count - 1; i >= 0; --i)
        qelHashWipeState(&contexts[i]);
    static_cast<void>(qelMemFree(list));
}
