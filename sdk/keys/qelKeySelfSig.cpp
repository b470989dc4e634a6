// What a key says about itself in its self-signatures: subpacket values in
// search order, regular expressions, the primary user ID, designated
// revokers and revocations, and the CRLs a key holds as an issuer.
#include "qelKeyObjInternal.h"

#include "qelContextInternal.h"
#include "qelHashInternal.h"
#include "qelHelpers.h"
#include "qelKeyDBInternal.h"
#include "qelKeyIDInternal.h"
#include "qelKeyIOInternal.h"
#include "qelKeyPacketInternal.h"
#include "qelKeySetInternal.h"
#include "qelKeySigInternal.h"
#include "qelMemPoolInternal.h"
#include "qelMemory.h"
#include "qelPassCachInternal.h"
#include "qelPkAlgInternal.h"
#include "qelRegexInternal.h"
#include "qelSHA1Internal.h"
#include "qelSeams.h"
#include "qelSymmetricCipherInternal.h"
#include "qelTimeDate.h"
#include "qelTimeDateInternal.h"
#include "qelTokenInternal.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <span>
#include <type_traits>
#include <vector>

namespace {

using u8 = std::uint8_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;

} // namespace

// ---- values from self-signatures --------------------------------------------------------------

namespace {


// One search over self-signatures: the running count, the first find, and
// whether to stop at it.
struct SelfSigSearch {
    u32 type;
    u32 index;
    bool counting;
    u32 count = 0;
    const u8 *found = nullptr;
    u32 *outLength = nullptr;
    u8 *outCritical = nullptr;
    u8 *outFound = nullptr;
    u32 *outCreation = nullptr;
    QELStatus *outStatus = nullptr;

    bool done() const { return found != nullptr && !counting; }
    void search(QELKeyObject *sig)
    {
        if (sig == nullptr || done())
            return;
        QELKeyObject *holder = nullptr;
        bool before = found != nullptr;
        const u8 *d = qelSigNthSubpacket(sig, type, index, before ? nullptr : outLength,
                                         before ? nullptr : outCritical, before ? nullptr : outFound,
                                         before ? nullptr : outCreation, &count, &holder,
                                         before ? nullptr : outStatus);
        if (!before && d != nullptr)
            found = d;
    }
};

} // namespace

bool qelSigIsSelfCertBy(QELKeyObject *sig, QELKeyObject *key)
{
    return key != nullptr && qelKeyObjIsLiveSignature(sig) && (qelSigType(sig) & 0xF0) == 0x10 &&
           qelSigSigner(sig) == key;
}

QELKeyObject *qelUserIDNewestSelfCert(QELKeyObject *object, QELKeyObject *key)
{
    QELKeyObject *best = nullptr;
    for (QELKeyObject *c = object ? object->firstChild : nullptr; c != nullptr; c = c->next) {
        if (!qelSigIsSelfCertBy(c, key) || !qelSigIsValid(c) || qelSigIsRevoked(c))
            continue;
        if (best == nullptr || qelSigCreation(c) > qelSigCreation(best))
            best = c;
    }
    return best;
}

const u8 *qelSigNthSubpacket(QELKeyObject *sig, u32 type, u32 index, u32 *outLength, u8 *outCritical,
                             u8 *outFound, u32 *outCreation, u32 *runningCount,
                             QELKeyObject **outHolder, QELStatus *outStatus)
{
    std::size_t length = 0;
    const u8 *packet = qelKeyObjRawPacket(sig, &length);
    if (packet == nullptr) {
        if (outStatus) {
            QELKeyDB *db = qelKeyObjKeyDB(sig);
            *outStatus = db ? qelKeyDBGetLastError(db) : QELError_BadParams;
        }
        return nullptr;
    }
    u32 here = 0;
    static_cast<void>(qelSigSubpacketFind(packet, length, type, 0, nullptr, nullptr, nullptr, nullptr,
                                          &here)); // counting only
    const u8 *result = nullptr;
    u32 c = *runningCount;
    if (c <= index && index - c < here) {
        u32 creation = 0;
        result = qelSigSubpacketFind(packet, length, type, index - c, outLength, outCritical, outFound,
                                     &creation, nullptr);
        if (outCreation) *outCreation = creation;
        if (outHolder) *outHolder = sig;
    }
    *runningCount = c + here;
    return result;
}

const u8 *qelKeyObjFindSelfSigSubpacket(QELKeyObject *object, u32 type, u32 index, u32 *outLength,
                                        u8 *outCritical, u8 *outFound, u32 *outCreation,
                                        u32 *outCount, QELStatus *outStatus)
{
    if (outLength) *outLength = 0;
    if (outCritical) *outCritical = 0;
    if (outFound) *outFound = 0;
    if (outCreation) *outCreation = 0;
    if (outCount) *outCount = 0;
    if (outStatus) *outStatus = QELError_NoErr;
    if (!qelKeyObjIsValid(object))
        return nullptr;
    QELKeyObject *key = qelKeyObjTopKey(object);
    if (key == nullptr)
        return nullptr;
    SelfSigSearch s{type, index, outCount != nullptr};
    s.outLength = outLength;
    s.outCritical = outCritical;
    s.outFound = outFound;
    s.outCreation = outCreation;
    s.outStatus = outStatus;
    auto fixed = [&](QELKeyObject *sig) {
        if (qelSigIsSelfCertBy(sig, key) && qelSigIsValid(sig) && !qelSigIsRevocable(sig))
            s.search(sig);
    };
    auto newest = [&](QELKeyObject *o) {
        QELKeyObject *sig = qelUserIDNewestSelfCert(o, key);
        if (sig != nullptr && qelSigIsRevocable(sig))
            s.search(sig);
    };
    // Non-revocable self-signatures first, in child order.
    for (QELKeyObject *c = object->firstChild; c != nullptr && !s.done(); c = c->next) {
        if (!qelKeyObjIsLive(c))
            continue;
        if (qelKeyObjType(c) == QELObjectType_Signature) {
            fixed(c);
            continue;
        }
        for (QELKeyObject *g = c->firstChild; g != nullptr && !s.done(); g = g->next)
            if (qelKeyObjIsLiveSignature(g))
                fixed(g);
    }
    // Then the newest revocable ones: the subkey's or the primary user ID's,
    // every other user ID's, and the key's direct one.
    QELKeyObject *first = qelKeyObjType(object) == QELObjectType_SubKey
                              ? object
                              : qelKeyObjPrimaryUserID(key, 0);
    newest(first);
    for (QELKeyObject *u = key->firstChild; u != nullptr && !s.done(); u = u->next)
        if (u != first && qelKeyObjIsLive(u) && qelKeyObjType(u) == QELObjectType_UserID)
            newest(u);
    if (!s.done())
        newest(key);
    if (outCount)
        *outCount = s.count;
    return s.found;
}

QELRegex *qelSigRegex(QELKeyObject *sig)
{
    if (!qelKeyObjIsSignature(sig))
        return nullptr;
    QELSigInfo *si = qelKeyObjSigInfo(sig);
    if (si->regex != nullptr)
        return static_cast<QELRegex *>(si->regex);
    if (!qelSigHasRegExp(sig))
        return nullptr;
    std::size_t length = 0;
    const u8 *packet = qelKeyObjRawPacket(sig, &length);
    u32 dataLength = 0;
    const u8 *data = packet != nullptr
                         ? qelSigSubpacketFind(packet, length, 6, 0, &dataLength, nullptr, nullptr, nullptr, nullptr)
                         : nullptr;
    if (data == nullptr)
        return nullptr;
    // The expression is stored with its terminating zero. A zero inside it
    // would cut the expression short and widen or narrow the restriction at
    // random: such an expression counts as one that does not compile.
    if (dataLength != 0 && data[dataLength - 1] == 0)
        --dataLength;
    if (std::memchr(data, 0, dataLength) != nullptr)
        return nullptr;
    QELContext *context = qelKeyObjContext(sig);
    auto *text = static_cast<char *>(qelContextMemAlloc(context, dataLength + std::size_t{1}, 0));
    if (text == nullptr)
        return nullptr;
    std::memcpy(text, data, dataLength);
    text[dataLength] = 0;
    QELRegex *regex = nullptr;
    QELStatus s = qelRegexCompile(context, text, &regex);
    static_cast<void>(qelContextMemFree(context, text)); // our own copy
    if (s != QELError_NoErr)
        return nullptr;
    si->regex = regex;
    return regex;
}

void qelKeyDBFreeSigRegexes(QELKeyDB *db)
{
    // Deleted objects keep their info blocks, so every signature is visited.
    auto release = [db](QELKeyObject *o) {
        if (qelKeyObjType(o) != QELObjectType_Signature || (o->flags & QELKeyObjFlag_NotLoaded))
            return;
        auto *si = static_cast<QELSigInfo *>(o->info);
        if (si->regex != nullptr)
            static_cast<void>(qelContextMemFree(db->context, si->regex)); // cached by qelSigRegex
        si->regex = nullptr;
    };
    for (QELKeyObject *k = db->firstKey; k; k = k->next)
        for (QELKeyObject *c = k->firstChild; c; c = c->next) {
            release(c);
            for (QELKeyObject *g = c->firstChild; g; g = g->next)
                release(g);
        }
}

// ---- primary user IDs ------------------------------------------------------------------------------

namespace {

int selectorOf(QELKeyObject *userID)
{
    if (!qelUserIDIsAttribute(userID))
        return 0;
    u8 type = 0;
    return qelUserIDAttribute(userID, 0, &type, nullptr, nullptr) != nullptr ? type : 0x100;
}

bool isUserIDOfKind(QELKeyObject *o, int selector)
{
    return qelKeyObjIsLive(o) && qelKeyObjType(o) == QELObjectType_UserID &&
           (selector == -1 || selectorOf(o) == selector);
}

} // namespace

QELKeyObject *qelKeyObjPrimaryUserID(QELKeyObject *key, int selector)
{
    if (!qelKeyObjIsKey(key))
        return nullptr;
    QELKeyObject *first = nullptr, *flagged = nullptr, *flaggedCert = nullptr;
    for (QELKeyObject *u = key->firstChild; u != nullptr; u = u->next) {
        if (!isUserIDOfKind(u, selector))
            continue;
        if (qelUserIDIsPrimaryMarked(u))
            return u;
        if (first == nullptr)
            first = u;
        QELKeyObject *cert = qelUserIDNewestSelfCert(u, key);
        if (cert == nullptr || !qelSigMarksPrimary(cert))
            continue;
        if (flagged == nullptr ||
            (qelSigCreation(cert) > qelSigCreation(flaggedCert) && qelSigIsRevocable(flaggedCert))) {
            flagged = u;
            flaggedCert = cert;
        }
    }
    return flagged ? flagged : first;
}

void qelKeyObjClearPrimaryMarks(QELKeyObject *key, int selector)
{
    if (!qelKeyObjIsKey(key))
        return;
    for (QELKeyObject *u = key->firstChild; u != nullptr; u = u->next)
        if (isUserIDOfKind(u, selector))
            qelKeyObjUserIDInfo(u)->nameTrust &= u8(~QELNameTrust_Primary);
}

void qelUserIDSetPrimaryMark(QELKeyObject *userID)
{
    if (!qelKeyObjIsUserID(userID))
        return;
    qelKeyObjClearPrimaryMarks(qelKeyObjTopKey(userID), selectorOf(userID));
    qelKeyObjUserIDInfo(userID)->nameTrust |= QELNameTrust_Primary;
}

void qelKeyMoveUserIDFirst(QELKeyObject *userID, QELKeyObject *key)
{
    if (!qelKeyObjIsUserID(userID) || !qelKeyObjIsKey(key) || userID->parent != key)
        return;
    // The first place after the key's direct signatures.
    QELKeyObject **slot = &key->firstChild;
    while (*slot != nullptr && qelKeyObjType(*slot) == QELObjectType_Signature)
        slot = &(*slot)->next;
    if (*slot == userID)
        return;
    QELKeyObject **at = &key->firstChild;
    while (*at != nullptr && *at != userID)
        at = &(*at)->next;
    if (*at == nullptr)
        return;
    *at = userID->next;
    // Unlinking may have moved the slot's target when the user ID sat before it.
    slot = &key->firstChild;
    while (*slot != nullptr && qelKeyObjType(*slot) == QELObjectType_Signature)
        slot = &(*slot)->next;
    userID->next = *slot;
    *slot = userID;
}

// ---- designated revokers --------------------------------------------------------------------------

namespace {

QELKeyObject *nthRevocationEntry(QELKeyObject *key, u32 type, u32 index, u8 *outAlgorithm,
                                 QELKeyID *outID, u8 *outClass, u32 *outCount, QELStatus *outStatus)
{
    if (outAlgorithm) *outAlgorithm = 0;
    if (outID) *outID = QELKeyID{};
    if (outClass) *outClass = 0;
    if (outCount) *outCount = 0;
    if (outStatus) *outStatus = QELError_NoErr;
    QELStatus status = QELError_NoErr;
    u32 length = 0, count = 0;
    const u8 *d = qelKeyObjIsValid(key)
                      ? qelKeyObjFindSelfSigSubpacket(key, type, index, &length, nullptr, nullptr,
                                                      nullptr, &count, &status)
                      : nullptr;
    if (outCount) *outCount = count;
    if (d == nullptr || length < 22) {
        if (outStatus) *outStatus = status != QELError_NoErr ? status : QELError_ItemNotFound;
        return nullptr;
    }
    u8 algorithm = qelKeyIDNormaliseAlgorithm(d[1]);
    if (outClass) *outClass = d[0];
    if (outAlgorithm) *outAlgorithm = algorithm;
    if (outID)
        static_cast<void>(qelKeyIDFromBytes(d + 14, algorithm, 8, outID)); // length 8 is valid
    QELKeyDB *db = qelKeyObjKeyDB(key);
    QELKeyObject *found = db ? qelKeyDBFindKeyByRawID(db, algorithm, d + 14) : nullptr;
    if (found == nullptr || qelKeyObjIsPlaceholder(found))
        return nullptr;
    u8 fpr[20];
    if (qelKeyObjFingerprint(found, fpr) != 20 || std::memcmp(fpr, d + 2, 20) != 0)
        return nullptr;
    return found;
}

} // namespace

QELKeyObject *qelKeyObjNthRevoker(QELKeyObject *key, u32 index, u8 *outAlgorithm, QELKeyID *outID,
                                  u8 *outClass, u32 *outCount, QELStatus *outStatus)
{
    return nthRevocationEntry(key, 12, index, outAlgorithm, outID, outClass, outCount, outStatus);
}

QELKeyObject *qelKeyObjNthSubpacket10Key(QELKeyObject *key, u32 index, u8 *outAlgorithm,
                                         QELKeyID *outID, u8 *outClass, u32 *outCount,
                                         QELStatus *outStatus)
{
    return nthRevocationEntry(key, 10, index, outAlgorithm, outID, outClass, outCount, outStatus);
}

bool qelKeyIsDesignatedRevoker(QELKeyObject *key, QELKeyObject *candidate)
{
    if (!qelKeyObjIsValid(key) || !qelKeyObjIsValid(candidate))
        return false;
    bool placeholder = qelKeyObjIsPlaceholder(candidate);
    u32 count = 1;
    for (u32 i = 0; i < count; ++i) {
        u8 algorithm = 0, cls = 0;
        QELKeyID id{};
        QELStatus status = QELError_NoErr;
        QELKeyObject *entry = qelKeyObjNthRevoker(key, i, &algorithm, &id, &cls, &count, &status);
        if (status != QELError_NoErr)
            return false;
        if (!(cls & 0x80))
            continue;
        if (placeholder) {
            QELKeyInfo *ci = qelKeyObjKeyInfo(candidate);
            if (qelKeyIDNormaliseAlgorithm(ci->algorithm) == algorithm &&
                std::memcmp(ci->keyID, qelKeyIDAtBytes(&id), 8) == 0)
                return true;
        } else if (entry == candidate) {
            return true;
        }
    }
    return false;
}

bool qelSigIsEffectiveRevocation(QELKeyObject *sig)
{
    if (!qelKeyObjIsLiveSignature(sig))
        return false;
    auto *parent = static_cast<QELKeyObject *>(sig->parent);
    if (!qelKeyObjIsKeyOrSubKey(parent))
        return false;
    QELKeyObject *key = qelKeyObjTopKey(sig);
    bool onKey = parent == key;
    if (qelSigType(sig) != (onKey ? 0x20 : 0x28))
        return false;
    bool checked = qelSigIsChecked(sig);
    if (checked && !qelSigIsValid(sig))
        return false;
    if (!checked && !(onKey && qelKeyObjIsRevoked(key)))
        return false;
    QELKeyObject *signer = qelSigSigner(sig);
    return signer != nullptr && (signer == key || qelKeyIsDesignatedRevoker(key, signer));
}

bool qelKeyObjRevokedByRevoker(QELKeyObject *object, QELKeyObject **outRevoker, u8 *outAlgorithm,
                               QELKeyID *outID, QELStatus *outStatus)
{
    if (outRevoker) *outRevoker = nullptr;
    if (outAlgorithm) *outAlgorithm = 0;
    if (outID) *outID = QELKeyID{};
    if (outStatus) *outStatus = QELError_NoErr;
    if (!qelKeyObjIsKeyOrSubKey(object))
        return false;
    QELKeyObject *key = qelKeyObjTopKey(object);
    u8 wanted = object == key ? 0x20 : 0x28;
    for (QELKeyObject *c = object->firstChild; c != nullptr; c = c->next) {
        if (!qelKeyObjIsLiveSignature(c) || qelSigType(c) != wanted)
            continue;
        QELKeyObject *signer = qelSigSigner(c);
        if (signer == nullptr || signer == key || !qelKeyIsDesignatedRevoker(key, signer))
            continue;
        if (outRevoker && !qelKeyObjIsPlaceholder(signer))
            *outRevoker = signer;
        qelKeyObjGetKeyID(signer, outAlgorithm, outID);
        return true;
    }
    return false;
}

QELStatus qelKeyGetRevoker(QELKeyObject *key, std::uint32_t index, QELKeyObject **outKey,
                           QELKeyID *outID)
{
    QEL_ENTER(outKey, outID);
    if (!qelKeyObjIsKey(key))
        return QELError_BadParams;
    QELStatus status = QELError_NoErr;
    QELKeyObject *revoker = qelKeyObjNthRevoker(key, index, nullptr, outID, nullptr, nullptr, &status);
    if (outKey) *outKey = revoker;
    return status;
}

QELStatus qelKeyCountRevokers(QELKeyObject *key, std::uint32_t *outCount)
{
    QEL_ENTER(outCount);
    if (!qelKeyObjIsKey(key) || outCount == nullptr)
        return QELError_BadParams;
    QELStatus status = QELError_NoErr;
    static_cast<void>(qelKeyObjNthRevoker(key, 0, nullptr, nullptr, nullptr, outCount, &status));
    return status == QELError_ItemNotFound ? QELError_NoErr : status;
}

// ---- revocation lists under a key -------------------------------------------------------------------

const u8 *qelCRLDistPoint(QELKeyObject *crl, std::size_t *outLength)
{
    *outLength = 0;
    std::size_t length = 0;
    const u8 *packet = qelKeyObjIsValid(crl) && qelKeyObjType(crl) == QELObjectType_CRL
                           ? qelKeyObjRawPacket(crl, &length)
                           : nullptr;
    return packet ? qelCRLPacketDistPoint(packet, length, outLength) : nullptr;
}

namespace {

bool isLiveValidCRL(QELKeyObject *o)
{
    return qelKeyObjIsLive(o) && qelKeyObjType(o) == QELObjectType_CRL &&
           qelCRLIsValid(o);
}

} // namespace

bool qelCRLIsCurrent(QELKeyObject *crl, u32 time)
{
    if (!qelKeyObjIsValid(crl) || qelKeyObjType(crl) != QELObjectType_CRL)
        return false;
    QELCRLInfo *info = qelKeyObjCRLInfo(crl);
    if (time != 0 && info->nextUpdate < time)
        return false;
    std::size_t pointLength = 0;
    const u8 *point = qelCRLDistPoint(crl, &pointLength);
    auto *parent = static_cast<QELKeyObject *>(crl->parent);
    if (!qelKeyObjIsValid(parent))
        return true;
    for (QELKeyObject *s = parent->firstChild; s != nullptr; s = s->next) {
        if (s == crl || !isLiveValidCRL(s) || qelKeyObjCRLInfo(s)->thisUpdate <= info->thisUpdate)
            continue;
        std::size_t otherLength = 0;
        const u8 *other = qelCRLDistPoint(s, &otherLength);
        if ((point == nullptr) != (other == nullptr))
            continue;
        if (point == nullptr ||
            (otherLength == pointLength && std::memcmp(point, other, pointLength) == 0))
            return false;
    }
    return true;
}

bool qelKeyObjHasValidCRL(QELKeyObject *key)
{
    for (QELKeyObject *c = qelKeyObjIsValid(key) ? key->firstChild : nullptr; c != nullptr; c = c->next)
        if (isLiveValidCRL(c))
            return true;
    return false;
}

QELKeyObject *qelKeyObjNthCurrentCRL(QELKeyObject *key, u32 index, u32 *outCount)
{
    if (outCount) *outCount = 0;
    if (!qelKeyObjIsValid(key))
        return nullptr;
    QELKeyObject *found = nullptr;
    u32 n = 0;
    for (QELKeyObject *c = key->firstChild; c != nullptr; c = c->next) {
        if (!isLiveValidCRL(c) || !qelCRLIsCurrent(c, 0))
            continue;
        if (n++ == index)
            found = c;
    }
    if (outCount) *outCount = n;
    return found;
}

QELKeyObject *qelKeyObjEarliestCRL(QELKeyObject *key, bool byNextUpdate)
{
    QELKeyObject *best = nullptr;
    auto when = [byNextUpdate](QELKeyObject *c) {
        QELCRLInfo *i = qelKeyObjCRLInfo(c);
        return byNextUpdate ? i->nextUpdate : i->thisUpdate;
    };
    for (QELKeyObject *c = qelKeyObjIsValid(key) ? key->firstChild : nullptr; c != nullptr; c = c->next)
        if (isLiveValidCRL(c) && qelCRLIsCurrent(c, 0) && (best == nullptr || when(c) < when(best)))
            best = c;
    return best;
}

namespace {

// Distinct DER items gathered into one block and a length array.
class PointCollector {
public:
    explicit PointCollector(QELMemoryMgr *mgr) : mgr_(mgr) {}
    ~PointCollector()
    {
        if (data_ != nullptr)
            static_cast<void>(qelMemFree(data_)); // dropped: the caller did not take it
        if (lengths_ != nullptr)
            static_cast<void>(qelMemFree(lengths_)); // likewise
    }
    PointCollector(const PointCollector &) = delete;
    PointCollector &operator=(const PointCollector &) = delete;
    QELStatus add(const u8 *item, std::size_t length)
    {
        std::size_t at = 0;
        for (u32 i = 0; i < count_; ++i) {
            if (lengths_[i] == length && std::memcmp(data_ + at, item, length) == 0)
                return QELError_NoErr;
            at += std::size_t(lengths_[i]);
        }
        void *data = data_, *lengths = lengths_;
        QELStatus s = qelMemRealloc(mgr_, &data, size_ + length, 0);
        if (s != QELError_NoErr)
            return s;
        data_ = static_cast<u8 *>(data);
        s = qelMemRealloc(mgr_, &lengths, (count_ + 1) * sizeof(u64), 0);
        if (s != QELError_NoErr)
            return s;
        lengths_ = static_cast<u64 *>(lengths);
        std::memcpy(data_ + size_, item, length);
        lengths_[count_++] = length;
        size_ += length;
        return QELError_NoErr;
    }
    void release(u32 *outCount, u8 **outData, u64 **outLengths)
    {
        *outCount = count_;
        *outData = data_;
        *outLengths = lengths_;
        data_ = nullptr;
        lengths_ = nullptr;
    }

private:
    QELMemoryMgr *mgr_;
    u8 *data_ = nullptr;
    u64 *lengths_ = nullptr;
    std::size_t size_ = 0;
    u32 count_ = 0;
};

} // namespace

QELStatus qelKeyCollectCRLDistributionPoints(QELMemoryMgr *mgr, QELKeyObject *key, u32 *outCount, u8 **outData,
                                             u64 **outLengths)
{
    if (outCount) *outCount = 0;
    if (outData) *outData = nullptr;
    if (outLengths) *outLengths = nullptr;
    if (!qelKeyObjIsKey(key) || outCount == nullptr || outData == nullptr || outLengths == nullptr)
        return QELError_BadParams;
    PointCollector points(mgr);
    u32 total = 0;
    static_cast<void>(qelKeyObjNthCurrentCRL(key, 0, &total)); // counting only
    for (u32 i = 0; i < total; ++i) {
        std::size_t length = 0;
        const u8 *point = qelCRLDistPoint(qelKeyObjNthCurrentCRL(key, i, nullptr), &length);
        if (point != nullptr && length != 0) {
            QELStatus s = points.add(point, length);
            if (s != QELError_NoErr)
                return s;
        }
    }
    QELContext *context = qelKeyObjContext(key);
    for (QELKeyObject *sig = qelKeyObjKeyInfo(key)->firstSig; sig != nullptr;
         sig = qelKeyObjSigInfo(sig)->nextBySigner) {
        const u32 wanted = QELSigInfo_X509 | QELSigInfo_DistPoint;
        if (!qelKeyObjIsLiveSignature(sig) || (qelKeyObjSigInfo(sig)->flags & wanted) != wanted)
            continue;
        std::size_t derLength = 0;
        const u8 *der = qelKeyObjSigX509Data(sig, &derLength);
        std::size_t length = 0;
        // A certificate that cannot be read names no point.
        if (der == nullptr || qelX509GetCRLDistributionPoint(context, der, derLength, nullptr, &length) < 0 ||
            length == 0)
            continue;
        QELMemoryMgr *scratchMgr = qelContextMemoryMgr(context);
        qel::WipedBuffer<u8> point;
        if (!point.reset(scratchMgr, length))
            return QELError_OutOfMemory;
        if (qelX509GetCRLDistributionPoint(context, der, derLength, point.get(), &length) < 0)
            continue;
        QELStatus s = points.add(point.get(), length);
        if (s != QELError_NoErr)
            return s;
    }
    points.release(outCount, outData, outLengths);
    return QELError_NoErr;
}
