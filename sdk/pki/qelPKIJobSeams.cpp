// The decode job's certificate input reaches the PKCS #7 import here, and
// what the import hands back becomes key databases through the X.509 key
// code; the encode job's PKI messages are the enrolment messages. The jobs
// see only the tables they declared.
#include "qelPKIJobSeamsInternal.h"

#include "qelDecodeJobInternal.h"
#include "qelEncodePKIMessageInternal.h"
#include "qelHelpers.h"
#include "qelKeyIter.h"
#include "qelKeyObjInternal.h"
#include "qelOptionList.h"
#include "qelPKIEnrolMessageInternal.h"
#include "qelPKIPKCS7ImportInternal.h"
#include "qelPublicKey.h"
#include "qelX509KeysInternal.h"

namespace {

using OptionsHeld = qel::Owned<QELOptionList, qelOptionListFreePublic>;
using PrivateHeld = qel::Owned<QELPrivateKeyContext, qelPrivateKeyContextFree>;

// The key an enveloped layer is opened with when its reply names none: the
// database's first key, as the import takes it.
QELKeyObject *envelopeKey(QELKeyDB *db)
{
    if (db == nullptr)
        return nullptr;
    QELKeyIter *iter = nullptr;
    if (qelKeyIterNewOnDB(db, &iter) != 0)
        return nullptr;
    QELKeyObject *key = nullptr;
    if (qelKeyIterNext(iter, 1, &key) != 0)
        key = nullptr;
    static_cast<void>(qelKeyIterFree(iter));
    return key;
}

// Whether the key's secret part refuses the secret given (or its absence):
// the envelope then failed for want of a passphrase, which the job can ask
// for, rather than for a key that cannot open it.
bool refusesSecret(QELContext *context, QELKeyObject *key, const QELOptionList *secret)
{
    if (key == nullptr || !qelKeyObjIsSecret(key))
        return false;
    QELOptionList *copy = nullptr;
    if (secret != nullptr && qelOptionListCopyPublic(secret, &copy) != 0)
        return false;
    QELPrivateKeyContext *raw = nullptr;
    const QELStatus s = qelPrivateKeyContextNew(key, 2, &raw, copy != nullptr ? copy : qelOptionNull(context),
                                                qelOptionLastOption(context));
    PrivateHeld held(raw);
    return s == QELError_BadPassphrase;
}

QELStatus certImport(QELContext *context, const std::uint8_t *der, std::uint64_t length, std::int32_t,
                     QELKeyDB *searchDB, QELOptionList *passphrase, QELCertImportResult *out)
{
    *out = QELCertImportResult{};
    OptionsHeld kept;
    if (passphrase != nullptr) {
        QELOptionList *copy = nullptr;
        if (qelOptionListCopyPublic(passphrase, &copy) != 0) {
            static_cast<void>(qelOptionListFreePublic(passphrase));
            return QELError_OutOfMemory;
        }
        kept.reset(copy);
    }
    QELPKCS7ImportResult r{};
    const QELStatus s = qelCertImportPKCS7(context, der, length, searchDB, passphrase, &r);
    if (s == QELError_PKIEnvelopeNotOpened) {
        QELKeyObject *key = envelopeKey(searchDB);
        if (refusesSecret(context, key, kept.get())) {
            out->locked = key;
            return QELError_BadPassphrase;
        }
    }
    if (s != 0)
        return s;
    out->certificates = r.certificates;
    out->certificatesLength = r.certificatesLength;
    out->crls = r.crls;
    out->crlsLength = r.crlsLength;
    out->signerKey = r.signerKey;
    out->isSigned = r.isSigned;
    out->checked = r.signerFound;
    out->verified = r.signatureValid;
    return 0;
}

QELStatus importCertificates(QELContext *context, const std::uint8_t *der, std::uint64_t length, QELKeyDB *keyDB,
                             QELKeyDB **outDB)
{
    return qelX509ImportCertificateSet(der, static_cast<std::size_t>(length), context, keyDB, outDB);
}

QELStatus importCRLs(QELContext *context, const std::uint8_t *der, std::uint64_t length, QELKeyDB *keyDB,
                     QELKeyDB **outDB)
{
    return qelX509ImportCRLs(der, static_cast<std::size_t>(length), context, keyDB, outDB, nullptr);
}

} // namespace

void qelPKIJobSeamsInstall()
{
    QELDecodeJobSeams &decode = qelDecodeJobSeams();
    decode.certImport = certImport;
    decode.importCertificates = importCertificates;
    decode.importCRLs = importCRLs;
    qelEncodeJobSeams().buildPKIMessage = qelPKIBuildEnrolMessage;
}
