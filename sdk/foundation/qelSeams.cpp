// Stand-ins for operations whose real modules have not landed yet. Each block
// names the module that will replace it; that module deletes its block here
// and in qelSeams.h when it arrives.
#include "qelSeams.h"
#include "qelOptionListInternal.h"
#include "qelSettingsInternal.h"

#include <cstring>

#include "qelRPCClientInternal.h"

// ---- qelPassCacheDispatch ----
QELStatus qelPassCacheGetCountsDispatch(QELContext *, int32_t *, int32_t *, int32_t *)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelPassCachePurgeDispatch(QELContext *) { return QELError_FeatureNotAvailable; }

// ---- qelTokenDispatch ----
QELStatus qelTokenCountDispatch(QELContext *, int32_t *) { return QELError_FeatureNotAvailable; }
QELStatus qelTokenGetInfoDispatch(QELContext *, int32_t, uint8_t *) { return QELError_FeatureNotAvailable; }
QELStatus qelTokenSubmitSecretDispatch(QELContext *, int32_t, const void *, size_t)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelTokenSetSecretDispatch(QELContext *, int32_t, const void *, size_t)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelTokenReplaceSecretDispatch(QELContext *, int32_t, const void *, size_t, const void *, size_t)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelTokenSetConfigStringDispatch(const char *config)
{
    return qelRPCEnabled() ? QELError_FeatureNotAvailable : (config == nullptr ? QELError_BadParams : QELError_NoErr);
}

// ---- qelKeyManDispatch ----
QELStatus qelKeySetOwnerTrustDispatch(QELKeyObject *, std::int32_t) { return QELError_FeatureNotAvailable; }
QELStatus qelKeySetEnabledDispatch(QELKeyObject *, std::int32_t) { return QELError_FeatureNotAvailable; }
QELStatus qelKeyPassphraseToPasskeyDispatch(QELKeyObject *, const void *, std::size_t, std::uint8_t *)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelKeySetAxiomaticDispatch(QELKeyObject *, bool, const void *, std::size_t, std::uint8_t)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelKeyPassphraseIsValidDispatch(QELKeyObject *, const void *, std::size_t, std::uint8_t, bool *)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelTokenCopyKeyDispatch(QELContext *, QELKeyObject *, std::int32_t, const void *, std::size_t)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelTokenKeyCommandDispatch(QELKeyObject *, std::int32_t, bool, const void *, std::size_t)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelSigRevokeDispatch(QELKeyObject *, QELOptionList *) { return QELError_FeatureNotAvailable; }
QELStatus qelKeyRevokeDispatch(QELKeyObject *, QELOptionList *) { return QELError_FeatureNotAvailable; }
QELStatus qelUserIDCertifyDispatch(QELKeyObject *, QELKeyObject *, QELOptionList *)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelUserIDSetPrimaryDispatch(QELKeyObject *, QELOptionList *) { return QELError_FeatureNotAvailable; }
QELStatus qelKeyAddUserIDDispatch(QELKeyObject *, QELOptionList *) { return QELError_FeatureNotAvailable; }
QELStatus qelKeyChangePassphraseDispatch(QELKeyObject *, QELOptionList *) { return QELError_FeatureNotAvailable; }
QELStatus qelKeySetPreferencesDispatch(QELKeyObject *, QELOptionList *) { return QELError_FeatureNotAvailable; }
QELStatus qelKeyAddRevokersDispatch(QELKeyObject *, QELOptionList *) { return QELError_FeatureNotAvailable; }

// ---- qelKeyGenDispatch ----
QELStatus qelKeyGenerateDispatch(QELKeyDB *, QELKeyObject *, QELOptionList *, QELKeyObject **outObject)
{
    if (outObject != nullptr)
        *outObject = nullptr;
    return QELError_FeatureNotAvailable;
}
QELStatus qelKeyDBAddGeneratedKeyDispatch(QELKeyDB *, const std::uint8_t *, std::size_t, const std::uint8_t *,
                                          std::size_t, const void *, std::size_t, QELKeySet *, std::uint8_t,
                                          QELKeySet *, std::uint8_t, const QELKeyGenDispatchPass &,
                                          QELKeyObject **outKey)
{
    if (outKey != nullptr)
        *outKey = nullptr;
    return QELError_FeatureNotAvailable;
}
QELStatus qelKeyDBAddGeneratedSubKeyDispatch(QELKeyObject *, const std::uint8_t *, std::size_t, const std::uint8_t *,
                                             std::size_t, const QELKeyGenDispatchPass &, QELKeyObject **outSubKey)
{
    if (outSubKey != nullptr)
        *outSubKey = nullptr;
    return QELError_FeatureNotAvailable;
}

// ---- keydb: stand-ins the key database calls ----

// ---- end keydb ----

// ---- qelKeyDBDispatch ----
QELStatus qelKeyDBNewInMemoryDispatch(QELContext *, QELKeyDB **outDB)
{
    if (outDB != nullptr)
        *outDB = nullptr;
    return QELError_FeatureNotAvailable;
}
QELStatus qelKeyDBOpenFilesDispatch(QELContext *, std::uint32_t, const QELFileSpec *, const QELFileSpec *,
                                    QELKeyDB **outDB)
{
    if (outDB != nullptr)
        *outDB = nullptr;
    return QELError_FeatureNotAvailable;
}
QELStatus qelKeyDBOpenFromBufferDispatch(QELContext *, const void *, std::size_t, QELKeyDB **outDB)
{
    if (outDB != nullptr)
        *outDB = nullptr;
    return QELError_FeatureNotAvailable;
}
QELStatus qelKeyDBReleaseDispatch(QELKeyDB *) { return QELError_FeatureNotAvailable; }
QELStatus qelKeyDBCommitDispatch(QELKeyDB *) { return QELError_FeatureNotAvailable; }
QELStatus qelKeyDBSetKeepAliveDispatch(QELKeyDB *, std::uint32_t) { return QELError_FeatureNotAvailable; }
QELStatus qelKeyDBCloseUnreferencedDispatch(QELContext *) { return QELError_FeatureNotAvailable; }
QELStatus qelKeyDBFindKeyByIDDispatch(QELKeyDB *, const QELKeyID *, bool, bool, QELKeyObject **outKey)
{
    if (outKey != nullptr)
        *outKey = nullptr;
    return QELError_FeatureNotAvailable;
}
QELStatus qelKeyDBRemoveObjectDispatch(QELKeyDB *, QELKeyObject *) { return QELError_FeatureNotAvailable; }
QELStatus qelKeyDBCopyObjectDispatch(QELKeyDB *, QELKeyObject *, QELKeyObject **outCopy)
{
    if (outCopy != nullptr)
        *outCopy = nullptr;
    return QELError_FeatureNotAvailable;
}
QELStatus qelKeyDBAddKeySetDispatch(QELKeySet *, QELKeyDB *, QELKeySet **outSet)
{
    if (outSet != nullptr)
        *outSet = nullptr;
    return QELError_FeatureNotAvailable;
}
QELStatus qelKeyDBTakeClientChangesDispatch(QELKeyDB *, std::uint8_t *outChanged)
{
    if (outChanged != nullptr)
        *outChanged = 0;
    return QELError_FeatureNotAvailable;
}
QELStatus qelKeyDBFetchAllKeysDispatch(QELKeyDB *) { return QELError_FeatureNotAvailable; }

// ---- qelKeyObjDispatch ----
namespace {
void clearBuffer(std::uint8_t **outBuffer, std::size_t *outLength)
{
    if (outBuffer != nullptr)
        *outBuffer = nullptr;
    if (outLength != nullptr)
        *outLength = 0;
}
} // namespace
QELStatus qelKeyObjFetchInfoDispatch(QELKeyObject *, void *, std::size_t) { return QELError_FeatureNotAvailable; }
QELStatus qelKeyObjLockingInfoDispatch(QELKeyObject *, std::uint8_t *, std::uint8_t *, std::uint32_t *,
                                       std::uint32_t *)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelKeyObjUnlockDispatch(QELKeyObject *, const void *, std::size_t, std::uint8_t, std::uint32_t,
                                  std::uint8_t)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelKeyObjDecryptDispatch(QELKeyObject *, const void *, std::size_t, std::uint8_t, std::uint32_t,
                                   std::uint8_t, const std::uint8_t *, std::size_t, std::int32_t,
                                   std::uint8_t **outBuffer, std::size_t *outLength)
{
    clearBuffer(outBuffer, outLength);
    return QELError_FeatureNotAvailable;
}
QELStatus qelKeyObjSignDispatch(QELKeyObject *, const void *, std::size_t, std::uint8_t, std::uint32_t,
                                std::uint8_t, std::int32_t, const std::uint8_t *, std::size_t, std::int32_t,
                                std::uint8_t **outBuffer, std::size_t *outLength)
{
    clearBuffer(outBuffer, outLength);
    return QELError_FeatureNotAvailable;
}
QELStatus qelKeyObjVerifyDispatch(QELKeyObject *, const std::uint8_t *, std::size_t, std::int32_t,
                                  const std::uint8_t *, std::size_t, std::int32_t)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelKeyObjEncryptDispatch(QELKeyObject *, const std::uint8_t *, std::size_t, std::int32_t,
                                   std::uint8_t **outBuffer, std::size_t *outLength)
{
    clearBuffer(outBuffer, outLength);
    return QELError_FeatureNotAvailable;
}
QELStatus qelKeyObjOpSizesDispatch(QELKeyObject *, std::int32_t *outEncrypted, std::int32_t *outPlaintext,
                                   std::int32_t *outSignature, std::int32_t)
{
    if (outEncrypted != nullptr)
        *outEncrypted = 0;
    if (outPlaintext != nullptr)
        *outPlaintext = 0;
    if (outSignature != nullptr)
        *outSignature = 0;
    return QELError_FeatureNotAvailable;
}

// ---- qelKeySigDispatch ----
QELStatus qelKeySigCheckSetWithProgressDispatch(QELKeySet *, QELKeyDB *, bool, QELEventHandler, void *)
{
    return QELError_FeatureNotAvailable;
}

// ---- qelTrustPropDispatch ----
QELStatus qelTrustPropagateDispatch(QELKeySet *, QELKeyDB *, std::uint32_t) { return QELError_FeatureNotAvailable; }

// ---- qelKeyIO ----
QELStatus qelKeyIOExportKeys(QELContext *, QELOptionList *) { return QELError_FeatureNotAvailable; }
QELStatus qelKeyIOImportKeys(QELContext *, QELKeyDB **outDB, QELOptionList *)
{
    if (outDB != nullptr)
        *outDB = nullptr;
    return QELError_FeatureNotAvailable;
}
QELStatus qelKeyIOCertify(QELKeyObject *, QELKeyObject *, QELKeyObject **outSig, QELOptionList *)
{
    if (outSig != nullptr)
        *outSig = nullptr;
    return QELError_FeatureNotAvailable;
}
QELStatus qelKeyIOCreateCRL(QELKeyObject *, QELKeySet *, QELOptionList *) { return QELError_FeatureNotAvailable; }
// ---- end qelKeyIO ----
