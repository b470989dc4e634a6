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
#include "qelOptionListInternal.h"

#include "qelClientEncode.h"
#include "qelDecode.h"
#include "qelKeyDB.h"

namespace {

using u8 = std::uint8_t;

constexpr std::int32_t kImportKinds[] = {
    QELOption_InputFile, QELOption_LineEndFlags, QELOption_InputBuffer, QELOption_EventHandler,
    QELOption_SendProgress, QELOption_InputFormat, QELOption_Passphrase, QELOption_CachePassphrase,
    QELOption_Kind26, QELOption_TargetKeyDB,
};

// Import formats (QELOption_InputFormat).
constexpr std::int32_t kFormatX509First = 10000;
constexpr std::int32_t kFormatPKCS8 = 10012;

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
    QELStatus s = qelOptionListFindOneOptional(options, QELOption_InputFile, 0, &file);
    if (s == 0)
        s = qelOptionListFindOneOptional(options, QELOption_InputBuffer, 0, &buffer);
    if (s != 0)
        return s;
    if ((file.kind != 0) == (buffer.kind != 0))
        return QELError_BadParams;
    if (file.kind != 0) {
        void *spec = nullptr;
        if ((s = qelOptionGetPointer(&file, &spec)) != 0)
            return s;
        return readFile(context, static_cast<const QELFileSpec *>(spec), in);
    }
    void *bytes = nullptr;
    std::uint64_t length = 0;
    if ((s = qelOptionGetPointerSize(&buffer, &bytes, &length)) != 0)
        return s;
    if (bytes == nullptr && length != 0)
        return QELError_BadParams;
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

} // namespace

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
    QELKeyDB *db = nullptr;
    if (asPKI == 0 && format < kFormatX509First)
        return importRFC4880(context, options, outDB);
    Input in;
    if ((s = readInput(context, options, in)) != 0)
        return s;
    if (format == kFormatPKCS8) {
        void *search = nullptr;
        if ((s = qelOptionListGetValues(options, QELOption_TargetKeyDB, false, "%p", &search)) != 0)
            return s;
        if (search != nullptr && !qelKeyDBIsValid(static_cast<QELKeyDB *>(search)))
            return QELError_BadParams;
        s = qelX509ImportPrivateKeyInfo(in.bytes, in.length, context, static_cast<QELKeyDB *>(search), &db);
    } else {
        // Certificates, CRLs, PKCS #7 and PKCS #12 are read by the PKI
        // toolkit's certificate importer.
        s = QELError_FeatureNotAvailable;
    }
    if (s != 0) {
        if (db != nullptr)
            static_cast<void>(qelKeyDBReleaseLocal(db));
        return s;
    }
    *outDB = db;
    return QELError_NoErr;
}
