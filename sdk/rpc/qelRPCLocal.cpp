// The in-process branch of every call of the service protocol. It takes the
// call's request items and produces its reply items in the same form as the
// service's reply: changed keys as key-tree arrays, changed objects as
// object-handle arrays, data as new blocks. It is also what a service runs
// for each request, so it records which keys and objects a call changed for
// the other clients of a database.
#include "qelRPCCallsInternal.h"

#include "qelContextInternal.h"
#include "qelEnumeratedSet.h"
#include "qelFileSpecInternal.h"
#include "qelKeyDBChangeInternal.h"
#include "qelKeyDBInternal.h"
#include "qelKeyEditInternal.h"
#include "qelKeyGenInternal.h"
#include "qelKeyGenParamsInternal.h"
#include "qelKeyIOInternal.h"
#include "qelKeyManInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeyProperty.h"
#include "qelKeySetInternal.h"
#include "qelKeySigInternal.h"
#include "qelKeyTreeFlattenInternal.h"
#include "qelMemoryInternal.h"
#include "qelPassCachInternal.h"
#include "qelPkAlgInternal.h"
#include "qelRandomContextInternal.h"
#include "qelRandomPoolInternal.h"
#include "qelRandomSeedFileInternal.h"
#include "qelRandomSourcesInternal.h"
#include "qelTokenInternal.h"
#include "qelTrustPropInternal.h"
#include "qelWipe.h"

#include <cstring>
#include <new>
#include <vector>

namespace {

using Items = std::span<const QELRPCItem>;
using Outs = std::span<QELRPCItem>;

QELKeyObject *objectOf(const QELRPCItem &item) { return qelRPCObjectOf<QELKeyObject>(item.value); }
QELKeyDB *dbOf(const QELRPCItem &item) { return qelRPCObjectOf<QELKeyDB>(item.value); }
std::uint8_t flagOf(const QELRPCItem &item) { return static_cast<std::uint8_t>(item.value); }
std::int32_t intOf(const QELRPCItem &item) { return static_cast<std::int32_t>(item.value); }
std::uint32_t u32Of(const QELRPCItem &item) { return static_cast<std::uint32_t>(item.value); }

// A passphrase group: passphrase, is-passkey flag, cache time, cache flag.
QELPassArgs passAt(Items in, std::size_t i)
{
    QELPassArgs pass;
    pass.passphrase = in[i].data;
    pass.length = std::size_t(in[i].length);
    pass.isPasskey = flagOf(in[i + 1]);
    pass.cacheTime = u32Of(in[i + 2]);
    pass.cacheForAll = flagOf(in[i + 3]);
    return pass;
}

QELContext *contextFor(QELContext *context, QELKeyDB *db)
{
    if (context != nullptr)
        return context;
    return qelKeyDBIsValid(db) ? qelKeyDBContext(db) : nullptr;
}

QELContext *contextFor(QELContext *context, QELKeyObject *object)
{
    if (context != nullptr)
        return context;
    return qelKeyObjIsValid(object) ? qelKeyObjContext(object) : nullptr;
}

// A copy of bytes in a new block of the context.
QELStatus copyOut(QELContext *context, const void *bytes, std::size_t length, QELRPCItem &out)
{
    void *block = qelContextMemAlloc(context, length, 0);
    if (block == nullptr)
        return QELError_OutOfMemory;
    if (length != 0)
        std::memcpy(block, bytes, length);
    out.block = block;
    out.length = length;
    return QELError_NoErr;
}

// The handles of a request byte string, aligned (request items are only
// aligned to four bytes).
std::vector<std::uint64_t> handlesOf(const QELRPCItem &item)
{
    std::vector<std::uint64_t> handles(std::size_t(item.length / 8));
    if (!handles.empty())
        std::memcpy(handles.data(), item.data, handles.size() * 8);
    return handles;
}

QELStatus setOf(QELKeyDB *db, const QELRPCItem &item, QELKeySet **outSet)
{
    *outSet = nullptr;
    if (!qelKeyDBIsValid(db))
        return QELError_BadParams;
    std::vector<std::uint64_t> handles = handlesOf(item);
    return qelKeySetBuildFromObjectIDs(db, handles.data(), handles.size() * 8, outSet);
}

void releaseSet(QELKeySet *set)
{
    if (set != nullptr)
        qelKeySetReleaseInternal(set, false);
}

QELStatus idsOut(QELKeySet *set, QELRPCItem &out)
{
    std::uint64_t *array = nullptr;
    std::size_t bytes = 0;
    QELStatus s = qelKeySetToObjectIDsAndRelease(set, &array, &bytes);
    if (s != QELError_NoErr)
        return s;
    out.block = array;
    out.length = bytes;
    return QELError_NoErr;
}

QELStatus treeOut(QELContext *context, QELKeyObject *first, std::uint32_t count, QELKeySet *filter,
                  QELRPCItem &out)
{
    std::uint64_t *block = nullptr;
    std::uint64_t size = 0;
    QELStatus s = qelKeyTreeFlatten(context, first, count, filter, &block, &size);
    if (s != QELError_NoErr)
        return s;
    out.block = block;
    out.length = size;
    return QELError_NoErr;
}

std::uint32_t listLength(QELKeyDB *db)
{
    std::uint32_t n = 0;
    for (QELKeyObject *k = db->firstKey; k != nullptr; k = k->next)
        ++n;
    return n;
}

QELStatus noteKey(QELKeyObject *key)
{
    return qelKeyDBNoteChangeForOtherClients(nullptr, nullptr, nullptr, key);
}

// A database with all its keys flattened (calls 11 and 12); the database
// goes again when flattening fails.
// The client served comes to a database it opened or made: from now on its
// record collects what the database's other clients change.
QELStatus joinClient(QELKeyDB *db)
{
    void *client = qelContextGetClient(qelKeyDBContext(db));
    return client != nullptr ? qelKeyDBAddClientRecord(db, client) : QELError_NoErr;
}

QELStatus openedOut(QELContext *context, QELKeyDB *db, QELStatus status, Outs out, QELRPCItem &tree)
{
    if (db == nullptr)
        return status != QELError_NoErr ? status : QELError_BadParams;
    const std::uint32_t count = listLength(db);
    QELStatus s = joinClient(db);
    if (s == QELError_NoErr)
        s = treeOut(contextFor(context, db), db->firstKey, count, nullptr, tree);
    if (s != QELError_NoErr) {
        static_cast<void>(qelKeyDBReleaseLocal(db));
        return s;
    }
    out[0].value = qelRPCHandleOf(db);
    out[1].value = count;
    return QELError_NoErr;
}

// The information-block sizes by object type.
std::size_t infoSize(QELKeyObject *object)
{
    switch (qelKeyObjType(object)) {
    case QELObjectType_Key:
    case QELObjectType_SubKey:
        return sizeof(QELKeyInfo);
    case QELObjectType_UserID:
        return sizeof(QELUserIDInfo);
    case QELObjectType_Signature:
        return sizeof(QELSigInfo);
    case QELObjectType_CRL:
        return sizeof(QELCRLInfo);
    default:
        return sizeof(QELOtherInfo);
    }
}

QELRandomContext *randomOf(QELContext *context)
{
    if (!qelContextIsValid(context))
        return nullptr;
    QELRandomContext *random = qelContextGetRandomContext(context);
    return random != nullptr && random->descriptor != nullptr ? random : nullptr;
}

// Key edits that hand back one changed key (calls 22 to 26, 31, 32): the
// back end's status, then the change noted and the tree flattened.
QELStatus editedOut(QELContext *context, QELStatus status, QELKeyObject *noted, QELKeyObject *flattened,
                    QELRPCItem &out)
{
    if (status != QELError_NoErr)
        return status;
    if (noted != nullptr)
        static_cast<void>(noteKey(noted));
    return treeOut(contextFor(context, flattened), flattened, 1, nullptr, out);
}

QELKeyObject *parentOf(QELKeyObject *object)
{
    void *parent = qelKeyObjParent(object);
    return qelKeyObjIsValid(static_cast<QELKeyObject *>(parent)) ? static_cast<QELKeyObject *>(parent) : nullptr;
}

// Preference ids (32 bits each) from a request string, aligned.
std::vector<std::uint32_t> idsOf(const QELRPCItem &item)
{
    std::vector<std::uint32_t> ids(std::size_t(item.length / 4));
    if (!ids.empty())
        std::memcpy(ids.data(), item.data, ids.size() * 4);
    return ids;
}

// Calls 48 and 49: the secret-key object and parameter record of a key made
// elsewhere.
struct Generated {
    QELSecretKeyObject *key = nullptr;
    QELKeyGenParams *params = nullptr;
    QELContext *context = nullptr;
    ~Generated()
    {
        if (key != nullptr)
            static_cast<void>(key->destroy(key));
        if (params != nullptr)
            qelKeyGenParamsFree(params);
    }
};

QELStatus rebuildGenerated(QELContext *context, const QELRPCItem &secret, const QELRPCItem &flat,
                           const QELPassArgs &pass, Generated &g)
{
    g.context = context;
    QELStatus s = QELError_NoErr;
    g.params = qelKeyGenParamsUnflatten(context, static_cast<const std::uint8_t *>(flat.data), flat.length, &s);
    if (g.params == nullptr)
        return s != QELError_NoErr ? s : QELError_BadParams;
    g.key = qelSecretKeyObjectFromData(context, qelKeyGenParamsAlgorithm(g.params),
                                       static_cast<const std::uint8_t *>(secret.data), std::size_t(secret.length),
                                       qelKeyGenParamsVersion(g.params) < 4 ? 1 : 0, nullptr, &s);
    if (g.key == nullptr)
        return s != QELError_NoErr ? s : QELError_BadParams;
    if (pass.passphrase != nullptr && pass.length != 0)
        return qelPassCacheAddForKey(g.key, pass.passphrase, pass.length, pass.isPasskey, pass.cacheTime,
                                     pass.cacheForAll);
    return QELError_NoErr;
}

QELStatus runKeyGenerate(QELContext *context, Items in, Outs out)
{
    QELKeyGenJob job{};
    job.db = dbOf(in[0]);
    job.master = in[1].value != 0 ? objectOf(in[1]) : nullptr;
    if (!qelKeyDBIsValid(job.db) || (job.master != nullptr && !qelKeyObjIsValid(job.master)))
        return QELError_BadParams;
    QELKeyGenRequest &r = job.request;
    r.context = contextFor(context, job.db);
    r.algorithm = static_cast<std::uint8_t>(in[2].value);
    r.bits = u32Of(in[3]);
    r.subgroupBits = u32Of(in[4]);
    r.creation = u32Of(in[5]);
    r.creationGiven = r.creation != 0;
    r.validityDays = static_cast<std::uint16_t>(in[6].value);
    job.userID = in[7].data;
    job.userIDLength = std::size_t(in[7].length);
    job.pass.passphrase = in[8].data;
    job.pass.length = std::size_t(in[8].length);
    job.pass.isPasskey = flagOf(in[9]);
    job.masterPass.passphrase = in[10].data;
    job.masterPass.length = std::size_t(in[10].length);
    job.pass.cacheTime = u32Of(in[11]);
    job.pass.cacheForAll = flagOf(in[12]);
    // The handler is a value of the client's process: only a client in this
    // process can be called back.
    job.handler = reinterpret_cast<QELEventHandler>(static_cast<std::uintptr_t>(in[13].value));
    job.userValue = qelRPCObjectOf<void>(in[14].value);
    r.fastGeneration = flagOf(in[15]);
    r.entropyCheck = flagOf(in[16]) != 0;
    job.tokenPresent = flagOf(in[17]) != 0;
    job.tokenNumber = u32Of(in[18]);
    QELKeySet *additional = nullptr, *revokers = nullptr;
    QELStatus s = QELError_NoErr;
    QELKeyDB *setDB = job.master != nullptr ? qelKeyObjKeyDB(job.master) : job.db;
    if (in[19].length != 0)
        s = setOf(setDB, in[19], &additional);
    if (s != QELError_NoErr)
        return s;
    job.additional = additional;
    job.additionalClass = flagOf(in[20]);
    if (in[21].length != 0)
        s = setOf(setDB, in[21], &revokers);
    if (s != QELError_NoErr) {
        releaseSet(additional);
        return s;
    }
    job.revokers = revokers;
    job.revokerClass = flagOf(in[22]);
    const std::vector<std::uint32_t> ciphers = idsOf(in[23]);
    r.preferredCiphers = ciphers.empty() ? nullptr : ciphers.data();
    r.preferredCiphersBytes = ciphers.size() * 4;
    const std::vector<std::uint32_t> compression = idsOf(in[24]);
    r.preferredCompression = compression.empty() ? nullptr : compression.data();
    r.preferredCompressionBytes = compression.size() * 4;
    r.keyServer = static_cast<const std::uint8_t *>(in[25].data);
    r.keyServerLength = std::size_t(in[25].length);
    r.keyFlags = u32Of(in[26]);
    r.keyFlagsPresent = flagOf(in[27]) != 0;
    r.keyServerPrefs = u32Of(in[28]);
    r.keyServerPrefsPresent = flagOf(in[29]) != 0;
    QELKeyObject *made = nullptr;
    s = qelKeyGenerateLocal(job, &made);
    releaseSet(additional);
    releaseSet(revokers);
    if (s != QELError_NoErr)
        return s;
    s = editedOut(context, s, made, made, out[0]);
    if (s == QELError_NoErr)
        out[1].value = qelRPCHandleOf(made);
    return s;
}

QELStatus runTokenGetInfo(QELContext *context, Items in, Outs out)
{
    QELTokenInfo info{};
    std::memcpy(info.data, &in[1].value, 4);
    QELStatus s = qelTokenGetInfoLocal(context, intOf(in[0]), &info);
    if (s != QELError_NoErr)
        return s;
    auto word = [&](std::size_t offset) {
        std::uint32_t v;
        std::memcpy(&v, info.data + offset, 4);
        return std::uint64_t(v);
    };
    out[0].value = word(0);
    out[1].value = info.data[68];
    for (int i = 0; i < 4; ++i)
        out[2 + i].value = word(72 + 4 * std::size_t(i));
    const std::size_t texts[3][2] = {{4, 32}, {36, 16}, {52, 16}};
    for (int i = 0; i < 3; ++i) {
        const char *text = reinterpret_cast<const char *>(info.data + texts[i][0]);
        s = copyOut(context, text, strnlen(text, texts[i][1]), out[6 + i]);
        if (s != QELError_NoErr)
            return s;
    }
    out[9].value = word(92);
    out[10].value = word(88);
    return QELError_NoErr;
}

QELStatus runTakeClientChanges(QELContext *context, QELKeyDB *db, Outs out)
{
    QELKeySet *changedKeys = nullptr, *refetch = nullptr;
    QELStatus s = qelEnumeratedSetNewEmpty(db, &changedKeys);
    if (s == QELError_NoErr)
        s = qelEnumeratedSetNewEmpty(db, &refetch);
    if (s == QELError_NoErr)
        s = qelKeyDBTakeClientChanges(db, changedKeys, refetch);
    std::uint32_t members = 0;
    if (s == QELError_NoErr) {
        for (QELKeyObject *k = db->firstKey; k != nullptr; k = k->next)
            members += qelKeySetHas(k, changedKeys) ? 1 : 0;
        s = treeOut(contextFor(context, db), db->firstKey, listLength(db), changedKeys, out[1]);
    }
    releaseSet(changedKeys);
    if (s != QELError_NoErr) {
        releaseSet(refetch);
        return s;
    }
    s = idsOut(refetch, out[2]);
    if (s != QELError_NoErr) {
        qelRPCItemsRelease(out.subspan(1, 1));
        return s;
    }
    out[0].value = members;
    return QELError_NoErr;
}

// Calls 13, 17, 18 and 19: a back end that collects changed objects.
template <typename Run>
QELStatus changedOut(QELKeyDB *db, QELKeySet *input, QELRPCItem &out, Run run)
{
    QELKeySet *changed = nullptr;
    QELStatus s = qelEnumeratedSetNewEmpty(db, &changed);
    if (s == QELError_NoErr)
        s = run(changed);
    releaseSet(input);
    if (s != QELError_NoErr) {
        releaseSet(changed);
        return s;
    }
    static_cast<void>(qelKeyDBNoteChangeForOtherClients(changed, nullptr, nullptr, nullptr));
    return idsOut(changed, out);
}

QELStatus runLocal(QELContext *context, std::uint32_t call, Items in, Outs out)
{
    switch (call) {
    case QELRPCCall_KeyObjRawPacket: {
        QELKeyObject *o = objectOf(in[0]);
        if (!qelKeyObjIsValid(o))
            return QELError_BadParams;
        std::size_t length = 0;
        const std::uint8_t *packet = qelKeyObjRawPacket(o, &length);
        return copyOut(contextFor(context, o), packet, packet != nullptr ? length : 0, out[0]);
    }
    case QELRPCCall_KeyDBFindKeyByID: {
        QELKeyID id{};
        if (in[1].length != sizeof id)
            return QELError_BadParams;
        std::memcpy(&id, in[1].data, sizeof id);
        QELKeyObject *found = nullptr;
        QELStatus s = qelKeyDBFindKeyByIDLocal(dbOf(in[0]), &id, flagOf(in[2]) != 0, flagOf(in[3]) != 0, &found);
        if (s == QELError_NoErr)
            out[0].value = qelRPCHandleOf(found);
        return s;
    }
    case QELRPCCall_KeyObjEncrypt: {
        std::uint8_t *buffer = nullptr;
        std::size_t length = 0;
        QELStatus s = qelKeyObjEncryptLocal(objectOf(in[0]), static_cast<const std::uint8_t *>(in[1].data),
                                            std::size_t(in[1].length), intOf(in[2]), &buffer, &length);
        out[0].block = buffer;
        out[0].length = length;
        return s;
    }
    case QELRPCCall_KeyObjDecrypt: {
        const QELPassArgs p = passAt(in, 1);
        std::uint8_t *buffer = nullptr;
        std::size_t length = 0;
        QELStatus s = qelKeyObjDecryptLocal(objectOf(in[0]), p.passphrase, p.length, p.isPasskey, p.cacheTime,
                                            p.cacheForAll, static_cast<const std::uint8_t *>(in[5].data),
                                            std::size_t(in[5].length), intOf(in[6]), &buffer, &length);
        out[0].block = buffer;
        out[0].length = length;
        return s;
    }
    case QELRPCCall_KeyObjVerify: {
        QELStatus r = qelKeyObjVerifyLocal(objectOf(in[0]), static_cast<const std::uint8_t *>(in[3].data),
                                           std::size_t(in[3].length), intOf(in[2]),
                                           static_cast<const std::uint8_t *>(in[1].data), std::size_t(in[1].length),
                                           intOf(in[4]));
        if (r < 0)
            return r;
        out[0].value = std::uint32_t(r);
        return QELError_NoErr;
    }
    case QELRPCCall_KeyObjSign: {
        const QELPassArgs p = passAt(in, 1);
        std::uint8_t *buffer = nullptr;
        std::size_t length = 0;
        QELStatus s = qelKeyObjSignLocal(objectOf(in[0]), p.passphrase, p.length, p.isPasskey, p.cacheTime,
                                         p.cacheForAll, intOf(in[5]), static_cast<const std::uint8_t *>(in[6].data),
                                         std::size_t(in[6].length), intOf(in[7]), &buffer, &length);
        out[0].block = buffer;
        out[0].length = length;
        return s;
    }
    case QELRPCCall_KeyObjUnlock: {
        const QELPassArgs p = passAt(in, 1);
        out[0].value = qelKeyObjUnlockLocal(objectOf(in[0]), p.passphrase, p.length, p.isPasskey, p.cacheTime,
                                            p.cacheForAll)
                           ? 1
                           : 0;
        return QELError_NoErr;
    }
    case QELRPCCall_KeyObjOpSizes: {
        std::int32_t sizes[3] = {};
        QELStatus s = qelKeyObjOpSizesLocal(objectOf(in[0]), flagOf(in[1]) ? &sizes[0] : nullptr,
                                            flagOf(in[2]) ? &sizes[1] : nullptr, flagOf(in[3]) ? &sizes[2] : nullptr,
                                            intOf(in[4]));
        for (int i = 0; i < 3 && s == QELError_NoErr; ++i)
            out[i].value = std::uint32_t(sizes[i]);
        return s;
    }
    case QELRPCCall_KeyObjLockingInfo: {
        std::uint8_t needs = 0, token = 0;
        std::uint32_t cipher = 0, bits = 0;
        QELStatus s = qelKeyObjLockingInfoLocal(objectOf(in[0]), &needs, &token, &cipher, &bits);
        if (s == QELError_NoErr) {
            out[0].value = needs;
            out[1].value = token;
            out[2].value = cipher;
            out[3].value = bits;
        }
        return s;
    }
    case QELRPCCall_KeyObjFetchInfo: {
        QELKeyObject *o = objectOf(in[0]);
        if (!qelKeyObjIsValid(o))
            return QELError_BadParams;
        return copyOut(contextFor(context, o), qelKeyObjInfo(o), infoSize(o), out[0]);
    }
    case QELRPCCall_KeyDBOpenFiles: {
        QELFileSpec *imported[2] = {};
        const QELFileSpec *specs[2] = {in[1].spec, in[2].spec};
        QELStatus s = QELError_NoErr;
        for (int i = 0; i < 2 && s == QELError_NoErr; ++i)
            if (specs[i] == nullptr && in[1 + i].length != 0) {
                s = qelFileSpecImportCtx(context, static_cast<const std::uint8_t *>(in[1 + i].data),
                                         std::uint32_t(in[1 + i].length), &imported[i]);
                specs[i] = imported[i];
            }
        QELKeyDB *db = nullptr;
        if (s == QELError_NoErr)
            db = qelKeyDBOpenRingFiles(context, specs[0], specs[1], u32Of(in[0]), &s);
        for (QELFileSpec *spec : imported)
            if (spec != nullptr)
                static_cast<void>(qelFileSpecFree(spec));
        return openedOut(context, db, s, out, out[2]);
    }
    case QELRPCCall_KeyDBOpenFromBuffer: {
        QELStatus s = QELError_NoErr;
        QELKeyDB *db = qelKeyDBReadBuffer(context, in[0].data, std::size_t(in[0].length), &s);
        return openedOut(context, db, s, out, out[3]);
    }
    case QELRPCCall_KeyDBCommit: {
        QELKeyDB *db = dbOf(in[0]);
        if (!qelKeyDBIsValid(db))
            return QELError_BadParams;
        return changedOut(db, nullptr, out[0], [&](QELKeySet *changed) { return qelKeyDBCommitLocal(db, changed); });
    }
    case QELRPCCall_KeyDBRelease:
        return qelKeyDBIsValid(dbOf(in[0])) ? qelKeyDBReleaseLocal(dbOf(in[0])) : QELError_BadParams;
    case QELRPCCall_KeySetEnabled:
        return flagOf(in[1]) != 0 ? qelKeyEnableLocal(objectOf(in[0])) : qelKeyDisableLocal(objectOf(in[0]));
    case QELRPCCall_KeySetAxiomatic:
        return qelKeySetAxiomaticLocal(objectOf(in[0]), flagOf(in[1]) != 0, flagOf(in[2]) != 0, passAt(in, 3));
    case QELRPCCall_TrustPropagate:
    case QELRPCCall_KeySigCheckSetWithProgress:
    case QELRPCCall_KeySigCountAndCheckCRLs: {
        QELKeyDB *db = dbOf(in[0]);
        QELKeyDB *second = in[2].value != 0 ? dbOf(in[2]) : nullptr;
        QELKeySet *set = nullptr;
        if (QELStatus s = setOf(db, in[1], &set); s != QELError_NoErr)
            return s;
        if (call == QELRPCCall_TrustPropagate)
            return changedOut(db, set, out[0], [&](QELKeySet *changed) {
                return qelTrustPropagateLocal(set, second, u32Of(in[3]), changed);
            });
        if (call == QELRPCCall_KeySigCheckSetWithProgress)
            return changedOut(db, set, out[0], [&](QELKeySet *changed) {
                return qelKeySigCheckSetWithProgress(set, second, flagOf(in[3]) != 0, nullptr, nullptr, changed);
            });
        std::uint32_t count = 0;
        QELStatus s = changedOut(db, set, out[1], [&](QELKeySet *changed) {
            return qelKeySigCountAndCheckCRLs(set, second, flagOf(in[3]) != 0, &count, changed);
        });
        if (s == QELError_NoErr)
            out[0].value = count;
        return s;
    }
    case QELRPCCall_KeySigCheckOne: {
        std::uint8_t found = 0, changed = 0, valid = 0;
        QELKeyDB *second = in[2].value != 0 ? dbOf(in[2]) : nullptr;
        QELStatus s = qelKeySigCheckOne(dbOf(in[0]), objectOf(in[1]), second, flagOf(in[3]) != 0,
                                        flagOf(in[4]) != 0, &found, &changed, &valid);
        if (s == QELError_NoErr) {
            out[0].value = found;
            out[1].value = changed;
            out[2].value = valid;
        }
        return s;
    }
    case QELRPCCall_KeyGenerate:
        return runKeyGenerate(context, in, out);
    case QELRPCCall_KeyAddUserID: {
        QELKeyObject *key = objectOf(in[0]);
        QELStatus s = qelKeyAddUserIDLocal(key, flagOf(in[1]) != 0, static_cast<std::uint8_t>(in[2].value),
                                           in[3].data, std::size_t(in[3].length), passAt(in, 4));
        return editedOut(context, s, key, key, out[0]);
    }
    case QELRPCCall_UserIDCertify: {
        QELKeyObject *userID = objectOf(in[0]);
        // The regular expression travels with its NUL; one without is not
        // a string.
        const char *regex = static_cast<const char *>(in[11].data);
        if (regex != nullptr && (in[11].length == 0 || regex[in[11].length - 1] != 0))
            return QELError_BadParams;
        QELStatus s = qelUserIDCertifyLocal(userID, objectOf(in[1]), passAt(in, 2), flagOf(in[6]) != 0, u32Of(in[7]),
                                            u32Of(in[8]), flagOf(in[9]), flagOf(in[10]), regex);
        return editedOut(context, s, s == QELError_NoErr ? qelKeyObjTopKey(userID) : nullptr, userID, out[0]);
    }
    case QELRPCCall_UserIDSetPrimary: {
        QELKeyObject *userID = objectOf(in[0]);
        QELStatus s = qelUserIDSetPrimaryLocal(userID, passAt(in, 1));
        return editedOut(context, s, s == QELError_NoErr ? qelKeyObjTopKey(userID) : nullptr,
                         s == QELError_NoErr ? parentOf(userID) : nullptr, out[0]);
    }
    case QELRPCCall_SigRevoke: {
        QELKeyObject *sig = objectOf(in[0]);
        QELStatus s = qelSigRevokeLocal(contextFor(context, sig), sig, passAt(in, 1));
        return editedOut(context, s, s == QELError_NoErr ? qelKeyObjTopKey(sig) : nullptr,
                         s == QELError_NoErr ? parentOf(sig) : nullptr, out[0]);
    }
    case QELRPCCall_KeyRevoke: {
        QELKeyObject *object = objectOf(in[0]);
        if (!qelKeyObjIsValid(object))
            return QELError_BadParams;
        QELStatus s = qelKeyObjType(object) == QELObjectType_SubKey ? qelSubKeyRevokeLocal(object, passAt(in, 1))
                                                                    : qelKeyRevokeLocal(object, passAt(in, 1));
        return editedOut(context, s, s == QELError_NoErr ? qelKeyObjTopKey(object) : nullptr, object, out[0]);
    }
    case QELRPCCall_KeyChangePassphrase: {
        QELKeyObject *key = objectOf(in[1]);
        QELKeyObject *object = in[2].value != 0 ? objectOf(in[2]) : key;
        return qelKeyChangePassphraseLocal(dbOf(in[0]), object, key, in[3].data, std::size_t(in[3].length),
                                           in[4].data, std::size_t(in[4].length), flagOf(in[5]), u32Of(in[6]),
                                           flagOf(in[7]));
    }
    case QELRPCCall_KeyPassphraseIsValid: {
        bool valid = false;
        QELStatus s = qelKeyPassphraseIsValidLocal(objectOf(in[0]), passAt(in, 1), &valid);
        if (s == QELError_NoErr)
            out[0].value = valid ? 1 : 0;
        return s;
    }
    case QELRPCCall_KeySetOwnerTrust:
        return qelKeySetOwnerTrustLocal(objectOf(in[0]), u32Of(in[1]));
    case QELRPCCall_KeyPassphraseToPasskey: {
        QELKeyObject *key = objectOf(in[0]);
        if (!qelKeyObjIsValid(key))
            return QELError_BadParams;
        std::int32_t bits = 0;
        QELStatus s = qelKeyObjNumberPropertyLocal(key,
                                                   qelKeyObjType(key) == QELObjectType_SubKey
                                                       ? QELProperty_SubKeyLockingBits
                                                       : QELProperty_LockingBits,
                                                   &bits);
        if (s != QELError_NoErr)
            return s;
        const std::size_t size = bits > 0 ? std::size_t(bits) / 8 : 0;
        QELContext *ctx = contextFor(context, key);
        QELMemoryMgr *mgr = qelContextIsValid(ctx) ? qelContextMemoryMgr(ctx) : nullptr;
        void *block = mgr != nullptr ? qelMemAllocSecure(mgr, size, 0) : nullptr;
        if (block == nullptr)
            return QELError_OutOfMemory;
        s = qelKeyPassphraseToPasskeyLocal(key, in[1].data, std::size_t(in[1].length),
                                           static_cast<std::uint8_t *>(block));
        if (s != QELError_NoErr) {
            qelSecureWipe(block, size);
            static_cast<void>(qelMemFree(block));
            return s;
        }
        out[0].block = block;
        out[0].length = size;
        return QELError_NoErr;
    }
    case QELRPCCall_KeyAddRevokers: {
        QELKeyObject *key = objectOf(in[0]);
        if (!qelKeyObjIsValid(key))
            return QELError_BadParams;
        QELKeySet *revokers = nullptr;
        if (QELStatus s = setOf(qelKeyObjKeyDB(key), in[5], &revokers); s != QELError_NoErr)
            return s;
        QELStatus s = qelKeyAddRevokersLocal(key, passAt(in, 1), revokers, flagOf(in[6]));
        releaseSet(revokers);
        return editedOut(context, s, key, key, out[0]);
    }
    case QELRPCCall_KeySetPreferences: {
        QELKeyObject *key = objectOf(in[0]);
        const std::vector<std::uint32_t> ids = idsOf(in[5]);
        QELStatus s = qelKeySetPreferencesLocal(key, passAt(in, 1), ids.empty() ? nullptr : ids.data(), ids.size() * 4,
                                                in[6].data, std::size_t(in[6].length), u32Of(in[7]),
                                                flagOf(in[8]) != 0, u32Of(in[9]), flagOf(in[10]) != 0);
        return editedOut(context, s, key, key, out[0]);
    }
    case QELRPCCall_KeyDBCopyObject: {
        QELKeyObject *copy = nullptr;
        QELStatus s = qelKeyDBCopyObjectLocal(dbOf(in[0]), objectOf(in[1]), &copy);
        if (s != QELError_NoErr)
            return s;
        s = treeOut(contextFor(context, dbOf(in[0])), qelKeyObjTopKey(copy), 1, nullptr, out[0]);
        if (s == QELError_NoErr)
            out[1].value = qelRPCHandleOf(copy);
        return s;
    }
    case QELRPCCall_KeyDBRemoveObject: {
        QELKeyObject *object = objectOf(in[1]);
        if (!qelKeyObjIsValid(object) || !qelKeyObjIsLive(object))
            return QELError_NoErr;
        static_cast<void>(noteKey(qelKeyObjTopKey(object)));
        return qelKeyDBRemoveObjectLocal(dbOf(in[0]), object);
    }
    case QELRPCCall_KeyDBNewInMemory: {
        QELKeyDB *db = nullptr;
        QELStatus s = qelKeyDBNewInMemoryLocal(context, &db);
        if (s == QELError_NoErr && (s = joinClient(db)) != QELError_NoErr)
            static_cast<void>(qelKeyDBReleaseLocal(db)); // never handed out
        if (s == QELError_NoErr)
            out[0].value = qelRPCHandleOf(db);
        return s;
    }
    case QELRPCCall_KeyDBFetchAllKeys: {
        QELKeyDB *db = dbOf(in[0]);
        if (!qelKeyDBIsValid(db))
            return QELError_BadParams;
        const std::uint32_t count = listLength(db);
        QELStatus s = treeOut(contextFor(context, db), db->firstKey, count, nullptr, out[1]);
        if (s != QELError_NoErr) {
            static_cast<void>(qelKeyDBReleaseLocal(db));
            return s;
        }
        QELKeySet *root = qelKeyDBNewRootSet(db);
        if (root == nullptr) {
            qelRPCItemsRelease(out.subspan(1, 1));
            static_cast<void>(qelKeyDBReleaseLocal(db));
            return QELError_Unavailable;
        }
        static_cast<void>(qelKeyDBNoteChangeForOtherClients(nullptr, nullptr, root, nullptr));
        releaseSet(root);
        out[0].value = count;
        return QELError_NoErr;
    }
    case QELRPCCall_RandomPoolAddEvent:
        return qelRandomPoolAddEventLocal(flagOf(in[0]), intOf(in[1]), flagOf(in[2]), flagOf(in[3]));
    case QELRPCCall_RandomPoolGetStatus: {
        std::int32_t entropy = 0;
        std::uint32_t size = 0, minimum = 0;
        std::uint8_t enough = 0, flag = 0;
        QELStatus s = qelRandomPoolGetStatusLocal(&entropy, &size, &minimum, &enough, &flag);
        out[0].value = std::uint32_t(entropy);
        out[1].value = size;
        out[2].value = minimum;
        out[3].value = enough;
        out[4].value = flag;
        return s;
    }
    case QELRPCCall_RandomGetBytes: {
        QELRandomContext *random = randomOf(context);
        if (random == nullptr)
            return context == nullptr ? QELError_BadParams : QELError_Unavailable;
        const std::uint32_t length = u32Of(in[0]);
        void *block = qelContextMemAlloc(context, length, 0);
        if (block == nullptr)
            return QELError_OutOfMemory;
        if (const QELStatus s = random->descriptor->get(random->state, block, length, u32Of(in[1])); s != 0) {
            static_cast<void>(qelContextMemFree(context, block));   // wiped by the source; its failure is the answer
            return s;
        }
        out[0].block = block;
        out[0].length = length;
        return QELError_NoErr;
    }
    case QELRPCCall_KeyDBTakeClientChanges: {
        QELKeyDB *db = dbOf(in[0]);
        if (!qelKeyDBIsValid(db))
            return QELError_BadParams;
        return runTakeClientChanges(context, db, out);
    }
    case QELRPCCall_RandomAddBytes: {
        QELRandomContext *random = randomOf(context);
        if (random == nullptr)
            return context == nullptr ? QELError_BadParams : QELError_Unavailable;
        if (in[0].length != 0)
            random->descriptor->add(random->state, in[0].data, std::uint32_t(in[0].length));
        return QELError_NoErr;
    }
    case QELRPCCall_PassCachePurge:
        return qelPassCachePurgeLocal(context);
    case QELRPCCall_KeyDBAddKeySet: {
        QELKeySet *set = nullptr;
        if (QELStatus s = setOf(dbOf(in[0]), in[2], &set); s != QELError_NoErr)
            return s;
        const bool wantNew = flagOf(in[3]) != 0;
        QELKeySet *added = nullptr;
        QELStatus s = qelKeyDBAddKeySetLocal(set, dbOf(in[1]), wantNew ? &added : nullptr);
        releaseSet(set);
        if (s != QELError_NoErr || !wantNew)
            return s;
        return idsOut(added, out[0]);
    }
    case QELRPCCall_RandomSeedFileSet: {
        if (in[0].spec != nullptr)
            return qelRandomSeedFileSet(in[0].spec);
        QELFileSpec *spec = nullptr;
        QELStatus s = qelFileSpecImport(qelMemMgrGetGlobal(), static_cast<const std::uint8_t *>(in[0].data),
                                        std::uint32_t(in[0].length), &spec);
        if (s != QELError_NoErr)
            return s;
        s = qelRandomSeedFileSet(spec);
        static_cast<void>(qelFileSpecFree(spec));
        return s;
    }
    case QELRPCCall_RandomStir: {
        QELRandomContext *random = randomOf(context);
        if (random == nullptr)
            return context == nullptr ? QELError_BadParams : QELError_Unavailable;
        random->descriptor->stir(random->state);
        return QELError_NoErr;
    }
    case QELRPCCall_KeyDBAddGeneratedKey: {
        QELKeyDB *db = dbOf(in[0]);
        if (!qelKeyDBIsValid(db))
            return QELError_BadParams;
        const QELPassArgs pass = passAt(in, 8);
        Generated g;
        QELStatus s = rebuildGenerated(contextFor(context, db), in[1], in[2], pass, g);
        QELKeySet *additional = nullptr, *revokers = nullptr;
        if (s == QELError_NoErr && in[4].length != 0)
            s = setOf(db, in[4], &additional);
        if (s == QELError_NoErr && in[6].length != 0)
            s = setOf(db, in[6], &revokers);
        QELKeyObject *key = nullptr;
        if (s == QELError_NoErr)
            key = qelKeyDBAddGeneratedKey(db, g.key, g.params, in[3].data, std::size_t(in[3].length), additional,
                                          flagOf(in[5]), revokers, flagOf(in[7]), pass, &s);
        releaseSet(additional);
        releaseSet(revokers);
        if (key == nullptr)
            return s != QELError_NoErr ? s : QELError_BadParams;
        s = editedOut(context, QELError_NoErr, key, key, out[0]);
        if (s == QELError_NoErr)
            out[1].value = qelRPCHandleOf(key);
        return s;
    }
    case QELRPCCall_KeyDBAddGeneratedSubKey: {
        QELKeyObject *master = objectOf(in[0]);
        if (!qelKeyObjIsValid(master))
            return QELError_BadParams;
        const QELPassArgs pass = passAt(in, 3);
        Generated g;
        QELStatus s = rebuildGenerated(contextFor(context, master), in[1], in[2], pass, g);
        QELKeyObject *sub = nullptr;
        if (s == QELError_NoErr)
            sub = qelKeyDBAddGeneratedSubKey(master, g.key, g.params, pass, &s);
        if (sub == nullptr)
            return s != QELError_NoErr ? s : QELError_BadParams;
        s = editedOut(context, QELError_NoErr, master, sub, out[0]);
        if (s == QELError_NoErr)
            out[1].value = qelRPCHandleOf(sub);
        return s;
    }
    case QELRPCCall_TokenCount: {
        std::int32_t count = 0;
        QELStatus s = qelTokenCountLocal(context, &count);
        if (s == QELError_NoErr)
            out[0].value = std::uint32_t(count);
        return s;
    }
    case QELRPCCall_TokenGetInfo:
        return runTokenGetInfo(context, in, out);
    case QELRPCCall_TokenKeyCommand:
        return qelTokenKeyCommandLocal(objectOf(in[0]), intOf(in[1]), flagOf(in[2]) != 0, in[3].data,
                                       std::size_t(in[3].length), flagOf(in[4]), in[5].data,
                                       std::size_t(in[5].length));
    case QELRPCCall_TokenCopyKey: {
        QELKeyID id{};
        if (in[1].length != sizeof id)
            return QELError_BadParams;
        std::memcpy(&id, in[1].data, sizeof id);
        return qelTokenCopyKeyLocal(context, dbOf(in[0]), &id, intOf(in[2]), in[3].data, std::size_t(in[3].length));
    }
    case QELRPCCall_TokenSetSecret:
        return qelTokenSetSecretLocal(context, intOf(in[0]), in[1].data, std::size_t(in[1].length));
    case QELRPCCall_TokenSubmitSecret:
        return qelTokenSubmitSecretLocal(context, intOf(in[0]), in[1].data, std::size_t(in[1].length));
    case QELRPCCall_TokenPutCertificate:
        // No token holds a key here: the reference names none.
        return qelTokenPutCertificateLocal(context, nullptr, in[2].data, std::size_t(in[2].length), in[4].data,
                                           std::size_t(in[4].length), in[3].data, std::size_t(in[3].length));
    case QELRPCCall_TokenPutData:
        return qelTokenPutDataLocal(context, nullptr, in[3].data, std::size_t(in[3].length), in[2].data,
                                    std::size_t(in[2].length));
    case QELRPCCall_TokenGetData: {
        void *data = nullptr;
        std::size_t length = 0;
        QELStatus s = qelTokenGetDataLocal(context, nullptr, in[2].data, std::size_t(in[2].length), &data, &length);
        if (s == QELError_NoErr) {
            out[0].block = data;
            out[0].length = length;
        }
        return s;
    }
    case QELRPCCall_TokenSetConfigString:
        return qelTokenSetConfigStringLocal(static_cast<const char *>(in[0].data), std::size_t(in[0].length));
    case QELRPCCall_TokenReplaceSecret:
        return qelTokenReplaceSecretLocal(context, intOf(in[0]), in[1].data, std::size_t(in[1].length));
    case QELRPCCall_KeyDBCloseUnreferenced:
        return qelKeyDBCloseUnreferencedLocal(context);
    case QELRPCCall_KeyDBSetKeepAlive:
        return qelKeyDBIsValid(dbOf(in[0])) ? qelKeyDBSetKeepAliveLocal(dbOf(in[0]), u32Of(in[1]))
                                            : QELError_BadParams;
    case QELRPCCall_PassCacheGetCounts: {
        std::int32_t own = 0, named = 0, others = 0;
        QELStatus s = qelPassCacheGetCountsLocal(context, &own, &named, &others);
        if (s == QELError_NoErr) {
            out[0].value = std::uint32_t(own);
            out[1].value = std::uint32_t(named);
            out[2].value = std::uint32_t(others);
        }
        return s;
    }
    case QELRPCCall_Reserved46:
        return QELError_NoErr;
    default: // the handshake and the client exit are the connection's own
        return QELError_BadParams;
    }
}

} // namespace

QELStatus qelRPCRunLocal(QELContext *context, std::uint32_t call, std::span<const QELRPCItem> in,
                         std::span<QELRPCItem> out)
{
    const QELRPCCallInfo *info = qelRPCCallFind(call);
    if (info == nullptr || in.size() != info->request.size() || out.size() != info->reply.size())
        return QELError_BadParams;
    for (QELRPCItem &item : out)
        item = QELRPCItem{};
    try {
        QELStatus s = runLocal(context, call, in, out);
        if (s < 0)
            qelRPCItemsRelease(out);
        return s;
    } catch (const std::bad_alloc &) {
        qelRPCItemsRelease(out);
        return QELError_OutOfMemory;
    }
}
