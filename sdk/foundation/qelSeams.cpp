// Stand-ins for operations whose real modules have not landed yet. Each block
// names the module that will replace it; that module deletes its block here
// and in qelSeams.h when it arrives.
#include "qelSeams.h"
#include "qelSettingsInternal.h"

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

// ---- key-database change tracking ----
void qelKeyDBNoteRemoteChange() {}
void qelKeyDBApplyRemoteChanges() {}

// ---- keydb: stand-ins the key database calls ----

// qelX509Keys: no certificate toolkit yet.
QELStatus qelX509DecodeCRLTimes(QELContext *, const std::uint8_t *, std::size_t, QELX509CRLTimes *)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelX509DecodeCertNames(QELContext *, const std::uint8_t *, std::size_t,
                                 QELX509CertNames *)
{
    return QELError_FeatureNotAvailable;
}
// qelKeySig: nothing is checked yet; signatures stay unchecked.
QELStatus qelKeySigCheckSetWithProgress(QELKeySet *, QELKeyDB *, void *, void *, QELKeySet *)
{
    return QELError_NoErr;
}
QELStatus qelKeySigCheckOne(QELKeyDB *, QELKeyObject *, QELKeyDB *, bool) { return QELError_NoErr; }
// qelTrustProp: no propagation yet.
QELStatus qelTrustPropagateLocal(QELKeySet *, std::uint32_t, QELKeySet *) { return QELError_NoErr; }
QELStatus qelKeyDBApplyTrustSigs(QELKeyDB *) { return QELError_NoErr; }
// qelKeyFilter: evaluation waits for the property getters; nothing matches.
bool qelKeyFilterMatch(QELKeyFilter *, QELKeyObject *) { return false; }
// ---- end keydb ----
