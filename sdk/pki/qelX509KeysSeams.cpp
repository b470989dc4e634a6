// The key import and export sit below the certificate toolkit; at start-up
// the toolkit hands them its imports, exports and issuing through their
// table.
#include "qelX509KeysSeamsInternal.h"

#include "qelKeyIOImportInternal.h"
#include "qelMemory.h"
#include "qelOptionList.h"
#include "qelPKCS12Internal.h"
#include "qelPKIIssueInternal.h"
#include "qelPKIPKCS7ImportInternal.h"
#include "qelX509KeysInternal.h"

namespace {

QELStatus importCRLs(const std::uint8_t *der, std::size_t length, QELContext *context, QELKeyDB *keyDB,
                     QELKeyDB **outDB)
{
    return qelX509ImportCRLs(der, length, context, keyDB, outDB, nullptr);
}

// The PKCS #7 import frees the list it is given: it gets a copy.
QELStatus certificatesOf(QELContext *context, const std::uint8_t *der, std::size_t length, QELKeyDB *keyDB,
                         QELOptionList *options, std::uint8_t **outCertificates, std::uint64_t *outCertificatesLength,
                         std::uint8_t **outCRLs, std::uint64_t *outCRLsLength)
{
    *outCertificates = *outCRLs = nullptr;
    *outCertificatesLength = *outCRLsLength = 0;
    QELOptionList *copy = nullptr;
    if (options != nullptr) {
        if (QELStatus s = qelOptionListCopyPublic(options, &copy); s != QELError_NoErr)
            return s;
    }
    QELPKCS7ImportResult result{};
    const QELStatus s = qelCertImportPKCS7(context, der, length, keyDB, copy, &result);
    if (s != QELError_NoErr)
        return s;
    *outCertificates = result.certificates;
    *outCertificatesLength = result.certificatesLength;
    *outCRLs = result.crls;
    *outCRLsLength = result.crlsLength;
    return QELError_NoErr;
}

QELStatus pkcs12Export(QELContext *context, const std::uint8_t *key, std::uint64_t keyLength, const char *password,
                       std::uint64_t passwordLength, const std::uint8_t *certificates,
                       std::uint64_t certificatesLength, const char *friendlyName, std::uint64_t friendlyNameLength,
                       std::int32_t iterations, std::uint8_t **out, std::uint64_t *outLength)
{
    return qelPKCS12Export(context, key, keyLength, password, passwordLength, certificates, certificatesLength,
                           friendlyName, friendlyNameLength, iterations, iterations, 0, out, outLength);
}

constexpr QELKeyIOSeams kSeams{
    .importPrivateKeyInfo = qelX509ImportPrivateKeyInfo,
    .importCertificateSet = qelX509ImportCertificateSet,
    .importCRLs = importCRLs,
    .certificatesOf = certificatesOf,
    .pkcs12Import = qelPKCS12Import,
    .pkcs12Export = pkcs12Export,
    .exportRSAPrivateKey = qelX509ExportRSAPrivateKey,
    .certificateChain = qelX509EncodeCertChain,
    .createCRL = qelX509CreateCRL,
    .createCertificate = qelX509CreateCertificate,
};

} // namespace

void qelX509KeysSeamsInstall() { qelKeyIOSeamsInstall(&kSeams); }
