// The PKCS #7 certificate import on outside input: bare certificates and
// CRLs, and ContentInfo with signed and enveloped layers in any nesting.
// Success must hand back DER sets; failure must hand back nothing. Odd
// first octets run the import against an (empty) key database, which reads
// the transactionID and looks the signer up. What an import hands back
// must write out as a degenerate SignedData that imports to the same sets;
// the input itself is also tried as a certificate set to write out.
#include "qelFuzzSupport.h"

#include <cstring>

#include "qelContext.h"
#include "qelKeyDB.h"
#include "qelMemory.h"
#include "qelPKIPKCS7ExportInternal.h"
#include "qelPKIPKCS7ImportInternal.h"
#include "qelSDK.h"

namespace {

QELContext *context()
{
    static QELContext *ctx = [] {
        QELContext *c = nullptr;
        qelfuzz::check(qelContextNew(QELSDKVersion, &c) == QELError_NoErr, "no context");
        return c;
    }();
    return ctx;
}

QELKeyDB *emptyDB()
{
    static QELKeyDB *db = [] {
        QELKeyDB *d = nullptr;
        qelfuzz::check(qelKeyDBNewInMemory(context(), &d) == QELError_NoErr, "no key database");
        return d;
    }();
    return db;
}

bool same(const std::uint8_t *a, std::uint64_t an, const std::uint8_t *b, std::uint64_t bn)
{
    return an == bn && (an == 0 || std::memcmp(a, b, an) == 0);
}

void release(QELPKCS7ImportResult &r)
{
    if (r.certificates != nullptr)
        static_cast<void>(qelMemFree(r.certificates));
    if (r.crls != nullptr)
        static_cast<void>(qelMemFree(r.crls));
    r = QELPKCS7ImportResult{};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    qelfuzz::startOnce(true);
    QELPKCS7ImportResult r{};
    QELKeyDB *db = size != 0 && (data[0] & 1) != 0 ? emptyDB() : nullptr;
    const QELStatus s = qelCertImportPKCS7(context(), data, size, db, nullptr, &r);

    std::uint8_t *written = nullptr;
    std::uint64_t writtenLength = 0;
    if (qelCertExportPKCS7(context(), data, size, nullptr, 0, &written, &writtenLength) == QELError_NoErr) {
        qelfuzz::check(written != nullptr && writtenLength > 2 && written[0] == 0x30, "the export is no SEQUENCE");
        static_cast<void>(qelMemFree(written));
    } else {
        qelfuzz::check(written == nullptr && writtenLength == 0, "a failed export handed something back");
    }

    if (s != QELError_NoErr) {
        qelfuzz::check(r.certificates == nullptr && r.crls == nullptr && r.certificatesLength == 0 &&
                           r.crlsLength == 0,
                       "a failed import handed something back");
        return 0;
    }
    qelfuzz::check(r.certificates == nullptr || (r.certificatesLength > 2 && r.certificates[0] == 0x31),
                   "the certificates are no SET");
    qelfuzz::check(r.crls == nullptr || (r.crlsLength > 2 && r.crls[0] == 0x31), "the CRLs are no SET");
    qelfuzz::check(r.signerKey == nullptr && r.signerFound == 0 && r.signatureValid == 0,
                   "a signer found in an empty database");
    // The sets written out and read back are the same sets.
    written = nullptr;
    writtenLength = 0;
    qelfuzz::check(qelCertExportPKCS7(context(), r.certificates, r.certificatesLength, r.crls, r.crlsLength,
                                      &written, &writtenLength) == QELError_NoErr,
                   "the imported sets do not write out");
    QELPKCS7ImportResult again{};
    qelfuzz::check(qelCertImportPKCS7(context(), written, writtenLength, nullptr, nullptr, &again) == QELError_NoErr,
                   "the written SignedData does not import");
    qelfuzz::check(same(r.certificates, r.certificatesLength, again.certificates, again.certificatesLength) &&
                       same(r.crls, r.crlsLength, again.crls, again.crlsLength),
                   "the sets changed on the way out and back");
    static_cast<void>(qelMemFree(written));
    release(again);
    release(r);
    return 0;
}
