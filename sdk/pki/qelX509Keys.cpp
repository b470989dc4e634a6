// The X.509 key code: DER walkers, times, algorithm identifiers, decode
// entries, the certificate readers of the key properties and the X.509
// signature check of the key database.
#include "qelX509KeysInternal.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <cstring>
#include <string>
#include <vector>

#include "qelContext.h"
#include "qelConstantTimeInternal.h"
#include "qelContextInternal.h"
#include "qelHashInternal.h"
#include "qelHelpers.h"
#include "qelKeyDB.h"
#include "qelKeyDBChange.h"
#include "qelKeyDBInternal.h"
#include "qelKeyIDInternal.h"
#include "qelKeyMan.h"
#include "qelKeyObjInternal.h"
#include "qelKeyOpsInternal.h"
#include "qelKeyPacketInternal.h"
#include "qelMemoryInternal.h"
#include "qelPKIEnrolNameInternal.h"
#include "qelPkAlgInternal.h"
#include "qelTimeDateInternal.h"
#include "qelTrustPropInternal.h"
#include "qelWipe.h"
#include "qelX509.h"

namespace {

using u8 = std::uint8_t;

constexpr std::int32_t kCodecOutOfMemory = -17;

// ---- algorithm identifiers (content octets) -------------------------------------------------
constexpr u8 kRSAEncryption[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
constexpr u8 kMD2WithRSA[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x02};
constexpr u8 kMD5WithRSA[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x04};
constexpr u8 kSHA1WithRSA[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x05};
constexpr u8 kIdDSA[] = {0x2A, 0x86, 0x48, 0xCE, 0x38, 0x04, 0x01};
constexpr u8 kDSAWithSHA1[] = {0x2A, 0x86, 0x48, 0xCE, 0x38, 0x04, 0x03};
constexpr u8 kOIWDSAWithSHA1[] = {0x2B, 0x0E, 0x03, 0x02, 0x1B};
constexpr u8 kElGamal[] = {0x2A, 0x86, 0x48, 0xCE, 0x3E, 0x02, 0x01};
constexpr u8 kEmailAddress[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x01};
constexpr u8 kSubjectAltName[] = {0x55, 0x1D, 0x11};
constexpr u8 kCRLDistributionPoints[] = {0x55, 0x1D, 0x1F};

struct AlgorithmRow {
    const u8 *oid;
    std::size_t length;
    std::int32_t publicKey;
    std::int32_t hash;
};
constexpr AlgorithmRow kAlgorithms[] = {
    {kRSAEncryption, sizeof kRSAEncryption, 1, 0}, {kMD5WithRSA, sizeof kMD5WithRSA, 1, 1},
    {kMD2WithRSA, sizeof kMD2WithRSA, 1, 5},       {kSHA1WithRSA, sizeof kSHA1WithRSA, 1, 2},
    {kIdDSA, sizeof kIdDSA, 17, 0},                {kDSAWithSHA1, sizeof kDSAWithSHA1, 17, 2},
    {kOIWDSAWithSHA1, sizeof kOIWDSAWithSHA1, 17, 2}, {kElGamal, sizeof kElGamal, 16, 0},
};

template <std::size_t N>
bool oidIs(const ASN1_ObjectIdentifier &oid, const u8 (&constant)[N])
{
    return oid.length == N && oid.data != nullptr && std::memcmp(oid.data, constant, N) == 0;
}

using qel::x509::Record;

using CertRecord = Record<ASN1Key_Certificate, asn1KeyFree_Certificate>;
using CRLRecord = Record<ASN1Key_CertificateList, asn1KeyFree_CertificateList>;
using SignedRecord = Record<ASN1Key_Signed, asn1KeyFree_Signed>;
using GeneralNamesRecord = Record<ASN1Key_GeneralNames, asn1KeyFree_GeneralNames>;
using DirectoryStringRecord = Record<ASN1Key_DirectoryString, asn1KeyFree_DirectoryString>;
using DistPointsRecord = Record<ASN1Key_CRLDistributionPoints, asn1KeyFree_CRLDistributionPoints>;

// Decodes the whole input as one T; a record that leaves octets over or
// fails is released. Returns the SDK status.
template <typename T>
QELStatus unpack(ASN1Context *codec, std::uint64_t (*fn)(ASN1Context *, T **, const u8 *, std::uint64_t, std::int32_t *),
                 void (*freeFn)(ASN1Context *, T *), T **out, const u8 *in, std::size_t length)
{
    *out = nullptr;
    std::int32_t err = 0;
    std::uint64_t used = fn(codec, out, in, length, &err);
    if (err == 0 && (used == 0 || *out == nullptr))
        err = -1;
    if (err != 0 && *out != nullptr) {
        freeFn(codec, *out);
        *out = nullptr;
    }
    return qelX509MapCodecStatus(err);
}

ASN1Key_RDNSequence *rdns(const ASN1Key_Name *name)
{
    return name != nullptr ? static_cast<ASN1Key_RDNSequence *>(name->alternative) : nullptr;
}

template <typename Fn>
void forEachAttribute(const ASN1Key_Name *name, Fn &&fn)
{
    ASN1Key_RDNSequence *seq = rdns(name);
    if (seq == nullptr)
        return;
    for (std::int64_t i = 0; i < seq->count; ++i) {
        ASN1Key_RelativeDistinguishedName *rdn = seq->elements[i];
        for (std::int64_t j = 0; rdn != nullptr && j < rdn->count; ++j)
            if (rdn->elements[j] != nullptr && !fn(*rdn->elements[j]))
                return;
    }
}

template <typename Fn>
void forEachExtension(const ASN1Key_Extensions *extensions, Fn &&fn)
{
    for (std::int64_t i = 0; extensions != nullptr && i < extensions->count; ++i)
        if (extensions->elements[i] != nullptr && !fn(*extensions->elements[i]))
            return;
}

// The first subjectAltName entry with the given identifier octet.
bool findAltName(ASN1Context *codec, const ASN1Key_Extensions *extensions, u8 identifier, std::vector<u8> &out)
{
    bool found = false;
    forEachExtension(extensions, [&](const ASN1Key_Extension &e) {
        if (!oidIs(e.extnID, kSubjectAltName))
            return true;
        GeneralNamesRecord names(codec);
        if (unpack(codec, asn1KeyUnpack_GeneralNames, asn1KeyFree_GeneralNames, names.out(), e.extnValue.data,
                   e.extnValue.length) != QELError_NoErr)
            return true;
        for (std::int64_t i = 0; i < names->count; ++i) {
            ASN1Key_GeneralName *g = names->elements[i];
            if (g != nullptr && g->identifier == identifier && g->alternative != nullptr) {
                auto *s = static_cast<ASN1_OctetString *>(g->alternative);
                out.assign(s->data, s->data + s->length);
                found = true;
                return false;
            }
        }
        return true;
    });
    return found;
}

// The DER GeneralNames of the first distribution point's full name.
bool findDistPoint(ASN1Context *codec, const ASN1Key_Extensions *extensions, std::vector<u8> &out,
                   QELStatus &status)
{
    bool found = false;
    status = QELError_NoErr;
    forEachExtension(extensions, [&](const ASN1Key_Extension &e) {
        if (!oidIs(e.extnID, kCRLDistributionPoints))
            return true;
        DistPointsRecord points(codec);
        if (unpack(codec, asn1KeyUnpack_CRLDistributionPoints, asn1KeyFree_CRLDistributionPoints, points.out(),
                   e.extnValue.data, e.extnValue.length) != QELError_NoErr ||
            points->count < 1 || points->elements[0] == nullptr)
            return true;
        ASN1Key_DistributionPointName *dp = points->elements[0]->distributionPoint;
        if (dp == nullptr || (dp->identifier != 0xA0 && dp->identifier != 0x80) || dp->alternative == nullptr)
            return true;
        auto *names = static_cast<ASN1Key_GeneralNames *>(dp->alternative);
        std::uint64_t size = asn1KeySizeof_GeneralNames(codec, names, 1);
        out.resize(size);
        std::int32_t err = 0;
        std::uint64_t n = asn1KeyPack_GeneralNames(codec, out.data(), size, names, &err);
        if (err != 0 || n != size) {
            status = qelX509MapCodecStatus(err != 0 ? err : -1);
            return false;
        }
        found = true;
        return false;
    });
    return found;
}

// The value text of one attribute (the low octet of each BMP unit), quoted
// and escaped as the key database shows names.
bool valueText(ASN1Context *codec, const ASN1_Any &value, std::string &out)
{
    DirectoryStringRecord ds(codec);
    if (unpack(codec, asn1KeyUnpack_DirectoryString, asn1KeyFree_DirectoryString, ds.out(), value.data,
               value.length) != QELError_NoErr ||
        ds->alternative == nullptr)
        return false;
    auto *s = static_cast<ASN1_OctetString *>(ds->alternative);
    std::string raw;
    if (ds->identifier == 0x1E || ds->identifier == 0x3E) {
        for (std::uint64_t i = 1; i < s->length; i += 2)
            raw.push_back(static_cast<char>(s->data[i]));
    } else {
        raw.assign(reinterpret_cast<const char *>(s->data), s->length);
    }
    bool quote = !raw.empty() && (raw.front() == ' ' || raw.back() == ' ');
    quote = quote || raw.find("  ") != std::string::npos || raw.find_first_of(",=+<>#;\r") != std::string::npos;
    out.clear();
    if (quote)
        out.push_back('"');
    for (char c : raw) {
        if (c == '\\' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
    if (quote)
        out.push_back('"');
    return true;
}

const char *shortName(const ASN1_ObjectIdentifier &type)
{
    if (oidIs(type, kEmailAddress))
        return "EMAIL";
    if (type.length != 3 || type.data[0] != 0x55 || type.data[1] != 0x04)
        return nullptr;
    switch (type.data[2]) {
    case 3: return "CN";
    case 6: return "C";
    case 7: return "L";
    case 8: return "ST";
    case 9: return "STREET";
    case 10: return "O";
    case 11: return "OU";
    default: return nullptr;
    }
}

bool isCreationString(const std::string &text)
{
    return text.size() == 25 && text.compare(0, 17, "QELKeyCreation=0x") == 0;
}

QELStatus copyOut(const void *data, std::size_t n, std::uint8_t *buffer, std::size_t *inOutLength)
{
    if (buffer != nullptr) {
        if (*inOutLength < n)
            return QELError_BufferTooSmall;
        if (n != 0)
            std::memcpy(buffer, data, n);
    }
    *inOutLength = n;
    return QELError_NoErr;
}

QELMemoryMgr *globalMgr() { return qelMemMgrGetGlobal(); }

QELMemoryMgr *contextMgr(QELContext *context)
{
    QELMemoryMgr *mgr = context != nullptr ? qelContextGetMemoryMgr(context) : nullptr;
    return mgr != nullptr ? mgr : globalMgr();
}

} // namespace

// ---- allocator slots -----------------------------------------------------------------------
void *qelX509AsnAlloc(ASN1Allocator *self, std::uint64_t size)
{
    if (size > SIZE_MAX)
        return nullptr;
    return qelMemAlloc(static_cast<QELMemoryMgr *>(self->userData), static_cast<std::size_t>(size), 0);
}

std::int32_t qelX509AsnRealloc(ASN1Allocator *self, void **block, std::uint64_t newSize)
{
    if (newSize > SIZE_MAX)
        return kCodecOutOfMemory;
    if (*block == nullptr) {
        void *p = qelX509AsnAlloc(self, newSize);
        if (p == nullptr)
            return kCodecOutOfMemory;
        *block = p;
        return 0;
    }
    QELStatus s = qelMemRealloc(static_cast<QELMemoryMgr *>(self->userData), block,
                                static_cast<std::size_t>(newSize), 0);
    return s == QELError_NoErr ? 0 : kCodecOutOfMemory;
}

std::int32_t qelX509AsnFree(ASN1Allocator *, void *block)
{
    if (block != nullptr)
        static_cast<void>(qelMemFree(block)); // a block the codec had from us
    return 0;
}

void qelPKISDKAllocatorInit(ASN1Allocator *allocator, QELMemoryMgr *mgr)
{
    *allocator = ASN1Allocator{mgr, qelPKISDKAlloc, qelPKISDKRealloc, qelPKISDKFree};
}
void *qelPKISDKAlloc(ASN1Allocator *self, std::uint64_t size) { return qelX509AsnAlloc(self, size); }
std::int32_t qelPKISDKRealloc(ASN1Allocator *self, void **block, std::uint64_t newSize)
{
    return qelX509AsnRealloc(self, block, newSize);
}
std::int32_t qelPKISDKFree(ASN1Allocator *self, void *block) { return qelX509AsnFree(self, block); }

QELStatus qelX509MapCodecStatus(std::int32_t codecStatus)
{
    if (codecStatus == 0)
        return QELError_NoErr;
    return codecStatus == kCodecOutOfMemory ? QELError_OutOfMemory : QELError_CodecFailed;
}

// ---- raw DER walkers ---------------------------------------------------------------------
int qelX509ReadTagLength(const std::uint8_t **cursor, const std::uint8_t *end, std::uint64_t *outLength)
{
    *outLength = 0;
    const u8 *p = *cursor;
    if (p == nullptr || end == nullptr || end - p < 2)
        return -1;
    const int tag = p[0] & 0x1F;
    const u8 b = p[1];
    p += 2;
    std::uint64_t length = 0;
    if (b & 0x80) {
        const std::size_t n = b & 0x7F;
        if (n > 8 || static_cast<std::size_t>(end - p) < n)
            return -1;
        for (std::size_t i = 0; i < n; ++i)
            length = (length << 8) | *p++;
    } else {
        length = b;
    }
    // Content that runs past the bytes given is refused here, so that no
    // caller adds a length to a pointer or a size beyond the input.
    if (length > static_cast<std::uint64_t>(end - p))
        return -1;
    *cursor = p;
    *outLength = length;
    return tag;
}

namespace {

// Takes one element of the wanted tag: its start and total size.
bool takeElement(const u8 *&cursor, const u8 *end, int wanted, const u8 **start, std::size_t *size)
{
    const u8 *from = cursor;
    std::uint64_t length = 0;
    if (qelX509ReadTagLength(&cursor, end, &length) != wanted)
        return false;
    cursor += length;
    if (start != nullptr)
        *start = from;
    if (size != nullptr)
        *size = static_cast<std::size_t>(cursor - from);
    return true;
}

void clearPair(const u8 **p, std::size_t *n)
{
    if (p != nullptr)
        *p = nullptr;
    if (n != nullptr)
        *n = 0;
}

} // namespace

QELStatus qelX509SplitSigned(const std::uint8_t *der, std::size_t length, const std::uint8_t **tbs,
                             std::size_t *tbsLength, const std::uint8_t **algorithm, std::size_t *algorithmLength,
                             const std::uint8_t **signature, std::size_t *signatureLength)
{
    clearPair(tbs, tbsLength);
    clearPair(algorithm, algorithmLength);
    clearPair(signature, signatureLength);
    if (der == nullptr)
        return QELError_BadParams;
    const u8 *cursor = der;
    const u8 *end = der + length;
    std::uint64_t outer = 0;
    if (qelX509ReadTagLength(&cursor, end, &outer) != 16)
        return QELError_BadDER;
    end = cursor + outer;
    const u8 *parts[3];
    std::size_t sizes[3];
    if (!takeElement(cursor, end, 16, &parts[0], &sizes[0]) || !takeElement(cursor, end, 16, &parts[1], &sizes[1]) ||
        !takeElement(cursor, end, 3, &parts[2], &sizes[2]))
        return QELError_BadDER;
    if (tbs) *tbs = parts[0];
    if (tbsLength) *tbsLength = sizes[0];
    if (algorithm) *algorithm = parts[1];
    if (algorithmLength) *algorithmLength = sizes[1];
    if (signature) *signature = parts[2];
    if (signatureLength) *signatureLength = sizes[2];
    return QELError_NoErr;
}

QELStatus qelX509BitStringContents(const std::uint8_t *der, std::size_t length, const std::uint8_t **bits,
                                   std::size_t *bitsLength)
{
    clearPair(bits, bitsLength);
    if (der == nullptr)
        return QELError_BadParams;
    const u8 *cursor = der;
    std::uint64_t n = 0;
    if (qelX509ReadTagLength(&cursor, der + length, &n) != 3 || n < 1 || cursor[0] != 0)
        return QELError_BadDER;
    if (bits) *bits = cursor + 1;
    if (bitsLength) *bitsLength = static_cast<std::size_t>(n - 1);
    return QELError_NoErr;
}

QELStatus qelX509SplitTBSCertificate(const std::uint8_t *der, std::size_t length, QELX509TBSParts *out)
{
    if (out != nullptr)
        *out = QELX509TBSParts{};
    if (der == nullptr)
        return QELError_BadParams;
    const u8 *cursor = der;
    const u8 *end = der + length;
    std::uint64_t outer = 0;
    if (qelX509ReadTagLength(&cursor, end, &outer) != 16)
        return QELError_BadDER;
    end = cursor + outer;
    if (cursor < end && (cursor[0] & 0x1F) == 0 && !takeElement(cursor, end, 0, nullptr, nullptr))
        return QELError_BadDER;
    QELX509TBSParts parts{};
    if (!takeElement(cursor, end, 2, &parts.part[0], &parts.length[0]))
        return QELError_BadDER;
    for (int i = 1; i < 6; ++i)
        if (!takeElement(cursor, end, 16, &parts.part[i], &parts.length[i]))
            return QELError_BadDER;
    if (out != nullptr)
        *out = parts;
    return QELError_NoErr;
}

std::size_t qelX509DERSequenceLength(const std::uint8_t *der, std::size_t available)
{
    if (der == nullptr || available < 2)
        return 0;
    if (der[1] == 0x80)
        return (der[0] & 0x1F) == 16 ? available : 0;
    const u8 *cursor = der;
    std::uint64_t length = 0;
    if (qelX509ReadTagLength(&cursor, der + available, &length) != 16)
        return 0;
    return static_cast<std::size_t>(cursor - der) + static_cast<std::size_t>(length);
}

bool qelX509FindEncodedElement(const std::uint8_t *element, std::size_t elementLength, const std::uint8_t *data,
                               std::size_t dataLength)
{
    if (element == nullptr || data == nullptr || elementLength == 0)
        return false;
    const u8 *cursor = data;
    const u8 *end = data + dataLength;
    while (static_cast<std::size_t>(end - cursor) >= elementLength) {
        const u8 *start = cursor;
        std::uint64_t length = 0;
        if (qelX509ReadTagLength(&cursor, end, &length) < 0)
            return false;
        cursor += length;
        const auto size = static_cast<std::size_t>(cursor - start);
        if (size == elementLength && std::memcmp(start, element, elementLength) == 0)
            return true;
    }
    return false;
}

// ---- algorithms and times ---------------------------------------------------------------------
QELStatus qelX509SigAlgorithmToIds(const ASN1_ObjectIdentifier *oid, std::int32_t *outPublicKeyAlgorithm,
                                   std::int32_t *outHashAlgorithm)
{
    if (outPublicKeyAlgorithm) *outPublicKeyAlgorithm = 0;
    if (outHashAlgorithm) *outHashAlgorithm = 0;
    if (oid == nullptr || oid->data == nullptr)
        return QELError_BadDER;
    for (const AlgorithmRow &row : kAlgorithms) {
        if (oid->length == row.length && std::memcmp(oid->data, row.oid, row.length) == 0) {
            if (outPublicKeyAlgorithm) *outPublicKeyAlgorithm = row.publicKey;
            if (outHashAlgorithm && row.hash != 0) *outHashAlgorithm = row.hash;
            return QELError_NoErr;
        }
    }
    return QELError_BadDER;
}

QELStatus qelX509TimeTextToSeconds64(const std::uint8_t *text, std::size_t length, bool generalized,
                                     std::int64_t *outSeconds)
{
    if (outSeconds != nullptr)
        *outSeconds = 0;
    if (text == nullptr || outSeconds == nullptr)
        return QELError_BadParams;
    auto digit = [](u8 c) { return c >= '0' && c <= '9'; };
    std::int64_t fields[6] = {};
    std::size_t pos = 0;
    int count = 0;
    while (length - pos >= 2 && count < 6) {
        if (!digit(text[pos]) || !digit(text[pos + 1]))
            return QELError_BadDER;
        fields[count] = (text[pos] - '0') * 10 + (text[pos + 1] - '0');
        pos += 2;
        if (generalized && count == 0) {
            // The year has four digits; all of them must be there and be digits.
            if (length - pos < 2 || !digit(text[pos]) || !digit(text[pos + 1]))
                return QELError_BadDER;
            fields[0] = fields[0] * 100 + (text[pos] - '0') * 10 + (text[pos + 1] - '0');
            pos += 2;
        }
        ++count;
    }
    if (length - pos != 1 || text[pos] != 'Z' || count < 5)
        return QELError_BadDER;
    std::int64_t year = fields[0];
    if (!generalized)
        year += year >= 50 ? 1900 : 2000;
    const std::int64_t days = qelTimeDateDaysFromYMD(static_cast<std::int32_t>(year),
                                                     static_cast<std::int32_t>(fields[1]),
                                                     static_cast<std::int32_t>(fields[2]));
    const std::int64_t seconds = ((days * 24 + fields[3]) * 60 + fields[4]) * 60 + fields[5];
    if (seconds < 0)
        return QELError_BadDER;
    *outSeconds = seconds;
    return QELError_NoErr;
}

QELStatus qelX509TimeTextToSeconds(const std::uint8_t *text, std::size_t length, bool generalized,
                                   std::uint32_t *outSeconds)
{
    if (outSeconds != nullptr)
        *outSeconds = 0;
    std::int64_t seconds = 0;
    if (QELStatus s = qelX509TimeTextToSeconds64(text, length, generalized, &seconds); s != QELError_NoErr)
        return s;
    // Outside the SDK's 32-bit calendar a time has no value.
    if (seconds > 0xFFFFFFFFll)
        return QELError_BadDER;
    *outSeconds = static_cast<std::uint32_t>(seconds);
    return QELError_NoErr;
}

int qelX509FormatTime(std::int64_t seconds, char *out)
{
    if (seconds < 0 || seconds / 86400 > 0xFFFFFFFFll)
        return 0;
    std::int16_t year = 0, month = 0, day = 0;
    qelTimeDateYMDFromDays(static_cast<std::uint32_t>(seconds / 86400), &year, &month, &day);
    const int rest = static_cast<int>(seconds % 86400);
    if (year < 1950 || year > 9999)
        return 0;
    char text[32];
    const int n = year <= 2049 ? std::snprintf(text, sizeof text, "%02d%02d%02d%02d%02d%02dZ", year % 100, month, day,
                                               rest / 3600, rest / 60 % 60, rest % 60)
                               : std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02dZ", year, month, day,
                                               rest / 3600, rest / 60 % 60, rest % 60);
    std::memcpy(out, text, static_cast<std::size_t>(n) + 1);
    return n;
}

void qelX509TimeToSeconds(const ASN1Key_Time *time, std::uint32_t *outSeconds)
{
    if (time == nullptr || outSeconds == nullptr || time->alternative == nullptr)
        return;
    const auto *text = static_cast<const ASN1_OctetString *>(time->alternative);
    const bool generalized = time->identifier != 0x17 && time->identifier != 0x37;
    std::uint32_t seconds = 0;
    if (qelX509TimeTextToSeconds(text->data, text->length, generalized, &seconds) == QELError_NoErr)
        *outSeconds = seconds;
}

// ---- decode and free entries ----------------------------------------------------------------
QELStatus qelX509DecodeCertificate(QELContext *context, const std::uint8_t *der, std::size_t length,
                                   ASN1Key_Certificate **outCertificate)
{
    if (outCertificate == nullptr)
        return QELError_BadParams;
    QELX509Codec codec(contextMgr(context));
    return unpack(codec.get(), asn1KeyUnpack_Certificate, asn1KeyFree_Certificate, outCertificate, der, length);
}

QELStatus qelX509FreeCertificate(QELContext *context, ASN1Key_Certificate *certificate)
{
    QELX509Codec codec(contextMgr(context));
    if (certificate != nullptr)
        asn1KeyFree_Certificate(codec.get(), certificate);
    return QELError_NoErr;
}

QELStatus qelX509DecodeCRL(QELContext *context, const std::uint8_t *der, std::size_t length,
                           ASN1Key_CertificateList **outCRL)
{
    if (outCRL == nullptr)
        return QELError_BadParams;
    QELX509Codec codec(contextMgr(context));
    return unpack(codec.get(), asn1KeyUnpack_CertificateList, asn1KeyFree_CertificateList, outCRL, der, length);
}

QELStatus qelX509FreeCRL(QELContext *context, ASN1Key_CertificateList *crl)
{
    QELX509Codec codec(contextMgr(context));
    if (crl != nullptr)
        asn1KeyFree_CertificateList(codec.get(), crl);
    return QELError_NoErr;
}

QELStatus qelX509DecodeTBS(QELContext *context, const std::uint8_t *der, std::size_t length,
                           ASN1Key_RawTBSCertificate **outRawTBS)
{
    if (outRawTBS == nullptr)
        return QELError_BadParams;
    *outRawTBS = nullptr;
    QELX509Codec codec(contextMgr(context));
    SignedRecord outer(codec.get());
    if (QELStatus s = unpack(codec.get(), asn1KeyUnpack_Signed, asn1KeyFree_Signed, outer.out(), der, length);
        s != QELError_NoErr)
        return s;
    return unpack(codec.get(), asn1KeyUnpack_RawTBSCertificate, asn1KeyFree_RawTBSCertificate, outRawTBS,
                  outer->toBeSigned.data, outer->toBeSigned.length);
}

QELStatus qelX509FreeTBS(QELContext *context, ASN1Key_RawTBSCertificate *rawTBS)
{
    QELX509Codec codec(contextMgr(context));
    if (rawTBS != nullptr)
        asn1KeyFree_RawTBSCertificate(codec.get(), rawTBS);
    return QELError_NoErr;
}

// ---- name text -----------------------------------------------------------------------------
QELStatus qelX509NameText(ASN1Context *codec, ASN1Key_Name *name, std::uint8_t *buffer, std::size_t *inOutSize)
{
    return qel::noThrow([&]() -> QELStatus {
        // Items other than commonName, then commonName items, each group in
        // reverse order of the name.
        std::vector<std::string> others, commonNames;
        forEachAttribute(name, [&](const ASN1Key_AttributeTypeAndValue &a) {
            const char *label = shortName(a.type);
            std::string value;
            if (label == nullptr || !valueText(codec, a.value, value))
                return true;
            if ((std::strcmp(label, "OU") == 0) && isCreationString(value))
                return true;
            std::string item = std::string(label) + "=" + value;
            (std::strcmp(label, "CN") == 0 ? commonNames : others).push_back(std::move(item));
            return true;
        });
        // description (2.5.4.13) carries no item of its own: it has no short name.
        std::string text;
        for (auto *group : {&commonNames, &others})
            for (auto it = group->rbegin(); it != group->rend(); ++it) {
                if (!text.empty())
                    text += ", ";
                text += *it;
            }
        if (text.empty())
            text.assign("(Unknown X509 name)", 20); // its NUL included
        return copyOut(text.data(), text.size(), buffer, inOutSize);
    });
}

// ---- the key database's certificate readers --------------------------------------------------
QELStatus qelX509DecodeCRLTimes(QELContext *context, const std::uint8_t *der, std::size_t length,
                                QELX509CRLTimes *outTimes)
{
    if (outTimes == nullptr)
        return QELError_BadParams;
    *outTimes = QELX509CRLTimes{};
    QELX509Codec codec(contextMgr(context));
    CRLRecord crl(codec.get());
    if (QELStatus s = unpack(codec.get(), asn1KeyUnpack_CertificateList, asn1KeyFree_CertificateList, crl.out(),
                             der, length);
        s != QELError_NoErr)
        return s;
    qelX509TimeToSeconds(&crl->tbsCertList.thisUpdate, &outTimes->thisUpdate);
    qelX509TimeToSeconds(crl->tbsCertList.nextUpdate, &outTimes->nextUpdate);
    return QELError_NoErr;
}

QELStatus qelX509DecodeCertNames(QELContext *context, const std::uint8_t *der, std::size_t length,
                                 QELX509CertNames *outNames)
{
    if (outNames == nullptr)
        return QELError_BadParams;
    *outNames = QELX509CertNames{};
    const u8 *tbs = nullptr;
    std::size_t tbsLength = 0;
    if (QELStatus s = qelX509SplitSigned(der, length, &tbs, &tbsLength, nullptr, nullptr, nullptr, nullptr);
        s != QELError_NoErr)
        return s;
    QELX509TBSParts parts{};
    if (QELStatus s = qelX509SplitTBSCertificate(tbs, tbsLength, &parts); s != QELError_NoErr)
        return s;
    QELX509Codec codec(contextMgr(context));
    CertRecord cert(codec.get());
    if (QELStatus s = unpack(codec.get(), asn1KeyUnpack_Certificate, asn1KeyFree_Certificate, cert.out(), der,
                             length);
        s != QELError_NoErr)
        return s;
    return qel::noThrow([&]() -> QELStatus {
        std::vector<u8> point;
        QELStatus s = QELError_NoErr;
        const bool has = findDistPoint(codec.get(), cert->tbsCertificate.extensions, point, s);
        outNames->issuer = parts.part[2];
        outNames->issuerLength = parts.length[2];
        outNames->subject = parts.part[4];
        outNames->subjectLength = parts.length[4];
        outNames->hasDistPoint = has ? 1 : 0;
        return QELError_NoErr;
    });
}

QELStatus qelX509GetIssuerAndSerial(const std::uint8_t *der, std::size_t length, std::uint8_t *buffer,
                                    std::size_t *inOutLength)
{
    if (inOutLength == nullptr)
        return QELError_BadParams;
    const std::size_t room = *inOutLength;
    *inOutLength = 0;
    QELX509Codec codec(globalMgr());
    SignedRecord outer(codec.get());
    if (QELStatus s = unpack(codec.get(), asn1KeyUnpack_Signed, asn1KeyFree_Signed, outer.out(), der, length);
        s != QELError_NoErr)
        return s;
    Record<ASN1Key_RawTBSCertificate, asn1KeyFree_RawTBSCertificate> raw(codec.get());
    if (QELStatus s = unpack(codec.get(), asn1KeyUnpack_RawTBSCertificate, asn1KeyFree_RawTBSCertificate, raw.out(),
                             outer->toBeSigned.data, outer->toBeSigned.length);
        s != QELError_NoErr)
        return s;
    // The record borrows the certificate's own octets; it is never freed
    // through the codec.
    ASN1Key_RawIssuerAndSerialNumber ias{raw->issuer, raw->serialNumber};
    std::uint64_t size = asn1KeySizeof_RawIssuerAndSerialNumber(codec.get(), &ias, 1);
    if (size == 0)
        return QELError_CodecFailed;
    if (buffer != nullptr) {
        if (room < size)
            return QELError_BufferTooSmall;
        std::int32_t err = 0;
        if (asn1KeyPack_RawIssuerAndSerialNumber(codec.get(), buffer, size, &ias, &err) != size || err != 0)
            return qelX509MapCodecStatus(err != 0 ? err : -1);
    }
    *inOutLength = static_cast<std::size_t>(size);
    return QELError_NoErr;
}

QELStatus qelX509GetNameDER(const std::uint8_t *der, std::size_t length, bool issuer, std::uint8_t *buffer,
                            std::size_t *inOutLength)
{
    if (inOutLength == nullptr)
        return QELError_BadParams;
    const std::size_t room = *inOutLength;
    *inOutLength = 0;
    QELX509Codec codec(globalMgr());
    CertRecord cert(codec.get());
    if (QELStatus s = unpack(codec.get(), asn1KeyUnpack_Certificate, asn1KeyFree_Certificate, cert.out(), der,
                             length);
        s != QELError_NoErr)
        return s;
    ASN1Key_Name *name = issuer ? &cert->tbsCertificate.issuer : &cert->tbsCertificate.subject;
    std::uint64_t size = asn1KeySizeof_Name(codec.get(), name, 1);
    if (size == 0)
        return QELError_CodecFailed;
    if (buffer != nullptr) {
        if (room < size)
            return QELError_BufferTooSmall;
        std::int32_t err = 0;
        if (asn1KeyPack_Name(codec.get(), buffer, size, name, &err) != size || err != 0)
            return qelX509MapCodecStatus(err != 0 ? err : -1);
    }
    *inOutLength = static_cast<std::size_t>(size);
    return QELError_NoErr;
}

QELStatus qelX509GetNameText(const std::uint8_t *der, std::size_t length, bool issuer, std::uint8_t *buffer,
                             std::size_t *inOutLength)
{
    if (inOutLength == nullptr)
        return QELError_BadParams;
    QELX509Codec codec(globalMgr());
    CertRecord cert(codec.get());
    if (QELStatus s = unpack(codec.get(), asn1KeyUnpack_Certificate, asn1KeyFree_Certificate, cert.out(), der,
                             length);
        s != QELError_NoErr) {
        *inOutLength = 0;
        return s;
    }
    return qelX509NameText(codec.get(), issuer ? &cert->tbsCertificate.issuer : &cert->tbsCertificate.subject,
                           buffer, inOutLength);
}

QELStatus qelX509GetSubjectAltName(const std::uint8_t *der, std::size_t length, int selector, std::uint8_t *buffer,
                                   std::size_t *inOutLength)
{
    if (inOutLength == nullptr)
        return QELError_BadParams;
    QELX509Codec codec(globalMgr());
    CertRecord cert(codec.get());
    if (QELStatus s = unpack(codec.get(), asn1KeyUnpack_Certificate, asn1KeyFree_Certificate, cert.out(), der,
                             length);
        s != QELError_NoErr) {
        *inOutLength = 0;
        return s;
    }
    return qel::noThrow([&]() -> QELStatus {
        std::vector<u8> entry;
        if (!findAltName(codec.get(), cert->tbsCertificate.extensions, selector == 1 ? 0x87 : 0x82, entry)) {
            *inOutLength = 0;
            return QELError_NoErr;
        }
        return copyOut(entry.data(), entry.size(), buffer, inOutLength);
    });
}

QELStatus qelX509GetCRLDistributionPoint(QELContext *context, const std::uint8_t *der, std::size_t length,
                                         std::uint8_t *buffer, std::size_t *inOutLength)
{
    if (inOutLength == nullptr)
        return QELError_BadParams;
    QELX509Codec codec(contextMgr(context));
    SignedRecord outer(codec.get());
    Record<ASN1Key_RawTBSCertificate, asn1KeyFree_RawTBSCertificate> raw(codec.get());
    QELStatus s = unpack(codec.get(), asn1KeyUnpack_Signed, asn1KeyFree_Signed, outer.out(), der, length);
    if (s == QELError_NoErr)
        s = unpack(codec.get(), asn1KeyUnpack_RawTBSCertificate, asn1KeyFree_RawTBSCertificate, raw.out(),
                   outer->toBeSigned.data, outer->toBeSigned.length);
    if (s != QELError_NoErr) {
        *inOutLength = 0;
        return s;
    }
    return qel::noThrow([&]() -> QELStatus {
        std::vector<u8> point;
        QELStatus found = QELError_NoErr;
        if (!findDistPoint(codec.get(), raw->extensions, point, found)) {
            *inOutLength = 0;
            return found;
        }
        return copyOut(point.data(), point.size(), buffer, inOutLength);
    });
}

// ---- signatures -----------------------------------------------------------------------------
QELStatus qelX509VerifySignature(QELContext *context, QELPublicKeyObject *ops, const std::uint8_t *der,
                                 std::size_t length)
{
    if (ops == nullptr || der == nullptr)
        return QELError_BadParams;
    QELX509Codec codec(contextMgr(context));
    SignedRecord object(codec.get());
    if (QELStatus s = unpack(codec.get(), asn1KeyUnpack_Signed, asn1KeyFree_Signed, object.out(), der, length);
        s != QELError_NoErr)
        return s;
    std::int32_t publicKey = 0, hashId = 0;
    static_cast<void>(qelX509SigAlgorithmToIds(&object->algorithm.algorithm, &publicKey, &hashId));
    const QELHashDescriptor *descriptor = hashId != 0 ? qelHashDescriptorFind(hashId) : nullptr;
    if (descriptor == nullptr)
        return QELError_UnknownHashAlgorithm;
    QELHashContext *hash = qelHashCreateForDescriptor(contextMgr(context), descriptor);
    if (hash == nullptr)
        return QELError_UnknownHashAlgorithm;
    std::vector<u8> digest(static_cast<std::size_t>(descriptor->digestSize));
    QELStatus s = qelHashUpdate(hash, object->toBeSigned.data, object->toBeSigned.length);
    if (s == QELError_NoErr)
        s = qelHashFinal(hash, digest.data());
    static_cast<void>(qelHashFree(hash)); // our own hash
    if (s != QELError_NoErr)
        return s;
    const std::int32_t r = ops->verify(ops, object->signature.data, object->signature.length, descriptor,
                                       digest.data(), digest.size(), 3);
    return r == 1 ? QELError_NoErr : QELError_BadCertificateSignature;
}

// ---- keys ----------------------------------------------------------------------------------
QELStatus qelX509MPIFromUnsigned(const std::uint8_t *octets, std::size_t length, std::uint8_t *out,
                                 std::size_t *outSize)
{
    while (length != 0 && octets != nullptr && octets[0] == 0) {
        ++octets;
        --length;
    }
    if (length == 0 || octets == nullptr)
        return QELError_BadDER;
    // An MPI counts its bits in 16 bits.
    if (length > 8191)
        return QELError_BadDER;
    if (out == nullptr) {
        if (outSize != nullptr)
            *outSize = length + 2;
        return QELError_NoErr;
    }
    int lead = 0;
    for (u8 top = octets[0]; !(top & 0x80); top = static_cast<u8>(top << 1))
        ++lead;
    const std::size_t bits = 8 * length - static_cast<std::size_t>(lead);
    out[0] = static_cast<u8>(bits >> 8);
    out[1] = static_cast<u8>(bits);
    std::memcpy(out + 2, octets, length);
    return QELError_NoErr;
}

namespace {

using IntegerRecord = Record<ASN1_Integer, asn1Free_OctetString>;

using qel::x509::encodeRecord;

// The public MPIs of a key packet body (after its header), each as its
// magnitude octets.
struct MPIView {
    const u8 *data;
    std::size_t length;
};

bool readMPIs(const u8 *body, std::size_t length, int wanted, MPIView *out, std::uint8_t *outVersion)
{
    qel::ByteCursor c(body, length);
    u8 version = 0;
    if (!c.u8(version) || !c.skip(4) || ((version == 2 || version == 3) && !c.skip(2)) || !c.skip(1))
        return false;
    for (int i = 0; i < wanted; ++i) {
        std::uint16_t bits = 0;
        if (!c.be16(bits))
            return false;
        const std::size_t n = (std::size_t(bits) + 7) / 8;
        out[i] = MPIView{c.current(), n};
        if (!c.skip(n))
            return false;
    }
    *outVersion = version;
    return true;
}

QELStatus setUnsigned(ASN1Context *codec, ASN1_Integer *record, const MPIView &v)
{
    return asn1SetUnsignedInteger(codec, record, v.data, v.length) == 0 ? QELError_NoErr : QELError_OutOfMemory;
}

} // namespace

QELStatus qelX509BuildSubjectPublicKeyInfo(ASN1Context *codec, QELMemoryMgr *, QELKeyObject *key,
                                           ASN1Key_SubjectPublicKeyInfo *spki)
{
    if (codec == nullptr || key == nullptr || spki == nullptr)
        return QELError_BadParams;
    std::size_t packetLength = 0;
    const u8 *packet = qelKeyObjRawPacket(key, &packetLength);
    if (packet == nullptr)
        return QELError_OutOfMemory;
    const std::size_t header = qelPacketHeaderSize(packet, packetLength);
    if (header == 0 || header > packetLength)
        return QELError_TruncatedPacket;
    u8 algorithm = 0;
    QELKeyID id{};
    qelKeyObjGetKeyID(key, &algorithm, &id);
    const int count = algorithm == 1 ? 2 : algorithm == 16 ? 3 : algorithm == 17 ? 4 : 0;
    if (count == 0)
        return QELError_UnsupportedAlgorithm;
    MPIView mpi[4]{};
    u8 version = 0;
    if (!readMPIs(packet + header, packetLength - header, count, mpi, &version))
        return QELError_TruncatedPacket;
    return qel::noThrow([&]() -> QELStatus {
        std::vector<u8> parameters, keyBits;
        QELStatus s = QELError_NoErr;
        const u8 *oid = nullptr;
        std::size_t oidLength = 0;
        auto integerDER = [&](const MPIView &v, std::vector<u8> &out) -> QELStatus {
            IntegerRecord y(codec);
            *y.out() = asn1New_OctetString(codec);
            if (!y)
                return QELError_OutOfMemory;
            if (QELStatus r = setUnsigned(codec, y.get(), v); r != QELError_NoErr)
                return r;
            return encodeRecord(codec, asn1Sizeof_Integer, asn1Pack_Integer, y.get(), out);
        };
        if (algorithm == 1) {
            oid = kRSAEncryption;
            oidLength = sizeof kRSAEncryption;
            parameters = {0x05, 0x00};
            Record<ASN1Key_RSAPublicKey, asn1KeyFree_RSAPublicKey> rsa(codec);
            *rsa.out() = asn1KeyNew_RSAPublicKey(codec);
            if (!rsa)
                return QELError_OutOfMemory;
            if ((s = setUnsigned(codec, &rsa->modulus, mpi[0])) != QELError_NoErr ||
                (s = setUnsigned(codec, &rsa->publicExponent, mpi[1])) != QELError_NoErr)
                return s;
            s = encodeRecord(codec, asn1KeySizeof_RSAPublicKey, asn1KeyPack_RSAPublicKey, rsa.get(), keyBits);
        } else if (algorithm == 17) {
            oid = kIdDSA;
            oidLength = sizeof kIdDSA;
            Record<ASN1Key_DssParms, asn1KeyFree_DssParms> dss(codec);
            *dss.out() = asn1KeyNew_DssParms(codec);
            if (!dss)
                return QELError_OutOfMemory;
            if ((s = setUnsigned(codec, &dss->p, mpi[0])) != QELError_NoErr ||
                (s = setUnsigned(codec, &dss->q, mpi[1])) != QELError_NoErr ||
                (s = setUnsigned(codec, &dss->g, mpi[2])) != QELError_NoErr)
                return s;
            s = encodeRecord(codec, asn1KeySizeof_DssParms, asn1KeyPack_DssParms, dss.get(), parameters);
            if (s == QELError_NoErr)
                s = integerDER(mpi[3], keyBits);
        } else {
            oid = kElGamal;
            oidLength = sizeof kElGamal;
            Record<ASN1Key_ElGamalParameters, asn1KeyFree_ElGamalParameters> eg(codec);
            *eg.out() = asn1KeyNew_ElGamalParameters(codec);
            if (!eg)
                return QELError_OutOfMemory;
            if ((s = setUnsigned(codec, &eg->p, mpi[0])) != QELError_NoErr ||
                (s = setUnsigned(codec, &eg->g, mpi[1])) != QELError_NoErr)
                return s;
            s = encodeRecord(codec, asn1KeySizeof_ElGamalParameters, asn1KeyPack_ElGamalParameters, eg.get(),
                             parameters);
            if (s == QELError_NoErr)
                s = integerDER(mpi[2], keyBits);
        }
        if (s != QELError_NoErr)
            return s;
        if (asn1SetOctetString(codec, &spki->algorithm.algorithm, oid, oidLength) != 0)
            return QELError_OutOfMemory;
        if (spki->algorithm.parameters == nullptr)
            spki->algorithm.parameters = asn1New_OctetString(codec);
        if (spki->algorithm.parameters == nullptr ||
            asn1SetOctetString(codec, spki->algorithm.parameters, parameters.data(), parameters.size()) != 0 ||
            asn1SetBitString(codec, &spki->subjectPublicKey, keyBits.data(), keyBits.size(), 0) != 0)
            return QELError_OutOfMemory;
        return QELError_NoErr;
    });
}

QELStatus qelX509KeyToSubjectPublicKeyInfo(QELContext *context, QELKeyObject *key, std::uint8_t *buffer,
                                           std::size_t *inOutLength)
{
    if (inOutLength == nullptr)
        return QELError_BadParams;
    QELMemoryMgr *mgr = contextMgr(context);
    QELX509Codec codec(mgr);
    Record<ASN1Key_SubjectPublicKeyInfo, asn1KeyFree_SubjectPublicKeyInfo> spki(codec.get());
    *spki.out() = asn1KeyNew_SubjectPublicKeyInfo(codec.get());
    if (!spki)
        return QELError_OutOfMemory;
    if (QELStatus s = qelX509BuildSubjectPublicKeyInfo(codec.get(), mgr, key, spki.get()); s != QELError_NoErr)
        return s;
    const std::uint64_t size = asn1KeySizeof_SubjectPublicKeyInfo(codec.get(), spki.get(), 1);
    if (size == 0)
        return QELError_CodecFailed;
    if (buffer != nullptr) {
        if (*inOutLength < size)
            return QELError_BufferTooSmall;
        std::int32_t err = 0;
        if (asn1KeyPack_SubjectPublicKeyInfo(codec.get(), buffer, size, spki.get(), &err) != size || err != 0)
            return qelX509MapCodecStatus(err != 0 ? err : -1);
    }
    *inOutLength = static_cast<std::size_t>(size);
    return QELError_NoErr;
}

// ---- key packet bodies from certificates and PKCS #8 keys ----------------------------------------
namespace {

constexpr u8 kKeyCreationExtension[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0xB9, 0x70, 0x08, 0x01, 0x01};
constexpr u8 kBasicConstraints[] = {0x55, 0x1D, 0x13};
constexpr u8 kKeyUsage[] = {0x55, 0x1D, 0x0F};
constexpr char kCreationPrefix[] = "QELKeyCreation=0x";

using OctetsRecord = Record<ASN1_OctetString, asn1Free_OctetString>;

// An INTEGER's content octets.
struct Number {
    const u8 *data = nullptr;
    std::size_t length = 0;
};

std::uint32_t creationFromName(ASN1Context *codec, const ASN1Key_Name *subject)
{
    std::uint32_t found = 0;
    forEachAttribute(subject, [&](const ASN1Key_AttributeTypeAndValue &a) {
        if (a.type.length != 3 || a.type.data[0] != 0x55 || a.type.data[1] != 0x04 ||
            (a.type.data[2] != 13 && a.type.data[2] != 11))
            return true;
        DirectoryStringRecord ds(codec);
        if (unpack(codec, asn1KeyUnpack_DirectoryString, asn1KeyFree_DirectoryString, ds.out(), a.value.data,
                   a.value.length) != QELError_NoErr ||
            ds->alternative == nullptr)
            return true;
        auto *s = static_cast<ASN1_OctetString *>(ds->alternative);
        if (s->length != 25 || std::memcmp(s->data, kCreationPrefix, 17) != 0)
            return true;
        std::uint32_t v = 0;
        for (int i = 17; i < 25; ++i) {
            const u8 c = s->data[i];
            const std::uint32_t d = c <= '9' ? c - '0' : c <= 'F' ? c - 'A' + 10 : c - 'a' + 10;
            v = (v << 4) | (d & 0xF);
        }
        found = v;
        return false;
    });
    return found;
}

std::uint32_t creationFromExtension(ASN1Context *codec, const ASN1Key_Extensions *extensions)
{
    std::uint32_t found = 0;
    forEachExtension(extensions, [&](const ASN1Key_Extension &e) {
        if (!oidIs(e.extnID, kKeyCreationExtension))
            return true;
        Record<ASN1Key_KeyCreationInfo, asn1KeyFree_KeyCreationInfo> info(codec);
        if (unpack(codec, asn1KeyUnpack_KeyCreationInfo, asn1KeyFree_KeyCreationInfo, info.out(), e.extnValue.data,
                   e.extnValue.length) != QELError_NoErr)
            return true;
        const ASN1Key_Time &t = info->creationTime;
        const auto *text = static_cast<const ASN1_OctetString *>(t.alternative);
        std::uint32_t v = 0;
        if (text == nullptr ||
            qelX509TimeTextToSeconds(text->data, text->length, t.identifier != 0x17 && t.identifier != 0x37, &v) !=
                QELError_NoErr)
            return true;
        found = v;
        return false;
    });
    return found;
}

void put32(u8 *p, std::uint32_t v)
{
    p[0] = u8(v >> 24);
    p[1] = u8(v >> 16);
    p[2] = u8(v >> 8);
    p[3] = u8(v);
}

QELKeyObject *findKeyByHash(QELContext *context, QELKeyDB *keyDB, const u8 hash[20])
{
    if (keyDB != nullptr)
        return qelKeyDBFindKeyByFingerprint(keyDB, hash);
    for (QELKeyDB *db = context != nullptr ? qelContextGetKeyDBList(context) : nullptr; db != nullptr;
         db = qelKeyDBNext(db))
        if (QELKeyObject *k = qelKeyDBFindKeyByFingerprint(db, hash))
            return k;
    return nullptr;
}

// A codec whose blocks are secure and wiped: for records that hold secret
// numbers.
void *secureAlloc(ASN1Allocator *self, std::uint64_t size)
{
    if (size > SIZE_MAX)
        return nullptr;
    return qelMemAllocSecure(static_cast<QELMemoryMgr *>(self->userData), static_cast<std::size_t>(size), 0);
}
std::int32_t secureRealloc(ASN1Allocator *self, void **block, std::uint64_t newSize)
{
    // A first block is taken secure; a secure block stays secure when it
    // grows, and the memory manager wipes what it leaves (and every secure
    // block it frees).
    if (*block == nullptr) {
        void *p = secureAlloc(self, newSize);
        if (p == nullptr)
            return kCodecOutOfMemory;
        *block = p;
        return 0;
    }
    return qelX509AsnRealloc(self, block, newSize);
}

class SecureCodec {
public:
    explicit SecureCodec(QELMemoryMgr *mgr) : allocator_{mgr, secureAlloc, secureRealloc, qelX509AsnFree}, context_{0, &allocator_} {}
    SecureCodec(const SecureCodec &) = delete;
    SecureCodec &operator=(const SecureCodec &) = delete;
    ASN1Context *get() { return &context_; }

private:
    ASN1Allocator allocator_;
    ASN1Context context_;
};

} // namespace

QELStatus qelX509MakeKeyPacketBody(QELContext *context, QELKeyDB *keyDB, ASN1Context *codec,
                                   ASN1Key_Certificate *certificate, ASN1Key_PrivateKeyInfo *privateKeyInfo,
                                   std::uint8_t *out, std::size_t *inOutSize)
{
    if (codec == nullptr || inOutSize == nullptr || (certificate == nullptr && privateKeyInfo == nullptr))
        return QELError_BadParams;
    const bool pkcs8 = privateKeyInfo != nullptr;
    std::int32_t algorithm = 0;
    if (QELStatus s = qelX509SigAlgorithmToIds(pkcs8 ? &privateKeyInfo->privateKeyAlgorithm.algorithm
                                                     : &certificate->tbsCertificate.subjectPublicKeyInfo.algorithm.algorithm,
                                               &algorithm, nullptr);
        s != QELError_NoErr)
        return s;
    if (pkcs8 && algorithm != 1)
        return QELError_PublicKeyNotFound;
    Number numbers[6];
    int publicCount = 0, total = 0;
    Record<ASN1Key_DssParms, asn1KeyFree_DssParms> dss(codec);
    Record<ASN1Key_ElGamalParameters, asn1KeyFree_ElGamalParameters> elgamal(codec);
    Record<ASN1Key_RSAPublicKey, asn1KeyFree_RSAPublicKey> rsa(codec);
    OctetsRecord y(codec);
    // The secret numbers are decoded into secure blocks that are wiped when
    // they go.
    SecureCodec secureCodec(contextMgr(context));
    Record<ASN1Key_RSAPrivateKey, asn1KeyFree_RSAPrivateKey> rsaSecret(secureCodec.get());
    auto number = [](const ASN1_Integer &i) { return Number{i.data, static_cast<std::size_t>(i.length)}; };
    if (pkcs8) {
        const ASN1_OctetString &key = privateKeyInfo->privateKey;
        if (QELStatus s = unpack(secureCodec.get(), asn1KeyUnpack_RSAPrivateKey, asn1KeyFree_RSAPrivateKey,
                                 rsaSecret.out(), key.data, key.length);
            s != QELError_NoErr)
            return s;
        numbers[0] = number(rsaSecret->modulus);
        numbers[1] = number(rsaSecret->publicExponent);
        numbers[2] = number(rsaSecret->privateExponent);
        numbers[3] = number(rsaSecret->prime2);
        numbers[4] = number(rsaSecret->prime1);
        numbers[5] = number(rsaSecret->coefficient);
        publicCount = 2;
        total = 6;
    } else {
        const ASN1Key_SubjectPublicKeyInfo &spki = certificate->tbsCertificate.subjectPublicKeyInfo;
        const ASN1_Any *params = spki.algorithm.parameters;
        QELStatus s = QELError_NoErr;
        if (algorithm == 17 || algorithm == 16) {
            // Without parameters the group of the key is unknown.
            if (params == nullptr)
                return QELError_BadDER;
            if (algorithm == 17)
                s = unpack(codec, asn1KeyUnpack_DssParms, asn1KeyFree_DssParms, dss.out(), params->data,
                           params->length);
            else
                s = unpack(codec, asn1KeyUnpack_ElGamalParameters, asn1KeyFree_ElGamalParameters, elgamal.out(),
                           params->data, params->length);
            if (s == QELError_NoErr)
                s = unpack(codec, asn1Unpack_Integer, asn1Free_OctetString, y.out(), spki.subjectPublicKey.data,
                           spki.subjectPublicKey.length);
            if (s != QELError_NoErr)
                return s;
            if (algorithm == 17) {
                numbers[0] = number(dss->p);
                numbers[1] = number(dss->q);
                numbers[2] = number(dss->g);
                numbers[3] = number(*y.get());
                publicCount = 4;
            } else {
                numbers[0] = number(elgamal->p);
                numbers[1] = number(elgamal->g);
                numbers[2] = number(*y.get());
                publicCount = 3;
            }
        } else {
            if ((s = unpack(codec, asn1KeyUnpack_RSAPublicKey, asn1KeyFree_RSAPublicKey, rsa.out(),
                            spki.subjectPublicKey.data, spki.subjectPublicKey.length)) != QELError_NoErr)
                return s;
            numbers[0] = number(rsa->modulus);
            numbers[1] = number(rsa->publicExponent);
            publicCount = 2;
        }
        total = publicCount;
    }
    std::size_t sizes[6] = {};
    std::size_t publicSize = 0, allSize = 0;
    for (int i = 0; i < total; ++i) {
        if (QELStatus s = qelX509MPIFromUnsigned(numbers[i].data, numbers[i].length, nullptr, &sizes[i]);
            s != QELError_NoErr)
            return s;
        allSize += sizes[i];
        if (i < publicCount)
            publicSize += sizes[i];
    }
    // The public-MPI hash names the key in every database, whatever its
    // packet version and creation time.
    qel::WipedBuffer<u8> mpis(contextMgr(context), publicSize, false);
    if (!mpis)
        return QELError_OutOfMemory;
    for (std::size_t i = 0, at = 0; i < static_cast<std::size_t>(publicCount); at += sizes[i], ++i)
        static_cast<void>(qelX509MPIFromUnsigned(numbers[i].data, numbers[i].length, mpis.get() + at, nullptr));
    u8 hash[20];
    qelKeyFingerprintV4(mpis.get(), publicSize, hash);
    QELKeyObject *found = findKeyByHash(context, keyDB, hash);
    const u8 *foundBody = nullptr;
    std::size_t foundLength = 0;
    u8 version = algorithm == 1 ? 3 : 4;
    if (found != nullptr) {
        std::size_t packetLength = 0;
        const u8 *packet = qelKeyObjRawPacket(found, &packetLength);
        if (packet == nullptr)
            return qelKeyDBGetLastError(qelKeyObjKeyDB(found));
        const std::size_t header = qelPacketHeaderSize(packet, packetLength);
        if (header == 0 || header >= packetLength)
            return QELError_TruncatedPacket;
        foundBody = packet + header;
        foundLength = packetLength - header;
        version = foundBody[0];
        if (foundLength < (version < 4 ? 7u : 5u))
            return QELError_TruncatedPacket;
    } else if (pkcs8) {
        return QELError_PublicKeyNotFound;
    }
    const std::size_t fixed = version < 4 ? 8 : 6;
    std::size_t size = allSize + fixed + (pkcs8 ? 3 : 0);
    if (out == nullptr) {
        *inOutSize = size;
        return QELError_NoErr;
    }
    out[0] = version;
    if (foundBody != nullptr) {
        std::memcpy(out + 1, foundBody + 1, 4);
    } else {
        std::uint32_t created = creationFromName(codec, &certificate->tbsCertificate.subject);
        if (created == 0)
            created = creationFromExtension(codec, certificate->tbsCertificate.extensions);
        if (created == 0)
            qelX509TimeToSeconds(&certificate->tbsCertificate.validity.notBefore, &created);
        put32(out + 1, created);
    }
    std::size_t at = 5;
    if (version < 4) {
        out[5] = foundBody != nullptr ? foundBody[5] : 0;
        out[6] = foundBody != nullptr ? foundBody[6] : 0;
        at = 7;
    }
    out[at++] = static_cast<u8>(algorithm);
    std::memcpy(out + at, mpis.get(), publicSize);
    at += publicSize;
    if (pkcs8) {
        out[at++] = 0;
        const std::size_t secretStart = at;
        for (int i = publicCount; i < total; ++i) {
            if (QELStatus s = qelX509MPIFromUnsigned(numbers[i].data, numbers[i].length, out + at, nullptr);
                s != QELError_NoErr)
                return s;
            at += sizes[i];
        }
        std::uint32_t sum = 0;
        for (std::size_t i = secretStart; i < at; ++i)
            sum += out[i];
        out[at++] = u8(sum >> 8);
        out[at++] = u8(sum);
    }
    return QELError_NoErr;
}

// ---- the signature packet and user ID of a certificate --------------------------------------------
namespace {

// The value of a non-negative INTEGER of at most four octets.
bool smallUnsigned(const ASN1_Integer &i, std::uint32_t &out)
{
    std::size_t n = static_cast<std::size_t>(i.length);
    const u8 *p = i.data;
    if (p == nullptr || n == 0 || (p[0] & 0x80))
        return false;
    while (n > 1 && p[0] == 0) {
        ++p;
        --n;
    }
    if (n > 4)
        return false;
    out = 0;
    for (std::size_t k = 0; k < n; ++k)
        out = (out << 8) | p[k];
    return true;
}

} // namespace

QELStatus qelX509ValiditySubpackets(ASN1Key_Certificate *certificate, std::uint8_t *out, std::size_t *outSize)
{
    std::int64_t from = 0, to = 0;
    const ASN1Key_Validity &v = certificate->tbsCertificate.validity;
    for (auto [time, target] : {std::pair{&v.notBefore, &from}, std::pair{&v.notAfter, &to}}) {
        const auto *text = static_cast<const ASN1_OctetString *>(time->alternative);
        if (text == nullptr)
            return QELError_BadDER;
        if (QELStatus s = qelX509TimeTextToSeconds64(text->data, text->length,
                                                     time->identifier != 0x17 && time->identifier != 0x37, target);
            s != QELError_NoErr)
            return s;
    }
    if (to < from || from > 0xFFFFFFFFll)
        return QELError_BadDER;
    // A certificate may run past the end of the SDK's 32-bit calendar (to
    // 9999, or "no expiry" as RFC 5280 writes it): its signature then
    // expires with the calendar.
    to = std::min<std::int64_t>(to, 0xFFFFFFFFll);
    *outSize = 12;
    if (out != nullptr) {
        out[0] = 5;
        out[1] = 2;
        put32(out + 2, static_cast<std::uint32_t>(from));
        out[6] = 5;
        out[7] = 3;
        // An expiration of 0 would mean "never": a certificate valid for one
        // instant expires one second after it.
        put32(out + 8, to == from ? 1 : static_cast<std::uint32_t>(to - from));
    }
    return QELError_NoErr;
}

QELStatus qelX509TrustSubpacket(QELContext *context, ASN1Context *codec, ASN1Key_Certificate *certificate,
                                std::uint8_t *out, std::size_t *outSize)
{
    int depth = -1;
    forEachExtension(certificate->tbsCertificate.extensions, [&](const ASN1Key_Extension &e) {
        if (!oidIs(e.extnID, kBasicConstraints))
            return true;
        Record<ASN1Key_BasicConstraints, asn1KeyFree_BasicConstraints> bc(codec);
        if (unpack(codec, asn1KeyUnpack_BasicConstraints, asn1KeyFree_BasicConstraints, bc.out(), e.extnValue.data,
                   e.extnValue.length) != QELError_NoErr)
            return true;
        if (bc->cA == nullptr || bc->cA->value == 0)
            return true;
        if (bc->pathLenConstraint == nullptr) {
            depth = 255;
            return false;
        }
        std::uint32_t n = 0;
        if (!smallUnsigned(*bc->pathLenConstraint, n))
            return true;
        depth = static_cast<int>((n + 1) & 0xFF);
        return false;
    });
    *outSize = depth < 0 ? 0 : 4;
    if (out != nullptr && depth >= 0) {
        out[0] = 3;
        out[1] = 5;
        out[2] = static_cast<u8>(depth);
        out[3] = static_cast<u8>(qelTrustLevelToValue(qelContextGetSettings(context), 6));
    }
    return QELError_NoErr;
}

QELStatus qelX509KeyFlagsSubpacket(ASN1Context *codec, ASN1Key_Certificate *certificate, std::uint8_t *out,
                                   std::size_t *outSize)
{
    int flags = -1;
    forEachExtension(certificate->tbsCertificate.extensions, [&](const ASN1Key_Extension &e) {
        if (!oidIs(e.extnID, kKeyUsage))
            return true;
        Record<ASN1_BitString, asn1Free_BitString> bits(codec);
        if (unpack(codec, asn1Unpack_BitString, asn1Free_BitString, bits.out(), e.extnValue.data,
                   e.extnValue.length) != QELError_NoErr ||
            bits->length < 1 || bits->length > 4)
            return true;
        const u8 b0 = bits->data[0];
        const bool b1 = bits->length > 1 && (bits->data[1] & 0x80);
        flags = 0;
        if (b0 & 0x06) flags |= 0x01;      // keyCertSign, cRLSign
        if (b0 & 0xC0) flags |= 0x02;      // digitalSignature, nonRepudiation
        if (b0 & 0x38) flags |= 0x0C;      // keyEncipherment, dataEncipherment, keyAgreement
        static_cast<void>(b1);
        return false;
    });
    *outSize = flags < 0 ? 0 : 3;
    if (out != nullptr && flags >= 0) {
        out[0] = 2;
        out[1] = 0x1B;
        out[2] = static_cast<u8>(flags);
    }
    return QELError_NoErr;
}

QELStatus qelX509MakeSigPacketBody(QELContext *context, ASN1Context *codec, ASN1Key_Certificate *certificate,
                                   const std::uint8_t *der, std::size_t derLength, std::uint8_t valueOctet,
                                   std::uint8_t *out, std::size_t *outSize)
{
    if (outSize == nullptr || certificate == nullptr || der == nullptr)
        return QELError_BadParams;
    if (out == nullptr)
        *outSize = 0;
    std::size_t validity = 0, trust = 0, flags = 0;
    if (QELStatus s = qelX509ValiditySubpackets(certificate, nullptr, &validity); s != QELError_NoErr)
        return s;
    static_cast<void>(qelX509TrustSubpacket(context, codec, certificate, nullptr, &trust));
    static_cast<void>(qelX509KeyFlagsSubpacket(codec, certificate, nullptr, &flags));
    std::int32_t publicKey = 0, hashId = 0;
    if (QELStatus s = qelX509SigAlgorithmToIds(&certificate->signatureAlgorithm.algorithm, &publicKey, &hashId);
        s != QELError_NoErr)
        return s;
    // The subpacket carries the certificate as it was received, so that a
    // BER or unsorted certificate still regenerates the stored packet.
    const std::size_t body = derLength + 4;
    const std::size_t lengthOctets = body < 192 ? 1 : body < 8384 ? 2 : 5;
    const std::size_t hashed = validity + trust + flags + lengthOctets + body;
    if (hashed > 0xFFFF)
        return QELError_PacketTooLarge;
    const std::size_t total = hashed + 13;
    if (out == nullptr) {
        *outSize = total;
        return QELError_NoErr;
    }
    u8 *p = out;
    *p++ = 4;
    *p++ = 0x10;
    *p++ = valueOctet >= 4 ? 100 : 0;
    *p++ = static_cast<u8>(hashId);
    *p++ = u8(hashed >> 8);
    *p++ = u8(hashed);
    static_cast<void>(qelX509ValiditySubpackets(certificate, p, &validity));
    p += validity;
    static_cast<void>(qelX509TrustSubpacket(context, codec, certificate, p, &trust));
    p += trust;
    static_cast<void>(qelX509KeyFlagsSubpacket(codec, certificate, p, &flags));
    p += flags;
    if (lengthOctets == 1) {
        *p++ = static_cast<u8>(body);
    } else if (lengthOctets == 2) {
        *p++ = static_cast<u8>(((body - 192) >> 8) + 192);
        *p++ = static_cast<u8>((body - 192) & 0xFF);
    } else {
        *p++ = 0xFF;
        put32(p, static_cast<std::uint32_t>(body));
        p += 4;
    }
    *p++ = 100;
    *p++ = 1;
    *p++ = 1;
    *p++ = valueOctet;
    std::memcpy(p, der, derLength);
    p += derLength;
    const u8 tail[7] = {0, 0, 0, 0, 0, 1, 1};
    std::memcpy(p, tail, sizeof tail);
    return QELError_NoErr;
}

QELStatus qelX509UserIDText(ASN1Context *codec, ASN1Key_Certificate *certificate, std::uint8_t *buffer,
                            std::size_t *inOutSize)
{
    return qel::noThrow([&]() -> QELStatus {
        std::string cn, mail;
        bool haveCN = false, haveMail = false;
        forEachAttribute(&certificate->tbsCertificate.subject, [&](const ASN1Key_AttributeTypeAndValue &a) {
            const bool isCN = a.type.length == 3 && a.type.data[0] == 0x55 && a.type.data[1] == 4 && a.type.data[2] == 3;
            const bool isMail = oidIs(a.type, kEmailAddress);
            if ((isCN && !haveCN) || (isMail && !haveMail)) {
                DirectoryStringRecord ds(codec);
                if (unpack(codec, asn1KeyUnpack_DirectoryString, asn1KeyFree_DirectoryString, ds.out(), a.value.data,
                           a.value.length) == QELError_NoErr &&
                    ds->alternative != nullptr) {
                    auto *s = static_cast<ASN1_OctetString *>(ds->alternative);
                    (isCN ? cn : mail).assign(reinterpret_cast<const char *>(s->data), s->length);
                    (isCN ? haveCN : haveMail) = true;
                }
            }
            return !(haveCN && haveMail);
        });
        if (haveCN && !haveMail) {
            std::vector<u8> address;
            if (findAltName(codec, certificate->tbsCertificate.extensions, 0x81, address)) {
                mail.assign(address.begin(), address.end());
                haveMail = true;
            }
        }
        if (!haveCN || !haveMail)
            return qelX509NameText(codec, &certificate->tbsCertificate.subject, buffer, inOutSize);
        const std::string text = cn + " <" + mail + ">";
        return copyOut(text.data(), text.size(), buffer, inOutSize);
    });
}

// ---- import ------------------------------------------------------------------------------------
QELStatus qelX509CertToKeyRing(QELContext *context, ASN1Context *codec, ASN1Key_Certificate *certificate,
                               const std::uint8_t *der, std::size_t derLength, QELKeyDB *keyDB,
                               QELKeyDB **outDB)
{
    if (outDB == nullptr)
        return QELError_BadParams;
    *outDB = nullptr;
    std::size_t sigSize = 0, userSize = 0, keySize = 0;
    if (QELStatus s = qelX509MakeSigPacketBody(context, codec, certificate, der, derLength, 4, nullptr, &sigSize);
        s != QELError_NoErr)
        return s;
    if (QELStatus s = qelX509UserIDText(codec, certificate, nullptr, &userSize); s != QELError_NoErr)
        return s;
    if (QELStatus s = qelX509MakeKeyPacketBody(context, keyDB, codec, certificate, nullptr, nullptr, &keySize);
        s != QELError_NoErr)
        return s;
    // Two-octet packet lengths: larger bodies are refused, never truncated.
    if (sigSize > 0xFFFF || userSize > 0xFFFF || keySize > 0xFFFF)
        return QELError_PacketTooLarge;
    const std::size_t userHeader = userSize < 256 ? 2 : 3;
    const std::size_t total = 3 + keySize + userHeader + userSize + 3 + sigSize;
    qel::WipedBuffer<u8> ring(contextMgr(context), total, false);
    if (!ring)
        return QELError_OutOfMemory;
    u8 *p = ring.get();
    *p++ = 0x99;
    *p++ = u8(keySize >> 8);
    *p++ = u8(keySize);
    std::size_t n = keySize;
    if (QELStatus s = qelX509MakeKeyPacketBody(context, keyDB, codec, certificate, nullptr, p, &n); s != QELError_NoErr)
        return s;
    p += keySize;
    if (userHeader == 2) {
        *p++ = 0xB4;
    } else {
        *p++ = 0xB5;
        *p++ = u8(userSize >> 8);
    }
    *p++ = u8(userSize);
    n = userSize;
    if (QELStatus s = qelX509UserIDText(codec, certificate, p, &n); s != QELError_NoErr)
        return s;
    p += userSize;
    *p++ = 0x89;
    *p++ = u8(sigSize >> 8);
    *p++ = u8(sigSize);
    n = sigSize;
    if (QELStatus s = qelX509MakeSigPacketBody(context, codec, certificate, der, derLength, 4, p, &n);
        s != QELError_NoErr)
        return s;
    QELKeyDB *db = nullptr;
    QELStatus s = qelKeyDBOpenFromBuffer(context, ring.get(), total, &db);
    if (s == QELError_NoErr)
        *outDB = db;
    return s;
}

QELStatus qelX509ImportCertificate(const std::uint8_t *der, std::size_t length, QELContext *context,
                                   QELKeyDB *keyDB, QELKeyDB **outDB)
{
    if (outDB == nullptr)
        return QELError_BadParams;
    *outDB = nullptr;
    QELX509Codec codec(contextMgr(context));
    CertRecord cert(codec.get());
    if (QELStatus s = unpack(codec.get(), asn1KeyUnpack_Certificate, asn1KeyFree_Certificate, cert.out(), der,
                             length);
        s != QELError_NoErr)
        return s;
    return qelX509CertToKeyRing(context, codec.get(), cert.get(), der, length, keyDB, outDB);
}

QELStatus qelX509ImportCertificateSet(const std::uint8_t *der, std::size_t length, QELContext *context,
                                      QELKeyDB *keyDB, QELKeyDB **outDB)
{
    if (outDB == nullptr)
        return QELError_BadParams;
    *outDB = nullptr;
    // The set is walked over its received octets, so that each certificate
    // keeps its own encoding in the ring.
    const u8 *cursor = der;
    const u8 *end = der != nullptr ? der + length : nullptr;
    std::uint64_t content = 0;
    if (qelX509ReadTagLength(&cursor, end, &content) != 17)
        return QELError_CodecFailed;
    end = cursor + content;
    QELKeyDB *db = nullptr;
    if (QELStatus s = qelKeyDBNewInMemory(context, &db); s != QELError_NoErr)
        return s;
    QELStatus status = QELError_NoErr;
    while (status == QELError_NoErr && cursor < end) {
        const u8 *start = cursor;
        std::uint64_t n = 0;
        if (qelX509ReadTagLength(&cursor, end, &n) != 16) {
            status = QELError_CodecFailed;
            break;
        }
        cursor += n;
        QELKeyDB *one = nullptr;
        if (qelX509ImportCertificate(start, static_cast<std::size_t>(cursor - start), context, keyDB, &one) !=
            QELError_NoErr) {
            status = QELError_CodecFailed;
            break;
        }
        status = qelKeyDBAddKeySet(qelKeyDBRootSet(one), db, nullptr);
        static_cast<void>(qelKeyDBRelease(one)); // our own reference
    }
    if (status != QELError_NoErr) {
        static_cast<void>(qelKeyDBRelease(db)); // nothing of a failed set is returned
        return status;
    }
    *outDB = db;
    return QELError_NoErr;
}

QELStatus qelX509ImportPrivateKeyInfo(const std::uint8_t *der, std::size_t length, QELContext *context,
                                      QELKeyDB *keyDB, QELKeyDB **outDB)
{
    if (outDB == nullptr)
        return QELError_BadParams;
    *outDB = nullptr;
    SecureCodec codec(contextMgr(context));
    Record<ASN1Key_PrivateKeyInfo, asn1KeyFree_PrivateKeyInfo> info(codec.get());
    if (QELStatus s = unpack(codec.get(), asn1KeyUnpack_PrivateKeyInfo, asn1KeyFree_PrivateKeyInfo, info.out(), der,
                             length);
        s != QELError_NoErr)
        return s;
    std::size_t size = 0;
    if (QELStatus s = qelX509MakeKeyPacketBody(context, keyDB, codec.get(), nullptr, info.get(), nullptr, &size);
        s != QELError_NoErr)
        return s;
    if (size > 0xFFFF)
        return QELError_PacketTooLarge;
    // The packet holds the secret numbers unprotected: secure and wiped.
    qel::WipedBuffer<u8> packet(contextMgr(context), size + 3, true);
    if (!packet)
        return QELError_OutOfMemory;
    packet[0] = 0x95;
    packet[1] = u8(size >> 8);
    packet[2] = u8(size);
    std::size_t n = size;
    if (QELStatus s = qelX509MakeKeyPacketBody(context, keyDB, codec.get(), nullptr, info.get(), packet.get() + 3, &n);
        s != QELError_NoErr)
        return s;
    QELKeyDB *db = nullptr;
    QELStatus s = qelKeyDBOpenFromBuffer(context, packet.get(), size + 3, &db);
    if (s == QELError_NoErr)
        *outDB = db;
    return s;
}

// ---- the key database's check of a signature carrying a certificate ------------------------------
namespace {

const u8 *rawBody(QELKeyObject *object, std::size_t *outLength)
{
    *outLength = 0;
    std::size_t length = 0;
    const u8 *packet = qelKeyObjRawPacket(object, &length);
    if (packet == nullptr)
        return nullptr;
    const std::size_t header = qelPacketHeaderSize(packet, length);
    if (header == 0 || header > length)
        return nullptr;
    *outLength = length - header;
    return packet + header;
}

template <typename Build>
bool rebuildEquals(const u8 *stored, std::size_t storedLength, Build &&build, QELStatus &status)
{
    std::size_t size = 0;
    status = build(nullptr, &size);
    if (status != QELError_NoErr || stored == nullptr || size != storedLength)
        return false;
    std::vector<u8> again(size);
    status = build(again.data(), &size);
    return status == QELError_NoErr && std::memcmp(again.data(), stored, size) == 0;
}

} // namespace

QELStatus qelX509CheckKeySignature(QELKeyObject *sig, QELKeyObject *signer, bool *outValid)
{
    if (outValid == nullptr)
        return QELError_BadParams;
    *outValid = false;
    std::size_t length = 0;
    const u8 *der = qelKeyObjSigX509Data(sig, &length);
    if (der == nullptr)
        return QELError_NoErr; // nothing carried: checked, not valid
    const u8 valueOctet = der[-1];
    QELContext *context = qelKeyObjContext(sig);
    QELPublicKeyObject *ops = qelKeyObjPublicOps(signer, QELKeyRole_Sign);
    if (ops == nullptr)
        return QELError_KeyUnusableForSignature;
    QELStatus s = qelX509VerifySignature(context, ops, der, length);
    static_cast<void>(ops->destroy(ops)); // our own operation object
    if (s == QELError_OutOfMemory || s == QELError_UnknownHashAlgorithm)
        return s;
    if (s != QELError_NoErr)
        return QELError_NoErr; // a refused or unreadable certificate: checked, not valid
    return qel::noThrow([&]() -> QELStatus {
        QELX509Codec codec(contextMgr(context));
        CertRecord cert(codec.get());
        QELStatus d = unpack(codec.get(), asn1KeyUnpack_Certificate, asn1KeyFree_Certificate, cert.out(), der, length);
        if (d != QELError_NoErr)
            return d == QELError_OutOfMemory ? d : QELError_NoErr;
        // The certificate ties itself to the key, the user ID and the
        // signature only when all three regenerate octet for octet.
        QELKeyObject *top = qelKeyObjTopKey(sig);
        auto *userID = static_cast<QELKeyObject *>(qelKeyObjParent(sig));
        std::size_t keyLength = 0, userLength = 0, sigLength = 0;
        const u8 *keyBody = top != nullptr ? rawBody(top, &keyLength) : nullptr;
        const u8 *userBody = userID != nullptr ? rawBody(userID, &userLength) : nullptr;
        const u8 *sigBody = rawBody(sig, &sigLength);
        QELStatus r = QELError_NoErr;
        bool equal = rebuildEquals(keyBody, keyLength, [&](u8 *out, std::size_t *size) {
            return qelX509MakeKeyPacketBody(context, qelKeyObjKeyDB(sig), codec.get(), cert.get(), nullptr, out, size);
        }, r);
        equal = equal && rebuildEquals(userBody, userLength, [&](u8 *out, std::size_t *size) {
            return qelX509UserIDText(codec.get(), cert.get(), out, size);
        }, r);
        equal = equal && rebuildEquals(sigBody, sigLength, [&](u8 *out, std::size_t *size) {
            return qelX509MakeSigPacketBody(context, codec.get(), cert.get(), der, length, valueOctet, out, size);
        }, r);
        if (r == QELError_OutOfMemory)
            return r;
        *outValid = equal;
        return QELError_NoErr;
    });
}

// ---- certificate lists -------------------------------------------------------------------------
bool qelX509NameEqual(const ASN1Key_Name *name, const ASN1Key_Name *other)
{
    const ASN1Key_RDNSequence *a = rdns(name), *b = rdns(other);
    if (a == nullptr || b == nullptr || a->count != b->count)
        return false;
    auto same = [](const ASN1_OctetString &x, const ASN1_OctetString &y) {
        return x.length == y.length && (x.length == 0 || std::memcmp(x.data, y.data, x.length) == 0);
    };
    for (std::int64_t i = 0; i < a->count; ++i) {
        const ASN1Key_RelativeDistinguishedName *r = a->elements[i], *s = b->elements[i];
        if (r == nullptr || s == nullptr || r->count != s->count)
            return false;
        for (std::int64_t j = 0; j < r->count; ++j)
            if (!same(r->elements[j]->type, s->elements[j]->type) || !same(r->elements[j]->value, s->elements[j]->value))
                return false;
    }
    return true;
}

namespace {

// One entry of a certificate list.
struct ListEntry {
    const u8 *der = nullptr;
    std::size_t length = 0;
};

std::uint32_t read24(const u8 *p) { return (std::uint32_t(p[0]) << 16) | (std::uint32_t(p[1]) << 8) | p[2]; }

// The entries of a list; false when one runs past the list's total length.
bool listEntries(const u8 *list, std::vector<ListEntry> &out)
{
    out.clear();
    if (list == nullptr)
        return true;
    qel::ByteCursor c(list + 3, read24(list));
    while (!c.empty()) {
        u8 h[3];
        if (!c.u8(h[0]) || !c.u8(h[1]) || !c.u8(h[2]))
            return false;
        const std::size_t n = read24(h);
        const u8 *der = c.current();
        if (!c.skip(n))
            return false;
        out.push_back(ListEntry{der, n});
    }
    return true;
}

// The first entry whose subject equals the name, decoded; -11984 when none.
QELStatus findIssuer(ASN1Context *codec, const std::vector<ListEntry> &entries, const ASN1Key_Name *name,
                     CertRecord &outCert, std::size_t &outIndex)
{
    for (std::size_t i = 0; i < entries.size(); ++i) {
        outCert.reset();
        if (QELStatus s = unpack(codec, asn1KeyUnpack_Certificate, asn1KeyFree_Certificate, outCert.out(),
                                 entries[i].der, entries[i].length);
            s != QELError_NoErr)
            return s;
        if (qelX509NameEqual(&outCert->tbsCertificate.subject, name)) {
            outIndex = i;
            return QELError_NoErr;
        }
    }
    outCert.reset();
    return QELError_ItemNotFound;
}

} // namespace

QELStatus qelX509VerifyCertificateList(QELContext *context, const std::uint8_t *certificateList,
                                       const std::uint8_t *trustedList)
{
    QEL_ENTER();
    if (context == nullptr || certificateList == nullptr)
        return QELError_BadParams;
    return qel::noThrow([&]() -> QELStatus {
        std::vector<ListEntry> peer, trusted;
        if (!listEntries(certificateList, peer) || !listEntries(trustedList, trusted))
            return QELError_BadDER;
        if (peer.empty())
            return QELError_CertificateNotFound;
        QELX509Codec codec(contextMgr(context));
        auto current = std::make_unique<CertRecord>(codec.get());
        ListEntry currentEntry = peer[0];
        if (QELStatus s = unpack(codec.get(), asn1KeyUnpack_Certificate, asn1KeyFree_Certificate, current->out(),
                                 currentEntry.der, currentEntry.length);
            s != QELError_NoErr)
            return s;
        // Each certificate of the peer's list is left at most once: issuers
        // that issue each other end the walk instead of keeping it going.
        std::vector<bool> visited(peer.size(), false);
        visited[0] = true;
        for (;;) {
            auto issuer = std::make_unique<CertRecord>(codec.get());
            std::size_t index = 0;
            bool fromTrusted = true;
            QELStatus s = findIssuer(codec.get(), trusted, &(*current)->tbsCertificate.issuer, *issuer, index);
            if (s == QELError_ItemNotFound) {
                fromTrusted = false;
                s = findIssuer(codec.get(), peer, &(*current)->tbsCertificate.issuer, *issuer, index);
            }
            if (s == QELError_ItemNotFound)
                return QELError_CertificateNotFound;
            if (s != QELError_NoErr)
                return s;
            const ListEntry issuerEntry = fromTrusted ? trusted[index] : peer[index];
            QELKeyDB *ringDB = nullptr;
            if (QELStatus r = qelX509CertToKeyRing(context, codec.get(), issuer->get(), issuerEntry.der,
                                                   issuerEntry.length, nullptr, &ringDB);
                r != QELError_NoErr)
                return r;
            QELKeyObject *key = nullptr;
            for (QELKeyObject *o = ringDB->firstKey; o != nullptr && key == nullptr; o = o->next)
                if (qelKeyObjIsLive(o) && qelKeyObjType(o) == QELObjectType_Key)
                    key = o;
            QELPublicKeyObject *ops = key != nullptr ? qelKeyObjPublicOps(key, QELKeyRole_Sign) : nullptr;
            QELStatus r = QELError_NoErr;
            if (ops == nullptr) {
                r = qelKeyDBGetLastError(ringDB);
                if (r == QELError_NoErr)
                    r = QELError_KeyUnusableForSignature;
            } else {
                r = qelX509VerifySignature(context, ops, currentEntry.der, currentEntry.length);
                static_cast<void>(ops->destroy(ops)); // our own operation object
            }
            static_cast<void>(qelKeyDBRelease(ringDB)); // our own reference
            if (r != QELError_NoErr)
                return r;
            if (qelX509NameEqual(&(*current)->tbsCertificate.issuer, &(*current)->tbsCertificate.subject))
                return QELError_CertificateMismatch;
            if (fromTrusted)
                return QELError_NoErr;
            if (visited[index])
                return QELError_CertificateNotFound;
            visited[index] = true;
            current = std::move(issuer);
            currentEntry = issuerEntry;
        }
    });
}

// ---- certificates by subject ---------------------------------------------------------------------

QELKeyObject *qelKeyDBFindCertBySubject(QELKeyDB *keyDB, const std::uint8_t *nameDER, std::size_t length)
{
    if (!qelKeyDBIsValid(keyDB) || nameDER == nullptr || length == 0)
        return nullptr;
    QELKeyObject *found = nullptr;
    const QELStatus s = qel::noThrow([&]() -> QELStatus {
        QELX509Codec owned(contextMgr(qelKeyDBContext(keyDB)));
        ASN1Context *codec = owned.get();
        const std::span<const u8> name(nameDER, length);
        for (QELKeyObject *k = keyDB->firstKey; k != nullptr && found == nullptr; k = k->next) {
            if (!qelKeyObjIsLive(k))
                continue;
            for (QELKeyObject *c = k->firstChild; c != nullptr && found == nullptr; c = c->next) {
                if (!qelKeyObjIsLive(c))
                    continue;
                for (QELKeyObject *g = c->firstChild; g != nullptr && found == nullptr; g = g->next) {
                    if (!qelKeyObjIsLiveSignature(g) || !qelKeyObjSigIsX509(g))
                        continue;
                    std::size_t derLength = 0;
                    const u8 *der = qelKeyObjSigX509Data(g, &derLength);
                    CertRecord cert(codec);
                    if (der == nullptr || unpack(codec, asn1KeyUnpack_Certificate, asn1KeyFree_Certificate,
                                                 cert.out(), der, derLength) != QELError_NoErr)
                        continue;
                    std::vector<u8> subject;
                    if (encodeRecord(codec, asn1KeySizeof_Name, asn1KeyPack_Name, &cert->tbsCertificate.subject,
                                     subject) == QELError_NoErr &&
                        std::ranges::equal(subject, name))
                        found = g;
                }
            }
        }
        return QELError_NoErr;
    });
    return s == QELError_NoErr ? found : nullptr;
}

// ---- revocation lists into key rings --------------------------------------------------------------
namespace {

constexpr u8 kIssuingDistributionPoint[] = {0x55, 0x1D, 0x1C};

const u8 *firstUserIDPacket(QELKeyObject *key, std::size_t *outLength)
{
    *outLength = 0;
    for (QELKeyObject *c = key->firstChild; c != nullptr; c = c->next)
        if (qelKeyObjIsLive(c) && qelKeyObjType(c) == QELObjectType_UserID)
            return qelKeyObjRawPacket(c, outLength);
    return nullptr;
}

// The key ring of one CRL (its received octets), or null with status 0 when
// its issuer, the issuer's key or its signature is missing or wrong.
QELStatus crlToKeyRing(QELContext *context, ASN1Context *codec, QELKeyDB *keyDB, const u8 *der, std::size_t length,
                       QELKeyDB **outDB)
{
    *outDB = nullptr;
    CRLRecord crl(codec);
    if (QELStatus s = unpack(codec, asn1KeyUnpack_CertificateList, asn1KeyFree_CertificateList, crl.out(), der, length);
        s != QELError_NoErr)
        return s;
    std::vector<u8> issuer;
    if (QELStatus s = encodeRecord(codec, asn1KeySizeof_Name, asn1KeyPack_Name, &crl->tbsCertList.issuer, issuer);
        s != QELError_NoErr)
        return s;
    QELKeyObject *found = nullptr;
    if (keyDB != nullptr)
        found = qelKeyDBFindCertBySubject(keyDB, issuer.data(), issuer.size());
    for (QELKeyDB *db = keyDB == nullptr ? qelContextGetKeyDBList(context) : nullptr; db != nullptr && found == nullptr;
         db = qelKeyDBNext(db))
        found = qelKeyDBFindCertBySubject(db, issuer.data(), issuer.size());
    QELKeyObject *key = found != nullptr ? qelKeyObjTopKey(found) : nullptr;
    if (key == nullptr)
        return QELError_NoErr;
    QELPublicKeyObject *ops = qelKeyObjPublicOps(key, QELKeyRole_Sign);
    if (ops == nullptr)
        return QELError_NoErr;
    const QELStatus verified = qelX509VerifySignature(context, ops, der, length);
    static_cast<void>(ops->destroy(ops)); // our own operation object
    if (verified != QELError_NoErr)
        return verified == QELError_OutOfMemory ? verified : QELError_NoErr;
    std::vector<u8> point;
    forEachExtension(crl->tbsCertList.crlExtensions, [&](const ASN1Key_Extension &e) {
        if (!oidIs(e.extnID, kIssuingDistributionPoint))
            return true;
        Record<ASN1Key_IssuingDistributionPoint, asn1KeyFree_IssuingDistributionPoint> idp(codec);
        if (unpack(codec, asn1KeyUnpack_IssuingDistributionPoint, asn1KeyFree_IssuingDistributionPoint, idp.out(),
                   e.extnValue.data, e.extnValue.length) != QELError_NoErr)
            return true;
        ASN1Key_DistributionPointName *dp = idp->distributionPoint;
        if (dp == nullptr || (dp->identifier != 0xA0 && dp->identifier != 0x80) || dp->alternative == nullptr)
            return true;
        if (encodeRecord(codec, asn1KeySizeof_GeneralNames, asn1KeyPack_GeneralNames,
                         static_cast<ASN1Key_GeneralNames *>(dp->alternative), point) != QELError_NoErr)
            point.clear();
        return point.empty();
    });
    std::size_t keyLength = 0, userLength = 0;
    const u8 *keyPacket = qelKeyObjRawPacket(key, &keyLength);
    const u8 *userPacket = firstUserIDPacket(key, &userLength);
    if (keyPacket == nullptr)
        return qelKeyDBGetLastError(qelKeyObjKeyDB(key));
    // The CRL is carried as received: its signature covers those octets.
    const std::size_t body = length + 2 + (point.empty() ? 0 : point.size() + 4);
    const std::size_t header = qelPacketHeaderSizeFor(0xFC, body);
    std::vector<u8> ring(keyLength + userLength + header + body);
    u8 *p = ring.data();
    std::memcpy(p, keyPacket, keyLength);
    p += keyLength;
    if (userLength != 0)
        std::memcpy(p, userPacket, userLength);
    p += userLength;
    p += qelPacketWriteHeader(p, 0xFC, body);
    *p++ = 4;
    *p++ = point.empty() ? 1 : 2;
    if (!point.empty()) {
        put32(p, static_cast<std::uint32_t>(point.size()));
        p += 4;
        std::memcpy(p, point.data(), point.size());
        p += point.size();
    }
    std::memcpy(p, der, length);
    QELKeyDB *db = nullptr;
    QELStatus s = qelKeyDBOpenFromBuffer(context, ring.data(), ring.size(), &db);
    if (s == QELError_NoErr)
        *outDB = db;
    return s;
}

} // namespace

QELStatus qelX509ImportCRLs(const std::uint8_t *der, std::size_t length, QELContext *context, QELKeyDB *keyDB,
                            QELKeyDB **outDB, std::uint32_t *outNotTaken)
{
    if (outDB == nullptr)
        return QELError_BadParams;
    *outDB = nullptr;
    if (outNotTaken != nullptr)
        *outNotTaken = 0;
    // Every CRL of the set is taken, each over its received octets; those
    // without a known issuer or a good signature are counted.
    const u8 *cursor = der;
    const u8 *end = der != nullptr ? der + length : nullptr;
    std::uint64_t content = 0;
    if (qelX509ReadTagLength(&cursor, end, &content) != 17)
        return QELError_CodecFailed;
    end = cursor + content;
    return qel::noThrow([&]() -> QELStatus {
        QELX509Codec codec(contextMgr(context));
        QELKeyDB *result = nullptr;
        std::uint32_t notTaken = 0;
        QELStatus status = QELError_NoErr;
        while (cursor < end) {
            const u8 *start = cursor;
            std::uint64_t n = 0;
            if (qelX509ReadTagLength(&cursor, end, &n) != 16) {
                status = QELError_CodecFailed;
                break;
            }
            cursor += n;
            QELKeyDB *one = nullptr;
            QELStatus s = crlToKeyRing(context, codec.get(), keyDB, start, static_cast<std::size_t>(cursor - start), &one);
            if (s == QELError_OutOfMemory) {
                status = s;
                break;
            }
            if (one == nullptr) {
                ++notTaken;
                continue;
            }
            if (result == nullptr) {
                result = one;
                continue;
            }
            s = qelKeyDBAddKeySet(qelKeyDBRootSet(one), result, nullptr);
            static_cast<void>(qelKeyDBRelease(one)); // our own reference
            if (s != QELError_NoErr) {
                status = s;
                break;
            }
        }
        if (status != QELError_NoErr) {
            if (result != nullptr)
                static_cast<void>(qelKeyDBRelease(result)); // nothing of a failed import is returned
            return status;
        }
        if (outNotTaken != nullptr)
            *outNotTaken = notTaken;
        *outDB = result;
        return QELError_NoErr;
    });
}

// ---- the key database's revocation checks ---------------------------------------------------------
QELStatus qelX509VerifyWithKey(QELKeyObject *key, const std::uint8_t *der, std::size_t length)
{
    QELPublicKeyObject *ops = qelKeyObjPublicOps(key, QELKeyRole_Sign);
    if (ops == nullptr) {
        const QELStatus s = qelKeyDBGetLastError(qelKeyObjKeyDB(key));
        return s != QELError_NoErr ? s : QELError_KeyUnusableForSignature;
    }
    const QELStatus s = qelX509VerifySignature(qelKeyObjContext(key), ops, der, length);
    static_cast<void>(ops->destroy(ops)); // our own operation object
    return s;
}

QELStatus qelX509CRLListsCertificate(QELContext *context, const std::uint8_t *crlDER, std::size_t crlLength,
                                     const std::uint8_t *cert, std::size_t certLength, bool *outListed,
                                     std::uint32_t *outEntries)
{
    if (outListed == nullptr || outEntries == nullptr)
        return QELError_BadParams;
    *outListed = false;
    *outEntries = 0;
    QELX509Codec codec(contextMgr(context));
    CRLRecord crl(codec.get());
    if (QELStatus s = unpack(codec.get(), asn1KeyUnpack_CertificateList, asn1KeyFree_CertificateList, crl.out(), crlDER,
                             crlLength);
        s != QELError_NoErr)
        return s;
    const ASN1Key_RevokedCertificates *revoked = crl->tbsCertList.revokedCertificates;
    if (revoked == nullptr || revoked->count <= 0)
        return QELError_NoErr;
    *outEntries = static_cast<std::uint32_t>(std::min<std::int64_t>(revoked->count, 0xFFFFFFFF));
    CertRecord c(codec.get());
    if (unpack(codec.get(), asn1KeyUnpack_Certificate, asn1KeyFree_Certificate, c.out(), cert, certLength) !=
        QELError_NoErr)
        return QELError_NoErr; // a certificate that does not decode is listed nowhere
    const ASN1_Integer &serial = c->tbsCertificate.serialNumber;
    for (std::int64_t i = 0; i < revoked->count; ++i) {
        const ASN1Key_RevokedCertificate *r = revoked->elements[i];
        if (r != nullptr && serial.length != 0 && r->userCertificate.length == serial.length &&
            std::memcmp(r->userCertificate.data, serial.data, serial.length) == 0) {
            *outListed = true;
            break;
        }
    }
    return QELError_NoErr;
}

// ---- certificate chains out -----------------------------------------------------------------------
QELStatus qelX509EncodeCertChain(QELContext *context, QELKeyObject *sig, std::uint8_t **outBlock,
                                 std::size_t *outLength)
{
    if (outBlock == nullptr || outLength == nullptr)
        return QELError_BadParams;
    *outBlock = nullptr;
    *outLength = 0;
    return qel::noThrow([&]() -> QELStatus {
        // The certificates as received, from the signature up through its
        // issuers; a signature met a second time (issuers that issue each
        // other) ends the walk.
        std::vector<QELKeyObject *> seen;
        std::vector<std::pair<const u8 *, std::size_t>> certs;
        for (QELKeyObject *at = sig; at != nullptr;) {
            if (std::find(seen.begin(), seen.end(), at) != seen.end())
                break;
            seen.push_back(at);
            std::size_t length = 0;
            const u8 *der = qelKeyObjSigX509Data(at, &length);
            if (der == nullptr)
                return certs.empty() ? QELError_CertificateNotFound : QELError_NoErr;
            certs.emplace_back(der, length);
            QELKeyObject *next = nullptr;
            if (QELStatus s = qelKeyFindIssuerCertificate(at, nullptr, &next); s != QELError_NoErr)
                return s;
            at = next;
        }
        // DER SET OF: elements in the order of their encodings; two equal
        // certificates cannot both be in a set.
        std::sort(certs.begin(), certs.end(), [](const auto &a, const auto &b) {
            const int c = std::memcmp(a.first, b.first, std::min(a.second, b.second));
            return c != 0 ? c < 0 : a.second < b.second;
        });
        std::size_t content = 0;
        for (std::size_t i = 0; i < certs.size(); ++i) {
            if (i > 0 && certs[i].second == certs[i - 1].second &&
                std::memcmp(certs[i].first, certs[i - 1].first, certs[i].second) == 0)
                return QELError_CodecFailed;
            content += certs[i].second;
        }
        std::vector<u8> out = {0x31};
        if (content < 0x80) {
            out.push_back(static_cast<u8>(content));
        } else {
            int octets = 0;
            for (std::size_t v = content; v != 0; v >>= 8)
                ++octets;
            out.push_back(static_cast<u8>(0x80 | octets));
            for (int i = octets - 1; i >= 0; --i)
                out.push_back(static_cast<u8>(content >> (8 * i)));
        }
        for (const auto &[der, length] : certs)
            out.insert(out.end(), der, der + length);
        auto *block = static_cast<u8 *>(qelMemAlloc(contextMgr(context), out.size(), 0));
        if (block == nullptr)
            return QELError_OutOfMemory;
        std::memcpy(block, out.data(), out.size());
        *outBlock = block;
        *outLength = out.size();
        return QELError_NoErr;
    });
}

// ---- RSA secret keys as PKCS #8 --------------------------------------------------------------------
namespace {

// A begun big number released (and, for a secure one, wiped) on every exit.
struct BigNumber {
    QELBigNum n{};
    BigNumber(QELMemoryMgr *mgr, bool secure) { qelBigNumBegin(&n, mgr, secure ? 1 : 0); }
    BigNumber(const BigNumber &) = delete;
    BigNumber &operator=(const BigNumber &) = delete;
    ~BigNumber() { QELBigNumOps.qelBigNumFree(&n); }
};

// The codec keeps integer contents in ordinary blocks: the secret ones are
// wiped before the record lets them go.
void wipeIntegers(ASN1Key_RSAPrivateKey *key)
{
    for (ASN1_Integer *i : {&key->privateExponent, &key->prime1, &key->prime2, &key->exponent1, &key->exponent2,
                            &key->coefficient})
        if (i->data != nullptr)
            qelSecureWipe(i->data, static_cast<std::size_t>(i->length));
}

void freeRSAPrivateKey(ASN1Context *codec, ASN1Key_RSAPrivateKey *key)
{
    wipeIntegers(key);
    asn1KeyFree_RSAPrivateKey(codec, key);
}

void freePrivateKeyInfo(ASN1Context *codec, ASN1Key_PrivateKeyInfo *info)
{
    if (info->privateKey.data != nullptr)
        qelSecureWipe(info->privateKey.data, static_cast<std::size_t>(info->privateKey.length));
    asn1KeyFree_PrivateKeyInfo(codec, info);
}

// The DER contents of a non-negative INTEGER: floor(bits / 8) + 1 octets,
// big-endian, which brings the leading zero octet with it exactly when the
// top bit of a whole octet is set. That count is all the encoding shows of
// the value, and the only part of it handed over as public; the octets are
// written at that length without a branch on them.
QELStatus integerContents(QELMemoryMgr *mgr, const QELBigNum &n, qel::WipedBuffer<u8> &out)
{
    const std::uint32_t octets = qelCTDeclassifyValue(QELBigNumOps.qelBigNumBitLength(&n) / 8 + 1);
    if (!out.reset(mgr, octets))
        return QELError_OutOfMemory;
    QELBigNumOps.qelBigNumToBytesBE(&n, out.get(), 0, octets);
    return QELError_NoErr;
}

// DER of a record into a new secure block of exactly its size.
template <typename T>
QELStatus encodeSecure(ASN1Context *codec, QELMemoryMgr *mgr,
                       std::uint64_t (*sizeFn)(ASN1Context *, T *, std::int32_t),
                       std::uint64_t (*packFn)(ASN1Context *, u8 *, std::uint64_t, T *, std::int32_t *), T *record,
                       qel::WipedBuffer<u8> &out)
{
    const std::uint64_t size = sizeFn(codec, record, 1);
    if (size == 0)
        return QELError_CodecFailed;
    if (!out.reset(mgr, static_cast<std::size_t>(size)))
        return QELError_OutOfMemory;
    std::int32_t err = 0;
    if (packFn(codec, out.get(), size, record, &err) != size || err != 0)
        return qelX509MapCodecStatus(err != 0 ? err : -1);
    return QELError_NoErr;
}

} // namespace

QELStatus qelX509RSAPrivateKeyIntegers(QELSecretKeyObject *key, QELX509RSAIntegers *out)
{
    if (key == nullptr || out == nullptr)
        return QELError_BadParams;
    if (key->algorithm < 1 || key->algorithm > 3)
        return QELError_AlgorithmCannotDoThis;
    return qel::noThrow([&]() -> QELStatus {
        QELMemoryMgr *mgr = contextMgr(key->context);
        // The secret numbers come in secure numbers, which keep the public
        // word counts of the key's own; every step below keeps to them.
        BigNumber n(mgr, false), e(mgr, false), d(mgr, true), p(mgr, true), q(mgr, true), u(mgr, true),
            dp(mgr, true), dq(mgr, true), less(mgr, true);
        QELPublicKeyObject *pub = key->publicObject(key);
        if (pub == nullptr)
            return QELError_OutOfMemory;
        QELBigNum *const publicValues[] = {&n.n, &e.n};
        QELStatus s = pub->getParameters(pub, publicValues);
        static_cast<void>(pub->destroy(pub)); // our own object
        if (s != QELError_NoErr)
            return s;
        QELBigNum *const secretValues[] = {&d.n, &p.n, &q.n, &u.n};
        if ((s = key->getSecretParameters(key, secretValues)) != QELError_NoErr)
            return s;
        // RFC 4880 keeps p < q with u = p^-1 mod q; PKCS #1 names q its
        // first prime, so that u is its coefficient. d mod (prime - 1) by
        // the constant-time reduction (the prime is odd: no borrow).
        auto reduce = [&](QELBigNum *result, const QELBigNum &prime) {
            return QELBigNumOps.qelBigNumCopy(&less.n, &prime) == 0 &&
                   QELBigNumOps.qelBigNumSubtractWord(&less.n, 1) == 0 &&
                   QELBigNumOps.qelBigNumMod(result, &d.n, &less.n) == 0;
        };
        if (!reduce(&dp.n, q.n) || !reduce(&dq.n, p.n))
            return QELError_OutOfMemory;
        const QELBigNum *const values[] = {&n.n, &e.n, &d.n, &q.n, &p.n, &dp.n, &dq.n, &u.n};
        for (std::size_t i = 0; i < std::size(values); ++i)
            if ((s = integerContents(mgr, *values[i], out->contents[i])) != QELError_NoErr)
                return s;
        return QELError_NoErr;
    });
}

QELStatus qelX509ExportRSAPrivateKey(QELSecretKeyObject *key, std::uint8_t **outBlock, std::size_t *outLength)
{
    if (outBlock == nullptr || outLength == nullptr)
        return QELError_BadParams;
    *outBlock = nullptr;
    *outLength = 0;
    if (key == nullptr)
        return QELError_BadParams;
    QELX509RSAIntegers integers;
    if (QELStatus s = qelX509RSAPrivateKeyIntegers(key, &integers); s != QELError_NoErr)
        return s;
    return qel::noThrow([&]() -> QELStatus {
        QELMemoryMgr *mgr = contextMgr(key->context);
        QELStatus s = QELError_NoErr;
        QELX509Codec owned(mgr);
        ASN1Context *codec = owned.get();
        Record<ASN1Key_RSAPrivateKey, freeRSAPrivateKey> rsa(codec);
        *rsa.out() = asn1KeyNew_RSAPrivateKey(codec);
        if (!rsa || asn1SetIntegerValue(codec, &rsa->version, 0) != 0)
            return QELError_OutOfMemory;
        ASN1_Integer *const fields[] = {&rsa->modulus, &rsa->publicExponent, &rsa->privateExponent,
                                        &rsa->prime1,  &rsa->prime2,         &rsa->exponent1,
                                        &rsa->exponent2, &rsa->coefficient};
        for (std::size_t i = 0; i < std::size(fields); ++i) {
            const qel::WipedBuffer<u8> &contents = integers.contents[i];
            if (asn1SetOctetString(codec, fields[i], contents.get(), contents.size()) != 0)
                return QELError_OutOfMemory;
        }
        qel::WipedBuffer<u8> rsaDER;
        if ((s = encodeSecure(codec, mgr, asn1KeySizeof_RSAPrivateKey, asn1KeyPack_RSAPrivateKey, rsa.get(),
                              rsaDER)) != QELError_NoErr)
            return s;
        rsa.reset();

        Record<ASN1Key_PrivateKeyInfo, freePrivateKeyInfo> info(codec);
        *info.out() = asn1KeyNew_PrivateKeyInfo(codec);
        static constexpr u8 kNull[] = {0x05, 0x00};
        if (!info || asn1SetIntegerValue(codec, &info->version, 0) != 0 ||
            asn1SetOctetString(codec, &info->privateKeyAlgorithm.algorithm, kRSAEncryption,
                               sizeof kRSAEncryption) != 0 ||
            (info->privateKeyAlgorithm.parameters = asn1New_OctetString(codec)) == nullptr ||
            asn1SetOctetString(codec, info->privateKeyAlgorithm.parameters, kNull, sizeof kNull) != 0 ||
            asn1SetOctetString(codec, &info->privateKey, rsaDER.get(), rsaDER.size()) != 0)
            return QELError_OutOfMemory;
        qel::WipedBuffer<u8> infoDER;
        if ((s = encodeSecure(codec, mgr, asn1KeySizeof_PrivateKeyInfo, asn1KeyPack_PrivateKeyInfo, info.get(),
                              infoDER)) != QELError_NoErr)
            return s;
        // The result is a block of its own, secure, that the caller frees.
        void *block = qelMemAllocSecure(mgr, infoDER.size(), 0);
        if (block == nullptr)
            return QELError_OutOfMemory;
        std::memcpy(block, infoDER.get(), infoDER.size());
        *outBlock = static_cast<std::uint8_t *>(block);
        *outLength = infoDER.size();
        return QELError_NoErr;
    });
}

namespace {

// Quotes are taken away and what they protected is escaped instead, so the
// DN text reader sees one value. An escaped character inside quotes already
// has its backslash in front of it and is copied as it is: adding another
// would turn "a\,b" into an escaped backslash and a separating comma.
std::string unquoteNameText(const char *text)
{
    std::string out;
    out.reserve(2 * std::strlen(text) + 1);
    bool quoted = false, escaped = false;
    for (const char *p = text; *p != '\0'; ++p) {
        const char c = *p;
        if (c == '"' && !escaped) {
            quoted = !quoted;
            continue;
        }
        if (!quoted) {
            out.push_back(c);
            escaped = c == '\\' && !escaped;
            continue;
        }
        if (escaped) {
            out.push_back(c);
            escaped = false;
        } else if (c == '\\') {
            out.push_back('\\');
            escaped = true;
        } else {
            if (std::strchr(" #+,;<=>", c) != nullptr)
                out.push_back('\\');
            out.push_back(c);
        }
    }
    return out;
}

} // namespace

QELStatus qelX509NameTextToDER(QELContext *context, const char *text, std::uint8_t **outDER, std::uint64_t *outLength)
{
    if (outDER == nullptr || outLength == nullptr)
        return QELError_BadParams;
    *outDER = nullptr;
    *outLength = 0;
    QEL_ENTER();
    if (context == nullptr || text == nullptr)
        return QELError_BadParams;
    return qel::noThrow([&]() -> QELStatus {
        const std::string scratch = unquoteNameText(text);
        return qelDNTextToDER(context, scratch.c_str(), outDER, outLength);
    });
}

