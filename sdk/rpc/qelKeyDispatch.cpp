// The dispatchers of the key-side operations. Each names the database and
// objects of its call by handle: in process the objects themselves, through
// the service the service's references, which a mirrored database keeps in
// its nodes. Through the service the reply is brought back into the mirror:
// a key tree installed, objects whose information changed fetched again on
// their next use, new objects found by their references.
#include "qelRPCDispatchInternal.h"

#include "qelAVLTreeInternal.h"
#include "qelContextInternal.h"
#include "qelEnumeratedSet.h"
#include "qelEnumeratedSetInternal.h"
#include "qelKeyDBChangeInternal.h"
#include "qelKeyDBInternal.h"
#include "qelKeyEditInternal.h"
#include "qelKeyGenInternal.h"
#include "qelKeyManInternal.h"
#include "qelKeyObjInternal.h"
#include "qelKeySetInternal.h"
#include "qelKeySigInternal.h"
#include "qelKeysServiceSeamsInternal.h"
#include "qelMemoryInternal.h"
#include "qelOptionList.h"
#include "qelOptionListInternal.h"
#include "qelRPCCallsInternal.h"
#include "qelRPCClientInternal.h"
#include "qelWipe.h"

#include <array>
#include <cstring>
#include <new>
#include <vector>

namespace {

using u8 = std::uint8_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;

// The reply items of one call, released on every path.
template <std::size_t N> struct Reply {
    std::array<QELRPCItem, N> items{};
    ~Reply() { qelRPCItemsRelease(items); }
    QELRPCItem &operator[](std::size_t i) { return items[i]; }
};

bool remoteDB(const QELKeyDB *db) { return qelKeyDBIsValid(db) && qelKeyDBIsRemote(db); }

QELKeyDB *dbOfObject(const QELKeyObject *o) { return qelKeyObjIsValid(o) ? qelKeyObjKeyDB(o) : nullptr; }

// The handle of a database: the service's reference of a mirror.
u64 handleOf(QELKeyDB *db)
{
    if (db == nullptr)
        return 0;
    return remoteDB(db) ? db->serviceRef : qelRPCHandleOf(db);
}

// The handle of an object: a mirrored node's service reference (held in its
// info field until the block is fetched, then in the block's first word).
u64 handleOf(QELKeyObject *o)
{
    if (o == nullptr)
        return 0;
    if (!remoteDB(dbOfObject(o)))
        return qelRPCHandleOf(o);
    if (o->flags & QELKeyObjFlag_NotLoaded)
        return qelRPCHandleOf(o->info);
    u64 ref;
    std::memcpy(&ref, o->info, sizeof ref);
    return ref;
}

QELContext *contextOf(QELKeyObject *o) { return qelKeyObjIsValid(o) ? qelKeyObjContext(o) : nullptr; }
QELContext *contextOf(QELKeyDB *db) { return qelKeyDBContext(db); }

// The object of the database that a returned handle names.
QELKeyObject *objectIn(QELKeyDB *db, u64 handle)
{
    if (handle == 0)
        return nullptr;
    if (!remoteDB(db))
        return qelRPCObjectOf<QELKeyObject>(handle);
    void *found = nullptr;
    if (qelAVLFind(db->objectIDMap, std::int64_t(handle), &found) != QELError_NoErr)
        return nullptr;
    return static_cast<QELKeyObject *>(found);
}

// A call on the objects of a database. A mirrored database names its
// objects by the service's references, which mean nothing in this process:
// without the service connection its calls are refused.
QELStatus invokeOn(QELKeyDB *db, std::uint32_t call, std::span<const QELRPCItem> in, std::span<QELRPCItem> out)
{
    if (remoteDB(db) && qelRPCEnabled() == 0)
        return QELError_NotInitialized;
    return qelRPCInvoke(contextOf(db), call, in, out);
}

QELStatus invokeOn(QELKeyObject *object, std::uint32_t call, std::span<const QELRPCItem> in,
                   std::span<QELRPCItem> out)
{
    if (remoteDB(dbOfObject(object)) && qelRPCEnabled() == 0)
        return QELError_NotInitialized;
    return qelRPCInvoke(contextOf(object), call, in, out);
}

// A key tree of the reply into the mirror (a database held here already
// holds what the tree names). A tree whose first entry is not a key goes
// under that entry's parent: the mirror's when it knows the entry, else
// `parent` (the key of a new subkey).
QELStatus install(QELKeyDB *db, const QELRPCItem &tree, u32 count, bool refetch, QELKeyObject *parent = nullptr)
{
    if (!remoteDB(db))
        return QELError_NoErr;
    std::vector<u64> words(std::size_t(tree.length / 8));
    if (!words.empty())
        std::memcpy(words.data(), tree.block, words.size() * 8);
    if (words.size() >= 2 && count == 1) {
        if (QELKeyObject *known = objectIn(db, words[0])) {
            auto *above = static_cast<QELKeyObject *>(qelKeyObjParent(known));
            parent = qelKeyObjIsValid(above) ? above : nullptr;
        }
    }
    return qelKeyDBMergeKeyTree(db, parent, words.data(), words.size(), count, false, refetch);
}

// Objects whose information changed are fetched again on their next use.
void refetch(QELKeyDB *db, const QELRPCItem &ids)
{
    if (!remoteDB(db))
        return;
    for (std::size_t i = 0; i + 8 <= ids.length; i += 8) {
        u64 handle;
        std::memcpy(&handle, static_cast<const u8 *>(ids.block) + i, 8);
        if (QELKeyObject *o = objectIn(db, handle))
            qelKeyObjMarkNotLoaded(o, false);
    }
    qelKeyDBMarkChanged(db, false);
}

// The handles of a set's keys, in the set's database's terms.
QELStatus handlesOfSet(QELKeySet *set, std::vector<u64> &out)
{
    if (!qelKeySetIsValid(set))
        return QELError_BadParams;
    try {
        for (QELKeyObject *k = set->db->firstKey; k != nullptr; k = k->next)
            if (qelKeyObjIsLive(k) && qelKeySetHas(k, set))
                out.push_back(handleOf(k));
    } catch (const std::bad_alloc &) {
        return QELError_OutOfMemory;
    }
    return QELError_NoErr;
}

// A set of the mirror's objects that the reply's handles name.
QELStatus setFromHandles(QELKeyDB *db, const QELRPCItem &ids, QELKeySet **outSet)
{
    *outSet = nullptr;
    std::vector<QELKeyObject *> keys;
    try {
        for (std::size_t i = 0; i + 8 <= ids.length; i += 8) {
            u64 handle;
            std::memcpy(&handle, static_cast<const u8 *>(ids.block) + i, 8);
            if (QELKeyObject *o = objectIn(db, handle); o != nullptr && qelKeyObjType(o) == QELObjectType_Key)
                keys.push_back(o);
        }
    } catch (const std::bad_alloc &) {
        return QELError_OutOfMemory;
    }
    return keys.empty() ? qelEnumeratedSetNewEmpty(db, outSet)
                        : qelEnumeratedSetFromKeys(db, keys.data(), u32(keys.size()), outSet);
}

void clearBuffer(u8 **outBuffer, std::size_t *outLength)
{
    if (outBuffer != nullptr)
        *outBuffer = nullptr;
    if (outLength != nullptr)
        *outLength = 0;
}

// A reply byte string handed to the caller as a block of the context.
QELStatus blockOut(QELContext *context, QELRPCItem &item, u8 **outBuffer, std::size_t *outLength)
{
    if (item.length == 0) {
        clearBuffer(outBuffer, outLength);
        return QELError_NoErr;
    }
    void *copy = qelContextMemAlloc(context, std::size_t(item.length), 0);
    if (copy == nullptr)
        return QELError_OutOfMemory;
    std::memcpy(copy, item.block, std::size_t(item.length));
    *outBuffer = static_cast<u8 *>(copy);
    *outLength = std::size_t(item.length);
    return QELError_NoErr;
}

// A passphrase group of four request items.
void passItems(QELRPCItem *items, const void *passphrase, std::size_t length, u8 isPasskey, u32 cacheTime,
               u8 cacheFlag)
{
    items[0] = qelRPCBytes(passphrase, length);
    items[1] = qelRPCValue(isPasskey);
    items[2] = qelRPCValue(cacheTime);
    items[3] = qelRPCValue(cacheFlag);
}

void passItems(QELRPCItem *items, const QELPassArgs &pass)
{
    passItems(items, pass.passphrase, pass.length, pass.isPasskey, pass.cacheTime, pass.cacheForAll);
}

// An edit that returns the changed key as a tree: installed into the mirror.
template <std::size_t N>
QELStatus editCall(QELKeyObject *object, std::uint32_t call, std::array<QELRPCItem, N> &in)
{
    QELKeyDB *db = dbOfObject(object);
    if (db == nullptr)
        return QELError_BadParams;
    Reply<1> out;
    QELStatus s = invokeOn(object, call, in, out.items);
    if (s != QELError_NoErr)
        return s;
    return install(db, out[0], 1, true);
}

} // namespace

// ---- passphrase cache ----------------------------------------------------------------------

QELStatus qelPassCacheGetCountsDispatch(QELContext *context, std::int32_t *outOwn, std::int32_t *outNamed,
                                        std::int32_t *outOthers)
{
    Reply<3> out;
    QELStatus s = qelRPCInvoke(context, QELRPCCall_PassCacheGetCounts, {}, out.items);
    if (s != QELError_NoErr)
        return s;
    std::int32_t *outs[3] = {outOwn, outNamed, outOthers};
    for (int i = 0; i < 3; ++i)
        if (outs[i] != nullptr)
            *outs[i] = std::int32_t(out[i].value);
    return QELError_NoErr;
}

QELStatus qelPassCachePurgeDispatch(QELContext *context)
{
    return qelRPCInvoke(context, QELRPCCall_PassCachePurge, {}, {});
}

// ---- tokens ------------------------------------------------------------------------------

QELStatus qelTokenCountDispatch(QELContext *context, std::int32_t *outCount)
{
    if (outCount == nullptr)
        return QELError_BadParams;
    *outCount = 0;
    Reply<1> out;
    QELStatus s = qelRPCInvoke(context, QELRPCCall_TokenCount, {}, out.items);
    if (s == QELError_NoErr)
        *outCount = std::int32_t(out[0].value);
    return s;
}

QELStatus qelTokenGetInfoDispatch(QELContext *context, std::int32_t tokenIndex, u8 *outInfo)
{
    if (outInfo == nullptr)
        return QELError_BadParams;
    u32 first;
    std::memcpy(&first, outInfo, 4);
    std::memset(outInfo, 0, 96);
    const std::array<QELRPCItem, 2> in{qelRPCValue(u32(tokenIndex)), qelRPCValue(first)};
    Reply<11> out;
    QELStatus s = qelRPCInvoke(context, QELRPCCall_TokenGetInfo, in, out.items);
    if (s != QELError_NoErr)
        return s;
    auto put = [&](std::size_t offset, u64 value) {
        const u32 v = u32(value);
        std::memcpy(outInfo + offset, &v, 4);
    };
    put(0, out[0].value);
    outInfo[68] = u8(out[1].value);
    for (int i = 0; i < 4; ++i)
        put(72 + 4 * std::size_t(i), out[2 + i].value);
    // Texts longer than their fields are cut to them.
    const std::size_t texts[3][2] = {{4, 32}, {36, 16}, {52, 16}};
    for (int i = 0; i < 3; ++i) {
        const QELRPCItem &t = out[6 + i];
        const std::size_t n = t.length < texts[i][1] ? std::size_t(t.length) : texts[i][1];
        if (n != 0)
            std::memcpy(outInfo + texts[i][0], t.block, n);
        // Bytes behind a NUL within the field become NULs.
        const void *nul = std::memchr(outInfo + texts[i][0], 0, n);
        if (nul != nullptr)
            std::memset(const_cast<void *>(nul), 0, outInfo + texts[i][0] + n - static_cast<const u8 *>(nul));
    }
    put(92, out[9].value);
    put(88, out[10].value);
    return QELError_NoErr;
}

namespace {
QELStatus tokenSecret(QELContext *context, std::uint32_t call, std::int32_t tokenIndex, const void *secret,
                      std::size_t length)
{
    const std::array<QELRPCItem, 2> in{qelRPCValue(u32(tokenIndex)), qelRPCBytes(secret, length)};
    return qelRPCInvoke(context, call, in, {});
}
} // namespace

QELStatus qelTokenSubmitSecretDispatch(QELContext *context, std::int32_t tokenIndex, const void *secret,
                                       std::size_t length)
{
    return tokenSecret(context, QELRPCCall_TokenSubmitSecret, tokenIndex, secret, length);
}

QELStatus qelTokenSetSecretDispatch(QELContext *context, std::int32_t tokenIndex, const void *secret,
                                    std::size_t length)
{
    return tokenSecret(context, QELRPCCall_TokenSetSecret, tokenIndex, secret, length);
}

QELStatus qelTokenReplaceSecretDispatch(QELContext *context, std::int32_t tokenIndex, const void *oldSecret,
                                        std::size_t oldLength, const void *newSecret, std::size_t newLength)
{
    const std::array<QELRPCItem, 3> in{qelRPCValue(u32(tokenIndex)), qelRPCBytes(oldSecret, oldLength),
                                       qelRPCBytes(newSecret, newLength)};
    return qelRPCInvoke(context, QELRPCCall_TokenReplaceSecret, in, {});
}

QELStatus qelTokenSetConfigStringDispatch(const char *config)
{
    const std::array<QELRPCItem, 1> in{qelRPCBytes(config, config != nullptr ? std::strlen(config) + 1 : 0)};
    return qelRPCInvoke(nullptr, QELRPCCall_TokenSetConfigString, in, {});
}

QELStatus qelTokenCopyKeyDispatch(QELContext *context, QELKeyObject *object, std::int32_t tokenIndex,
                                  const void *secret, std::size_t length)
{
    if (!qelKeyObjIsValid(object))
        return QELError_BadParams;
    u8 algorithm = 0;
    QELKeyID id{};
    qelKeyObjGetKeyID(object, &algorithm, &id);
    const std::array<QELRPCItem, 4> in{qelRPCValue(handleOf(dbOfObject(object))), qelRPCBytes(&id, sizeof id),
                                       qelRPCValue(u32(tokenIndex)), qelRPCBytes(secret, length)};
    return qelRPCInvoke(context, QELRPCCall_TokenCopyKey, in, {});
}

QELStatus qelTokenKeyCommandDispatch(QELKeyObject *key, std::int32_t tokenIndex, bool flag, const void *secret,
                                     std::size_t length)
{
    const std::array<QELRPCItem, 8> in{qelRPCValue(handleOf(key)), qelRPCValue(u32(tokenIndex)),
                                       qelRPCValue(flag ? 1 : 0),  qelRPCBytes(secret, length),
                                       qelRPCValue(0),             qelRPCBytes(nullptr, 0),
                                       qelRPCValue(0),             qelRPCValue(0)};
    return invokeOn(key, QELRPCCall_TokenKeyCommand, in, {});
}

QELStatus qelTokenPutCertificateDispatch(QELContext *context, const std::int32_t *reference, const void *first,
                                         std::size_t firstLength, const void *second, std::size_t secondLength,
                                         const void *third, std::size_t thirdLength)
{
    if (reference == nullptr)
        return QELError_BadParams;
    const std::array<QELRPCItem, 5> in{qelRPCValue(u32(reference[0])), qelRPCValue(u32(reference[1])),
                                       qelRPCBytes(first, firstLength), qelRPCBytes(third, thirdLength),
                                       qelRPCBytes(second, secondLength)};
    return qelRPCInvoke(context, QELRPCCall_TokenPutCertificate, in, {});
}

QELStatus qelTokenPutDataDispatch(QELContext *context, const std::int32_t *reference, const void *first,
                                  std::size_t firstLength, const void *second, std::size_t secondLength)
{
    if (reference == nullptr)
        return QELError_BadParams;
    const std::array<QELRPCItem, 4> in{qelRPCValue(u32(reference[0])), qelRPCValue(u32(reference[1])),
                                       qelRPCBytes(second, secondLength), qelRPCBytes(first, firstLength)};
    return qelRPCInvoke(context, QELRPCCall_TokenPutData, in, {});
}

QELStatus qelTokenGetDataDispatch(QELContext *context, const std::int32_t *reference, const void *secret,
                                  std::size_t secretLength, void **outData, std::size_t *outLength)
{
    if (outData != nullptr)
        *outData = nullptr;
    if (outLength != nullptr)
        *outLength = 0;
    if (reference == nullptr || outData == nullptr || outLength == nullptr)
        return QELError_BadParams;
    const std::array<QELRPCItem, 3> in{qelRPCValue(u32(reference[0])), qelRPCValue(u32(reference[1])),
                                       qelRPCBytes(secret, secretLength)};
    Reply<1> out;
    QELStatus s = qelRPCInvoke(context, QELRPCCall_TokenGetData, in, out.items);
    if (s != QELError_NoErr)
        return s;
    *outData = out[0].block;
    *outLength = std::size_t(out[0].length);
    out[0].block = nullptr;
    return QELError_NoErr;
}

// ---- key management --------------------------------------------------------------------------

QELStatus qelKeySetOwnerTrustDispatch(QELKeyObject *key, std::int32_t level)
{
    const std::array<QELRPCItem, 2> in{qelRPCValue(handleOf(key)), qelRPCValue(u32(level))};
    return invokeOn(key, QELRPCCall_KeySetOwnerTrust, in, {});
}

QELStatus qelKeySetEnabledDispatch(QELKeyObject *key, std::int32_t enable)
{
    const std::array<QELRPCItem, 2> in{qelRPCValue(handleOf(key)), qelRPCValue(enable != 0 ? 1 : 0)};
    return invokeOn(key, QELRPCCall_KeySetEnabled, in, {});
}

QELStatus qelKeyPassphraseToPasskeyDispatch(QELKeyObject *object, const void *passphrase, std::size_t length,
                                            u8 *outPasskey)
{
    if (outPasskey == nullptr)
        return QELError_BadParams;
    const std::array<QELRPCItem, 2> in{qelRPCValue(handleOf(object)), qelRPCBytes(passphrase, length)};
    Reply<1> out;
    QELStatus s = invokeOn(object, QELRPCCall_KeyPassphraseToPasskey, in, out.items);
    if (s == QELError_NoErr && out[0].length != 0) {
        std::memcpy(outPasskey, out[0].block, std::size_t(out[0].length));
        qelSecureWipe(out[0].block, std::size_t(out[0].length));
    }
    return s;
}

QELStatus qelKeySetAxiomaticDispatch(QELKeyObject *key, bool set, const void *passphrase, std::size_t length,
                                     u8 isPasskey)
{
    std::array<QELRPCItem, 7> in{qelRPCValue(handleOf(key)), qelRPCValue(set ? 1 : 0),
                                 qelRPCValue(passphrase != nullptr ? 1 : 0)};
    passItems(&in[3], passphrase, length, isPasskey, 0, 0);
    return invokeOn(key, QELRPCCall_KeySetAxiomatic, in, {});
}

QELStatus qelKeyPassphraseIsValidDispatch(QELKeyObject *key, const void *passphrase, std::size_t length,
                                          u8 isPasskey, bool *outValid)
{
    if (outValid == nullptr)
        return QELError_BadParams;
    *outValid = false;
    std::array<QELRPCItem, 5> in{qelRPCValue(handleOf(key))};
    passItems(&in[1], passphrase, length, isPasskey, 0, 0);
    Reply<1> out;
    QELStatus s = invokeOn(key, QELRPCCall_KeyPassphraseIsValid, in, out.items);
    if (s == QELError_NoErr)
        *outValid = out[0].value != 0;
    return s;
}

namespace {
// The edits whose request is the object and a passphrase group.
QELStatus passEdit(QELKeyObject *object, std::uint32_t call, QELOptionList *options)
{
    QELPassArgs pass;
    if (QELStatus s = qelOptionListReadPassArgs(options, pass); s != QELError_NoErr)
        return s;
    std::array<QELRPCItem, 5> in{qelRPCValue(handleOf(object))};
    passItems(&in[1], pass);
    return editCall(object, call, in);
}
} // namespace

QELStatus qelSigRevokeDispatch(QELKeyObject *sig, QELOptionList *options)
{
    return passEdit(sig, QELRPCCall_SigRevoke, options);
}

QELStatus qelKeyRevokeDispatch(QELKeyObject *object, QELOptionList *options)
{
    return passEdit(object, QELRPCCall_KeyRevoke, options);
}

QELStatus qelUserIDSetPrimaryDispatch(QELKeyObject *userID, QELOptionList *options)
{
    return passEdit(userID, QELRPCCall_UserIDSetPrimary, options);
}

QELStatus qelUserIDCertifyDispatch(QELKeyObject *userID, QELKeyObject *signer, QELOptionList *options)
{
    QELPassArgs pass;
    QELStatus s = qelOptionListReadPassArgs(options, pass);
    QELCertifyOptions o;
    if (s == QELError_NoErr)
        s = qelCertifyOptionsRead(options, o);
    if (s != QELError_NoErr)
        return s;
    const u32 creation = o.creation;
    const std::int32_t days = o.days, exportable = o.exportable, depth = o.depth, level = o.level;
    void *const regex = o.regex;
    const char *text = static_cast<const char *>(regex);
    std::array<QELRPCItem, 12> in{qelRPCValue(handleOf(userID)), qelRPCValue(handleOf(signer))};
    passItems(&in[2], pass);
    in[6] = qelRPCValue(exportable != 0 ? 1 : 0);
    in[7] = qelRPCValue(creation);
    in[8] = qelRPCValue(days > 0 ? qelDaysToSeconds(u32(days)) : 0);
    in[9] = qelRPCValue(u8(depth));
    in[10] = qelRPCValue(u8(level));
    in[11] = qelRPCBytes(text, text != nullptr ? std::strlen(text) + 1 : 0);
    return editCall(userID, QELRPCCall_UserIDCertify, in);
}

QELStatus qelKeyAddUserIDDispatch(QELKeyObject *key, bool attribute, u8 attributeType, const void *bytes,
                                  std::size_t length, QELOptionList *options)
{
    QELPassArgs pass;
    if (QELStatus s = qelOptionListReadPassArgs(options, pass); s != QELError_NoErr)
        return s;
    std::array<QELRPCItem, 8> in{qelRPCValue(handleOf(key)), qelRPCValue(attribute ? 1 : 0),
                                 qelRPCValue(attributeType), qelRPCBytes(bytes, length)};
    passItems(&in[4], pass);
    return editCall(key, QELRPCCall_KeyAddUserID, in);
}

QELStatus qelKeyChangePassphraseDispatch(QELKeyObject *object, QELOptionList *options)
{
    if (!qelKeyObjIsValid(object))
        return QELError_BadParams;
    const void *oldSecret = nullptr, *newSecret = nullptr;
    std::uint64_t oldLength = 0, newLength = 0;
    u8 newIsPasskey = 0;
    static_cast<void>(qelOptionListGetPassphrases(options, &oldSecret, &oldLength, nullptr, &newSecret, &newLength,
                                                  &newIsPasskey));
    std::int32_t cacheTime = 0;
    u8 cacheForAll = 0;
    QELStatus s = qelOptionListGetValues(options, QELOption_CachePassphrase, false, "%d%b", &cacheTime, &cacheForAll);
    if (s != QELError_NoErr)
        return s;
    QELKeyObject *key = qelKeyObjTopKey(object);
    const std::array<QELRPCItem, 8> in{
        qelRPCValue(handleOf(dbOfObject(object))), qelRPCValue(handleOf(key)),
        qelRPCValue(object == key ? 0 : handleOf(object)), qelRPCBytes(oldSecret, oldLength),
        qelRPCBytes(newSecret, newLength), qelRPCValue(newIsPasskey),
        qelRPCValue(u32(cacheTime)), qelRPCValue(cacheForAll)};
    return invokeOn(object, QELRPCCall_KeyChangePassphrase, in, {});
}

QELStatus qelKeySetPreferencesDispatch(QELKeyObject *key, QELOptionList *options)
{
    QELPassArgs pass;
    QELStatus s = qelOptionListReadPassArgs(options, pass);
    void *ciphers = nullptr, *server = nullptr;
    std::uint64_t cipherBytes = 0, serverLength = 0;
    u8 flagsPresent = 0, prefsPresent = 0;
    std::int32_t flags = 0, prefs = 0;
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_PreferredCiphers, false, "%p%l", &ciphers, &cipherBytes);
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_PreferredKeyServer, false, "%p%l", &server, &serverLength);
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_KeyFlags, false, "%b%d", &flagsPresent, &flags);
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_KeyServerPrefs, false, "%b%d", &prefsPresent, &prefs);
    if (s != QELError_NoErr)
        return s;
    std::array<QELRPCItem, 11> in{qelRPCValue(handleOf(key))};
    passItems(&in[1], pass);
    in[5] = qelRPCBytes(ciphers, cipherBytes);
    in[6] = qelRPCBytes(server, serverLength);
    in[7] = qelRPCValue(u32(flags));
    in[8] = qelRPCValue(flagsPresent);
    in[9] = qelRPCValue(u32(prefs));
    in[10] = qelRPCValue(prefsPresent);
    return editCall(key, QELRPCCall_KeySetPreferences, in);
}

QELStatus qelKeyAddRevokersDispatch(QELKeyObject *key, QELOptionList *options)
{
    QELPassArgs pass;
    QELStatus s = qelOptionListReadPassArgs(options, pass);
    void *set = nullptr;
    std::int32_t keyClass = 0;
    if (s == QELError_NoErr)
        s = qelOptionListGetValues(options, QELOption_RevocationKeys, true, "%p%d", &set, &keyClass);
    std::vector<u64> revokers;
    if (s == QELError_NoErr)
        s = handlesOfSet(static_cast<QELKeySet *>(set), revokers);
    if (s != QELError_NoErr)
        return s;
    std::array<QELRPCItem, 7> in{qelRPCValue(handleOf(key))};
    passItems(&in[1], pass);
    in[5] = qelRPCBytes(revokers.data(), revokers.size() * 8);
    in[6] = qelRPCValue(u8(keyClass));
    return editCall(key, QELRPCCall_KeyAddRevokers, in);
}

// ---- key generation -------------------------------------------------------------------------

QELStatus qelKeyGenerateDispatch(const QELKeyGenJob &job, QELKeyObject **outObject)
{
    if (outObject == nullptr)
        return QELError_BadParams;
    *outObject = nullptr;
    const QELKeyGenRequest &r = job.request;
    std::vector<u64> additional, revokers;
    QELStatus s = QELError_NoErr;
    if (job.additional != nullptr)
        s = handlesOfSet(job.additional, additional);
    if (s == QELError_NoErr && job.revokers != nullptr)
        s = handlesOfSet(job.revokers, revokers);
    if (s != QELError_NoErr)
        return s;
    std::array<QELRPCItem, 30> in{
        qelRPCValue(handleOf(job.db)),
        qelRPCValue(handleOf(job.master)),
        qelRPCValue(r.algorithm),
        qelRPCValue(r.bits),
        qelRPCValue(r.subgroupBits),
        qelRPCValue(r.creationGiven ? r.creation : 0),
        qelRPCValue(r.validityDays),
        qelRPCBytes(job.userID, job.userIDLength),
        qelRPCBytes(job.pass.passphrase, job.pass.length),
        qelRPCValue(job.pass.isPasskey),
        qelRPCBytes(job.masterPass.passphrase, job.masterPass.length),
        qelRPCValue(job.pass.cacheTime),
        qelRPCValue(job.pass.cacheForAll),
        qelRPCValue(u64(reinterpret_cast<std::uintptr_t>(job.handler))),
        qelRPCValue(qelRPCHandleOf(job.userValue)),
        qelRPCValue(r.fastGeneration),
        qelRPCValue(r.entropyCheck ? 1 : 0), // set when the check is not turned off
        qelRPCValue(job.tokenPresent ? 1 : 0),
        qelRPCValue(job.tokenNumber),
        qelRPCBytes(additional.data(), additional.size() * 8),
        qelRPCValue(job.additionalClass),
        qelRPCBytes(revokers.data(), revokers.size() * 8),
        qelRPCValue(job.revokerClass),
        qelRPCBytes(r.preferredCiphers, r.preferredCiphersBytes),
        qelRPCBytes(r.preferredCompression, r.preferredCompressionBytes),
        qelRPCBytes(r.keyServer, r.keyServerLength),
        qelRPCValue(r.keyFlags),
        qelRPCValue(r.keyFlagsPresent ? 1 : 0),
        qelRPCValue(r.keyServerPrefs),
        qelRPCValue(r.keyServerPrefsPresent ? 1 : 0),
    };
    QELKeyDB *db = job.master != nullptr ? dbOfObject(job.master) : job.db;
    Reply<2> out;
    s = invokeOn(db, QELRPCCall_KeyGenerate, in, out.items);
    if (s == QELError_NoErr)
        s = install(db, out[0], 1, false, job.master);
    if (s == QELError_NoErr)
        *outObject = objectIn(db, out[1].value);
    return s;
}

namespace {
QELStatus generatedOut(QELKeyDB *db, QELRPCItem *out, QELKeyObject **outObject, QELKeyObject *master = nullptr)
{
    QELStatus s = install(db, out[0], 1, false, master);
    if (s == QELError_NoErr)
        *outObject = objectIn(db, out[1].value);
    return s != QELError_NoErr ? s : *outObject != nullptr ? QELError_NoErr : QELError_ItemNotFound;
}
} // namespace

QELStatus qelKeyDBAddGeneratedKeyDispatch(QELKeyDB *db, const u8 *secret, std::size_t secretLength,
                                          const u8 *flatParams, std::size_t flatLength, const void *userID,
                                          std::size_t userIDLength, QELKeySet *subpacket10Keys,
                                          u8 subpacket10Class, QELKeySet *revokers, u8 revokerClass,
                                          const QELPassArgs &pass, QELKeyObject **outKey)
{
    if (outKey == nullptr)
        return QELError_BadParams;
    *outKey = nullptr;
    std::vector<u64> additional, named;
    QELStatus s = QELError_NoErr;
    if (subpacket10Keys != nullptr)
        s = handlesOfSet(subpacket10Keys, additional);
    if (s == QELError_NoErr && revokers != nullptr)
        s = handlesOfSet(revokers, named);
    if (s != QELError_NoErr)
        return s;
    std::array<QELRPCItem, 12> in{qelRPCValue(handleOf(db)),
                                  qelRPCBytes(secret, secretLength),
                                  qelRPCBytes(flatParams, flatLength),
                                  qelRPCBytes(userID, userIDLength),
                                  qelRPCBytes(additional.data(), additional.size() * 8),
                                  qelRPCValue(subpacket10Class),
                                  qelRPCBytes(named.data(), named.size() * 8),
                                  qelRPCValue(revokerClass)};
    passItems(&in[8], pass);
    Reply<2> out;
    s = invokeOn(db, QELRPCCall_KeyDBAddGeneratedKey, in, out.items);
    return s != QELError_NoErr ? s : generatedOut(db, out.items.data(), outKey);
}

QELStatus qelKeyDBAddGeneratedSubKeyDispatch(QELKeyObject *master, const u8 *secret, std::size_t secretLength,
                                             const u8 *flatParams, std::size_t flatLength,
                                             const QELPassArgs &pass, QELKeyObject **outSubKey)
{
    if (outSubKey == nullptr)
        return QELError_BadParams;
    *outSubKey = nullptr;
    std::array<QELRPCItem, 7> in{qelRPCValue(handleOf(master)), qelRPCBytes(secret, secretLength),
                                 qelRPCBytes(flatParams, flatLength)};
    passItems(&in[3], pass);
    Reply<2> out;
    QELStatus s = invokeOn(master, QELRPCCall_KeyDBAddGeneratedSubKey, in, out.items);
    return s != QELError_NoErr ? s : generatedOut(dbOfObject(master), out.items.data(), outSubKey, master);
}

// ---- key databases ----------------------------------------------------------------------------

QELStatus qelKeyDBNewInMemoryDispatch(QELContext *context, QELKeyDB **outDB)
{
    if (outDB == nullptr)
        return QELError_BadParams;
    *outDB = nullptr;
    Reply<1> out;
    QELStatus s = qelRPCInvoke(context, QELRPCCall_KeyDBNewInMemory, {}, out.items);
    if (s != QELError_NoErr)
        return s;
    if (qelRPCEnabled() == 0) {
        *outDB = qelRPCObjectOf<QELKeyDB>(out[0].value);
        return QELError_NoErr;
    }
    // The service's database, mirrored here: empty, like the original.
    QELKeyDB *mirror = nullptr;
    s = qelKeyDBNewInMemoryLocal(context, &mirror);
    if (s != QELError_NoErr) {
        const std::array<QELRPCItem, 1> release{qelRPCValue(out[0].value)};
        static_cast<void>(qelRPCInvoke(context, QELRPCCall_KeyDBRelease, release, {}));
        return s;
    }
    mirror->serviceRef = out[0].value;
    *outDB = mirror;
    return QELError_NoErr;
}

namespace {

// A database the service opened: in process the database itself; through
// the service a mirror built from the tree of all its keys (released again,
// here and there, when that fails).
QELStatus openedDB(QELContext *context, QELRPCItem *out, std::size_t treeIndex, QELKeyDB **outDB)
{
    if (qelRPCEnabled() == 0) {
        *outDB = qelRPCObjectOf<QELKeyDB>(out[0].value);
        return QELError_NoErr;
    }
    QELKeyDB *mirror = nullptr;
    QELStatus s = qelKeyDBNewInMemoryLocal(context, &mirror);
    if (s == QELError_NoErr) {
        mirror->serviceRef = out[0].value;
        std::vector<u64> words(std::size_t(out[treeIndex].length / 8));
        if (!words.empty())
            std::memcpy(words.data(), out[treeIndex].block, words.size() * 8);
        s = qelKeyDBMergeKeyTree(mirror, nullptr, words.data(), words.size(), u32(out[1].value), true, false);
        if (s != QELError_NoErr) {
            mirror->serviceRef = 0;
            static_cast<void>(qelKeyDBReleaseLocal(mirror));
        }
    }
    if (s != QELError_NoErr) {
        const std::array<QELRPCItem, 1> release{qelRPCValue(out[0].value)};
        static_cast<void>(qelRPCInvoke(context, QELRPCCall_KeyDBRelease, release, {}));
        return s;
    }
    *outDB = mirror;
    return QELError_NoErr;
}

} // namespace

QELStatus qelKeyDBOpenFilesDispatch(QELContext *context, std::uint32_t flags, const QELFileSpec *spec,
                                    const QELFileSpec *secondSpec, QELKeyDB **outDB)
{
    if (outDB == nullptr || spec == nullptr)
        return QELError_BadParams;
    *outDB = nullptr;
    std::array<QELRPCItem, 3> in{qelRPCValue(flags)};
    in[1].spec = spec;
    in[2].spec = secondSpec; // none goes as an empty string
    Reply<3> out;
    QELStatus s = qelRPCInvoke(context, QELRPCCall_KeyDBOpenFiles, in, out.items);
    return s != QELError_NoErr ? s : openedDB(context, out.items.data(), 2, outDB);
}

QELStatus qelKeyDBOpenFromBufferDispatch(QELContext *context, const void *bytes, std::size_t length,
                                         QELKeyDB **outDB)
{
    if (outDB == nullptr || (bytes == nullptr && length != 0))
        return QELError_BadParams;
    *outDB = nullptr;
    const std::array<QELRPCItem, 1> in{qelRPCBytes(bytes, length)};
    Reply<4> out;
    QELStatus s = qelRPCInvoke(context, QELRPCCall_KeyDBOpenFromBuffer, in, out.items);
    return s != QELError_NoErr ? s : openedDB(context, out.items.data(), 3, outDB);
}

QELStatus qelKeyDBReleaseDispatch(QELKeyDB *db)
{
    if (!qelKeyDBIsValid(db))
        return QELError_BadParams;
    const std::array<QELRPCItem, 1> in{qelRPCValue(handleOf(db))};
    QELStatus s = invokeOn(db, QELRPCCall_KeyDBRelease, in, {});
    if (!remoteDB(db))
        return s;
    // The service's result is not the caller's concern; the mirror goes.
    return qelKeyDBReleaseLocal(db);
}

QELStatus qelKeyDBCommitDispatch(QELKeyDB *db)
{
    if (!qelKeyDBIsValid(db))
        return QELError_BadParams;
    const std::array<QELRPCItem, 1> in{qelRPCValue(handleOf(db))};
    Reply<1> out;
    QELStatus s = invokeOn(db, QELRPCCall_KeyDBCommit, in, out.items);
    if (s == QELError_NoErr)
        refetch(db, out[0]);
    return s;
}

QELStatus qelKeyDBSetKeepAliveDispatch(QELKeyDB *db, std::uint32_t seconds)
{
    const std::array<QELRPCItem, 2> in{qelRPCValue(handleOf(db)), qelRPCValue(seconds)};
    return invokeOn(db, QELRPCCall_KeyDBSetKeepAlive, in, {});
}

QELStatus qelKeyDBCloseUnreferencedDispatch(QELContext *context)
{
    return qelRPCInvoke(context, QELRPCCall_KeyDBCloseUnreferenced, {}, {});
}

QELStatus qelKeyDBFindKeyByIDDispatch(QELKeyDB *db, const QELKeyID *id, bool includePlaceholders,
                                      bool includeDeleted, QELKeyObject **outKey)
{
    if (outKey == nullptr || id == nullptr)
        return QELError_BadParams;
    *outKey = nullptr;
    const std::array<QELRPCItem, 4> in{qelRPCValue(handleOf(db)), qelRPCBytes(id, sizeof *id),
                                       qelRPCValue(includePlaceholders ? 1 : 0), qelRPCValue(includeDeleted ? 1 : 0)};
    Reply<1> out;
    QELStatus s = invokeOn(db, QELRPCCall_KeyDBFindKeyByID, in, out.items);
    if (s != QELError_NoErr)
        return s;
    *outKey = objectIn(db, out[0].value);
    return *outKey != nullptr ? QELError_NoErr : QELError_ItemNotFound;
}

QELStatus qelKeyDBRemoveObjectDispatch(QELKeyDB *db, QELKeyObject *object)
{
    const std::array<QELRPCItem, 2> in{qelRPCValue(handleOf(db)), qelRPCValue(handleOf(object))};
    QELStatus s = invokeOn(db, QELRPCCall_KeyDBRemoveObject, in, {});
    if (s == QELError_NoErr && remoteDB(db) && qelKeyObjIsLive(object)) {
        // The mirror follows the service.
        s = qelKeyObjMarkDeleted(object);
        qelKeyDBMarkChanged(db, false);
    }
    return s;
}

QELStatus qelKeyDBCopyObjectDispatch(QELKeyDB *db, QELKeyObject *object, QELKeyObject **outCopy)
{
    if (outCopy == nullptr)
        return QELError_BadParams;
    *outCopy = nullptr;
    const std::array<QELRPCItem, 2> in{qelRPCValue(handleOf(db)), qelRPCValue(handleOf(object))};
    Reply<2> out;
    QELStatus s = invokeOn(db, QELRPCCall_KeyDBCopyObject, in, out.items);
    if (s == QELError_NoErr)
        s = install(db, out[0], 1, false);
    if (s == QELError_NoErr)
        *outCopy = objectIn(db, out[1].value);
    return s;
}

QELStatus qelKeyDBAddKeySetDispatch(QELKeySet *set, QELKeyDB *db, QELKeySet **outSet)
{
    if (outSet != nullptr)
        *outSet = nullptr;
    if (!qelKeySetIsValid(set) || !qelKeyDBIsValid(db))
        return QELError_BadParams;
    std::vector<u64> handles;
    if (QELStatus s = handlesOfSet(set, handles); s != QELError_NoErr)
        return s;
    const std::array<QELRPCItem, 4> in{qelRPCValue(handleOf(set->db)), qelRPCValue(handleOf(db)),
                                       qelRPCBytes(handles.data(), handles.size() * 8),
                                       qelRPCValue(outSet != nullptr ? 1 : 0)};
    Reply<1> out;
    QELStatus s = invokeOn(db, QELRPCCall_KeyDBAddKeySet, in, out.items);
    if (s == QELError_NoErr && remoteDB(db))
        s = qelKeyDBFetchAllKeysDispatch(db); // the new keys into the mirror
    if (s == QELError_NoErr && outSet != nullptr)
        s = setFromHandles(db, out[0], outSet);
    return s;
}

QELStatus qelKeyDBTakeClientChangesDispatch(QELKeyDB *db, u8 *outChanged)
{
    if (outChanged != nullptr)
        *outChanged = 0;
    if (!qelKeyDBIsValid(db))
        return QELError_BadParams;
    const std::array<QELRPCItem, 1> in{qelRPCValue(handleOf(db))};
    Reply<3> out;
    QELStatus s = invokeOn(db, QELRPCCall_KeyDBTakeClientChanges, in, out.items);
    if (s != QELError_NoErr)
        return s;
    const bool changed = out[1].length != 0 || out[2].length != 0;
    if (changed) {
        s = install(db, out[1], u32(out[0].value), false);
        refetch(db, out[2]);
    }
    if (s == QELError_NoErr && outChanged != nullptr)
        *outChanged = changed ? 1 : 0;
    return s;
}

QELStatus qelKeyDBFetchAllKeysDispatch(QELKeyDB *db)
{
    if (!qelKeyDBIsValid(db))
        return QELError_BadParams;
    const std::array<QELRPCItem, 1> in{qelRPCValue(handleOf(db))};
    Reply<2> out;
    QELStatus s = invokeOn(db, QELRPCCall_KeyDBFetchAllKeys, in, out.items);
    if (s == QELError_NoErr)
        s = install(db, out[1], u32(out[0].value), true);
    return s;
}

// ---- key objects --------------------------------------------------------------------------------

namespace {

// Pointer fields of an info block name objects of the side that filled it.
void dropForeignPointers(int type, u8 *block, std::size_t size)
{
    static constexpr std::size_t keyFields[] = {32, 56, 72, 80, 88, 104};
    static constexpr std::size_t sigFields[] = {8, 40, 56, 64};
    static constexpr std::size_t packetOnly[] = {8};
    std::span<const std::size_t> fields = packetOnly;
    if (type == QELObjectType_Key || type == QELObjectType_SubKey)
        fields = keyFields;
    else if (type == QELObjectType_Signature)
        fields = sigFields;
    for (std::size_t offset : fields)
        if (offset + sizeof(void *) <= size)
            std::memset(block + offset, 0, sizeof(void *));
}

} // namespace

QELStatus qelKeyObjFetchInfoDispatch(QELKeyObject *object, void *block, std::size_t size)
{
    if (!qelKeyObjIsValid(object) || block == nullptr || size < 8)
        return QELError_BadParams;
    QELKeyDB *db = dbOfObject(object);
    u64 ref;
    std::memcpy(&ref, block, 8);
    const std::array<QELRPCItem, 1> in{qelRPCValue(ref)};
    Reply<1> out;
    QELStatus s = invokeOn(object, QELRPCCall_KeyObjFetchInfo, in, out.items);
    if (s != QELError_NoErr)
        return s;
    const std::size_t n = out[0].length < size ? std::size_t(out[0].length) : size;
    if (n != 0)
        std::memcpy(block, out[0].block, n);
    std::memcpy(block, &ref, 8);
    const int type = qelKeyObjType(object);
    auto *bytes = static_cast<u8 *>(block);
    dropForeignPointers(type, bytes, size);
    // The packet itself comes along, into the mirror's own pool.
    Reply<1> packet;
    s = invokeOn(object, QELRPCCall_KeyObjRawPacket, in, packet.items);
    if (s != QELError_NoErr || packet[0].length == 0 || db == nullptr)
        return s;
    QELRawPacket *raw =
        qelKeyDBNewRawPacket(db, static_cast<const u8 *>(packet[0].block), std::size_t(packet[0].length));
    if (raw == nullptr)
        return QELError_OutOfMemory;
    const std::size_t slot = (type == QELObjectType_Key || type == QELObjectType_SubKey) ? 32 : 8;
    if (slot + sizeof raw <= size)
        std::memcpy(bytes + slot, &raw, sizeof raw);
    return QELError_NoErr;
}

QELStatus qelKeyObjLockingInfoDispatch(QELKeyObject *key, u8 *outNeedsPassphrase, u8 *outTokenProtected,
                                       u32 *outCipher, u32 *outKeyBits)
{
    const std::array<QELRPCItem, 1> in{qelRPCValue(handleOf(key))};
    Reply<4> out;
    QELStatus s = invokeOn(key, QELRPCCall_KeyObjLockingInfo, in, out.items);
    if (s != QELError_NoErr)
        return s;
    if (outNeedsPassphrase != nullptr)
        *outNeedsPassphrase = out[0].value != 0 ? 1 : 0;
    if (outTokenProtected != nullptr)
        *outTokenProtected = out[1].value != 0 ? 1 : 0;
    if (outCipher != nullptr)
        *outCipher = u32(out[2].value);
    if (outKeyBits != nullptr)
        *outKeyBits = u32(out[3].value);
    return QELError_NoErr;
}

QELStatus qelKeyObjUnlockDispatch(QELKeyObject *key, const void *passphrase, std::size_t length, u8 isPasskey,
                                  u32 cachePeriod, u8 selector)
{
    std::array<QELRPCItem, 5> in{qelRPCValue(handleOf(key))};
    passItems(&in[1], passphrase, length, isPasskey, cachePeriod, selector);
    Reply<1> out;
    QELStatus s = invokeOn(key, QELRPCCall_KeyObjUnlock, in, out.items);
    if (s != QELError_NoErr)
        return s;
    return out[0].value != 0 ? QELError_NoErr : QELError_BadPassphrase;
}

QELStatus qelKeyObjDecryptDispatch(QELKeyObject *key, const void *passphrase, std::size_t length, u8 isPasskey,
                                   u32 cachePeriod, u8 selector, const u8 *input, std::size_t inLength,
                                   std::int32_t format, u8 **outBuffer, std::size_t *outLength)
{
    clearBuffer(outBuffer, outLength);
    if (outBuffer == nullptr || outLength == nullptr)
        return QELError_BadParams;
    std::array<QELRPCItem, 7> in{qelRPCValue(handleOf(key))};
    passItems(&in[1], passphrase, length, isPasskey, cachePeriod, selector);
    in[5] = qelRPCBytes(input, inLength);
    in[6] = qelRPCValue(u32(format));
    Reply<1> out;
    QELStatus s = invokeOn(key, QELRPCCall_KeyObjDecrypt, in, out.items);
    if (s == QELError_NoErr)
        s = blockOut(contextOf(key), out[0], outBuffer, outLength);
    if (out[0].block != nullptr)
        qelSecureWipe(out[0].block, std::size_t(out[0].length));
    return s;
}

QELStatus qelKeyObjSignDispatch(QELKeyObject *key, const void *passphrase, std::size_t length, u8 isPasskey,
                                u32 cachePeriod, u8 selector, std::int32_t hashAlgorithm, const u8 *hash,
                                std::size_t hashLength, std::int32_t format, u8 **outBuffer, std::size_t *outLength)
{
    clearBuffer(outBuffer, outLength);
    if (outBuffer == nullptr || outLength == nullptr)
        return QELError_BadParams;
    std::array<QELRPCItem, 8> in{qelRPCValue(handleOf(key))};
    passItems(&in[1], passphrase, length, isPasskey, cachePeriod, selector);
    in[5] = qelRPCValue(u32(hashAlgorithm));
    in[6] = qelRPCBytes(hash, hashLength);
    in[7] = qelRPCValue(u32(format));
    Reply<1> out;
    QELStatus s = invokeOn(key, QELRPCCall_KeyObjSign, in, out.items);
    return s != QELError_NoErr ? s : blockOut(contextOf(key), out[0], outBuffer, outLength);
}

QELStatus qelKeyObjVerifyDispatch(QELKeyObject *key, const u8 *signature, std::size_t signatureLength,
                                  std::int32_t hashAlgorithm, const u8 *hash, std::size_t hashLength,
                                  std::int32_t format)
{
    if (hash == nullptr || signature == nullptr)
        return QELError_BadParams;
    const std::array<QELRPCItem, 5> in{qelRPCValue(handleOf(key)), qelRPCBytes(hash, hashLength),
                                       qelRPCValue(u32(hashAlgorithm)), qelRPCBytes(signature, signatureLength),
                                       qelRPCValue(u32(format))};
    Reply<1> out;
    QELStatus s = invokeOn(key, QELRPCCall_KeyObjVerify, in, out.items);
    return s != QELError_NoErr ? s : QELStatus(std::int32_t(out[0].value));
}

QELStatus qelKeyObjEncryptDispatch(QELKeyObject *key, const u8 *input, std::size_t length, std::int32_t format,
                                   u8 **outBuffer, std::size_t *outLength)
{
    clearBuffer(outBuffer, outLength);
    if (outBuffer == nullptr || outLength == nullptr)
        return QELError_BadParams;
    const std::array<QELRPCItem, 3> in{qelRPCValue(handleOf(key)), qelRPCBytes(input, length),
                                       qelRPCValue(u32(format))};
    Reply<1> out;
    QELStatus s = invokeOn(key, QELRPCCall_KeyObjEncrypt, in, out.items);
    return s != QELError_NoErr ? s : blockOut(contextOf(key), out[0], outBuffer, outLength);
}

QELStatus qelKeyObjOpSizesDispatch(QELKeyObject *key, std::int32_t *outEncrypted, std::int32_t *outPlaintext,
                                   std::int32_t *outSignature, std::int32_t format)
{
    std::int32_t *outs[3] = {outEncrypted, outPlaintext, outSignature};
    for (std::int32_t *o : outs)
        if (o != nullptr)
            *o = 0;
    const std::array<QELRPCItem, 5> in{qelRPCValue(handleOf(key)), qelRPCValue(outEncrypted != nullptr ? 1 : 0),
                                       qelRPCValue(outPlaintext != nullptr ? 1 : 0),
                                       qelRPCValue(outSignature != nullptr ? 1 : 0), qelRPCValue(u32(format))};
    Reply<3> out;
    QELStatus s = invokeOn(key, QELRPCCall_KeyObjOpSizes, in, out.items);
    if (s != QELError_NoErr)
        return s;
    for (int i = 0; i < 3; ++i)
        if (outs[i] != nullptr)
            *outs[i] = std::int32_t(out[i].value);
    return QELError_NoErr;
}

// ---- signatures and trust -------------------------------------------------------------------------

namespace {
// Calls 17 and 18: a set checked where its database lives; the objects
// whose information changed are fetched again.
QELStatus setCall(std::uint32_t call, QELKeySet *set, QELKeyDB *second, u64 last)
{
    if (!qelKeySetIsValid(set))
        return QELError_BadParams;
    std::vector<u64> handles;
    if (QELStatus s = handlesOfSet(set, handles); s != QELError_NoErr)
        return s;
    const std::array<QELRPCItem, 4> in{qelRPCValue(handleOf(set->db)),
                                       qelRPCBytes(handles.data(), handles.size() * 8),
                                       qelRPCValue(handleOf(second)), qelRPCValue(last)};
    Reply<1> out;
    QELStatus s = invokeOn(set->db, call, in, out.items);
    if (s == QELError_NoErr)
        refetch(set->db, out[0]);
    return s;
}
} // namespace

QELStatus qelKeySigCheckSetWithProgressDispatch(QELKeySet *set, QELKeyDB *second, bool recheck,
                                                QELEventHandler handler, void *userValue)
{
    if (handler == nullptr || !qelKeySetIsValid(set) || !remoteDB(set->db))
        return setCall(QELRPCCall_KeySigCheckSetWithProgress, set, second, recheck ? 1 : 0);
    // The handler lives in this process and the service cannot call it: the
    // service counts the signatures and checks the CRLs (call 19), then each
    // signature is checked through the service one by one (call 20) and the
    // handler told after each. What changed is fetched again.
    std::vector<u64> handles;
    if (QELStatus s = handlesOfSet(set, handles); s != QELError_NoErr)
        return s;
    const std::array<QELRPCItem, 4> in{qelRPCValue(handleOf(set->db)),
                                       qelRPCBytes(handles.data(), handles.size() * 8),
                                       qelRPCValue(handleOf(second)), qelRPCValue(recheck ? 1 : 0)};
    Reply<2> out;
    QELStatus s = invokeOn(set->db, QELRPCCall_KeySigCountAndCheckCRLs, in, out.items);
    QELKeySet *changed = nullptr;
    if (s == QELError_NoErr)
        s = setFromHandles(set->db, out[1], &changed);
    if (s != QELError_NoErr)
        return s;
    QELKeySigProgress progress{qelKeySetContext(set), handler, userValue, 0, out[0].value};
    s = qelKeySigCheckSet(set, second, recheck, false, true, qelKeySigProgress, &progress, changed);
    qelKeySetMarkNotLoadedAndRelease(changed);
    return s;
}

QELStatus qelKeySigCheckOneDispatch(QELKeyDB *db, QELKeyObject *sig, QELKeyDB *second, bool recheck,
                                     bool revocationsOnly, u8 *outFound, u8 *outChanged, u8 *outValid)
{
    if (outFound == nullptr || outChanged == nullptr || outValid == nullptr)
        return QELError_BadParams;
    const std::array<QELRPCItem, 5> in{qelRPCValue(handleOf(db)), qelRPCValue(handleOf(sig)),
                                       qelRPCValue(handleOf(second)), qelRPCValue(recheck ? 1 : 0),
                                       qelRPCValue(revocationsOnly ? 1 : 0)};
    Reply<3> out;
    QELStatus s = invokeOn(db, QELRPCCall_KeySigCheckOne, in, out.items);
    if (s != QELError_NoErr)
        return s;
    *outFound = out[0].value != 0 ? 1 : 0;
    *outChanged = out[1].value != 0 ? 1 : 0;
    *outValid = out[2].value != 0 ? 1 : 0;
    return QELError_NoErr;
}

QELStatus qelTrustPropagateDispatch(QELKeySet *set, QELKeyDB *second, std::uint32_t now)
{
    return setCall(QELRPCCall_TrustPropagate, set, second, now);
}

void qelKeyDispatchInstall()
{
    static constexpr QELKeysServiceSeams kSeams{
        .passCacheGetCounts = qelPassCacheGetCountsDispatch,
        .passCachePurge = qelPassCachePurgeDispatch,
        .tokenCount = qelTokenCountDispatch,
        .tokenGetInfo = qelTokenGetInfoDispatch,
        .tokenSubmitSecret = qelTokenSubmitSecretDispatch,
        .tokenSetSecret = qelTokenSetSecretDispatch,
        .tokenReplaceSecret = qelTokenReplaceSecretDispatch,
        .tokenSetConfigString = qelTokenSetConfigStringDispatch,
        .tokenCopyKey = qelTokenCopyKeyDispatch,
        .tokenKeyCommand = qelTokenKeyCommandDispatch,
        .keySetOwnerTrust = qelKeySetOwnerTrustDispatch,
        .keySetEnabled = qelKeySetEnabledDispatch,
        .keyPassphraseToPasskey = qelKeyPassphraseToPasskeyDispatch,
        .keySetAxiomatic = qelKeySetAxiomaticDispatch,
        .keyPassphraseIsValid = qelKeyPassphraseIsValidDispatch,
        .sigRevoke = qelSigRevokeDispatch,
        .keyRevoke = qelKeyRevokeDispatch,
        .userIDCertify = qelUserIDCertifyDispatch,
        .userIDSetPrimary = qelUserIDSetPrimaryDispatch,
        .keyAddUserID = qelKeyAddUserIDDispatch,
        .keyChangePassphrase = qelKeyChangePassphraseDispatch,
        .keySetPreferences = qelKeySetPreferencesDispatch,
        .keyAddRevokers = qelKeyAddRevokersDispatch,
        .keyGenerate = qelKeyGenerateDispatch,
        .keyDBAddGeneratedKey = qelKeyDBAddGeneratedKeyDispatch,
        .keyDBAddGeneratedSubKey = qelKeyDBAddGeneratedSubKeyDispatch,
        .keyDBNewInMemory = qelKeyDBNewInMemoryDispatch,
        .keyDBOpenFiles = qelKeyDBOpenFilesDispatch,
        .keyDBOpenFromBuffer = qelKeyDBOpenFromBufferDispatch,
        .keyDBRelease = qelKeyDBReleaseDispatch,
        .keyDBCommit = qelKeyDBCommitDispatch,
        .keyDBSetKeepAlive = qelKeyDBSetKeepAliveDispatch,
        .keyDBCloseUnreferenced = qelKeyDBCloseUnreferencedDispatch,
        .keyDBFindKeyByID = qelKeyDBFindKeyByIDDispatch,
        .keyDBRemoveObject = qelKeyDBRemoveObjectDispatch,
        .keyDBCopyObject = qelKeyDBCopyObjectDispatch,
        .keyDBAddKeySet = qelKeyDBAddKeySetDispatch,
        .keyDBTakeClientChanges = qelKeyDBTakeClientChangesDispatch,
        .keyDBFetchAllKeys = qelKeyDBFetchAllKeysDispatch,
        .keyObjFetchInfo = qelKeyObjFetchInfoDispatch,
        .keyObjLockingInfo = qelKeyObjLockingInfoDispatch,
        .keyObjUnlock = qelKeyObjUnlockDispatch,
        .keyObjDecrypt = qelKeyObjDecryptDispatch,
        .keyObjSign = qelKeyObjSignDispatch,
        .keyObjVerify = qelKeyObjVerifyDispatch,
        .keyObjEncrypt = qelKeyObjEncryptDispatch,
        .keyObjOpSizes = qelKeyObjOpSizesDispatch,
        .keySigCheckSetWithProgress = qelKeySigCheckSetWithProgressDispatch,
        .keySigCheckOne = qelKeySigCheckOneDispatch,
        .trustPropagate = qelTrustPropagateDispatch,
    };
    qelKeysServiceSeamsInstall(&kSeams);
}
