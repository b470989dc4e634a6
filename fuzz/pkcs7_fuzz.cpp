// The PKCS #7 certificate import on outside input: bare certificates and
// CRLs, and ContentInfo with signed and enveloped layers in any nesting.
// Success must hand back DER sets; failure must hand back nothing.
#include "qelFuzzSupport.h"

#include "qelContext.h"
#include "qelMemory.h"
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    qelfuzz::startOnce(true);
    QELPKCS7ImportResult r{};
    const QELStatus s = qelCertImportPKCS7(context(), data, size, nullptr, nullptr, &r);
    if (s != QELError_NoErr) {
        qelfuzz::check(r.certificates == nullptr && r.crls == nullptr && r.certificatesLength == 0 &&
                           r.crlsLength == 0,
                       "a failed import handed something back");
        return 0;
    }
    qelfuzz::check(r.certificates == nullptr || (r.certificatesLength > 2 && r.certificates[0] == 0x31),
                   "the certificates are no SET");
    qelfuzz::check(r.crls == nullptr || (r.crlsLength > 2 && r.crls[0] == 0x31), "the CRLs are no SET");
    if (r.certificates != nullptr)
        static_cast<void>(qelMemFree(r.certificates));
    if (r.crls != nullptr)
        static_cast<void>(qelMemFree(r.crls));
    return 0;
}
