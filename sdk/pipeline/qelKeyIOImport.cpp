// Key import. RFC 4880 input goes through the decode job into a new
// database, which is released whole when the job fails anywhere: nothing
// half-imported is ever handed out. X.509 input goes to the PKI toolkit.
#include "qelKeyIOImportInternal.h"

#include "qelContextInternal.h"
#include "qelFileObjectInternal.h"
#include "qelFileOpenInternal.h"
#include "qelHelpers.h"
#include "qelKeyDBInternal.h"
#include "qelJobIOInternal.h"
#include "qelKeyDBOpenInternal.h"
#include "qelKeyIOExportInternal.h"
#include "qelKeyEditInternal.h"
#include "qelOptionListInternal.h"
#include "qelPemDecoderInternal.h"
#include "qelKeyObjInternal.h"
#include "qelWipe.h"

#include "qelClientEncode.h"
#include "qelDecode.h"
#include "qelKeyDB.h"
#include "qelKeyDBChange.h"
#include "qelKeySig.h"
#include "qelKeySet.h"

#include <atomic>

namespace {

using u8 = std::uint8_t;

constexpr std::int32_t kImportKinds[] = {
    QELOption_InputFile, QELOption_LineEndFlags, QELOption_InputBuffer, QELOption_EventHandler,
    QELOption_SendProgress, QELOption_InputFormat, QELOption_Passphrase, QELOption_CachePassphrase,
    QELOption_Kind26, QELOption_TargetKeyDB,
};

// Import formats (QELOption_InputFormat).
constexpr std::int32_t kFormatX509First = 10000;
constexpr std::int32_t kFormatPEMFirst = 10006;
constexpr std::int32_t kFormatPEMLast = 10011;
constexpr std::int32_t kFormatPKCS8 = 10012;
constexpr std::int32_t kFormatPKCS12 = 10013;

constexpr QELKeyIOSeams kNoSeams{};
std::atomic<const QELKeyIOSeams *> g_seams{&kNoSeams};

// The job's input, whole: the caller's buffer as it is, or a file read into
// a secure block (it may hold secret keys).
struct Input {
    const u8 *bytes = nullptr;
    std::size_t length = 0;
    qel::WipedBuffer<u8> owned;
};

QELStatus closeFile(QELFileObject *file) { return file->close(file); }

QELStatus readFile(QELContext *context, const QELFileSpec *spec, Input &in)
{
    QELStatus s = 0;
    QELFileObject *file = qelFileSpecOpenFileObj(context, spec, QELOpen_Read, QELFileClass_Default, &s);
    if (file == nullptr)
        return s != 0 ? s : QELError_ReadFailed;
    const qel::Owned<QELFileObject, closeFile> owned(file);
    const std::int64_t size = file->getSize(file);
    if (size < 0)
        return QELError_ReadFailed;
    if (!in.owned.reset(qelContextMemoryMgr(context), static_cast<std::size_t>(size)))
        return QELError_OutOfMemory;
    if (size != 0 && file->read(in.owned.get(), static_cast<std::size_t>(size), file) != static_cast<std::size_t>(size))
        return QELError_ReadFailed;
    in.bytes = in.owned.get();
    in.length = static_cast<std::size_t>(size);
    return 0;
}

QELStatus readInput(QELContext *context, QELOptionList *options, Input &in)
{
    QELOptionItem file{}, buffer{};
    QELStatus s = qelJobFindInput(options, file, buffer);
    if (s != 0)
        return s;
    if (file.kind != 0) {
        void *spec = nullptr;
        if ((s = qelOptionGetPointer(&file, &spec)) != 0)
            return s;
        return readFile(context, static_cast<const QELFileSpec *>(spec), in);
    }
    void *bytes = nullptr;
    std::uint64_t length = 0;
    if ((s = qelJobItemBytes(buffer, &bytes, &length)) != 0)
        return s;
    in.bytes = static_cast<const u8 *>(bytes);
    in.length = static_cast<std::size_t>(length);
    return 0;
}

QELStatus freeList(QELOptionList *list)
{
    qelOptionListFree(list);
    return 0;
}

// RFC 4880 key material through the decode job, into a new database of its
// own: the job adds the keys of each key block it reads, and a failure
// anywhere releases the whole database, so nothing half-imported is handed
// out.
QELStatus importRFC4880(QELContext *context, QELOptionList *options, QELKeyDB **outDB)
{
    QELKeyDB *db = nullptr;
    QELStatus s = qelKeyDBNewInMemoryLocal(context, &db);
    if (s != 0)
        return s;
    qel::Owned<QELOptionList, freeList> job(qelOptionListCopy(options));
    if (!job) {
        static_cast<void>(qelKeyDBReleaseLocal(db));
        return QELError_OutOfMemory;
    }
    // Option 68 and the passphrase stay: the job reads them too.
    s = qelOptionListAppendVarArgs(job.get(), qelOptionDiscardOutput(context, 1), qelOptionKeyDB(context, db),
                                   qelOptionLastOption(context));
    if (s == 0)
        s = qelDecode(context, job.release(), qelOptionLastOption(context)); // the job consumes the list
    if (s != 0) {
        static_cast<void>(qelKeyDBReleaseLocal(db));
        return s;
    }
    *outDB = db;
    return 0;
}

QELStatus releaseDB(QELKeyDB *db) { return qelKeyDBReleaseLocal(db); }
using OwnedDB = qel::Owned<QELKeyDB, releaseDB>;

// A block of the context's memory manager (wiped first: it may hold a
// private key).
struct Block {
    std::uint8_t *p = nullptr;
    std::uint64_t n = 0;
    ~Block()
    {
        if (p != nullptr) {
            qelSecureWipe(p, static_cast<std::size_t>(n));
            static_cast<void>(qelMemFree(p));
        }
    }
};

// Puts the keys of `more` into the result (which takes it whole when there
// is none yet); `more` is released either way.
QELStatus mergeInto(OwnedDB &result, QELKeyDB *more, QELKeySet **outAdded = nullptr)
{
    OwnedDB owned(more);
    if (more == nullptr)
        return QELError_NoErr;
    if (!result) {
        result = std::move(owned);
        return QELError_NoErr;
    }
    return qelKeyDBAddKeySet(qelKeyDBRootSet(more), result.get(), outAdded);
}

// The certificates found, when there are any, become the result.
QELStatus takeCertificates(const QELKeyIOSeams &seams, QELContext *context, const Block &certificates,
                           QELKeyDB *search, OwnedDB &result)
{
    if (certificates.p == nullptr)
        return QELError_NoErr;
    QELKeyDB *certs = nullptr;
    const QELStatus s = seams.importCertificateSet(certificates.p, static_cast<std::size_t>(certificates.n),
                                                   context, search, &certs);
    if (s == 0)
        result.reset(certs);
    return s;
}

// The passphrase (option 18): its octets, or none.
QELStatus passphraseOf(QELOptionList *options, const char **outText, std::uint64_t *outLength)
{
    void *bytes = nullptr;
    std::uint64_t length = 0;
    const QELStatus s = qelOptionListGetValues(options, QELOption_Passphrase, false, "%p%l", &bytes, &length);
    *outText = static_cast<const char *>(bytes);
    *outLength = bytes != nullptr ? length : 0;
    return s;
}

// PKCS #8 and PKCS #12: the certificates first, then the key, its
// certificate looked for among them (or in the caller's database); a key
// that arrived behind a passphrase is stored under it.
QELStatus importPrivateKey(QELContext *context, const Input &in, std::int32_t format, QELKeyDB *search,
                           QELOptionList *options, OwnedDB &result)
{
    const QELKeyIOSeams &seams = qelKeyIOSeams();
    const char *password = nullptr;
    std::uint64_t passwordLength = 0;
    QELStatus s = passphraseOf(options, &password, &passwordLength);
    if (s != 0)
        return s;
    Block key, certificates;
    const u8 *keyDER = in.bytes;
    std::uint64_t keyLength = in.length;
    if (format == kFormatPKCS12) {
        if (seams.pkcs12Import == nullptr || seams.importCertificateSet == nullptr)
            return QELError_FeatureNotAvailable;
        if ((s = seams.pkcs12Import(context, in.bytes, in.length, password != nullptr ? password : "", passwordLength,
                                    &key.p, &key.n, &certificates.p, &certificates.n)) != 0)
            return s;
        keyDER = key.p;
        keyLength = key.n;
        if ((s = takeCertificates(seams, context, certificates, search, result)) != 0)
            return s;
    }
    if (keyDER == nullptr)
        return result ? QELError_NoErr : QELError_CertificateNotFound;
    if (seams.importPrivateKeyInfo == nullptr)
        return QELError_FeatureNotAvailable;
    QELKeyDB *keyDB = nullptr;
    if ((s = seams.importPrivateKeyInfo(keyDER, static_cast<std::size_t>(keyLength), context,
                                        result ? result.get() : search, &keyDB)) != 0)
        return s;
    if ((s = mergeInto(result, keyDB)) != 0 || password == nullptr || passwordLength == 0)
        return s;
    for (QELKeyObject *k = result->firstKey; k != nullptr; k = k->next)
        if (qelKeyObjIsLive(k) && qelKeyObjType(k) == QELObjectType_Key && qelKeyObjIsSecret(k))
            return qelKeyChangePassphraseLocal(result.get(), k, nullptr, nullptr, 0, password,
                                               static_cast<std::size_t>(passwordLength), 0, 0, 0);
    return QELError_NoErr;
}

// Certificates and CRLs, bare or in PKCS #7: the certificates become the
// result, the CRLs join it (their issuers looked for there first), and the
// signatures of what the CRLs touched are checked again.
QELStatus importCertificates(QELContext *context, const u8 *der, std::uint64_t length, QELKeyDB *search,
                             QELOptionList *options, OwnedDB &result)
{
    const QELKeyIOSeams &seams = qelKeyIOSeams();
    if (seams.certificatesOf == nullptr || seams.importCertificateSet == nullptr || seams.importCRLs == nullptr)
        return QELError_FeatureNotAvailable;
    Block certificates, crls;
    QELStatus s = seams.certificatesOf(context, der, static_cast<std::size_t>(length), search, options,
                                       &certificates.p, &certificates.n, &crls.p, &crls.n);
    if (s != 0 || (s = takeCertificates(seams, context, certificates, search, result)) != 0)
        return s;
    if (crls.p == nullptr)
        return result ? QELError_NoErr : QELError_CertificateNotFound;
    QELKeyDB *crlDB = nullptr;
    if ((s = seams.importCRLs(crls.p, static_cast<std::size_t>(crls.n), context, result ? result.get() : search,
                              &crlDB)) != 0)
        return s;
    if (crlDB == nullptr)
        return result ? QELError_NoErr : QELError_CertificateNotFound;
    const bool first = !result;
    QELKeySet *added = nullptr;
    if ((s = mergeInto(result, crlDB, first ? nullptr : &added)) != 0)
        return s;
    QELKeySet *check = first ? qelKeyDBRootSet(result.get()) : added;
    s = qelKeySigCheckKeySet(check, search, 1, nullptr, nullptr);
    if (added != nullptr)
        static_cast<void>(qelKeySetRelease(added));
    return s;
}

} // namespace

void qelKeyIOSeamsInstall(const QELKeyIOSeams *seams) { g_seams.store(seams != nullptr ? seams : &kNoSeams); }

const QELKeyIOSeams &qelKeyIOSeams() { return *g_seams.load(); }

QELStatus qelKeyIOImportKeys(QELContext *context, QELKeyDB **outDB, QELOptionList *options)
{
    if (outDB == nullptr || !qelContextIsValid(context))
        return QELError_BadParams;
    *outDB = nullptr;
    QELStatus s = qelOptionListCheckTypes(options, kImportKinds, static_cast<std::uint32_t>(std::size(kImportKinds)));
    if (s != 0)
        return s;
    std::int32_t asPKI = 0, format = 0;
    if ((s = qelJobIntOption(options, QELOption_Kind26, 0, &asPKI)) != 0 ||
        (s = qelJobIntOption(options, QELOption_InputFormat, 0, &format)) != 0)
        return s;
    if (asPKI == 0 && format < kFormatX509First)
        return importRFC4880(context, options, outDB);
    Input in;
    if ((s = readInput(context, options, in)) != 0)
        return s;
    void *search = nullptr;
    if ((s = qelOptionListGetValues(options, QELOption_TargetKeyDB, false, "%p", &search)) != 0)
        return s;
    if (search != nullptr && !qelKeyDBIsValid(static_cast<QELKeyDB *>(search)))
        return QELError_BadParams;
    auto *searchDB = static_cast<QELKeyDB *>(search);
    OwnedDB result;
    if (format == kFormatPKCS8 || format == kFormatPKCS12) {
        s = importPrivateKey(context, in, format, searchDB, options, result);
    } else if (format >= kFormatPEMFirst && format <= kFormatPEMLast) {
        Block der;
        if ((s = qelArmorDecodePem(context, reinterpret_cast<const char *>(in.bytes), in.length, &der.p, &der.n)) ==
            0)
            s = importCertificates(context, der.p, der.n, searchDB, options, result);
    } else {
        s = importCertificates(context, in.bytes, in.length, searchDB, options, result);
    }
    if (s != 0)
        return s;
    *outDB = result.release();
    return QELError_NoErr;
}
