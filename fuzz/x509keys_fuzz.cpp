// The X.509 key code on outside input: the raw DER walkers (every length
// they report must lie within the input), the decode job's cutting of
// concatenated objects, and a certificate or CRL through the key database's
// readers and the conversion of its key into a key packet body.
#include "qelFuzzSupport.h"

#include <vector>

#include "qelContext.h"
#include "qelKeyDB.h"
#include "qelSDK.h"
#include "qelX509KeysInternal.h"

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

bool within(const std::uint8_t *p, std::size_t n, const std::uint8_t *data, std::size_t size)
{
    return p == nullptr || (p >= data && n <= size && static_cast<std::size_t>(p - data) <= size - n);
}

void walkers(const std::uint8_t *data, std::size_t size)
{
    const std::uint8_t *tbs = nullptr, *alg = nullptr, *sig = nullptr;
    std::size_t tl = 0, al = 0, sl = 0;
    if (qelX509SplitSigned(data, size, &tbs, &tl, &alg, &al, &sig, &sl) == QELError_NoErr) {
        qelfuzz::check(within(tbs, tl, data, size) && within(alg, al, data, size) && within(sig, sl, data, size),
                       "signed split outside the input");
        const std::uint8_t *bits = nullptr;
        std::size_t bl = 0;
        if (qelX509BitStringContents(sig, sl, &bits, &bl) == QELError_NoErr)
            qelfuzz::check(within(bits, bl, data, size), "bit string outside the input");
        QELX509TBSParts parts{};
        if (qelX509SplitTBSCertificate(tbs, tl, &parts) == QELError_NoErr)
            for (int i = 0; i < 6; ++i)
                qelfuzz::check(within(parts.part[i], parts.length[i], data, size), "TBS part outside the input");
    }
    // Cutting a buffer of objects one after the other, as the decode job does.
    std::size_t offset = 0;
    while (offset < size) {
        const std::size_t n = qelX509DERSequenceLength(data + offset, size - offset);
        if (n == 0)
            break;
        qelfuzz::check(n <= size - offset, "sequence longer than the input");
        offset += n;
    }
    if (size > 4)
        static_cast<void>(qelX509FindEncodedElement(data, 3, data + 3, size - 3));
}

void readers(const std::uint8_t *data, std::size_t size)
{
    QELContext *ctx = context();
    QELX509CertNames names{};
    if (qelX509DecodeCertNames(ctx, data, size, &names) == QELError_NoErr)
        qelfuzz::check(within(names.issuer, names.issuerLength, data, size) &&
                           within(names.subject, names.subjectLength, data, size),
                       "names outside the certificate");
    QELX509CRLTimes times{};
    static_cast<void>(qelX509DecodeCRLTimes(ctx, data, size, &times));
    using Reader = QELStatus (*)(const std::uint8_t *, std::size_t, int, std::uint8_t *, std::size_t *);
    const Reader readersTable[] = {
        [](const std::uint8_t *d, std::size_t n, int, std::uint8_t *b, std::size_t *l) {
            return qelX509GetIssuerAndSerial(d, n, b, l);
        },
        [](const std::uint8_t *d, std::size_t n, int sel, std::uint8_t *b, std::size_t *l) {
            return qelX509GetNameText(d, n, sel != 0, b, l);
        },
        [](const std::uint8_t *d, std::size_t n, int sel, std::uint8_t *b, std::size_t *l) {
            return qelX509GetNameDER(d, n, sel != 0, b, l);
        },
        [](const std::uint8_t *d, std::size_t n, int sel, std::uint8_t *b, std::size_t *l) {
            return qelX509GetSubjectAltName(d, n, sel, b, l);
        },
    };
    for (Reader r : readersTable)
        for (int sel = 0; sel < 2; ++sel) {
            std::size_t n = 0;
            if (r(data, size, sel, nullptr, &n) != QELError_NoErr || n == 0)
                continue;
            std::vector<std::uint8_t> out(n);
            qelfuzz::check(r(data, size, sel, out.data(), &n) == QELError_NoErr && n == out.size(),
                           "reader changed its mind between the passes");
        }
    std::size_t n = 0;
    static_cast<void>(qelX509GetCRLDistributionPoint(ctx, data, size, nullptr, &n));
}

// A certificate into a key ring (key packet, user ID, signature packet) and
// a set of certificates into one database.
void toKeys(const std::uint8_t *data, std::size_t size)
{
    QELContext *ctx = context();
    QELKeyDB *db = nullptr;
    if (qelX509ImportCertificate(data, size, ctx, nullptr, &db) == QELError_NoErr)
        static_cast<void>(qelKeyDBRelease(db));
    db = nullptr;
    if (size > 0 && data[0] == 0x31 && qelX509ImportCertificateSet(data, size, ctx, nullptr, &db) == QELError_NoErr)
        static_cast<void>(qelKeyDBRelease(db));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    qelfuzz::startOnce(true);
    walkers(data, size);
    readers(data, size);
    toKeys(data, size);
    return 0;
}
