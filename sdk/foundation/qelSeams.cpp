// Stand-ins for operations whose real modules have not landed yet. Each block
// names the module that will replace it; that module deletes its block here
// and in qelSeams.h when it arrives.
#include "qelSeams.h"
#include "qelOptionListInternal.h"
#include "qelSettingsInternal.h"

#include <cstring>


// ---- keydb: stand-ins the key database calls ----

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
