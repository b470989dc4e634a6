// PKCS #12 import on outside input. The first octet picks the password
// ("pw" or empty), the rest is the file; seeds without a MAC let mutations
// reach the bags, the PBE and PBES2 parameters and the padding checks.
// Success must hand back a key that is a whole PrivateKeyInfo and a
// certificate set that starts as a SET; failure must hand back nothing.
#include "qelFuzzSupport.h"

#include <cstring>

#include "qelContext.h"
#include "qelMemory.h"
#include "qelPKCS12Internal.h"
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
    if (size < 1)
        return 0;
    const char *password = (data[0] & 1) != 0 ? "pw" : "";
    std::uint8_t *key = nullptr, *certificates = nullptr;
    std::uint64_t keyLength = 0, certificatesLength = 0;
    const QELStatus s = qelPKCS12Import(context(), data + 1, size - 1, password, std::strlen(password), &key,
                                        &keyLength, &certificates, &certificatesLength);
    if (s != QELError_NoErr) {
        qelfuzz::check(key == nullptr && keyLength == 0 && certificates == nullptr && certificatesLength == 0,
                       "a failed import handed something back");
        return 0;
    }
    qelfuzz::check((key == nullptr) == (keyLength == 0), "key and its length disagree");
    qelfuzz::check(key == nullptr || key[0] == 0x30, "the key is no SEQUENCE");
    qelfuzz::check(certificates == nullptr || (certificatesLength > 2 && certificates[0] == 0x31),
                   "the certificates are no SET");
    if (key != nullptr)
        static_cast<void>(qelMemFree(key));
    if (certificates != nullptr)
        static_cast<void>(qelMemFree(certificates));
    return 0;
}
