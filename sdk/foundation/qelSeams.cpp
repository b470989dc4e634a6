// Stand-ins for operations whose real modules have not landed yet. Each block
// names the module that will replace it; that module deletes its block here
// and in qelSeams.h when it arrives.
#include "qelSeams.h"
#include "qelOptionListInternal.h"
#include "qelSettingsInternal.h"

#include <cstring>


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
QELStatus qelX509GetIssuerAndSerial(const std::uint8_t *, std::size_t, std::uint8_t *, std::size_t *)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelX509GetNameDER(const std::uint8_t *, std::size_t, bool, std::uint8_t *, std::size_t *)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelX509GetNameText(const std::uint8_t *, std::size_t, bool, std::uint8_t *, std::size_t *)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelX509GetSubjectAltName(const std::uint8_t *, std::size_t, int, std::uint8_t *, std::size_t *)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelX509KeyToSubjectPublicKeyInfo(QELContext *, QELKeyObject *, std::uint8_t *, std::size_t *)
{
    return QELError_FeatureNotAvailable;
}
QELStatus qelX509GetCRLDistributionPoint(QELContext *, const std::uint8_t *, std::size_t, std::uint8_t *,
                                         std::size_t *)
{
    return QELError_FeatureNotAvailable;
}
// ---- end keydb ----

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
