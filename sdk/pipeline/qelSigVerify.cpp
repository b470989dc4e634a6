// Detached signature verification and the per-signature check.
#include "qelSigVerifyInternal.h"

#include "qelAnnotationReaderInternal.h"
#include "qelContextInternal.h"
#include "qelDevNullModuleInternal.h"
#include "qelHash.h"
#include "qelHashInternal.h"
#include "qelMessageParserInternal.h"
#include "qelSettingsInternal.h"
#include "qelSigItemInternal.h"
#include "qelTextFilterModuleInternal.h"
#include "qelWipe.h"

#include <array>

namespace {

void report(const QELDecodeCallbacks *callbacks, void *data, QELStatus status, std::int32_t event)
{
    if (callbacks->report != nullptr)
        callbacks->report(data, status, event, 0, nullptr);
}

// The digest of one signature over the hashed data seen so far.
QELStatus finishFor(const QELSigItem *signature, QELHashContext *hash, std::uint8_t *digest, std::uint64_t room)
{
    std::size_t hashedLength = 0;
    const std::uint8_t *hashed = qelSigPacketHashedData(signature, &hashedLength);
    if (hashed == nullptr)
        return QELError_BadPacketFormat;
    const QELHashDescriptor *descriptor = qelHashGetDescriptor(hash);
    if (descriptor == nullptr || descriptor->digestSize > room)
        return QELError_UnknownHashAlgorithm;
    QELHashContext *copy = qelHashDuplicate(hash);
    if (copy == nullptr)
        return QELError_OutOfMemory;
    QELStatus status = qelHashUpdate(copy, hashed, hashedLength);
    if (status == 0 && qelSigPacketVersion(signature) == 4) {
        const std::uint8_t trailer[6] = {0x04, 0xFF, static_cast<std::uint8_t>(hashedLength >> 24),
                                         static_cast<std::uint8_t>(hashedLength >> 16),
                                         static_cast<std::uint8_t>(hashedLength >> 8),
                                         static_cast<std::uint8_t>(hashedLength)};
        status = qelHashUpdate(copy, trailer, sizeof trailer);
    }
    if (status == 0)
        status = qelHashFinal(copy, digest);
    static_cast<void>(qelHashFree(copy));
    return status;
}

QELStatus hashDetached(QELContext *context, QELSettings *settings, const QELSigItem *signatures,
                       const QELDecodeCallbacks *callbacks, void *data, QELHashList **outList)
{
    QELPipeModule *chain = nullptr;
    QELHashList *list = nullptr;
    QELStatus status = qelSigVerifyBuildHashes(context, &chain, settings, &list, signatures, callbacks, data);
    if (status == 0)
        status = callbacks->detachedData(data, chain);
    qelPipeDestroy(chain);
    if (status != 0) {
        if (list != nullptr)
            qelHashListFree(list);
        return status;
    }
    *outList = list;
    return 0;
}


} // namespace

QELStatus qelHashChainBuild(QELContext *context, QELPipeModule **slot, QELHashList **outList,
                            const std::uint8_t *ids, std::int32_t count, const std::uint8_t *charTable)
{
    *outList = nullptr;
    std::array<std::uint8_t, 256> usable{};
    std::int32_t n = 0;
    for (std::int32_t i = 0; i < count && n < 256; ++i)
        if (qelHashDescriptorFind(ids[i]) != nullptr)
            usable[static_cast<std::size_t>(n++)] = ids[i];
    if (n == 0)
        return 0;
    QELHashList *list = nullptr;
    QELStatus status = qelHashListCreate(qelContextMemoryMgr(context), usable.data(), &list, n);
    if (status != 0)
        return status;
    auto create = qelMessageParserSeams().hashModuleChain;
    QELPipeModule *before = *slot;
    QELPipeModule **tail = create != nullptr ? create(context, slot, list, qelHashListCount(list)) : nullptr;
    if (tail == nullptr) {
        qelHashListFree(list);
        return create == nullptr ? QELError_FeatureNotAvailable : QELError_OutOfMemory;
    }
    if (charTable != nullptr && qelTextFilterModuleCreate(context, slot, charTable, false, QELLineEnd_CRLF) == nullptr) {
        // take the hash modules back out, leaving what the slot held
        *tail = nullptr;
        qelPipeDestroy(*slot);
        *slot = before;
        qelHashListFree(list);
        return QELError_OutOfMemory;
    }
    *outList = list;
    return 0;
}

QELStatus qelSigVerifyBuildHashes(QELContext *context, QELPipeModule **slot, QELSettings *settings,
                                  QELHashList **outList, const QELSigItem *signatures,
                                  const QELDecodeCallbacks *callbacks, void *callbackData)
{
    std::array<std::uint8_t, 256> ids{};
    const std::int32_t count = qelSigListHashAlgorithms(signatures, ids.data());
    if (qelDevNullModuleCreate(context, slot) == nullptr) {
        report(callbacks, callbackData, QELError_OutOfMemory, QELDecodeEvent_NoSink);
        return QELError_OutOfMemory;
    }
    const std::uint8_t *table = nullptr;
    if (signatures != nullptr && qelSigItemType(signatures) != 0)
        table = static_cast<const std::uint8_t *>(qelSettingsGetPointer(settings, QELSetting_CharsetEncodeTable, nullptr));
    QELStatus status = qelHashChainBuild(context, slot, outList, ids.data(), count, table);
    if (status == 0 && *outList == nullptr) {
        report(callbacks, callbackData, 0, QELDecodeEvent_DetachedNoHash);
        status = QELError_ClearSignedHashMissing;
    }
    if (status != 0) {
        qelPipeDestroy(*slot);
        *slot = nullptr;
    }
    return status;
}

QELStatus qelSigVerifyCheckAll(const QELSigItem *signatures, QELHashList *list, const QELDecodeCallbacks *callbacks,
                               void *callbackData)
{
    for (const QELSigItem *item = signatures; item != nullptr; item = qelSigListNext(item)) {
        const QELHashDescriptor *descriptor = qelSigPacketHashDescriptor(item);
        QELHashContext *hash = descriptor != nullptr ? qelHashListFind(list, descriptor) : nullptr;
        if (hash == nullptr) {
            report(callbacks, callbackData, QELError_UnknownHashAlgorithm, QELDecodeEvent_DetachedHashMissing);
            continue;
        }
        std::array<std::uint8_t, 64> digest{};
        QELStatus status = finishFor(item, hash, digest.data(), digest.size());
        if (status == 0)
            status = callbacks->signatureResult(callbackData, item, digest.data());
        qelSecureWipe(digest.data(), digest.size());
        if (status != 0)
            return status;
    }
    return 0;
}

QELStatus qelSigVerifyDetached(const QELSigItem *signatures, QELSettings *settings,
                               const QELDecodeCallbacks *callbacks, void *callbackData, QELContext *context)
{
    if (signatures == nullptr) {
        report(callbacks, callbackData, QELError_BadParams, QELDecodeEvent_DetachedNoList);
        return 0;
    }
    report(callbacks, callbackData, 0, QELDecodeEvent_DetachedBegins);
    QELHashList *list = nullptr;
    QELStatus status = hashDetached(context, settings, signatures, callbacks, callbackData, &list);
    if (status != 0)
        return status;
    status = qelSigVerifyCheckAll(signatures, list, callbacks, callbackData);
    qelHashListFree(list);
    return status;
}
